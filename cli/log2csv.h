#pragma once
// An operation log ("SrcStats.dat") as CSV, one row per operation.
#include <ostream>
#include <string>

namespace cli {

// Writes the CSV of the log at path to out. False with a message when the file is not an operation log.
bool Log2Csv(const std::string& path, std::ostream& out, std::string& error);

}  // namespace cli

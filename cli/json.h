#pragma once
// JSON text for the command line's results: strings escaped, numbers that keep their digits.
#include <string>

namespace cli {

std::string JsonString(const std::string& s);
// The shortest text that reads back as the same double ("1321354", "0.1"); null when not finite.
std::string JsonNumber(double value);

}  // namespace cli

#pragma once
// An operation log ("SrcStats.dat", from the window or the command line) analysed offline: per volume and
// for all, counts, rates over the logged span, latency percentiles and per-second series, read record by
// record in bounded memory.
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "stats/log_reader.h"

namespace cli {

// A second's figures; its percentiles from a log-linear histogram (within 0.79%).
struct SecondFigures {
    int64_t second = 0;  // from the volume's first record (one that began before it counts in second 0)
    int64_t operations = 0;
    int64_t bytes = 0;
    double p50Us = 0, p99Us = 0;
};

struct LogFigures {
    int volume = -1;  // -1: all volumes
    int64_t operations = 0, errors = 0, bytes = 0;
    double spanSeconds = 0, ioPerSec = 0, mbytesPerSec = 0;
    // Exact for a log of up to 10,000,000 records; past that from a log-linear histogram, within 0.79%.
    double p50Us = 0, p90Us = 0, p99Us = 0, p999Us = 0, p9999Us = 0, maxUs = 0;
    bool exact = true;
    std::vector<SecondFigures> seconds;
};

struct LogAnalysis {
    std::vector<LogFigures> volumes;  // in letter order
    LogFigures all;
};

// False with a message when the file cannot be read or is not an operation log (a size that is not a
// multiple of 32 bytes, an entry with a frequency of 0 or less, or one that ends before it starts).
bool AnalyzeLog(const std::string& path, LogAnalysis& analysis, std::string& error);
// Up to this many records every duration is kept (8 bytes each) and the percentiles are exact; past it
// they come from histograms, so memory stays bounded however long the log.
constexpr uint64_t kExactRecords = 10'000'000;
// The same from a reader already opened.
bool AnalyzeLog(stats::LogReader& reader, LogAnalysis& analysis, std::string& error,
                uint64_t exactRecords = kExactRecords);
void WriteAnalysisText(std::ostream& out, const LogAnalysis& analysis);
void WriteAnalysisJson(std::ostream& out, const LogAnalysis& analysis);

}  // namespace cli

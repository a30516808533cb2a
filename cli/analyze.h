#pragma once
// An operation log ("SrcStats.dat", from the window or the command line) analysed offline: per volume and
// for all, counts, rates over the logged span, exact latency percentiles and per-second series.
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "stats/log_reader.h"

namespace cli {

struct SecondFigures {
    int64_t second = 0;  // from the first logged start
    int64_t operations = 0;
    int64_t bytes = 0;
    double p50Us = 0, p99Us = 0;
};

struct LogFigures {
    int volume = -1;  // -1: all volumes
    int64_t operations = 0, errors = 0, bytes = 0;
    double spanSeconds = 0, ioPerSec = 0, mbytesPerSec = 0;
    double p50Us = 0, p90Us = 0, p99Us = 0, p999Us = 0, p9999Us = 0, maxUs = 0;  // exact
    std::vector<SecondFigures> seconds;
};

struct LogAnalysis {
    std::vector<LogFigures> volumes;  // in letter order
    LogFigures all;
};

// False with a message when the file cannot be read or is not an operation log (a size that is not a
// multiple of 32 bytes, an entry with a frequency of 0 or less, or one that ends before it starts).
bool AnalyzeLog(const std::string& path, LogAnalysis& analysis, std::string& error);
// The same from a reader already opened.
bool AnalyzeLog(stats::LogReader& reader, LogAnalysis& analysis, std::string& error);
void WriteAnalysisText(std::ostream& out, const LogAnalysis& analysis);
void WriteAnalysisJson(std::ostream& out, const LogAnalysis& analysis);

}  // namespace cli

#pragma once
// A volstress-cli results file (--json) read back, as merge reads files that come from
// other machines: every key it uses checked for presence, type and range, and a file that is not what it
// must be refused with the key that is wrong. Nothing read is trusted before it is checked.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "engine/records.h"

namespace cli {

struct CauseResults {
    bool other = false;  // the "other causes" row (code null)
    int64_t code = 0;
    std::string name, text;
    int64_t count = 0;
};

struct IntervalResults {
    double startSeconds = 0;  // from the first operation
    int64_t ioCount = 0, bytes = 0;
};

struct FigureResults {
    int64_t ioCount = 0, bytes = 0, errors = 0;
    double ioPerSec = 0, mbytesPerSec = 0;
    engine::LogLinearHistogram latency;
    std::vector<CauseResults> causes;
    std::string firstOperationUtc;  // empty when no operation
    std::vector<IntervalResults> intervals;
};

struct VolumeResults {
    std::string letter, device;
    FigureResults figures;
};

struct Results {
    // Each setting as written ("4096", "\"random\""), for comparing files made with the same settings.
    std::map<std::string, std::string> settings;
    int64_t intervalSeconds = 0;  // settings.statistics_interval_s
    std::string host;
    bool openFailures = false;
    std::vector<VolumeResults> volumes;
    FigureResults all;
};

// Reads the text of one results file; name is what messages call it. False with "NAME: KEY is missing",
// "... is not an integer" and the like, or the file's schema version against the one read here.
bool ReadResults(const std::string& text, const std::string& name, Results& results, std::string& error);

}  // namespace cli

#pragma once
// Results from many machines made one: totals and errors added, latency percentiles from the merged
// log-linear histograms (an exact merge, not an average of percentiles), per-second series aligned on
// wall-clock time, and a row per machine and volume so that the worst one is seen.
#include <ostream>
#include <string>
#include <vector>

namespace cli {

struct MergeOutcome {
    bool failures = false;  // some machine counted failed operations or could not open a volume
};

struct Results;

// False with a message when a file cannot be read, is not volstress-cli's JSON, or was made with another
// schema version or other settings than the first.
bool MergeResults(const std::vector<std::string>& paths, std::ostream& text, std::string& json,
                  MergeOutcome& outcome, std::string& error);
// The same on results already read; names[k] is what messages call docs[k].
bool MergeRead(const std::vector<Results>& docs, const std::vector<std::string>& names, std::ostream& text,
               std::string& json, MergeOutcome& outcome, std::string& error);

}  // namespace cli

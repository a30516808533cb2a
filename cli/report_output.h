#pragma once
// The final report as text for people and as JSON for programs.
#include <ostream>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "platform/volume_map.h"
#include "stats/report.h"

namespace cli {

struct RunFacts {
    engine::RunSettings settings;
    std::vector<std::string> devicePaths;  // per report volume, same order
    std::vector<int64_t> sizes;
    std::vector<bool> uncached;  // per report volume: false when its transfers went through the page cache
    bool interrupted = false;
    int64_t timerFreq = 0;
    // Where and when: the machine, and the wall clock (ms since 1970, UTC) read together with the counter
    // when the run started, so that counter ticks map to wall-clock time across machines.
    std::string host;
    int64_t startedUtcMs = 0;
    int64_t startedCounter = 0;
    // Entries in the operation log, and whether it holds every operation (false once it is full).
    uint32_t logEntries = 0;
    bool logComplete = true;
    int workersNotReturned = 0;                     // stuck in a device call when the report was made
    std::vector<std::pair<int, int>> stuckWorkers;  // which: worker number and volume index
    std::vector<std::string> openFailures;
    // --verify: blocks written, the timed run's checks and, with --verify-after, the read-back's.
    bool verified = false;
    int64_t blocksWritten = 0;  // with a known content
    int64_t blocksOpen = 0;     // written, but their last writes overlapped or failed: never judged
    engine::VerifyResults timedChecks;
    bool readBack = false;
    bool readBackSkipped = false;      // the run was interrupted: nothing was read back
    bool readBackInterrupted = false;  // Ctrl-C ended the read-back before its last block
    engine::VerifyResults readBackChecks;
};

// The run wrote blocks and verification judged none of them during the run: the report must say so.
bool VerifyUnchecked(const RunFacts& facts);
void WriteTextReport(std::ostream& out, const stats::RunReport& report, const RunFacts& facts);
// schema_version 2; the fields are described in the README's "Command line" section.
void WriteJsonReport(std::ostream& out, const stats::RunReport& report, const RunFacts& facts);
// --list: one line per letter with its device and size, or "cannot be opened"; as JSON, an array of
// {letter, device, size_bytes (null when absent), present}.
void WriteVolumeList(std::ostream& out, const platform::VolumeMap& map, const engine::VolumeSet& found);
void WriteVolumeListJson(std::ostream& out, const platform::VolumeMap& map, const engine::VolumeSet& found);
// "2026-12-09T03:00:00.000Z"
std::string IsoUtc(int64_t msSinceEpoch);
// The same form, with one to three decimals of seconds or none; false when the text is not one, or names a
// date or time that does not exist.
bool ParseIsoUtc(const std::string& text, int64_t& msSinceEpoch);

}  // namespace cli

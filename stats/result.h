#pragma once
// The result of a run as one value, taken from the volumes' records under their locks and never changed
// after: every figure an output shows is computed here once, and every output (the text report, the JSON,
// the live lines) only writes it.
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/dialogs.h"
#include "engine/settings.h"
#include "engine/verify.h"
#include "engine/volume_set.h"
#include "stats/load_models.h"
#include "stats/presentation.h"
#include "stats/report.h"

namespace stats {

// One interval: its counters and the rates over its own span.
struct IntervalFigures {
    int64_t number = 0;       // 1, 2, ...
    double startSeconds = 0;  // from the first operation of its volume (of any volume, for all)
    engine::IntervalStats counters;
    Rates rates;
};

// Upper bounds of a latency histogram with fixed buckets, in seconds as the metrics label them: the same for
// every host and run, so that their scrapes add up.
inline constexpr const char* kLatencyBoundTexts[] = {
    "0.00001", "0.000025", "0.00005", "0.0001", "0.00025", "0.0005", "0.001", "0.0025", "0.005", "0.01",
    "0.025",   "0.05",     "0.1",     "0.25",   "0.5",     "1",      "2.5",   "5",      "10"};
inline constexpr size_t kLatencyBounds = std::size(kLatencyBoundTexts);

// An open loop's operations from their intended starts, and how late they started.
struct OpenLoopFigures {
    bool on = false;
    Percentiles fromIntended, lateness;  // microseconds
    engine::LogLinearHistogram fromIntendedHistogram;
    int64_t late = 0;      // started more than one slot after their intended start
    double rateAsked = 0;  // operations a second, of the volume or all together
};

// The figures of one volume, or of all volumes together.
struct Figures {
    int index = -1;               // the volume; -1: all volumes
    engine::IntervalStats total;  // every operation of the run
    Rates rates;
    int64_t inFlightAsked = 0;  // operations the workers keep in flight at most
    engine::LogLinearHistogram latency;
    Percentiles percentiles;
    // Operations within each of kLatencyBoundTexts (cumulative: a bucket of the log-linear histogram is
    // counted under the first bound its upper edge does not pass), and all durations summed, in seconds.
    std::array<uint64_t, kLatencyBounds> latencyAtBounds{};
    double latencySumSeconds = 0;
    std::vector<CauseLine> causes;  // seconds from the first operation
    engine::HandOverTally handOver;
    OpenLoopFigures openLoop;
    uint32_t settledBatch = 0;  // 0: nothing was queued
    double settledShare = 0;
    int64_t firstOperationUtcMs = 0;         // valid when total.IOCount > 0
    std::vector<IntervalFigures> intervals;  // the statistics intervals, as the window shows them
    std::vector<ChartPoint> histogramMs;     // the window's 1 ms latency bars: x ms, y operations
};

struct VolumeFigures : Figures {
    std::string device;
    int64_t sizeBytes = 0;
    bool uncached = true;  // false: through the page cache
    // Found in the series of its intervals (the caller's to add, as the run's watch saw them).
    Cliffs cliffs;
    SteadyState steady;
};

struct StuckWorker {
    int worker = 0;
    int volume = -1;
};

// What verification found: blocks written (known, or left open) and the checks of the run and the read-back.
struct VerifyFindings {
    bool verified = false;
    int64_t blocksWritten = 0;  // with a known content
    int64_t blocksOpen = 0;     // written, but their last writes overlapped or failed: never judged
    engine::VerifyResults timed;
    bool readBack = false;
    bool readBackSkipped = false;      // the run was interrupted: nothing was read back
    bool readBackInterrupted = false;  // Ctrl-C ended the read-back before its last block
    engine::VerifyResults readBackChecks;
    // The run wrote blocks and none was judged during the run.
    bool Unchecked() const { return verified && blocksWritten + blocksOpen > 0 && timed.blocksChecked == 0; }
};

// The wall clock (ms since 1970, UTC) and the counter read together when the run started, so that counter
// ticks map to wall-clock time across machines.
struct RunClock {
    int64_t startedUtcMs = 0;
    int64_t startedCounter = 0;
    int64_t timerFreq = 0;
    int64_t UtcMsOf(int64_t ticks) const;
};

// --precondition: the volumes written over, in order, before the run.
struct Preconditioning {
    int passes = 0;  // asked; 0: none
    double seconds = 0;
    struct Volume {
        int index = -1;
        int64_t bytes = 0;  // written
        int64_t errors = 0;
        double mbytesPerSec = 0;
    };
    std::vector<Volume> volumes;
};

// --latency-target: the steps of the search, each a run of its own at one queue depth, judged on all volumes
// together.
struct LatencySearch {
    bool asked = false;
    LatencyTarget target;
    double stepSeconds = 0;
    int64_t minOperations = 0;
    // With --rate the rate is searched, in steps of this many operations a second per volume (the lowest rate
    // whose step holds minOperations); 0: the queue depth is.
    double rateUnit = 0;
    struct Step {
        int depth = 0;
        double rate = 0;     // asked per volume, in a rate search
        double reached = 0;  // per volume, in a rate search
        double ioPerSec = 0, mbytesPerSec = 0;
        int64_t operations = 0;
        Percentiles percentiles;
        double valueUs = 0;  // the target's percentile: from the intended starts in a rate search
        bool met = false;
    };
    std::vector<Step> steps;
    int best = 0;  // the highest load that met the bound, in depths or rate units; 0: none did
};

struct RunResult {
    engine::RunSettings settings;
    int32_t periodSeconds = 0;  // the statistics interval in force
    std::string host;
    RunClock clock;
    bool interrupted = false;
    int workersNotReturned = 0;  // stuck in a device call when the result was taken
    std::vector<StuckWorker> stuck;
    std::vector<engine::WorkerFailure> failures;  // workers that could not take part, and why
    uint64_t logEntries = 0;
    bool logComplete = true;     // the operation log holds every operation
    bool logStreamed = false;    // written to a file as the run went (--log)
    uint64_t logNotWritten = 0;  // of a streamed log: records the file did not get
    VerifyFindings verify;
    bool endedSteady = false;  // every volume reached steady state, and the run ended there
    Preconditioning precondition;
    LatencySearch search;  // the figures below are those of its best step (or of its first, when none met)
    std::vector<VolumeFigures> volumes;
    Figures all;

    bool AnyFailed() const;  // an operation failed, or written data did not read back as written
};

// What the run driver knows beside the records.
struct RunEcho {
    engine::RunSettings settings;
    int32_t periodSeconds = 0;
    std::string host;
    RunClock clock;
    bool interrupted = false;
    std::vector<StuckWorker> stuck;
    std::vector<engine::WorkerFailure> failures;
    uint64_t logEntries = 0;
    bool logStreamed = false;
    uint64_t logNotWritten = 0;
    std::vector<std::pair<std::string, bool>> devices;  // per volume index: device path, uncached
};

// Two records' worth of room a result is taken with (3 MB each): kept by a caller that takes one every
// second, so that memory is not made and faulted in afresh each time.
struct ResultScratch {
    std::unique_ptr<engine::VolumeStats> all = std::make_unique<engine::VolumeStats>();
    std::unique_ptr<engine::VolumeStats> copy = std::make_unique<engine::VolumeStats>();
};

// Takes the result of the selected present volumes (and of all together) from their records, each under
// its lock. The verify findings are the caller's to add.
RunResult TakeResult(const engine::VolumeSet& volumes, const std::array<bool, engine::kDiskCount>& selected,
                     const RunEcho& echo);
RunResult TakeResult(const engine::VolumeSet& volumes, const std::array<bool, engine::kDiskCount>& selected,
                     const RunEcho& echo, ResultScratch& scratch);

// A closed live interval of one volume, or of all volumes merged by number.
struct LiveFigures {
    int index = -1;
    int64_t number = 0;
    engine::IntervalStats counters;
    Rates rates;
    engine::LogLinearHistogram latency;
    Percentiles percentiles;
    std::vector<CauseLine> causes;  // seconds from the run's start
    OpenLoopFigures openLoop;       // an open loop's interval (its histogram left out)
    engine::OpenLoopTally openTally;
};

// Follows the volumes' live intervals: each call returns the intervals closed since the last one, in
// order, and how many were overwritten before they could be read (a reader that fell behind by more than
// the records keep). At the end of the run, the intervals still being filled are closed too.
class LiveFollower {
  public:
    LiveFollower(const std::array<bool, engine::kDiskCount>& selected, const RunClock& clock);
    struct Taken {
        std::vector<LiveFigures> volumes;  // by volume, then by number
        // All volumes, interval n once every volume has closed its interval n (at the end of the run, all
        // that are left): their counters, latency and causes added.
        std::vector<LiveFigures> all;
        int64_t missed = 0;
    };
    Taken Take(const engine::VolumeSet& volumes, bool runEnded);

  private:
    void AddToAll(const LiveFigures& lf, const engine::ErrorCauses& causes);
    std::array<bool, engine::kDiskCount> selected_;
    std::array<int64_t, engine::kDiskCount> next_{};  // the next interval number to read, per volume
    int64_t timerFreq_;
    int64_t origin_;
    struct Pending {
        LiveFigures figures;
        engine::ErrorCauses causes;
        int volumes = 0;
    };
    std::vector<Pending> pendingAll_;  // by number, ascending
};

}  // namespace stats

#pragma once
// The per-volume statistics record, the per-operation log entry and the rules every writer keeps.
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

namespace engine {

constexpr int kDiskCount = 26;          // volume slots A: to Z:
constexpr int kIntervalCount = 1000;    // intervals 1..1000 of a run
constexpr int kHistogramTop = 327'680;  // last latency bucket: 3.2768 s and longer
constexpr int kHistogramBuckets = kHistogramTop + 1;
constexpr uint32_t kLogCapacity = 10'000'000;

class PendingRecords;

enum TestMethodCode : int32_t { kRandom = 1, kBatterfly = 2, kLinearForward = 3, kLinearBackward = 4 };

struct IntervalStats {
    int64_t IOCount = 0;
    int64_t Bytes = 0;
    int64_t BusyTicks = 0;
    int64_t MaxTicks = 0;
    int64_t MinTicks = 0;
    int64_t FirstStart = 0;
    int64_t LastEnd = 0;
    int64_t Errors = 0;
    // Of the above, the writes: their operations, bytes and errors (reads are the rest).
    int64_t Writes = 0;
    int64_t WriteBytes = 0;
    int64_t WriteErrors = 0;
};

// Latency kept with a bounded relative error over a wide range, beside the 10 us histogram the window
// shows: exact below 64 ns, then each power of two split into 64 equal buckets up to 2^42 ns (73 minutes);
// longer durations share the last bucket, and the exact minimum and maximum are kept apart. A bucket is at
// most 1/64 as wide as the values in it, so its middle is within 1/128 (0.79%) of any of them. Fixed size
// (19 KB); histograms merge exactly by adding buckets.
struct LogLinearHistogram {
    static constexpr int kSubBits = 6;
    static constexpr int kSub = 1 << kSubBits;
    static constexpr int kTopExponent = 42;
    static constexpr int kBuckets = kSub + (kTopExponent - kSubBits) * kSub;

    std::array<uint64_t, kBuckets> counts{};
    uint64_t total = 0;
    int64_t minNs = 0;
    int64_t maxNs = 0;

    static int BucketOf(int64_t ns);
    static int64_t LowerOf(int bucket);
    static int64_t WidthOf(int bucket);
    void Add(int64_t ns) { Add(ns, BucketOf(ns)); }
    void Add(int64_t ns, int bucket);  // bucket: BucketOf(ns), when the caller has it
    void Merge(const LogLinearHistogram& other);
    // The duration at quantile q (0 < q <= 1): the middle of the bucket that holds it, kept within the
    // exact minimum and maximum. 0 when empty.
    double PercentileNs(double q) const;
};

// Why operations failed: a small fixed table of system error codes (and our own), each with its count
// and the end of its first failure in counter ticks; causes past the table are counted as "other".
struct ErrorCause {
    uint32_t code = 0;
    int64_t count = 0;
    int64_t writes = 0;  // of count, failed writes
    int64_t firstTicks = 0;
};
struct ErrorCauses {
    static constexpr int kSlots = 8;
    std::array<ErrorCause, kSlots> entries{};
    int used = 0;
    ErrorCause other;  // code unused

    void Add(uint32_t code, int64_t count, int64_t writes, int64_t firstTicks);
    void Merge(const ErrorCauses& o);
};

// How a volume's workers handed their queued operations over: the completions at each batch size (the
// levels of HandOver, the same for every worker of the volume) and how often the adaptive choice moved.
struct HandOverTally {
    static constexpr int kLevels = 8;
    bool adaptive = false;
    std::array<uint32_t, kLevels> batch{};
    std::array<uint64_t, kLevels> completions{};
    uint64_t changes = 0;
    int levels = 0;

    void Merge(const HandOverTally& o);
    // The batch most completions went with (0 when none), and their share of all.
    uint32_t Settled(double* share = nullptr) const;
};

// An interval for a reader that follows the run (--live): numbered from 1 without end, with its own latency
// histogram by the run's bucket rule and its causes, so that intervals add up exactly to the run's figures.
struct LiveInterval {
    int64_t number = 0;  // 0: not begun
    IntervalStats counters;
    LogLinearHistogram latency;
    ErrorCauses causes;
};

// An open-loop run's operations measured from their intended starts on the schedule (what a client at that
// rate waits), how late each started, and how many fell behind the schedule by more than a slot.
struct OpenLoopTally {
    LogLinearHistogram fromIntended;
    LogLinearHistogram lateness;
    int64_t late = 0;
    void Merge(const OpenLoopTally& o) {
        fromIntended.Merge(o.fromIntended);
        lateness.Merge(o.lateness);
        late += o.late;
    }
};

// One volume's run settings and counters. Element 0 of Intervals is the Total; 1..1000 are the intervals.
struct VolumeStats {
    int32_t CurInterval = 0;
    int64_t BlockSize = 0;
    int64_t BlockCount = 0;
    int32_t TestMethod = 0;
    bool Selected = false;
    std::array<IntervalStats, kIntervalCount + 1> Intervals{};
    std::array<uint64_t, kHistogramBuckets> LatencyHistogram{};
    int64_t PeriodTicks = 0;
    int32_t IOsPerPortion = 0;
    bool IOsPerPortionFixed = false;
    int32_t ReadsPerPortion = 0;
    int32_t WritesPerPortion = 0;
    int32_t PauseMs = 0;
    bool PauseFixed = false;
    // Operation streams per worker through an asynchronous queue; 1 is the synchronous worker.
    int32_t QueueDepth = 1;
    int32_t PollUs = 0;               // queued workers: reading the completion queue before sleeping on it
    int32_t SubmitBatch = 1;          // queued operations per submission; 0: found while the run goes
    int64_t OperationsPerWorker = 0;  // a worker makes no more than this many; 0: no limit
    // Open loop: operations a second each worker starts on its schedule (0: closed loop), by fixed or
    // exponential (Poisson) gaps; an operation is late when it starts more than LateTicks after its slot.
    double RatePerWorker = 0;
    bool Poisson = false;
    int64_t LateTicks = 0;
    bool RegisterFile = false;     // the queue names the device by its registered index
    bool RegisterBuffers = false;  // the queue's operations use registered buffers
    // Serialises CurInterval, Intervals[1..], LatencyHistogram and the counters below between the volume's
    // workers and readers.
    std::mutex Lock;
    // Beyond the window's figures, for reports: every operation of the run (the intervals lose theirs once
    // interval 1000 restarts), latency with a bounded relative error, and why operations failed.
    IntervalStats RunTotal{};
    LogLinearHistogram Latency{};
    ErrorCauses Causes{};
    HandOverTally HandOvers{};  // added by each worker as it leaves the run
    OpenLoopTally OpenLoop{};
    // Live intervals of LivePeriodTicks (0: none kept), begun by the same rule as the window's: the interval
    // being filled is LiveNumber, those before it are closed; interval n is in slot n % kLiveKept until
    // interval n + kLiveKept begins.
    static constexpr int kLiveKept = 8;
    int64_t LivePeriodTicks = 0;
    int64_t LiveNumber = 0;
    std::array<LiveInterval, kLiveKept> Live{};
    // An open loop's live intervals, slot by slot as Live: made only for a run that has both (300 KB).
    std::unique_ptr<std::array<OpenLoopTally, kLiveKept>> LiveOpenLoop;
    double RatePerVolume = 0;  // the open loop's rate asked of this volume; 0: closed loop
    // The volume's workers' operations finished but not yet recorded, one list entry per worker in a run;
    // changed and drained under Lock (see PendingRecords).
    PendingRecords* Pending = nullptr;

    IntervalStats& Total() { return Intervals[0]; }
    const IntervalStats& Total() const { return Intervals[0]; }
    // Zeroes intervals 1..1000 (not the Total).
    void ClearIntervals();
    // Zeroes everything a run counts: Total, intervals, CurInterval, histograms, run total, causes.
    void ClearCounters();
};

// One operation, identical in memory and in the log file: 32 bytes, little-endian, no gaps.
#pragma pack(push, 1)
struct LogEntry {
    int32_t RequestSize;
    int16_t VolumeIndex;
    int16_t Success;
    int64_t StartTicks;
    int64_t EndTicks;
    int64_t Frequency;
};
#pragma pack(pop)
static_assert(sizeof(LogEntry) == 32);
static_assert(offsetof(LogEntry, RequestSize) == 0);
static_assert(offsetof(LogEntry, VolumeIndex) == 4);
static_assert(offsetof(LogEntry, Success) == 6);
static_assert(offsetof(LogEntry, StartTicks) == 8);
static_assert(offsetof(LogEntry, EndTicks) == 16);
static_assert(offsetof(LogEntry, Frequency) == 24);

// An open-loop operation's time from its intended start, and how late it started; the caller holds v.Lock.
void RecordScheduled(VolumeStats& v, int64_t start, int64_t end, int64_t intended, int64_t frequency);

// 10-microsecond latency bucket of a duration, always within 0..kHistogramTop.
int32_t LatencyBucket(int64_t durationTicks, int64_t frequency);

// Records one finished operation in the volume's histograms, current interval, run total and causes, under
// its Lock. start/end are the counter readings around the call; error is 0 for success, else the failure's
// code; requestSize is the run's block size; write says the operation wrote.
void RecordOperation(VolumeStats& v, int64_t start, int64_t end, int64_t frequency, uint32_t error,
                     uint32_t requestSize, bool write = false);
// The same with the volume's Lock already held by the caller.
void RecordLocked(VolumeStats& v, int64_t start, int64_t end, int64_t frequency, uint32_t error,
                  uint32_t requestSize, bool write);

}  // namespace engine

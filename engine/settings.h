#pragma once
// The settings of a test run as typed values, checked by one validator for every front end. A front end
// parses its own words (the window's texts, the command line's options) into RunSettings; a refusal comes
// back as a value that says which field, which value and why, and each front end words it for its users.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace engine {

constexpr std::array<int32_t, 10> PeriodTable = {1, 5, 10, 30, 60, 300, 600, 3600, 10800, 21600};
constexpr int32_t kMaxWorkers = 1024;
// Operation streams per worker through one asynchronous queue, and operations in flight in all: the
// queues' rings and one block buffer per stream are what a run may hold at once.
constexpr int32_t kMaxQueueDepth = 1024;
constexpr int32_t kMaxPollUs = 1000;  // a millisecond: longer than any fast device's answer
constexpr int64_t kMaxInFlight = 16'384;
// Longest test time whose milliseconds fit a signed 32-bit value, either way.
constexpr int32_t kMaxTestMinutes = 35'791;
constexpr int64_t kMaxTestMs = int64_t{kMaxTestMinutes} * 60'000;

// Values as stored in a volume's record: 1 "Random" ... 4 "Linear backward". None leaves the method of the
// last run in force (the window's text named none of the four).
enum class Method : int32_t { None = 0, Random = 1, Batterfly = 2, LinearForward = 3, LinearBackward = 4 };
enum class PauseType { Random, Fixed };    // a pause of 0..PauseMs, or exactly PauseMs
enum class IOCountType { Random, Fixed };  // stored with the run; every portion is fixed either way

struct RunSettings {
    int32_t blockSize = 4096;
    Method method = Method::Random;
    int64_t testMs = 30 * 60'000;  // 0 or less ends the run at the first tick
    int32_t threadsPerVolume = 2;  // 0 or less: no workers
    int32_t periodSeconds = 0;     // statistics interval; 0: from the test time
    int32_t pauseMs = 0;
    PauseType pauseType = PauseType::Random;
    int32_t readsPerPortion = 1;
    int32_t writesPerPortion = 0;
    IOCountType ioCountType = IOCountType::Fixed;
    int32_t queueDepth = 1;  // streams per worker; 1: the synchronous worker
    // Queued operations handed to the system in one call: 1 submits each as soon as it is made (as fio does
    // by default), more gathers up to that many from one pass over the streams, at most queueDepth; 0 finds
    // the number that gives the device the most completions while the run goes (engine/hand_over.h).
    int32_t submitBatch = 1;
    // Registered with each worker's queue at the start of a run, where the system's queue can (io_uring):
    // the volume's file and the streams' buffers (queued operations only).
    bool registerFile = false;
    bool registerBuffers = false;
    // Microseconds a queued worker reads its completion queue before it sleeps on it (platform/io_queue.h:
    // QueueOptions::pollNs); 0: it sleeps at once.
    int32_t pollUs = 0;
    bool verify = false;  // written blocks carry a header and checksum that reads check
    // Intervals kept for a reader that follows the run (the command line's --live), in seconds; 0: none.
    int32_t liveSeconds = 0;
    // The operation log is handed to a writer as the run goes (a ring), instead of kept whole.
    bool streamLog = false;
    // Each worker stops making operations after this many times its volume's blocks (and waits for the run's
    // end); 0: no limit. For runs that must write a volume a known number of times over.
    int32_t passesPerWorker = 0;
    // Open loop: operations a second per volume, spread over its workers and started on a schedule rather
    // than on completion; 0: closed loop. Fixed gaps, or exponential ones (a Poisson process).
    double rate = 0;
    bool poisson = false;
};

enum class SettingField {
    None,
    BlockSize,
    Method,
    TestTime,
    ThreadCount,
    Period,
    PauseMs,
    PauseType,
    ReadsPerPortion,
    WritesPerPortion,
    IOCountType,
    QueueDepth,
    SubmitBatch,
    Verify,
    RegisterFile,
    RegisterBuffers,
    LiveInterval,
    PollUs
};

// Why a start does not happen. `value` is the setting as given (the text, when it did not parse).
struct Refusal {
    enum class Why {
        None,
        NotAnInteger,           // value is not a decimal integer in the signed 32-bit range
        Unknown,                // value names none of the choices
        BelowMinimum,           // limit: the least allowed value
        OutOfRange,             // limit: the largest magnitude allowed
        TooManyIntervals,       // limit: the shortest interval that keeps within the intervals of a record
        NotMultiple,            // limit: the transfer unit of `volume`
        LargerThanVolume,       // limit: the size of `volume` in bytes
        TooManyWorkers,         // requested workers against limit
        TooManyInFlight,        // requested streams (workers x queue depth) against limit
        BlockTooSmallToVerify,  // limit: the smallest block that holds the verification header
        VerifyMemory,           // requested: bytes the written blocks' states need; limit: what may be used
        NeedsQueue,             // applies to queued operations only (a queue depth above 1)
        RunMemory,  // requested: the run's buffers, verify map and log (parts[]); limit: what it may use
    };
    Why why = Why::None;
    SettingField field = SettingField::None;
    std::string value;
    int64_t limit = 0;
    int64_t requested = 0;
    int volume = -1;
    // RunMemory: the bytes of the buffers, of the verify map and of the operation log.
    std::array<int64_t, 3> parts{};
    explicit operator bool() const { return why != Why::None; }
};

// A decimal integer in the signed 32-bit range, optionally signed, nothing else (no blanks).
bool ParseInt32(const std::string& text, int32_t& value);
// The first PeriodTable entry >= (minutes * 120 - 1) / 1000, or the last entry.
int32_t StatisticPeriodFor(int32_t minutes);
// The interval length a run uses: the one given, or the one that follows from its test time in minutes
// (rounded up).
int32_t StatisticPeriodOf(const RunSettings& s);
// Every rule that does not depend on the volumes; an empty refusal when the settings can run.
Refusal Validate(const RunSettings& s);

// What a start's settings meet: each volume chosen, with its size and transfer unit, and the machine's
// memory.
struct StartFacts {
    struct Volume {
        int index = -1;
        int64_t size = 0;
        int64_t alignment = 1;
    };
    std::vector<Volume> volumes;
    int64_t memoryBytes = 0;  // 0 when unknown: then no limit is drawn from it
    int64_t logBytes = 0;     // the operation log's room: taken as it fills, all of it by a long run
};

// The memory a block buffer takes as the platform makes it: whole 4 KiB pages, and from 1 MiB on whole 2 MiB
// huge pages.
int64_t BufferBytes(int32_t blockSize);
// What a run holds in memory: its workers' buffers (two shared by a worker's streams, the run's data and
// block 0's zeros, and per stream one for reads and, when writes are verified, one for the stamped writes),
// the verify map and the operation log. parts gets the three; the sum is returned.
int64_t RunMemoryBytes(const RunSettings& s, const StartFacts& facts, std::array<int64_t, 3>& parts);
// The share of the machine's memory a run may hold: the rest is the system's and other programs'.
constexpr int64_t kRunMemoryShareNum = 3, kRunMemoryShareDen = 4;
// Every rule of a start in one place: the settings alone (Validate), then against each volume (its transfer
// unit and size), then the workers and streams they make, and the memory verification needs. Empty when the
// start may go on.
Refusal ValidateStart(const RunSettings& s, const StartFacts& facts);

}  // namespace engine

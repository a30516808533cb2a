#include "engine/loop.h"

#include <algorithm>
#include <vector>

#include "engine/hand_over.h"
#include "engine/pending.h"
#include "engine/random.h"
#include "engine/walker.h"
#include "platform/arithmetic.h"
#include "platform/clock.h"
#include "platform/error_codes.h"
#include "platform/volume_device.h"

namespace engine {

namespace {

struct Stream {
    Walker walker;
    WorkerRandom random;
    int32_t readsLeft = 0;
    int32_t writesLeft = 0;
    // The result of the stream's last call; a pass without a call keeps it, and before any call it is a
    // failure.
    uint32_t lastError = platform::kNoCall;
    void* readBuffer = nullptr;
    void* writeBuffer = nullptr;  // verified writes only: the run's data under this write's own header
    int64_t resumeAt = 0;         // counter reading until which the stream pauses between portions
    int64_t intended = 0;         // open loop: the slot on the schedule its operation in flight took
    bool inFlight = false;
    bool read = false, write = false;
    int64_t offset = 0;
    StreamVerification check;
};

// End of a portion: the 32-bit sum of what is left is 0. With counts of 0 or more it is 0 only when both
// are, and it never overflows (2,147,483,647 reads and as many writes are one portion).
bool PortionDone(const Stream& st) {
    return static_cast<uint32_t>(st.readsLeft) + static_cast<uint32_t>(st.writesLeft) == 0;
}

// An open loop's schedule, the worker's: one intended start a slot, fixed gaps or exponential ones. A free
// stream takes the next slot once it is due; a slot already past is taken at once (its operation is late,
// and counted so, never dropped), so the rate asked is kept however the device keeps up. Off, nothing waits
// for it.
class Schedule {
  public:
    Schedule(const VolumeStats& v, int64_t frequency, uint64_t seed)
        : on_(v.RatePerWorker > 0),
          gaps_(on_ ? static_cast<double>(frequency) / v.RatePerWorker : 0, v.Poisson, seed) {}
    bool On() const { return on_; }
    // The next slot is due at `now` (the first call starts the schedule there); else the reading at which it
    // is, for the caller's wait.
    bool Due(int64_t now, int64_t& nextDue) {
        if (next_ == 0) next_ = static_cast<double>(now);
        if (next_ <= static_cast<double>(now)) return true;
        nextDue = std::min(nextDue, static_cast<int64_t>(next_) + 1);
        return false;
    }
    // The slot an operation takes: its intended start.
    int64_t Take() {
        const auto slot = static_cast<int64_t>(next_);
        next_ += gaps_.Next();
        return slot;
    }

  private:
    bool on_;
    ArrivalGaps gaps_;
    double next_ = 0;  // counter ticks; 0: not started
};

// One worker's streams on one queue. A stream is free, pausing between portions, waiting for the schedule,
// or in flight; each pass of the loop issues an operation for every free stream that waits for nothing,
// hands them to the system as the hand-over says, then waits for a completion or for the first stream to be
// due. The closed loop is the open one without a schedule.
class Streams {
  public:
    explicit Streams(const LoopRun& r)
        : r_(r),
          v_(r.volume),
          size_(static_cast<uint32_t>(r.volume.BlockSize)),
          frequency_(platform::CounterFrequency()),
          count_(r.streams),
          streams_(r.streams),
          issued_(r.streams),
          schedule_(r.volume, frequency_, r.seed ^ 0x5DEECE66Dull),
          handOver_(count_, static_cast<uint32_t>(std::max(r.volume.SubmitBatch, 0)), frequency_ / 20),
          allowed_(r.volume.OperationsPerWorker > 0 ? r.volume.OperationsPerWorker : -1) {}
    ~Streams() {
        for (Stream& st : streams_)
            for (void* b : {st.readBuffer, st.writeBuffer})
                if (b) r_.device.FreeBuffer(b);
    }
    Streams(const Streams&) = delete;
    Streams& operator=(const Streams&) = delete;

    LoopResult SetUp();
    void Run(int64_t drainNs);
    void Tally();

  private:
    void Pass();
    bool Pausing(Stream& st, int64_t& now, int64_t& nextDue);
    platform::IoRequest Request(uint32_t i, bool read, bool write) const;
    void Issue(uint32_t i, bool read, bool write);
    void Submit(bool waitForOne);
    void Await(int64_t now, int64_t nextDue);
    bool Reap(int64_t timeoutNs);
    void Drain(int64_t drainNs);
    void Finish(Stream& st, int64_t start, int64_t end, uint32_t error, bool called);
    int32_t Registered(const void* buffer) const;

    const LoopRun& r_;
    VolumeStats& v_;
    const uint32_t size_;
    const int64_t frequency_;
    const uint32_t count_;
    std::vector<Stream> streams_;
    // The streams queued in this pass, in order; the last `unsent_` of them not yet handed to the system.
    std::vector<uint32_t> issued_;
    uint32_t issuedCount_ = 0, unsent_ = 0;
    Schedule schedule_;
    HandOver handOver_;
    // Operations this worker may still make; negative: no limit.
    int64_t allowed_;
    PendingRecords pending_;
};

// Every stream's positions, generator, portion and buffers, and their registration with the queue: all
// before the test time starts, so that none of it is timed.
LoopResult Streams::SetUp() {
    LoopResult result;
    bool buffers = true;
    for (size_t i = 0; i < streams_.size(); ++i) {
        Stream& st = streams_[i];
        st.random.Seed(r_.seed + 0x9E3779B97F4A7C15ull * (i + 1));
        st.walker = Walker{v_.TestMethod, v_.BlockCount};
        st.walker.Start(st.random);
        st.readsLeft = v_.ReadsPerPortion;
        st.writesLeft = v_.WritesPerPortion;
        st.readBuffer = r_.device.AllocateBuffer(size_);
        buffers = buffers && st.readBuffer;
        // A verified write carries its own header over the run's data: in a buffer of the stream's own, apart
        // from the one its reads land in.
        if (r_.verifier && !r_.readOnly) {
            st.writeBuffer = r_.device.AllocateBuffer(size_);
            buffers = buffers && st.writeBuffer;
            if (st.writeBuffer)
                st.check = StreamVerification(r_.verifier, r_.disk, r_.worker, static_cast<uint32_t>(i),
                                              st.writeBuffer, r_.randomBuffer, size_);
        }
    }
    if (!buffers) {
        result.outcome = LoopOutcome::NoBuffers;
        return result;
    }
    if (v_.RegisterBuffers) {
        // Registered, every buffer an operation can carry is named by its index: the streams' read buffers,
        // their write buffers, then the run's data and zeros (Registered).
        std::vector<void*> list;
        for (const Stream& st : streams_) list.push_back(st.readBuffer);
        for (const Stream& st : streams_)
            if (st.writeBuffer) list.push_back(st.writeBuffer);
        list.push_back(const_cast<void*>(r_.randomBuffer));
        list.push_back(const_cast<void*>(r_.zeroBuffer));
        result.error = r_.queue.RegisterBuffers(list.data(), static_cast<uint32_t>(list.size()), size_);
        if (result.error != 0) result.outcome = LoopOutcome::NotRegistered;
    }
    return result;
}

int32_t Streams::Registered(const void* buffer) const {
    if (!v_.RegisterBuffers) return -1;
    const uint32_t written = r_.verifier && !r_.readOnly ? count_ : 0;
    if (buffer == r_.randomBuffer) return static_cast<int32_t>(count_ + written);
    if (buffer == r_.zeroBuffer) return static_cast<int32_t>(count_ + written + 1);
    return -1;
}

// Passes until the run is over, then the drain. The worker's records are attached for exactly this long.
void Streams::Run(int64_t drainNs) {
    const PendingScope recording(pending_, r_.shared.Log, v_, r_.disk, size_, frequency_);
    while (!r_.runOver()) {
        if (allowed_ == 0 && r_.queue.InFlight() == 0) {
            // Its share made and completed: the worker waits for the run's end.
            pending_.Flush();
            r_.shared.SleepUnlessNs(10'000'000, r_.runOver);
            continue;
        }
        Pass();
    }
    Drain(drainNs);
}

// A pausing stream waits for its pause to end. The counter is read only when a stream pauses or a schedule
// is kept: a pass of the synchronous worker reads it twice, around its call, and nowhere else.
bool Streams::Pausing(Stream& st, int64_t& now, int64_t& nextDue) {
    if (st.resumeAt == 0) return false;
    if (now == 0) now = platform::CounterNow();
    if (st.resumeAt > now) {
        nextDue = std::min(nextDue, st.resumeAt);
        return true;
    }
    st.resumeAt = 0;
    return false;
}

// Every stream that is neither in flight nor waiting makes its next operation; they go to the system
// `batch` at a time, the last ones after the pass. Then the wait.
void Streams::Pass() {
    issuedCount_ = 0;
    const uint32_t batch = handOver_.Batch();
    int64_t now = 0;
    int64_t nextDue = INT64_MAX;
    for (uint32_t i = 0; i < count_ && allowed_ != 0; ++i) {
        Stream& st = streams_[i];
        if (st.inFlight || Pausing(st, now, nextDue)) continue;
        if (schedule_.On()) {
            if (now == 0) now = platform::CounterNow();
            // Not due yet: no stream takes the slot before its time.
            if (!schedule_.Due(now, nextDue)) break;
        }
        const bool read = st.readsLeft > 0;
        const bool write = !read && !r_.readOnly && st.writesLeft > 0;
        if (!read && !write) {
            // A pass that issues no call: timed between two readings with nothing between them, and recorded
            // with the stream's last result.
            const int64_t start = platform::CounterNow();
            const int64_t end = platform::CounterNow();
            Finish(st, start, end, st.lastError, false);
            continue;
        }
        if (unsent_ == batch) Submit(false);
        if (!r_.queue.Queue(Request(i, read, write))) break;
        Issue(i, read, write);
    }
    // The wait is for when every stream is busy, or none will be due.
    if (unsent_ > 0) Submit(issuedCount_ == count_ || nextDue == INT64_MAX);
    Await(now, nextDue);
}

// The request stream i makes now: what it carries, where, and in which registered buffer.
platform::IoRequest Streams::Request(uint32_t i, bool read, bool write) const {
    const Stream& st = streams_[i];
    platform::IoRequest q;
    q.size = size_;
    q.offset = st.walker.p * v_.BlockSize;
    q.tag = i;
    q.write = write;
    if (read) {
        q.buffer = st.readBuffer;
        q.fixedBuffer = v_.RegisterBuffers ? static_cast<int32_t>(i) : -1;
    } else if (st.check.On()) {
        q.buffer = st.writeBuffer;
        q.fixedBuffer = v_.RegisterBuffers ? static_cast<int32_t>(count_ + i) : -1;
    } else {
        q.buffer = const_cast<void*>(st.walker.p == 0 ? r_.zeroBuffer : r_.randomBuffer);
        q.fixedBuffer = Registered(q.buffer);
    }
    return q;
}

// Queued: what the operation carries and what it is checked against are settled now, before the submission.
void Streams::Issue(uint32_t i, bool read, bool write) {
    Stream& st = streams_[i];
    st.read = read;
    st.write = write;
    --(write ? st.writesLeft : st.readsLeft);
    st.offset = st.walker.p * v_.BlockSize;
    if (st.check.On()) {
        if (read) st.check.PrepareRead(st.walker.p);
        if (write) st.check.PrepareWrite(st.walker.p, st.offset);
    }
    st.inFlight = true;
    if (schedule_.On()) st.intended = schedule_.Take();
    issued_[issuedCount_++] = i;
    ++unsent_;
    if (allowed_ > 0) --allowed_;
}

// Hands what is queued to the system; submitting waits for the first completion too when asked (one call
// for both).
void Streams::Submit(bool waitForOne) {
    const uint32_t from = issuedCount_ - unsent_;
    unsent_ = 0;
    const uint32_t error = r_.queue.Submit(waitForOne);
    if (error != 0) {
        // Refused before reaching the device: failed operations that took no time there.
        const int64_t now = platform::CounterNow();
        for (uint32_t k = from; k < issuedCount_; ++k) Finish(streams_[issued_[k]], now, now, error, true);
    }
}

// With nothing in flight every free stream waits: sleep until the first is due, or the run ends. Otherwise
// wait for one completion (at most until a stream is due, and 10 ms: a device that never answers is noticed
// by the end of the run), then take every other that is ready.
void Streams::Await(int64_t now, int64_t nextDue) {
    if (r_.queue.InFlight() == 0) {
        if (nextDue != INT64_MAX) {
            pending_.Flush();
            const int64_t waitNs =
                platform::MulDiv(nextDue - platform::CounterNow(), 1'000'000'000, frequency_);
            // A slot is met by waking a little early and reading the counter until it is due: a sleep alone
            // overshoots by tens of microseconds.
            const int64_t early = schedule_.On() ? 100'000 : 0;
            if (waitNs > 2 * early && waitNs > 0) r_.shared.SleepUnlessNs(waitNs - early, r_.runOver);
        }
        return;
    }
    const int64_t waitNs =
        nextDue == INT64_MAX
            ? 10'000'000
            : std::clamp<int64_t>(platform::MulDiv(nextDue - now, 1'000'000'000, frequency_), 0, 10'000'000);
    if (Reap(waitNs))
        while (r_.queue.InFlight() > 0 && Reap(0)) {
        }
}

// One completion (waiting up to timeoutNs), as the queue timed it; it also tells the hand-over.
bool Streams::Reap(int64_t timeoutNs) {
    platform::IoCompletion c;
    if (!r_.queue.Reap(c, timeoutNs)) return false;
    if (c.tag < count_ && streams_[c.tag].inFlight) {
        Finish(streams_[c.tag], c.start, c.end, c.error, true);
        handOver_.Completed(c.end);
    }
    return true;
}

// The run is over: what is in flight finishes or is cancelled (drainNs each), and every completion is
// recorded once; each wait is 10 ms so the deadlines are kept.
void Streams::Drain(int64_t drainNs) {
    const int64_t deadline = platform::CounterNow() + platform::MulDiv(drainNs, frequency_, 1'000'000'000);
    while (r_.queue.InFlight() > 0 && platform::CounterNow() < deadline) Reap(10'000'000);
    if (r_.queue.InFlight() > 0) {
        r_.queue.CancelAll();
        const int64_t last = platform::CounterNow() + platform::MulDiv(drainNs, frequency_, 1'000'000'000);
        while (r_.queue.InFlight() > 0 && platform::CounterNow() < last) Reap(10'000'000);
    }
}

// A pass's end for one stream, as a synchronous worker ends it: the verdict on the data, the end of the
// portion with its pause (the pause falls after the call was timed and is part of no operation), the record,
// then the next position.
void Streams::Finish(Stream& st, int64_t start, int64_t end, uint32_t error, bool called) {
    st.inFlight = false;
    const bool wrote = st.write;
    if (called) {
        if (st.check.On()) {
            if (st.read) error = st.check.FinishRead(st.readBuffer, st.offset, error, end);
            if (st.write) st.check.FinishWrite(error);
        }
        st.lastError = error;
    }
    st.read = st.write = false;
    if (PortionDone(st)) {
        // A negative pause is treated as none; it never reaches the sleep or the draw.
        if (v_.PauseMs > 0) {
            const int32_t t =
                v_.PauseFixed ? v_.PauseMs
                              : static_cast<int32_t>(st.random.Random(static_cast<uint32_t>(v_.PauseMs) + 1));
            if (t > 0) st.resumeAt = end + static_cast<int64_t>(t) * frequency_ / 1000;
        }
        st.readsLeft = v_.ReadsPerPortion;
        st.writesLeft = v_.WritesPerPortion;
    }
    pending_.Add(start, end, st.lastError, wrote, called ? st.intended : 0);
    st.intended = 0;
    st.walker.Next(st.random);
}

// What the hand-over settled on, into the volume's record (queued workers only).
void Streams::Tally() {
    if (count_ <= 1) return;
    HandOverTally tally;
    tally.adaptive = handOver_.Adaptive();
    tally.changes = handOver_.Changes();
    tally.levels = std::min(handOver_.Levels(), HandOverTally::kLevels);
    for (int k = 0; k < tally.levels; ++k) {
        tally.batch[static_cast<size_t>(k)] = handOver_.LevelBatch(k);
        tally.completions[static_cast<size_t>(k)] = handOver_.CompletionsAt(k);
    }
    std::lock_guard lock(v_.Lock);
    v_.HandOvers.Merge(tally);
}

}  // namespace

LoopResult RunOperations(const LoopRun& r, int64_t drainNs) {
    Streams streams(r);
    const LoopResult result = streams.SetUp();
    if (result.outcome != LoopOutcome::Ran || !r.prepared()) return result;
    streams.Run(drainNs);
    streams.Tally();
    return result;
}

}  // namespace engine

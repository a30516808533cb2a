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

}  // namespace

LoopResult RunOperations(const LoopRun& r, int64_t drainNs) {
    VolumeStats& v = r.volume;
    const uint32_t s = static_cast<uint32_t>(v.BlockSize);
    const int64_t f = platform::CounterFrequency();
    std::vector<Stream> streams(r.streams);
    const uint32_t count = r.streams;
    bool buffers = true;
    for (size_t i = 0; i < streams.size(); ++i) {
        Stream& st = streams[i];
        st.random.Seed(r.seed + 0x9E3779B97F4A7C15ull * (i + 1));
        st.walker = Walker{v.TestMethod, v.BlockCount};
        st.walker.Start(st.random);
        st.readsLeft = v.ReadsPerPortion;
        st.writesLeft = v.WritesPerPortion;
        st.readBuffer = r.device.AllocateBuffer(s);
        buffers = buffers && st.readBuffer;
        // A verified write carries its own header over the run's data: in a buffer of the stream's own, apart
        // from the one its reads land in.
        if (r.verifier && !r.readOnly) {
            st.writeBuffer = r.device.AllocateBuffer(s);
            buffers = buffers && st.writeBuffer;
            if (st.writeBuffer)
                st.check = StreamVerification(r.verifier, r.disk, r.worker, static_cast<uint32_t>(i),
                                              st.writeBuffer, r.randomBuffer, s);
        }
    }
    LoopResult result;
    auto release = [&] {
        for (Stream& st : streams)
            for (void* b : {st.readBuffer, st.writeBuffer})
                if (b) r.device.FreeBuffer(b);
        return result;
    };
    if (!buffers) {
        result.outcome = LoopOutcome::NoBuffers;
        return release();
    }
    // Registered, every buffer an operation can carry is named by its index: the streams' read buffers, their
    // write buffers, then the run's data and zeros.
    const uint32_t written = r.verifier && !r.readOnly ? count : 0;
    const auto fixed = [&](const void* buffer) -> int32_t {
        if (!v.RegisterBuffers) return -1;
        if (buffer == r.randomBuffer) return static_cast<int32_t>(count + written);
        if (buffer == r.zeroBuffer) return static_cast<int32_t>(count + written + 1);
        return -1;
    };
    if (v.RegisterBuffers) {
        std::vector<void*> list;
        for (const Stream& st : streams) list.push_back(st.readBuffer);
        for (uint32_t i = 0; i < written; ++i) list.push_back(streams[i].writeBuffer);
        list.push_back(const_cast<void*>(r.randomBuffer));
        list.push_back(const_cast<void*>(r.zeroBuffer));
        result.error = r.queue.RegisterBuffers(list.data(), static_cast<uint32_t>(list.size()), s);
        if (result.error != 0) {
            result.outcome = LoopOutcome::NotRegistered;
            return release();
        }
    }

    if (!r.prepared()) return release();

    PendingRecords pending;
    const PendingScope recording(pending, r.shared.Log, v, r.disk, s, f);
    // A pass's end for one stream, as a synchronous worker ends it: the verdict on the data, the end of the
    // portion with its pause (the pause falls after the call was timed and is part of no operation), the
    // record, then the next position.
    auto finish = [&](Stream& st, int64_t start, int64_t end, uint32_t error, bool called) {
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
            if (v.PauseMs > 0) {
                const int32_t t =
                    v.PauseFixed
                        ? v.PauseMs
                        : static_cast<int32_t>(st.random.Random(static_cast<uint32_t>(v.PauseMs) + 1));
                if (t > 0) st.resumeAt = end + static_cast<int64_t>(t) * f / 1000;
            }
            st.readsLeft = v.ReadsPerPortion;
            st.writesLeft = v.WritesPerPortion;
        }
        pending.Add(start, end, st.lastError, wrote, called ? st.intended : 0);
        st.intended = 0;
        st.walker.Next(st.random);
    };
    // Reaps one completion (waiting up to timeoutNs); the queue has timed it.
    // The hand-over of queued operations: as asked, or found from the completions as they come.
    HandOver handOver(count, static_cast<uint32_t>(std::max(v.SubmitBatch, 0)), f / 20);
    auto reapOne = [&](int64_t timeoutNs) {
        platform::IoCompletion c;
        if (!r.queue.Reap(c, timeoutNs)) return false;
        if (c.tag < count && streams[c.tag].inFlight) {
            finish(streams[c.tag], c.start, c.end, c.error, true);
            handOver.Completed(c.end);
        }
        return true;
    };

    // The streams queued in this pass, in order; the last `unsent` of them not yet handed to the system.
    std::vector<uint32_t> issued(count);
    uint32_t issuedCount = 0, unsent = 0;
    auto submit = [&](bool waitForOne) {
        const uint32_t from = issuedCount - unsent;
        unsent = 0;
        // Submitting waits for the first completion too when asked: one call for both.
        const uint32_t error = r.queue.Submit(waitForOne);
        if (error != 0) {
            // Refused before reaching the device: failed operations that took no time there.
            const int64_t now = platform::CounterNow();
            for (uint32_t k = from; k < issuedCount; ++k) finish(streams[issued[k]], now, now, error, true);
        }
    };

    // Open loop: the worker's schedule, one intended start a slot, fixed gaps or exponential ones. A free
    // stream takes the next slot once it is due; a slot already past is taken at once (its operation is late,
    // and counted so, never dropped), so the rate asked is kept however the device keeps up.
    const bool open = v.RatePerWorker > 0;
    ArrivalGaps gaps(open ? static_cast<double>(f) / v.RatePerWorker : 0, v.Poisson, r.seed ^ 0x5DEECE66Dull);
    double nextSlot = 0;  // counter ticks; 0: the first pass sets it
    // Operations this worker may still make; negative: no limit.
    int64_t allowed = v.OperationsPerWorker > 0 ? v.OperationsPerWorker : -1;
    while (!r.runOver()) {
        if (allowed == 0 && r.queue.InFlight() == 0) {
            // Its share made and completed: the worker waits for the run's end.
            pending.Flush();
            r.shared.SleepUnlessNs(10'000'000, r.runOver);
            continue;
        }
        // Every stream that is neither in flight nor pausing makes its next operation; they go to the system
        // `batch` at a time, the last ones after the pass.
        issuedCount = 0;
        const uint32_t batch = handOver.Batch();
        // The counter is read only when a stream pauses: a pass of the synchronous worker reads it twice,
        // around its call, and nowhere else.
        int64_t now = 0;
        int64_t nextResume = INT64_MAX;
        for (uint32_t i = 0; i < count && allowed != 0; ++i) {
            Stream& st = streams[i];
            if (st.inFlight) continue;
            if (st.resumeAt != 0) {
                if (now == 0) now = platform::CounterNow();
                if (st.resumeAt > now) {
                    nextResume = std::min(nextResume, st.resumeAt);
                    continue;
                }
                st.resumeAt = 0;
            }
            if (open) {
                if (now == 0) now = platform::CounterNow();
                if (nextSlot == 0) nextSlot = static_cast<double>(now);
                if (nextSlot > static_cast<double>(now)) {
                    // Not due yet: no stream takes it before its time.
                    nextResume = std::min(nextResume, static_cast<int64_t>(nextSlot) + 1);
                    break;
                }
            }
            const bool read = st.readsLeft > 0;
            const bool write = !read && !r.readOnly && st.writesLeft > 0;
            if (!read && !write) {
                // A pass that issues no call: timed between two readings with nothing between them, and
                // recorded with the stream's last result.
                const int64_t start = platform::CounterNow();
                const int64_t end = platform::CounterNow();
                finish(st, start, end, st.lastError, false);
                continue;
            }
            platform::IoRequest q;
            q.size = s;
            q.offset = st.walker.p * v.BlockSize;
            q.tag = i;
            q.write = write;
            if (read) {
                q.buffer = st.readBuffer;
                q.fixedBuffer = v.RegisterBuffers ? static_cast<int32_t>(i) : -1;
            } else if (st.check.On()) {
                q.buffer = st.writeBuffer;
                q.fixedBuffer = v.RegisterBuffers ? static_cast<int32_t>(count + i) : -1;
            } else {
                q.buffer = const_cast<void*>(st.walker.p == 0 ? r.zeroBuffer : r.randomBuffer);
                q.fixedBuffer = fixed(q.buffer);
            }
            if (unsent == batch) submit(false);
            if (!r.queue.Queue(q)) break;
            // Queued: what it carries and what it is checked against are settled now, before the submission.
            st.read = read;
            st.write = write;
            --(write ? st.writesLeft : st.readsLeft);
            st.offset = q.offset;
            if (st.check.On()) {
                if (read) st.check.PrepareRead(st.walker.p);
                if (write) st.check.PrepareWrite(st.walker.p, q.offset);
            }
            st.inFlight = true;
            if (open) {
                st.intended = static_cast<int64_t>(nextSlot);
                nextSlot += gaps.Next();
            }
            issued[issuedCount++] = i;
            ++unsent;
            if (allowed > 0) --allowed;
        }
        // The wait is for when every stream is busy, or none will resume from a pause.
        if (unsent > 0) submit(issuedCount == count || nextResume == INT64_MAX);
        if (r.queue.InFlight() == 0) {
            // Every stream pauses: sleep until the first resumes, or the run ends.
            if (nextResume != INT64_MAX) {
                pending.Flush();
                const int64_t waitNs =
                    platform::MulDiv(nextResume - platform::CounterNow(), 1'000'000'000, f);
                // A slot is met by waking a little early and reading the counter until it is due: a sleep
                // alone overshoots by tens of microseconds.
                const int64_t early = open ? 100'000 : 0;
                if (waitNs > 2 * early && waitNs > 0) r.shared.SleepUnlessNs(waitNs - early, r.runOver);
            }
            continue;
        }
        // Wait for one completion (at most until a paused stream resumes, and 10 ms: a device that never
        // answers is noticed by the end of the run), then take every other that is ready.
        const int64_t waitNs =
            nextResume == INT64_MAX
                ? 10'000'000
                : std::clamp<int64_t>(platform::MulDiv(nextResume - now, 1'000'000'000, f), 0, 10'000'000);
        if (reapOne(waitNs))
            while (r.queue.InFlight() > 0 && reapOne(0)) {
            }
    }

    // The run is over: what is in flight finishes or is cancelled (kDrainNs), and every completion is
    // recorded once; each wait is 10 ms so the deadlines are kept.
    const int64_t deadline = platform::CounterNow() + platform::MulDiv(drainNs, f, 1'000'000'000);
    while (r.queue.InFlight() > 0 && platform::CounterNow() < deadline) reapOne(10'000'000);
    if (r.queue.InFlight() > 0) {
        r.queue.CancelAll();
        const int64_t last = platform::CounterNow() + platform::MulDiv(drainNs, f, 1'000'000'000);
        while (r.queue.InFlight() > 0 && platform::CounterNow() < last) reapOne(10'000'000);
    }
    if (count > 1) {
        HandOverTally tally;
        tally.adaptive = handOver.Adaptive();
        tally.changes = handOver.Changes();
        tally.levels = std::min(handOver.Levels(), HandOverTally::kLevels);
        for (int k = 0; k < tally.levels; ++k) {
            tally.batch[static_cast<size_t>(k)] = handOver.LevelBatch(k);
            tally.completions[static_cast<size_t>(k)] = handOver.CompletionsAt(k);
        }
        std::lock_guard lock(v.Lock);
        v.HandOvers.Merge(tally);
    }
    return release();
}

}  // namespace engine

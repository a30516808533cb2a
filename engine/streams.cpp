#include "engine/streams.h"

#include <algorithm>
#include <vector>

#include "engine/pending.h"
#include "engine/walker.h"
#include "platform/clock.h"
#include "platform/error_codes.h"

namespace engine {

namespace {

struct Stream {
    Walker walker;
    WorkerRandom random;
    int32_t readsLeft = 0;
    int32_t writesLeft = 0;
    void* buffer = nullptr;
    int64_t start = 0;     // counter reading before the submission that carried the operation in flight
    int64_t resumeAt = 0;  // counter reading until which the stream pauses between portions
    bool inFlight = false;
    bool read = false, write = false;
    int64_t offset = 0;
    StreamVerification check;
};

}  // namespace

bool RunStreams(const StreamRun& r, int64_t drainNs) {
    VolumeStats& v = r.volume;
    const uint32_t s = static_cast<uint32_t>(v.BlockSize);
    const int64_t f = platform::CounterFrequency();
    std::vector<Stream> streams(r.streams);
    bool buffers = true;
    for (size_t i = 0; i < streams.size(); ++i) {
        Stream& st = streams[i];
        st.random.Seed(r.seed + 0x9E3779B97F4A7C15ull * (i + 1));
        st.walker = Walker{v.TestMethod, v.BlockCount};
        st.walker.Start(st.random);
        st.readsLeft = v.ReadsPerPortion;
        st.writesLeft = v.WritesPerPortion;
        st.buffer = r.device.AllocateBuffer(s);
        buffers = buffers && st.buffer;
        // A verified write carries its own header, so it is made in the stream's one buffer.
        if (st.buffer && r.verifier)
            st.check = StreamVerification(r.verifier, r.disk, r.worker, static_cast<uint32_t>(i), st.buffer,
                                          r.randomBuffer, s);
    }
    auto release = [&] {
        for (Stream& st : streams)
            if (st.buffer) r.device.FreeBuffer(st.buffer);
        return buffers;
    };
    if (!buffers) return release();

    std::vector<uint32_t> issued;
    issued.reserve(streams.size());
    PendingRecords pending;
    const PendingScope recording(pending, r.shared.Log, v, r.disk, s, f);
    auto record = [&](Stream& st, int64_t end, uint32_t error) {
        st.inFlight = false;
        if (st.check.On()) {
            if (st.read) error = st.check.FinishRead(st.buffer, st.offset, error, end);
            if (st.write) st.check.FinishWrite(error);
        }
        st.read = st.write = false;
        pending.Add(st.start, end, error);
        st.walker.Next(st.random);
        if (st.readsLeft + st.writesLeft <= 0) {
            // The end of the stream's portion: its pause, then a fresh portion.
            if (v.PauseMs > 0) {
                const int32_t t =
                    v.PauseFixed
                        ? v.PauseMs
                        : static_cast<int32_t>(st.random.Random(static_cast<uint32_t>(v.PauseMs) + 1));
                st.resumeAt = end + static_cast<int64_t>(t) * f / 1000;
            }
            st.readsLeft = v.ReadsPerPortion;
            st.writesLeft = v.WritesPerPortion;
        }
    };
    // Reaps one completion (waiting up to timeoutNs), reading the counter as soon as it is in hand.
    auto reapOne = [&](int64_t timeoutNs) {
        platform::AsyncCompletion c;
        if (!r.queue.Reap(c, timeoutNs)) return false;
        const int64_t end = platform::CounterNow();
        if (c.tag < streams.size() && streams[c.tag].inFlight) record(streams[c.tag], end, c.error);
        return true;
    };

    // Hands the last `unsent` operations of this pass to the system, each timed from just before the call.
    size_t unsent = 0;
    const size_t batch = static_cast<size_t>(std::max(v.SubmitBatch, 1));
    auto submit = [&](bool waitForOne) {
        const size_t from = issued.size() - unsent;
        unsent = 0;
        const int64_t start = platform::CounterNow();
        // Submitting waits for the first completion too when asked: one call for both.
        const uint32_t error = r.queue.Submit(waitForOne);
        for (size_t k = from; k < issued.size(); ++k) streams[issued[k]].start = start;
        if (error != 0) {
            const int64_t end = platform::CounterNow();
            for (size_t k = from; k < issued.size(); ++k) record(streams[issued[k]], end, error);
        }
    };

    while (!r.runOver()) {
        // Every stream that is neither in flight nor pausing queues its next operation; they go to the
        // system `batch` at a time, the last ones after the pass.
        issued.clear();
        const int64_t now = platform::CounterNow();
        int64_t nextResume = INT64_MAX;
        for (uint32_t i = 0; i < streams.size(); ++i) {
            Stream& st = streams[i];
            if (st.inFlight) continue;
            if (st.resumeAt > now) {
                nextResume = std::min(nextResume, st.resumeAt);
                continue;
            }
            platform::AsyncRequest q;
            q.size = s;
            q.offset = st.walker.p * v.BlockSize;
            q.tag = i;
            st.offset = q.offset;
            if (st.readsLeft > 0) {
                q.buffer = st.buffer;
            } else if (!r.readOnly && st.writesLeft > 0) {
                q.write = true;
                q.buffer = st.check.On()
                               ? st.buffer
                               : const_cast<void*>(st.walker.p == 0 ? r.zeroBuffer : r.randomBuffer);
            } else {
                // A portion without reads or writes issues nothing; such a stream only pauses.
                st.readsLeft = st.writesLeft = 0;
                st.start = now;
                st.inFlight = true;
                record(st, now, platform::kNoCall);
                continue;
            }
            if (unsent == batch) submit(false);
            if (!r.queue.Queue(q)) break;
            // Queued: the data it carries is made now, before the submission hands it over.
            st.read = !q.write;
            st.write = q.write;
            --(q.write ? st.writesLeft : st.readsLeft);
            if (st.check.On()) {
                if (st.read) st.check.PrepareRead(st.walker.p);
                if (st.write) st.check.PrepareWrite(st.walker.p, q.offset);
            }
            st.inFlight = true;
            issued.push_back(i);
            ++unsent;
        }
        // The wait is for when every stream is busy, or none will resume from a pause.
        if (unsent > 0) submit(issued.size() == streams.size() || nextResume == INT64_MAX);
        if (r.queue.InFlight() == 0) {
            // Every stream pauses: sleep until the first resumes, or the run ends.
            if (nextResume != INT64_MAX) {
                pending.Flush();
                const int64_t waitMs = (nextResume - platform::CounterNow()) * 1000 / f + 1;
                r.shared.SleepUnless(static_cast<int32_t>(std::clamp<int64_t>(waitMs, 0, 1000)), r.runOver);
            }
            continue;
        }
        // Wait for one completion, then take every other that is ready, each timed as it is reaped.
        const int64_t waitNs =
            nextResume == INT64_MAX
                ? 10'000'000
                : std::clamp<int64_t>((nextResume - now) * 1'000'000'000 / f, 0, 10'000'000);
        if (reapOne(waitNs))
            while (reapOne(0)) {
            }
    }

    // The run is over: what is in flight finishes or is cancelled, and every completion is recorded once.
    const int64_t deadline = platform::CounterNow() + drainNs * f / 1'000'000'000;
    while (r.queue.InFlight() > 0 && platform::CounterNow() < deadline) reapOne(10'000'000);
    if (r.queue.InFlight() > 0) {
        r.queue.CancelAll();
        const int64_t last = platform::CounterNow() + drainNs * f / 1'000'000'000;
        while (r.queue.InFlight() > 0 && platform::CounterNow() < last) reapOne(10'000'000);
    }
    return release();
}

}  // namespace engine

#include "engine/records.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

#include "engine/operation_log.h"
#include "engine/pending.h"

using namespace engine;

namespace {

constexpr uint32_t kEIO = 5;
constexpr int64_t kFreq = 10'000'000;  // 10 MHz: the bucket is ticks / 100

std::unique_ptr<VolumeStats> Record(int64_t period) {
    auto v = std::make_unique<VolumeStats>();
    v->PeriodTicks = period;
    return v;
}

}  // namespace

TEST(LatencyBucket, BoundariesAndClamping) {
    EXPECT_EQ(LatencyBucket(99, kFreq), 0);   // under 10 us
    EXPECT_EQ(LatencyBucket(100, kFreq), 1);  // exactly 10 us
    EXPECT_EQ(LatencyBucket(12'345, kFreq), 123);
    EXPECT_EQ(LatencyBucket(32'767'999, kFreq), 327'679);
    EXPECT_EQ(LatencyBucket(32'768'000, kFreq), kHistogramTop);  // 3.2768 s
    EXPECT_EQ(LatencyBucket(50'000'000, kFreq), kHistogramTop);  // 5 s
    // Durations whose product would overflow, negative durations and a zero frequency stay inside.
    EXPECT_EQ(LatencyBucket(INT64_MAX, kFreq), kHistogramTop);
    EXPECT_EQ(LatencyBucket(-5, kFreq), 0);
    EXPECT_EQ(LatencyBucket(5, 0), kHistogramTop);
    EXPECT_EQ(LatencyBucket(1'000, 1'000'000'000), 0);  // 1 us at 1 GHz
}

TEST(RecordOperation, FirstOperationOpensIntervalOne) {
    auto v = Record(1000);
    RecordOperation(*v, 100, 350, kFreq, 0, 4096);
    ASSERT_EQ(v->CurInterval, 1);
    const IntervalStats& s = v->Intervals[1];
    EXPECT_EQ(s.IOCount, 1);
    EXPECT_EQ(s.Bytes, 4096);
    EXPECT_EQ(s.BusyTicks, 250);
    EXPECT_EQ(s.MaxTicks, 250);
    EXPECT_EQ(s.MinTicks, 250);
    EXPECT_EQ(s.FirstStart, 100);
    EXPECT_EQ(s.LastEnd, 350);
    EXPECT_EQ(s.Errors, 0);
    EXPECT_EQ(v->LatencyHistogram[2], 1u);
    EXPECT_EQ(v->Total().IOCount, 0);  // Total is the aggregation's, never the worker's
}

TEST(RecordOperation, AddsWithinPeriodAndFailuresCountNoBytes) {
    auto v = Record(1000);
    RecordOperation(*v, 0, 300, kFreq, 0, 512);
    RecordOperation(*v, 300, 400, kFreq, kEIO, 512);
    RecordOperation(*v, 400, 1000, kFreq, 0,
                    512);  // ends exactly one period after FirstStart: same interval
    ASSERT_EQ(v->CurInterval, 1);
    const IntervalStats& s = v->Intervals[1];
    EXPECT_EQ(s.IOCount, 3);
    EXPECT_EQ(s.Bytes, 1024);
    EXPECT_EQ(s.Errors, 1);
    EXPECT_EQ(s.BusyTicks, 300 + 100 + 600);
    EXPECT_EQ(s.MinTicks, 100);
    EXPECT_EQ(s.MaxTicks, 600);
    EXPECT_EQ(s.LastEnd, 1000);
    EXPECT_EQ(s.Bytes, (s.IOCount - s.Errors) * 512);
}

TEST(RecordOperation, OperationEndingPastThePeriodStartsNextIntervalWithoutGaps) {
    auto v = Record(1000);
    RecordOperation(*v, 0, 10, kFreq, 0, 512);
    RecordOperation(*v, 995, 1001, kFreq, kEIO, 512);  // 1001 - 0 > 1000
    ASSERT_EQ(v->CurInterval, 2);
    EXPECT_EQ(v->Intervals[1].IOCount, 1);
    EXPECT_EQ(v->Intervals[2].IOCount, 1);
    EXPECT_EQ(v->Intervals[2].Errors, 1);
    EXPECT_EQ(v->Intervals[2].Bytes, 0);
    EXPECT_EQ(v->Intervals[2].FirstStart, 995);
    // A long gap (a pause of many periods) starts only the next interval.
    RecordOperation(*v, 50'000, 50'010, kFreq, 0, 512);
    EXPECT_EQ(v->CurInterval, 3);
    EXPECT_EQ(v->Intervals[4].IOCount, 0);
}

TEST(RecordOperation, IntervalThousandRestartsInPlace) {
    auto v = Record(10);
    int64_t t = 0;
    for (int i = 0; i < 1000; ++i, t += 100) RecordOperation(*v, t, t + 1, kFreq, 0, 512);
    ASSERT_EQ(v->CurInterval, 1000);
    RecordOperation(*v, t - 100 + 2, t - 100 + 3, kFreq, 0, 512);  // still inside interval 1000
    EXPECT_EQ(v->Intervals[1000].IOCount, 2);
    RecordOperation(*v, t + 500, t + 507, kFreq, kEIO, 512);  // completes 1000: it starts again
    EXPECT_EQ(v->RunTotal.IOCount, 1002);                     // the run total keeps every operation
    EXPECT_EQ(v->RunTotal.Errors, 1);
    EXPECT_EQ(v->CurInterval, 1000);
    EXPECT_EQ(v->Intervals[1000].IOCount, 1);
    EXPECT_EQ(v->Intervals[1000].Errors, 1);
    EXPECT_EQ(v->Intervals[1000].FirstStart, t + 500);
    EXPECT_EQ(v->Intervals[999].IOCount, 1);
}

TEST(VolumeStatsRecord, ClearingKeepsSettingsAndTotalAsAsked) {
    auto v = Record(10);
    v->BlockSize = 4096;
    RecordOperation(*v, 0, 5, kFreq, 0, 4096);
    v->Total().IOCount = 7;
    v->ClearIntervals();
    EXPECT_EQ(v->Intervals[1].IOCount, 0);
    EXPECT_EQ(v->Total().IOCount, 7);
    EXPECT_EQ(v->CurInterval, 1);
    EXPECT_EQ(v->LatencyHistogram[0], 1u);
    v->ClearCounters();
    EXPECT_EQ(v->Total().IOCount, 0);
    EXPECT_EQ(v->CurInterval, 0);
    EXPECT_EQ(v->LatencyHistogram[0], 0u);
    EXPECT_EQ(v->BlockSize, 4096);
}

TEST(OperationLog, StopsAtCapacityAndResetStartsAfresh) {
    OperationLog log(3);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(log.Append(LogEntry{512, 2, 1, i, i + 1, 7}), i < 3);
    EXPECT_EQ(log.Count(), 3u);
    EXPECT_EQ(log.CompleteCount(), 3u);
    EXPECT_EQ(log.Entries()[2].StartTicks, 2);
    log.Reset();
    EXPECT_EQ(log.Count(), 0u);
    EXPECT_EQ(log.CompleteCount(), 0u);
    // Entries of the earlier run are not counted as complete slots of the new one.
    EXPECT_TRUE(log.Append(LogEntry{512, 3, 1, 10, 11, 7}));
    EXPECT_EQ(log.CompleteCount(), 1u);
    EXPECT_EQ(log.Entries()[0].VolumeIndex, 3);

    // As a ring: drained entries free their slots, in order and whole; entries that find it full are
    // refused and counted, never written over ones not yet drained.
    log.Reset(true);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(log.Append(LogEntry{512, 2, 1, 100 + i, 101 + i, 7}), i < 3);
    EXPECT_EQ(log.Refused(), 2u);
    std::vector<int64_t> drained;
    const auto take = [&](const LogEntry* e, size_t n) {
        for (size_t k = 0; k < n; ++k) drained.push_back(e[k].StartTicks);
    };
    EXPECT_EQ(log.Drain(take), 3u);
    for (int i = 5; i < 9; ++i) EXPECT_EQ(log.Append(LogEntry{512, 2, 1, 100 + i, 101 + i, 7}), i < 8);
    EXPECT_EQ(log.Drain(take), 3u);  // across the ring's end
    EXPECT_EQ(drained, (std::vector<int64_t>{100, 101, 102, 105, 106, 107}));
    EXPECT_EQ(log.CompleteCount(), 6u);
    EXPECT_EQ(log.Refused(), 3u);
}

TEST(OperationLog, ConcurrentAppendsNeverShareASlotNorPassCapacityAndReadersSeeOnlyCompleteEntries) {
    constexpr uint32_t kCapacity = 200'000;
    OperationLog log(kCapacity);
    constexpr int kThreads = 4;
    std::atomic<bool> done{false};
    std::atomic<uint32_t> readerFaults{0};
    std::thread reader([&] {
        while (!done.load()) {
            const uint32_t n = log.CompleteCount();
            for (uint32_t k = 0; k < n; ++k) {
                const LogEntry& e = log.Entries()[k];
                // Every field of a complete entry belongs to the same append.
                if (e.Frequency != 1000 + e.VolumeIndex || e.EndTicks != e.StartTicks + 1 ||
                    e.RequestSize != 4096)
                    readerFaults.fetch_add(1);
            }
        }
    });
    std::vector<std::thread> writers;
    std::atomic<uint32_t> accepted{0};
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&, t] {
            for (int64_t i = 0; i < 60'000; ++i)
                if (log.Append(LogEntry{4096, static_cast<int16_t>(t), 1, t * 1'000'000 + i,
                                        t * 1'000'000 + i + 1, 1000 + t}))
                    accepted.fetch_add(1);
        });
    }
    for (auto& w : writers) w.join();
    done = true;
    reader.join();
    EXPECT_EQ(readerFaults.load(), 0u);
    EXPECT_EQ(accepted.load(), kCapacity);
    EXPECT_EQ(log.Count(), kCapacity);
    EXPECT_EQ(log.CompleteCount(), kCapacity);
    std::set<int64_t> starts;
    for (uint32_t k = 0; k < kCapacity; ++k) starts.insert(log.Entries()[k].StartTicks);
    EXPECT_EQ(starts.size(), kCapacity);  // no slot was filled twice
}

TEST(RecordOperation, AnIntervalEndsAtTheLatestEndSeen) {
    // With random pauses a portion's last operation is recorded after a faster one of another worker.
    auto v = Record(1'000'000);
    RecordOperation(*v, 100, 200, kFreq, 0, 512);
    RecordOperation(*v, 150, 900, kFreq, 0, 512);
    RecordOperation(*v, 120, 130, kFreq, 0, 512);  // recorded last, ended first
    EXPECT_EQ(v->Intervals[1].LastEnd, 900);
    EXPECT_EQ(v->Intervals[1].FirstStart, 100);
    EXPECT_EQ(v->RunTotal.LastEnd, 900);
}

namespace {

// A volume whose workers' operations reach it through PendingRecords.
struct Batched {
    std::unique_ptr<VolumeStats> v = Record(1'000'000'000);
    OperationLog log{1'000'000};
    int64_t Recorded() {
        std::lock_guard lock(v->Lock);  // what is recorded, without taking anything pending
        return v->RunTotal.IOCount;
    }
};

}  // namespace

TEST(PendingRecords, ABatchIsRecordedInOrderWithItsLogEntriesWhenCompleteOldOrRead) {
    Batched b;
    PendingRecords p;
    p.Attach(*b.v, b.log, 3, 4096, kFreq, 1000);
    for (int64_t i = 0; i < 10; ++i) p.Add(i * 10, i * 10 + 5, i == 4 ? kEIO : 0, false);
    EXPECT_EQ(b.Recorded(), 0);
    EXPECT_EQ(b.log.Count(), 0u);
    {
        const auto lock = LockUpToDate(*b.v);  // a reader sees every finished operation
        EXPECT_EQ(b.v->RunTotal.IOCount, 10);
        EXPECT_EQ(b.v->RunTotal.Errors, 1);
        EXPECT_EQ(b.v->Causes.entries[0].code, kEIO);
        EXPECT_EQ(b.v->Intervals[1].IOCount, 10);
    }
    ASSERT_EQ(b.log.CompleteCount(), 10u);
    for (uint32_t k = 0; k < 10; ++k) {
        const LogEntry& e = b.log.Entries()[k];
        EXPECT_EQ(e.StartTicks, k * 10);
        EXPECT_EQ(e.EndTicks, k * 10 + 5);
        EXPECT_EQ(e.VolumeIndex, 3);
        EXPECT_EQ(e.RequestSize, 4096);
        EXPECT_EQ(e.Frequency, kFreq);
        EXPECT_EQ(e.Success, k == 4 ? 0 : 1);
    }
    // Complete: the worker records its batch itself, the lock taken once.
    for (int64_t i = 0; i < PendingRecords::kBatch - 1; ++i) p.Add(200 + i, 201 + i, 0, false);
    EXPECT_EQ(b.Recorded(), 10);
    p.Add(300, 301, 0, false);
    EXPECT_EQ(b.Recorded(), 10 + PendingRecords::kBatch);
    // Old: an operation ending past the batch's time records the batch.
    p.Add(400, 401, 0, false);
    p.Add(1300, 1401, 0, false);
    EXPECT_EQ(b.Recorded(), 10 + PendingRecords::kBatch);
    p.Add(1500, 1402, 0, false);  // 1402 > 401 + 1000
    EXPECT_EQ(b.Recorded(), 13 + PendingRecords::kBatch);
    p.Add(1600, 2700, 0, false);  // slower than a batch may wait: recorded at once, not when the next ends
    EXPECT_EQ(b.Recorded(), 14 + PendingRecords::kBatch);
    p.Add(2800, 2801, 0, false);
    p.Detach();  // leaving the run records the rest
    EXPECT_EQ(b.Recorded(), 15 + PendingRecords::kBatch);
    EXPECT_EQ(b.v->Pending, nullptr);
    EXPECT_EQ(b.log.CompleteCount(), 15u + PendingRecords::kBatch);
}

// Two workers of one volume must not sleep on its Lock: a batch whose Lock is busy goes on gathering, a
// slow operation too, and only a full ring waits for it.
TEST(PendingRecords, ABusyLockDefersTheBatchWithoutWaitingUntilTheRingIsFull) {
    Batched b;
    PendingRecords p;
    p.Attach(*b.v, b.log, 0, 4096, kFreq, 1000);
    std::unique_lock held(b.v->Lock);
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        p.Add(0, 2000, 0, false);  // slower than a batch may wait
        for (int64_t i = 1; i < PendingRecords::kCapacity - 1; ++i) p.Add(2000 + i, 2001 + i, 0, false);
        returned = true;
    });
    // A worker that waits for the Lock never returns while it is held: fail instead of hanging.
    for (int k = 0; k < 1000 && !returned; ++k) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(returned.load());
    EXPECT_EQ(b.v->RunTotal.IOCount, 0);
    held.unlock();
    worker.join();
    constexpr int64_t kLater = 10 * PendingRecords::kCapacity;
    p.Add(kLater, kLater + 1, 0, false);  // the Lock is free again: the whole deferred batch goes
    EXPECT_EQ(b.Recorded(), PendingRecords::kCapacity);
    // Full, the worker waits for the Lock rather than lose an operation.
    held.lock();
    std::atomic<bool> added{false};
    worker = std::thread([&] {
        for (int64_t i = 0; i < PendingRecords::kCapacity; ++i)
            p.Add(2 * kLater + i, 2 * kLater + 1 + i, 0, false);
        added = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(added.load());
    held.unlock();
    worker.join();
    p.Detach();
    EXPECT_EQ(b.Recorded(), 2 * PendingRecords::kCapacity);
    EXPECT_EQ(b.log.CompleteCount(), 2u * PendingRecords::kCapacity);
    for (uint32_t k = 1; k < 2 * PendingRecords::kCapacity; ++k)
        EXPECT_LT(b.log.Entries()[k - 1].StartTicks, b.log.Entries()[k].StartTicks);  // in order
}

TEST(PendingRecords, AFullLogStopsLoggingButNotCountingAndEveryWorkerOfAVolumeIsRead) {
    Batched b;
    OperationLog small(5);
    PendingRecords first, second, third;
    first.Attach(*b.v, small, 0, 512, kFreq, 1'000'000);
    second.Attach(*b.v, small, 0, 512, kFreq, 1'000'000);
    third.Attach(*b.v, small, 0, 512, kFreq, 1'000'000);
    for (int64_t i = 0; i < 3; ++i) {
        first.Add(i, i + 1, 0, false);
        second.Add(i, i + 1, 0, false);
        third.Add(i, i + 1, 0, false);
    }
    second.Detach();  // leaves from the middle of the list
    EXPECT_EQ(b.Recorded(), 3);
    {
        const auto lock = LockUpToDate(*b.v);
        EXPECT_EQ(b.v->RunTotal.IOCount, 9);
    }
    EXPECT_EQ(small.Count(), 5u);
    EXPECT_EQ(small.CompleteCount(), 5u);
    first.Detach();
    third.Detach();
    EXPECT_EQ(b.v->Pending, nullptr);
}

TEST(PendingRecords, ReadersDuringARunSeeWholeOperationsAndTheLogAgreesWithTheTotals) {
    Batched b;
    constexpr int kWorkers = 4;
#ifdef __SANITIZE_THREAD__
    // The reader spins on the lock; instrumented, 50,000 operations a worker take minutes on two cores, and a
    // race shows in far fewer.
    constexpr int64_t kOps = 5'000;
#else
    constexpr int64_t kOps = 50'000;
#endif
    std::atomic<bool> done{false};
    std::atomic<int> faults{0};
    std::thread reader([&] {
        while (!done.load()) {
            const auto lock = LockUpToDate(*b.v);
            int64_t inIntervals = 0;
            for (int j = 1; j <= b.v->CurInterval; ++j) inIntervals += b.v->Intervals[j].IOCount;
            if (inIntervals != b.v->RunTotal.IOCount ||
                b.log.CompleteCount() != static_cast<uint32_t>(b.v->RunTotal.IOCount))
                faults.fetch_add(1);
        }
    });
    std::vector<std::thread> workers;
    for (int w = 0; w < kWorkers; ++w)
        workers.emplace_back([&, w] {
            PendingRecords p;
            p.Attach(*b.v, b.log, static_cast<int16_t>(w), 512, kFreq, 100);
            for (int64_t i = 0; i < kOps; ++i) p.Add(i * 2, i * 2 + 1, 0, false);
            p.Detach();
        });
    for (auto& t : workers) t.join();
    done = true;
    reader.join();
    EXPECT_EQ(faults.load(), 0);
    EXPECT_EQ(b.Recorded(), kWorkers * kOps);
    ASSERT_EQ(b.log.CompleteCount(), static_cast<uint32_t>(kWorkers * kOps));
    // Each worker's operations reach the log once each, in the order it finished them.
    std::array<int64_t, kWorkers> next{};
    for (uint32_t k = 0; k < kWorkers * kOps; ++k) {
        const LogEntry& e = b.log.Entries()[k];
        EXPECT_EQ(e.StartTicks, next[static_cast<size_t>(e.VolumeIndex)] * 2);
        ++next[static_cast<size_t>(e.VolumeIndex)];
    }
}

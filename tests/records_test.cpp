#include "engine/records.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "engine/operation_log.h"

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

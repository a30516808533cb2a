#include "stats/presentation.h"

#include <gtest/gtest.h>

using namespace stats;
using engine::VolumeStats;

namespace {

const Separators kComma{",", "."};
constexpr int64_t kFreq = 10'000'000;

struct Presentation : ::testing::Test {
    std::unique_ptr<VolumeStats> rec = std::make_unique<VolumeStats>();
    StatsView view;
    void Compute(int64_t freq = kFreq) { ComputeStats(*rec, freq, view, kComma); }
};

}  // namespace

TEST_F(Presentation, AllZeroRecord) {
    Compute();
    EXPECT_EQ(view.labels,
              (std::array<std::string, 8>{"I/O total 0", "MBytes total 0", "Times total 00:00:00.000",
                                          "Maximal time 0.00ms", "Minimal time 0.00ms", "Errors total 0",
                                          "I/O per sec", "MBytes per sec"}));
    EXPECT_TRUE(view.ioPerSec.empty());
    EXPECT_TRUE(view.mbytesPerSec.empty());
    EXPECT_TRUE(view.latency.empty());
}

TEST_F(Presentation, TotalsAndRates) {
    auto& t = rec->Total();
    t.IOCount = 12'346;
    t.Bytes = 1'048'575;
    t.BusyTicks = 93'784'005LL * 10'000;  // 93,784,005 ms
    t.MaxTicks = 12'345;
    t.MinTicks = 99;
    t.Errors = 3;
    t.FirstStart = 5;
    t.LastEnd = 5 + 10 * kFreq;  // 10 s
    Compute();
    EXPECT_EQ(view.labels[kIOTotal], "I/O total 12,346");
    EXPECT_EQ(view.labels[kMBytesTotal], "MBytes total 0");
    EXPECT_EQ(view.labels[kTimesTotal], "Times total 1 dey 02:03:04.005");
    EXPECT_EQ(view.labels[kMaxTime], "Maximal time 1.23ms");
    EXPECT_EQ(view.labels[kMinTime], "Minimal time 0.00ms");
    EXPECT_EQ(view.labels[kErrorsTotal], "Errors total 3");
    EXPECT_EQ(view.labels[kIOPerSec], "I/O per sec 1,235");  // 1234.6 rounds on the label
    EXPECT_EQ(view.labels[kMBytesPerSec], "MBytes per sec 0.10");
    t.Bytes = 1'048'576;
    Compute();
    EXPECT_EQ(view.labels[kMBytesTotal], "MBytes total 1");
}

TEST_F(Presentation, TimesTotalDoesNotWrapPastThirtyTwoBits) {
    rec->Total().BusyTicks = 5'000'000'000LL * 10'000;  // 5e9 ms
    Compute();
    EXPECT_EQ(view.labels[kTimesTotal], "Times total 57 dey 20:53:20.000");
}

TEST_F(Presentation, IntervalPointsTruncateAndSkipZeroSpans) {
    rec->CurInterval = 3;
    rec->Intervals[1] = {12'346, 2 * 1'048'576, 0, 0, 0, 1000, 1000 + 10 * kFreq, 0};  // 1234.6 IO/s
    rec->Intervals[2] = {1, 512, 0, 0, 0, 1000 + 10 * kFreq, 1000 + 10 * kFreq, 0};    // span 0: no point
    rec->Intervals[3] = {10, 1'048'576, 0, 0, 0, 1000 + 20 * kFreq, 1000 + 22 * kFreq, 0};
    Compute();
    ASSERT_EQ(view.ioPerSec.size(), 2u);
    ASSERT_EQ(view.mbytesPerSec.size(), 2u);
    EXPECT_DOUBLE_EQ(view.ioPerSec[0].x, 0);
    EXPECT_DOUBLE_EQ(view.ioPerSec[0].y, 1234);
    EXPECT_DOUBLE_EQ(view.mbytesPerSec[0].y, 0.2);
    EXPECT_DOUBLE_EQ(view.ioPerSec[1].x, 20);
    EXPECT_DOUBLE_EQ(view.ioPerSec[1].y, 5);
    EXPECT_DOUBLE_EQ(view.mbytesPerSec[1].y, 0.5);
}

TEST_F(Presentation, CurrentIntervalOnlyDrawsOnePointButNoRates) {
    rec->CurInterval = 1;
    rec->Intervals[1] = {100, 51'200, 700, 10, 5, 2000, 2000 + kFreq, 0};
    Compute();
    EXPECT_EQ(view.labels[kIOTotal], "I/O total 0");
    EXPECT_EQ(view.labels[kIOPerSec], "I/O per sec");
    EXPECT_EQ(view.labels[kMBytesPerSec], "MBytes per sec");
    EXPECT_EQ(view.ioPerSec.size(), 1u);
    EXPECT_EQ(view.mbytesPerSec.size(), 1u);
}

TEST_F(Presentation, HistogramBinsOfOneMillisecond) {
    rec->LatencyHistogram[0] = 1;
    Compute();
    ASSERT_EQ(view.latency.size(), 1u);
    EXPECT_DOUBLE_EQ(view.latency[0].x, 0);
    EXPECT_DOUBLE_EQ(view.latency[0].y, 1);

    rec->LatencyHistogram[0] = 0;
    rec->LatencyHistogram[99] = 1;
    rec->LatencyHistogram[100] = 1;
    rec->LatencyHistogram[250] = 4;
    rec->LatencyHistogram[engine::kHistogramTop] = 7;
    rec->LatencyHistogram[327'600] = 1;
    Compute();
    ASSERT_EQ(view.latency.size(), 4u);
    EXPECT_DOUBLE_EQ(view.latency[0].x, 0);
    EXPECT_DOUBLE_EQ(view.latency[1].x, 1);
    EXPECT_DOUBLE_EQ(view.latency[1].y, 1);
    EXPECT_DOUBLE_EQ(view.latency[2].x, 2);
    EXPECT_DOUBLE_EQ(view.latency[2].y, 4);
    EXPECT_DOUBLE_EQ(view.latency[3].x, 3276);  // the short last bin holds 327,600..327,680
    EXPECT_DOUBLE_EQ(view.latency[3].y, 8);
}

TEST_F(Presentation, ZeroFrequencyShowsNoRatesInsteadOfDividing) {
    rec->Total() = {5, 5, 5, 5, 5, 1, 9, 0};
    rec->CurInterval = 1;
    rec->Intervals[1] = {5, 5, 5, 5, 5, 1, 9, 0};
    Compute(0);
    EXPECT_EQ(view.labels[kIOPerSec], "I/O per sec");
    EXPECT_TRUE(view.ioPerSec.empty());
}

#include "stats/report.h"

TEST(LatencyPercentiles, UpperBucketEdgesCappedAtTheExactMaximum) {
    auto h = std::make_unique<VolumeStats>();
    EXPECT_FALSE(stats::LatencyPercentiles(h->LatencyHistogram, 0, kFreq).any);
    // 1000 operations: 900 in bucket 5 (50-60 us), 99 in bucket 30, one of 2.5 ms.
    h->LatencyHistogram[5] = 900;
    h->LatencyHistogram[30] = 99;
    h->LatencyHistogram[250] = 1;
    const auto p = stats::LatencyPercentiles(h->LatencyHistogram, 25'050, kFreq);  // max 2505 us
    ASSERT_TRUE(p.any);
    EXPECT_DOUBLE_EQ(p.p50, 60);
    EXPECT_DOUBLE_EQ(p.p90, 60);
    EXPECT_DOUBLE_EQ(p.p99, 310);
    EXPECT_DOUBLE_EQ(p.p999, 310);
    EXPECT_DOUBLE_EQ(p.p9999, 2505);  // bucket edge 2510 capped at the maximum
    EXPECT_DOUBLE_EQ(p.max, 2505);
}

TEST(RatesOf, RatesOverTheSpanAndZerosInsteadOfDividingByZero) {
    const engine::IntervalStats s{12'346, 2 * 1'048'576, 0, 0, 0, 1000, 1000 + 10 * kFreq, 0};
    const stats::Rates r = stats::RatesOf(s, kFreq);
    EXPECT_DOUBLE_EQ(static_cast<double>(r.seconds), 10);
    EXPECT_DOUBLE_EQ(static_cast<double>(r.ioPerSec), 1234.6);
    EXPECT_DOUBLE_EQ(static_cast<double>(r.mbytesPerSec), 0.2);
    const engine::IntervalStats flat{5, 512, 0, 0, 0, 77, 77, 0};
    for (const stats::Rates z : {stats::RatesOf(flat, kFreq), stats::RatesOf(s, 0)}) {
        EXPECT_EQ(z.seconds, 0);
        EXPECT_EQ(z.ioPerSec, 0);
        EXPECT_EQ(z.mbytesPerSec, 0);
    }
}

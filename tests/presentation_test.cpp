#include "stats/presentation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

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

namespace {

// The exact percentile of a sample as the log gives it: the smallest value whose rank reaches ceil(q * n).
double Exact(std::vector<int64_t> v, double q) {
    std::sort(v.begin(), v.end());
    const auto rank = static_cast<size_t>(std::max(1.0, std::ceil(q * static_cast<double>(v.size()))));
    return static_cast<double>(v[rank - 1]);
}

void ExpectWithinOnePercent(const std::vector<int64_t>& sample, const char* what) {
    engine::LogLinearHistogram h;
    for (int64_t ns : sample) h.Add(ns);
    for (double q : {0.5, 0.9, 0.99, 0.999, 0.9999, 1.0}) {
        const double exact = Exact(sample, q);
        EXPECT_LE(std::abs(h.PercentileNs(q) - exact), exact * 0.01) << what << " q=" << q;
    }
}

}  // namespace

TEST(LogLinearHistogram, PercentilesWithinOnePercentOfTheExactValue) {
    std::mt19937_64 rng(42);
    std::vector<int64_t> bimodal, tail, edges, cache;
    std::normal_distribution<double> fast(80'000, 5'000), slow(9'000'000, 400'000);
    for (int i = 0; i < 200'000; ++i) bimodal.push_back(static_cast<int64_t>(i % 10 ? fast(rng) : slow(rng)));
    std::lognormal_distribution<double> longTail(11, 2.5);  // 60 us typical, hours at the far end
    for (int i = 0; i < 200'000; ++i)
        tail.push_back(std::min<int64_t>(static_cast<int64_t>(longTail(rng)) + 100, 3'600'000'000'000));
    for (int e = 6; e < 42; ++e)  // values on and next to bucket edges, 100 ns to an hour
        for (int64_t d : {-1, 0, 1}) edges.push_back((int64_t{1} << e) + d);
    for (int i = 0; i < 10'000; ++i) cache.push_back(300 + i % 7);  // page-cache reads: under a microsecond
    ExpectWithinOnePercent(bimodal, "bimodal");
    ExpectWithinOnePercent(tail, "long tail");
    ExpectWithinOnePercent(edges, "bucket edges");
    ExpectWithinOnePercent(cache, "page cache");
    ExpectWithinOnePercent({5'040'000'000, 5'041'000'000, 5'039'000'000}, "five seconds");
}

TEST(LogLinearHistogram, MergesExactlyAndKeepsTheExtremes) {
    engine::LogLinearHistogram a, b, both;
    for (int64_t ns : {100, 2'000, 30'000}) {
        a.Add(ns);
        both.Add(ns);
    }
    for (int64_t ns : {7, 400'000'000}) {
        b.Add(ns);
        both.Add(ns);
    }
    a.Merge(b);
    EXPECT_EQ(a.counts, both.counts);
    EXPECT_EQ(a.total, 5u);
    EXPECT_EQ(a.minNs, 7);
    EXPECT_EQ(a.maxNs, 400'000'000);
    EXPECT_EQ(engine::LogLinearHistogram{}.PercentileNs(0.5), 0);
    const auto p = stats::LatencyPercentiles(a);
    EXPECT_TRUE(p.any);
    EXPECT_DOUBLE_EQ(p.max, 400'000);  // microseconds, exact
    EXPECT_FALSE(stats::LatencyPercentiles(engine::LogLinearHistogram{}).any);
}

TEST(ErrorCauses, CountedByCodeWithTheFirstTimeAndAnOtherRowWhenFull) {
    auto v = std::make_unique<VolumeStats>();
    v->PeriodTicks = kFreq;
    RecordOperation(*v, 0, 10, kFreq, 0, 512);
    RecordOperation(*v, 20, 30, kFreq, 5, 512);  // EIO
    RecordOperation(*v, 40, 50, kFreq, 5, 512);
    RecordOperation(*v, kFreq / 2, kFreq / 2 + 10, kFreq, 28, 512);  // ENOSPC at 0.5 s
    ASSERT_EQ(v->Causes.used, 2);
    const auto lines = stats::CauseLines(v->Causes, 0, kFreq);
    ASSERT_EQ(lines.size(), 2u);
#ifdef __linux__
    EXPECT_EQ(lines[0].name, "EIO");
#endif
    EXPECT_EQ(lines[0].count, 2);
    EXPECT_DOUBLE_EQ(lines[0].firstSeconds, 30.0 / kFreq);
    const Separators sep;
#ifdef __linux__
    EXPECT_EQ(stats::CausesText(lines, sep),
              "EIO Input/output error: 2, first at 0.0 s\nENOSPC No space left on device: 1, first at 0.5 s");
#else
    EXPECT_NE(stats::CausesText(lines, sep).find(": 2, first at 0.0 s\n"), std::string::npos);
#endif
    for (uint32_t code = 100; code < 110; ++code) RecordOperation(*v, 60, 70, kFreq, code, 512);
    EXPECT_EQ(v->Causes.used, engine::ErrorCauses::kSlots);
    EXPECT_EQ(v->Causes.other.count, 4);
    EXPECT_EQ(stats::CauseLines(v->Causes, 0, kFreq).back().name, "other");
    // The run total counts every operation and its end is the latest seen.
    EXPECT_EQ(v->RunTotal.IOCount, 14);
    EXPECT_EQ(v->RunTotal.Errors, 13);
    EXPECT_EQ(v->RunTotal.LastEnd, kFreq / 2 + 10);
}

TEST(RatesOf, RatesOverTheSpanAndZerosInsteadOfDividingByZero) {
    const engine::IntervalStats s{12'346, 2 * 1'048'576, 0, 0, 0, 1000, 1000 + 10 * kFreq, 0};
    const stats::Rates r = stats::RatesOf(s, kFreq);
    EXPECT_DOUBLE_EQ(static_cast<double>(r.seconds), 10);
    EXPECT_DOUBLE_EQ(static_cast<double>(r.ioPerSec), 1234.6);
    EXPECT_DOUBLE_EQ(static_cast<double>(r.mbytesPerSec), 0.2);
    const engine::IntervalStats flat{5, 512, 0, 0, 0, 77, 77, 0};
    const engine::IntervalStats backwards{5, 512, 0, 0, 0, 900, 77, 0};  // never a negative rate
    for (const stats::Rates z :
         {stats::RatesOf(flat, kFreq), stats::RatesOf(s, 0), stats::RatesOf(backwards, kFreq)}) {
        EXPECT_EQ(z.seconds, 0);
        EXPECT_EQ(z.ioPerSec, 0);
        EXPECT_EQ(z.mbytesPerSec, 0);
    }
}

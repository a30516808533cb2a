#include "stats/aggregation.h"

#include <gtest/gtest.h>

#include <map>

#include "engine/engine.h"
#include "stats/result.h"
#include "tests/test_support.h"

using namespace stats;
using engine::IntervalStats;
using engine::VolumeStats;
using testing_support::FakeDialogs;
using testing_support::FakeVolumeSystem;

namespace {

struct Sink : RefreshSink {
    std::map<int, std::string> debug;
    std::map<int, StatsView> shown;
    std::vector<int> order;
    void SetDebugText(int volume, const std::string& text) override { debug[volume] = text; }
    void Show(int volume, const StatsView& view) override {
        shown[volume] = view;
        order.push_back(volume);
    }
};

IntervalStats Interval(int64_t io, int64_t first, int64_t last, int64_t maxT, int64_t minT,
                       int64_t errors = 0) {
    return {io, io * 512, io * 10, maxT, minT, first, last, errors};
}

struct Aggregation : ::testing::Test {
    std::shared_ptr<FakeVolumeSystem> sys = std::make_shared<FakeVolumeSystem>();
    FakeDialogs dialogs;
    std::unique_ptr<engine::Engine> eng;
    std::array<bool, engine::kDiskCount> ticked{};
    StatisticsRefresher refresher;
    Sink sink;

    void Volumes(std::initializer_list<int> present) {
        for (int i : present) {
            sys->volumes[i].present = true;
            sys->volumes[i].deviceSize = 1 << 20;
            ticked[i] = true;
        }
        eng = std::make_unique<engine::Engine>(sys, dialogs, 16);
        eng->Volumes().EnumerateVolumes();
    }
    VolumeStats& V(int i) { return *eng->Volume(i); }
    void Refresh() { refresher.Refresh(eng->Volumes(), 1000, ticked, sink); }
};

}  // namespace

TEST_F(Aggregation, TwoVolumesAtDifferentIntervals) {
    Volumes({2, 3});
    V(2).CurInterval = 5;
    for (int j = 1; j <= 5; ++j) V(2).Intervals[j] = Interval(10, j * 1000, j * 1000 + 900, 50 + j, 5 + j);
    V(3).CurInterval = 7;
    for (int j = 1; j <= 7; ++j) V(3).Intervals[j] = Interval(20, j * 1000 + 10, j * 1000 + 950, 40, 3);
    V(2).LatencyHistogram[3] = 4;
    V(3).LatencyHistogram[3] = 6;
    Refresh();

    const VolumeStats& all = refresher.AllVolumes();
    EXPECT_EQ(all.CurInterval, 7);
    EXPECT_EQ(all.LatencyHistogram[3], 10u);
    EXPECT_EQ(all.Intervals[1].IOCount, 30);
    EXPECT_EQ(all.Intervals[1].FirstStart, 1000);
    EXPECT_EQ(all.Intervals[1].LastEnd, 1950);
    EXPECT_EQ(all.Intervals[1].BusyTicks, 0);  // not merged
    EXPECT_EQ(all.Intervals[6].IOCount, 20);   // from the second volume alone
    EXPECT_EQ(all.Intervals[6].FirstStart, 6010);

    // Totals cover completed intervals only: 1..4 and 1..6; the workers' records are left as they were.
    EXPECT_EQ(V(2).Total().IOCount, 0);
    const auto T = [&](int i) { return refresher.VolumeTotal(i); };
    EXPECT_EQ(T(2).IOCount, 40);
    EXPECT_EQ(T(2).MaxTicks, 54);
    EXPECT_EQ(T(2).MinTicks, 6);
    EXPECT_EQ(T(2).FirstStart, 1000);
    EXPECT_EQ(T(2).LastEnd, 4900);
    EXPECT_EQ(T(3).IOCount, 120);
    EXPECT_EQ(T(3).LastEnd, 6950);
    EXPECT_EQ(all.Total().IOCount, 160);
    EXPECT_EQ(all.Total().MaxTicks, 54);
    EXPECT_EQ(all.Total().MinTicks, 3);
    EXPECT_EQ(all.Total().FirstStart, 1000);
    EXPECT_EQ(all.Total().LastEnd, 6950);

    EXPECT_EQ(sink.order, (std::vector<int>{2, 3, -1}));
    EXPECT_EQ(sink.debug[2], "Curpos 5");
    EXPECT_EQ(sink.shown[2].ioPerSec.size(), 5u);  // five points, totals over four intervals
    EXPECT_EQ(sink.shown[-1].ioPerSec.size(), 7u);
}

TEST_F(Aggregation, EqualExtremesKeepTheEarlierVolumesValues) {
    IntervalStats running;
    FoldTotal(running, {1, 0, 0, 50, 5, 100, 900, 0}, true);
    FoldTotal(running, {1, 0, 0, 50, 5, 100, 900, 0}, false);
    EXPECT_EQ(running.IOCount, 2);
    EXPECT_EQ(running.MaxTicks, 50);
    IntervalStats all{};
    MergeInterval(all, {1, 0, 0, 0, 0, 300, 400, 0});
    MergeInterval(all, {1, 0, 0, 0, 0, 300, 400, 0});
    EXPECT_EQ(all.FirstStart, 300);
    EXPECT_EQ(all.LastEnd, 400);
}

TEST_F(Aggregation, AZeroTotalPullsMinimumAndFirstStartToZero) {
    Volumes({2, 3});
    V(2).CurInterval = 3;
    for (int j = 1; j <= 3; ++j) V(2).Intervals[j] = Interval(10, j * 1000, j * 1000 + 900, 50, 5);
    V(3).CurInterval = 1;  // only the interval being filled: its Total is zero
    V(3).Intervals[1] = Interval(10, 1500, 1600, 7, 7);
    Refresh();
    EXPECT_EQ(refresher.AllVolumes().Total().MinTicks, 0);
    EXPECT_EQ(refresher.AllVolumes().Total().FirstStart, 0);
    EXPECT_EQ(refresher.AllVolumes().Total().MaxTicks, 50);
    EXPECT_EQ(sink.shown[3].ioPerSec.size(), 1u);
    EXPECT_EQ(sink.shown[3].labels[kIOPerSec], "I/O per sec");
}

TEST_F(Aggregation, UntickedVolumesGetOnlyTheirCurposText) {
    Volumes({2, 4});
    ticked[4] = false;
    V(2).CurInterval = 2;
    V(2).Intervals[1] = Interval(10, 1000, 1900, 9, 1);
    V(2).Intervals[2] = Interval(10, 2000, 2900, 9, 1);
    V(4).CurInterval = 9;
    V(4).Intervals[1] = Interval(99, 1000, 1900, 9, 1);
    V(4).LatencyHistogram[0] = 99;
    Refresh();
    EXPECT_EQ(sink.debug[4], "Curpos 9");
    EXPECT_EQ(sink.shown.count(4), 0u);
    EXPECT_FALSE(V(4).Selected);
    EXPECT_TRUE(V(2).Selected);
    EXPECT_EQ(refresher.AllVolumes().CurInterval, 2);
    EXPECT_EQ(refresher.AllVolumes().LatencyHistogram[0], 0u);
    EXPECT_EQ(refresher.AllVolumes().Total().IOCount, 10);
}

TEST_F(Aggregation, NothingTickedLeavesTheAverageAtZero) {
    Volumes({2});
    ticked[2] = false;
    V(2).CurInterval = 2;
    V(2).Intervals[1] = Interval(10, 1000, 1900, 9, 1);
    const_cast<VolumeStats&>(refresher.AllVolumes()).Total().IOCount = 77;  // stale figures are cleared
    Refresh();
    EXPECT_EQ(refresher.AllVolumes().Total().IOCount, 0);
    EXPECT_EQ(refresher.AllVolumes().CurInterval, 0);
    EXPECT_EQ(sink.order, (std::vector<int>{-1}));
    EXPECT_EQ(sink.shown[-1].labels[kIOTotal], "I/O total 0");
    EXPECT_TRUE(sink.shown[-1].latency.empty());
}

TEST_F(Aggregation, LiveIntervalsAddUpToTheRunAndAReaderThatFellBehindIsTold) {
    Volumes({2, 3});
    for (int i : {2, 3}) {
        V(i).LivePeriodTicks = 100;
        V(i).PeriodTicks = 1'000'000;
    }
    std::array<bool, engine::kDiskCount> selected{};
    selected[2] = selected[3] = true;
    LiveFollower follower(selected, {0, 0, 1'000'000'000});
    // C: 30 intervals of 10 operations; D: 3 intervals, one of them with a failure.
    for (int64_t t = 0; t < 3000; t += 10)
        engine::RecordOperation(V(2), t, t + 1 + t % 7, 1'000'000'000, 0, 512);
    for (int64_t t = 0; t < 300; t += 10)
        engine::RecordOperation(V(3), t, t + 3, 1'000'000'000, t == 150 ? 5 : 0, 512);

    // C: has closed 29 and keeps the last 8 (23 to 30): 1 to 22 are gone, and said to be.
    LiveFollower::Taken taken = follower.Take(eng->Volumes(), false);
    EXPECT_EQ(taken.missed, 22);
    int64_t cOps = 0;
    for (const LiveFigures& f : taken.volumes)
        if (f.index == 2) cOps += f.counters.IOCount;
    EXPECT_EQ(cOps, 7 * 10);

    // From here on nothing is missed, and at the end the open intervals are closed too: a reader that keeps
    // up sees every operation, failure and histogram bucket of the run exactly once.
    LiveFollower keptUp(selected, {0, 0, 1'000'000'000});
    for (int i : {2, 3}) V(i).ClearCounters();
    engine::LogLinearHistogram merged;
    engine::IntervalStats sum;
    int64_t causes = 0;
    std::vector<int64_t> allNumbers;
    for (int64_t t = 0; t < 3000; t += 10) {
        engine::RecordOperation(V(2), t, t + 1 + t % 7, 1'000'000'000, 0, 512);
        // D's failure is a write: counted with the writes' errors too.
        if (t < 300) engine::RecordOperation(V(3), t, t + 3, 1'000'000'000, t == 150 ? 5 : 0, 512, t == 150);
        if (t % 200 == 0 || t + 10 >= 3000) {
            taken = keptUp.Take(eng->Volumes(), t + 10 >= 3000);
            EXPECT_EQ(taken.missed, 0);
            for (const LiveFigures& f : taken.volumes) {
                FoldTotal(sum, f.counters, sum.IOCount == 0);
                merged.Merge(f.latency);
                for (const CauseLine& c : f.causes) causes += c.count;
            }
            for (const LiveFigures& f : taken.all) allNumbers.push_back(f.number);
        }
    }
    EXPECT_EQ(sum.IOCount, V(2).RunTotal.IOCount + V(3).RunTotal.IOCount);
    EXPECT_EQ(sum.Bytes, V(2).RunTotal.Bytes + V(3).RunTotal.Bytes);
    EXPECT_EQ(sum.Errors, 1);
    EXPECT_EQ(sum.Writes, 1);
    EXPECT_EQ(sum.WriteErrors, 1);
    EXPECT_EQ(sum.WriteBytes, 0);
    EXPECT_EQ(causes, 1);
    engine::LogLinearHistogram run = V(2).Latency;
    run.Merge(V(3).Latency);
    EXPECT_EQ(merged.counts, run.counts);
    EXPECT_EQ(merged.maxNs, run.maxNs);
    // All volumes: interval n once both volumes closed theirs, each number once, in order.
    ASSERT_EQ(allNumbers.size(), 30u);
    for (size_t k = 0; k < allNumbers.size(); ++k) EXPECT_EQ(allNumbers[k], static_cast<int64_t>(k) + 1);
}

// The steady-state rule at its thresholds, on series worked out by hand: a range of exactly 20% of the
// average and a fitted line that moves by exactly 10% of it across the five rounds are within; a little more
// of either is not.
TEST(SteadyState, TheRuleAtItsThresholdsAndTheRoundThatFirstMeetsIt) {
    const stats::SteadyRule rule;
    const auto steady = [&](std::vector<double> v) { return stats::JudgeWindow(v, 1, rule).steady; };
    EXPECT_TRUE(steady({100, 110, 90, 100, 100}));            // range 20%, slope excursion 4%
    EXPECT_FALSE(steady({100, 110.5, 89.5, 100, 100}));       // range 21%
    EXPECT_TRUE(steady({95, 97.5, 100, 102.5, 105}));         // slope 2.5 a round: 10% across the window
    EXPECT_FALSE(steady({94.5, 97.25, 100, 102.75, 105.5}));  // 11%, with a range of 11% only
    const stats::SteadyWindow w = stats::JudgeWindow({95, 97.5, 100, 102.5, 105}, 1, rule);
    EXPECT_DOUBLE_EQ(w.average, 100);
    EXPECT_DOUBLE_EQ(w.slopeExcursion, 10);
    EXPECT_DOUBLE_EQ(w.rangeShare, 0.10);
    EXPECT_FALSE(steady({0, 0, 0, 0, 0}));       // nothing measured is not steady
    EXPECT_FALSE(steady({100, 100, 100, 100}));  // four rounds are not a window

    // A device settling: rounds 3-7 keep their range (16.7%) but still climb (15.4%); rounds 4-8 meet both.
    stats::SteadyState s = stats::FindSteadyState({50, 70, 85, 95, 99, 100, 101, 100, 99, 100}, rule);
    EXPECT_EQ(s.reachedRound, 8);
    EXPECT_EQ(s.window.firstRound, 4);
    EXPECT_EQ(s.window.values, (std::vector<double>{95, 99, 100, 101, 100}));
    // Rising 10% a round never settles; the last five rounds are what the report shows.
    s = stats::FindSteadyState({100, 110, 121, 133.1, 146.41, 161.051}, rule);
    EXPECT_EQ(s.reachedRound, 0);
    EXPECT_EQ(s.window.firstRound, 2);
    EXPECT_EQ(s.rounds, 6);
}

// Cliffs: the write rate held to half of the baseline's median and p99 to three times it, three intervals
// in a row after the baseline; a shorter dip is not one, and a run that ends within its baseline is not
// judged.
TEST(Cliffs, ASustainedFallOrRiseAfterTheBaselineAndNotAShortDip) {
    const std::vector<double> rates = {100, 100, 100, 100, 40, 40, 100, 100, 45, 45, 45, 30};
    const std::vector<double> p99s = {200, 210, 190, 200, 200, 200, 200, 200, 200, 700, 700, 700};
    std::vector<stats::IntervalPoint> series;
    for (size_t k = 0; k < rates.size(); ++k) {
        stats::IntervalPoint p;
        p.number = static_cast<int64_t>(k) + 1;
        p.startSeconds = static_cast<double>(k);
        p.seconds = 1;
        p.writeMbytesPerSec = rates[k];
        p.writeBytes = static_cast<int64_t>(rates[k]) << 20;
        p.p99Us = p99s[k];
        series.push_back(p);
    }
    stats::CliffRule rule;
    rule.baselineSeconds = 3;
    const stats::Cliffs c = stats::FindCliffs(series, rule);
    ASSERT_TRUE(c.judged);
    EXPECT_DOUBLE_EQ(c.baselineWriteMbytesPerSec, 100);
    EXPECT_DOUBLE_EQ(c.baselineP99Us, 200);
    ASSERT_TRUE(c.writeRate);
    EXPECT_EQ(c.writeRate->interval, 9);
    EXPECT_EQ(c.writeRate->length, 4);
    EXPECT_DOUBLE_EQ(c.writeRate->to, 45);
    EXPECT_DOUBLE_EQ(c.writeRate->atSeconds, 8);
    EXPECT_EQ(c.writeRate->writtenBefore, int64_t{100 + 100 + 100 + 100 + 40 + 40 + 100 + 100} << 20);
    ASSERT_TRUE(c.p99);
    EXPECT_EQ(c.p99->interval, 10);
    EXPECT_DOUBLE_EQ(c.p99->to, 700);
    rule.intervals = 5;  // the fall lasts four intervals
    EXPECT_FALSE(stats::FindCliffs(series, rule).writeRate);
    rule.baselineSeconds = 20;
    EXPECT_FALSE(stats::FindCliffs(series, rule).judged);
}

// The search for the highest load under a bound, on a device whose p99 grows by 10 us with each operation in
// flight from 100 us: under 500 us it is met up to depth 39 (depth 40 is at the bound, which its 0.8% error
// passes). Found in a number of steps of the order of the doublings and bisections, whatever the limit.
TEST(LatencyTarget, TheSearchFindsTheKneeOfADeviceWhoseLatencyGrowsWithLoad) {
    stats::LatencyTarget t;
    std::string why;
    ASSERT_TRUE(stats::ParseLatencyTarget("p99=500us", t, why)) << why;
    EXPECT_DOUBLE_EQ(t.boundUs, 500);
    const auto search = [&](int most, int& steps) {
        stats::LoadSearch s(most);
        steps = 0;
        for (int d; (d = s.Next()) != 0 && steps < 100; ++steps)
            s.Judged(d, stats::TargetMet(100 + 10.0 * d, stats::kPercentileRelativeError, t));
        return s.Best();
    };
    int steps = 0;
    EXPECT_EQ(search(1024, steps), 39);
    EXPECT_LE(steps, 14);
    EXPECT_EQ(search(16, steps), 16);  // every load asked meets it
    {
        // A rate, in units of 10/s up to 100,000/s, with a knee at 37,000/s: found within 5% in as few steps.
        stats::LoadSearch s(10'000, 0.05);
        steps = 0;
        for (int k; (k = s.Next()) != 0 && steps < 100; ++steps) s.Judged(k, k <= 3'700);
        EXPECT_LE(s.Best(), 3'700);
        EXPECT_GE(s.Best(), 3'700 * 0.95);
        EXPECT_LE(steps, 20);
    }
    ASSERT_TRUE(stats::ParseLatencyTarget("p99.9=100us", t, why));
    EXPECT_EQ(search(1024, steps), 0);  // the lowest load already misses it
    EXPECT_EQ(steps, 1);
    EXPECT_EQ(stats::StepOperations(t), 10'000);

    ASSERT_TRUE(stats::ParseLatencyTarget("p50=2.5ms", t, why));
    EXPECT_DOUBLE_EQ(t.boundUs, 2500);
    for (const char* bad :
         {"p95=2ms", "p99", "p99=2", "p99=2 ms", "p99=2mb", "p99=0ms", "p99=-1s", "p99=nanms"})
        EXPECT_FALSE(stats::ParseLatencyTarget(bad, t, why)) << bad;
}

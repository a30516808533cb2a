#include "stats/aggregation.h"

#include <gtest/gtest.h>

#include <map>

#include "engine/engine.h"
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

    // Totals cover completed intervals only: 1..4 and 1..6.
    EXPECT_EQ(V(2).Total().IOCount, 40);
    EXPECT_EQ(V(2).Total().MaxTicks, 54);
    EXPECT_EQ(V(2).Total().MinTicks, 6);
    EXPECT_EQ(V(2).Total().FirstStart, 1000);
    EXPECT_EQ(V(2).Total().LastEnd, 4900);
    EXPECT_EQ(V(3).Total().IOCount, 120);
    EXPECT_EQ(V(3).Total().LastEnd, 6950);
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

#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "engine/engine.h"
#include "engine/pending.h"
#include "stats/aggregation.h"
#include "stats/log_file.h"
#include "tests/test_support.h"

using namespace engine;
using testing_support::FakeDialogs;
using testing_support::TempDir;
using testing_support::WaitFor;

namespace {

struct Sink : stats::RefreshSink {
    std::map<int, stats::StatsView> shown;
    void SetDebugText(int, const std::string&) override {}
    void Show(int volume, const stats::StatsView& view) override { shown[volume] = view; }
};

}  // namespace

// A short run on two image files, one refresh and the log file: the figures on screen agree with the
// records written out.
TEST(EndToEnd, RefreshedFiguresAgreeWithTheLogFile) {
    TempDir dir;
    platform::VolumeMap map;
    map.devicePath[2] = dir.MakeImage("c.img", 4 << 20, 0x31);
    map.devicePath[3] = dir.MakeImage("d.img", 2 << 20, 0x32);
    FakeDialogs dialogs;
    Engine eng(platform::MakeVolumeSystem(map), dialogs, 2'000'000);
    eng.Volumes().EnumerateVolumes();
    std::array<bool, kDiskCount> ticked{};
    ticked[2] = ticked[3] = true;
    RunSettings s;
    s.testMs = 60'000;  // one-second intervals
    s.readsPerPortion = 3;
    s.writesPerPortion = 1;
    s.pauseMs = 1;
    s.pauseType = PauseType::Fixed;
    int asked = 0;
    ASSERT_EQ(eng.Start(s, ticked, [&](const std::vector<int>&) { return ++asked; }).outcome,
              StartOutcome::Started);
    EXPECT_EQ(asked, 1);
    ASSERT_TRUE(WaitFor([&] { return eng.Log().Count() > 1000; }, std::chrono::seconds(30)));
    ASSERT_TRUE(WaitFor(
        [&] {
            const auto c = [&](int i) {
                const auto lock = engine::LockUpToDate(*eng.Volume(i));
                return eng.Volume(i)->CurInterval;
            };
            return c(2) >= 3 && c(3) >= 3;
        },
        std::chrono::seconds(30)));
    eng.Stop();
    ASSERT_TRUE(WaitFor([&] { return !eng.Workers().AnyBusy(); }));

    Sink sink;
    stats::StatisticsRefresher refresher;
    refresher.Refresh(eng.Volumes(), eng.TimerFreq(), ticked, sink);
    const std::string path = (dir.path() / stats::kLogFileName).string();
    stats::WriteOperationLog(eng.Log(), dialogs, path);
    ASSERT_EQ(dialogs.Count(), 0u);  // no error box

    std::ifstream in(path, std::ios::binary);
    std::map<int, int64_t> records, failed;
    LogEntry e;
    int64_t all = 0;
    while (in.read(reinterpret_cast<char*>(&e), sizeof e)) {
        ++records[e.VolumeIndex];
        failed[e.VolumeIndex] += e.Success == 0;
        EXPECT_EQ(e.RequestSize, 4096);
        ++all;
    }
    EXPECT_EQ(all, static_cast<int64_t>(eng.Log().Count()));
    const stats::Separators& sep = stats::UserSeparators();
    int64_t completedAll = 0;
    for (int v : {2, 3}) {
        const VolumeStats& s = *eng.Volume(v);
        // Every record is in the histogram; the totals leave out only the interval being filled.
        uint64_t hist = 0;
        for (uint64_t b : s.LatencyHistogram) hist += b;
        EXPECT_EQ(static_cast<int64_t>(hist), records[v]);
        const int64_t completed = records[v] - s.Intervals[s.CurInterval].IOCount;
        completedAll += completed;
        EXPECT_EQ(failed[v], 0);
        EXPECT_EQ(sink.shown[v].labels[stats::kIOTotal], "I/O total " + stats::FormatCount(completed, sep));
        EXPECT_EQ(sink.shown[v].labels[stats::kMBytesTotal],
                  "MBytes total " + stats::FormatCount(completed * 4096 / 1'048'576, sep));
        EXPECT_EQ(sink.shown[v].labels[stats::kErrorsTotal], "Errors total 0");
        EXPECT_EQ(sink.shown[v].ioPerSec.size(), static_cast<size_t>(s.CurInterval));
    }
    EXPECT_EQ(sink.shown[-1].labels[stats::kIOTotal], "I/O total " + stats::FormatCount(completedAll, sep));
}

// The window refreshes its figures while workers record: each volume is copied under its lock, so under
// ThreadSanitizer this shows any counter read outside it.
TEST(EndToEnd, RefreshingWhileWorkersRecordSeesConsistentCounters) {
    TempDir dir;
    platform::VolumeMap map;
    map.devicePath[2] = dir.MakeImage("c.img", 1 << 20, 0x41);
    map.devicePath[3] = dir.MakeImage("d.img", 1 << 20, 0x42);
    FakeDialogs dialogs;
    Engine eng(platform::MakeVolumeSystem(map), dialogs, 1'000'000);
    eng.Volumes().EnumerateVolumes();
    std::array<bool, kDiskCount> ticked{};
    ticked[2] = ticked[3] = true;
    RunSettings s;
    s.testMs = 60'000;
    s.periodSeconds = 1;
    ASSERT_EQ(eng.Start(s, ticked, {}).outcome, StartOutcome::Started);
    Sink sink;
    stats::StatisticsRefresher refresher;
    for (int k = 0; k < 20; ++k) {
        ASSERT_TRUE(WaitFor([&] { return eng.Log().Count() > static_cast<uint32_t>(k) * 50; }));
        refresher.Refresh(eng.Volumes(), eng.TimerFreq(), ticked, sink);
        for (int v : {2, 3}) {
            const stats::StatsView& view = sink.shown[v];
            EXPECT_EQ(view.labels[stats::kErrorsTotal], "Errors total 0");
        }
    }
    eng.Stop();
    ASSERT_TRUE(WaitFor([&] { return !eng.Workers().AnyBusy(); }));
}

// One writer per image, on each system by its own locks: while one run holds an image to write, another (here
// a second volume system, as another process would have) can neither write it nor read it; two readers share
// it; the hold ends with its claim.
TEST(EndToEnd, AnImageHeldForWritingIsRefusedToEveryOtherRunUntilItIsLetGo) {
    TempDir dir;
    platform::VolumeMap map;
    map.devicePath[19] = dir.MakeImage("t.img", 1 << 20);
    const auto one = platform::MakeVolumeSystem(map), other = platform::MakeVolumeSystem(map);
    uint32_t code = 0;
    std::string holder;
    auto writing = one->Claim(19, true, code, holder);
    ASSERT_TRUE(writing) << code;
    for (const bool write : {true, false}) {
        holder.clear();
        EXPECT_FALSE(other->Claim(19, write, code, holder)) << write;
        EXPECT_FALSE(holder.empty()) << write;
    }
    writing.reset();
    auto reading = one->Claim(19, false, code, holder);
    ASSERT_TRUE(reading) << code;
    EXPECT_TRUE(other->Claim(19, false, code, holder)) << code;  // readers share it
    EXPECT_FALSE(other->Claim(19, true, code, holder));
    reading.reset();
    EXPECT_TRUE(other->Claim(19, true, code, holder)) << code;
}

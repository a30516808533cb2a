#include <gtest/gtest.h>

#include "engine/engine.h"
#include "engine/pending.h"
#include "tests/test_support.h"

using namespace engine;
using namespace std::chrono_literals;
using testing_support::FakeDialogs;
using testing_support::FakeVolumeSystem;
using testing_support::WaitFor;

namespace {

struct RunControl : ::testing::Test {
    std::shared_ptr<FakeVolumeSystem> fake = std::make_shared<FakeVolumeSystem>();
    FakeDialogs dialogs;
    std::unique_ptr<Engine> eng;
    std::array<bool, kDiskCount> checked{};
    RunSettings s;
    uint32_t now = 5000;  // the tick count, driven by the test
    std::vector<std::vector<int>> asked;
    bool answer = true;

    // Fake volumes of 1 MiB at the given indices, all ticked.
    void Volumes(std::initializer_list<int> present, int64_t callDelayUs = 0) {
        for (int i : present) {
            fake->volumes[i].present = true;
            fake->volumes[i].deviceSize = 1 << 20;
            fake->volumes[i].callDelayUs = callDelayUs;
            checked[i] = true;
        }
        eng = std::make_unique<Engine>(fake, dialogs, 1'000'000, [this] { return now; });
        eng->Volumes().EnumerateVolumes();
    }
    StartResult Start() {
        return eng->Start(s, checked, [this](const std::vector<int>& volumes) {
            asked.push_back(volumes);
            return answer;
        });
    }
    StartOutcome Started() { return Start().outcome; }
    int64_t Recorded(int i) {
        VolumeStats& v = *eng->Volume(i);
        const auto lock = LockUpToDate(v);
        int64_t n = 0;
        for (int j = 1; j <= v.CurInterval; ++j) n += v.Intervals[j].IOCount;
        return n;
    }
    void StopAndDrain() {
        if (eng->Running()) eng->Stop();
        ASSERT_TRUE(WaitFor([&] { return !eng->Workers().AnyBusy(); }));
    }
    // A finished run on C: whose results a refused start must not touch.
    void LastRun() {
        Volumes({2, 4});
        ASSERT_EQ(Started(), StartOutcome::Started);
        ASSERT_TRUE(WaitFor([&] { return Recorded(2) > 10; }));
        StopAndDrain();
        eng->Volume(2)->Total().IOCount = 1234;  // as the last refresh left it
    }
    void ExpectLastRunIntact(uint32_t logCount, int64_t recorded) {
        EXPECT_EQ(eng->Log().Count(), logCount);
        EXPECT_EQ(eng->Volume(2)->Total().IOCount, 1234);
        EXPECT_EQ(Recorded(2), recorded);
        EXPECT_FALSE(eng->Running());
        EXPECT_EQ(eng->Settings().blockSize, 4096);
        EXPECT_EQ(eng->Settings().method, Method::Random);
        EXPECT_EQ(eng->Volume(2)->WritesPerPortion, 0);
    }
};

}  // namespace

TEST_F(RunControl, StartReleasesWorkersStopEndsThemAndNoEventStaysSignalled) {
    Volumes({2, 4});
    checked[4] = false;
    s.threadsPerVolume = 3;
    s.method = Method::LinearForward;
    s.testMs = 17 * 60'000;
    s.blockSize = 8192;
    ASSERT_EQ(Started(), StartOutcome::Started);
    EXPECT_TRUE(eng->Running());
    EXPECT_TRUE(eng->Workers().AnyReleased());
    EXPECT_EQ(eng->Workers().Count(), 3);
    EXPECT_EQ(eng->Settings().testMs, 17 * 60'000);
    EXPECT_EQ(eng->PeriodSeconds(), 5);
    EXPECT_EQ(eng->Settings().method, Method::LinearForward);
    for (int n = 1; n <= 3; ++n) {
        EXPECT_EQ(eng->Workers().Worker(n)->TestedDisk(), 2);
        EXPECT_EQ(eng->Workers().Event(n)->Name(), "ThreadManage" + std::to_string(n));
    }
    const VolumeStats& c = *eng->Volume(2);
    EXPECT_EQ(c.BlockCount, (1 << 20) / 8192);
    EXPECT_EQ(c.PeriodTicks, 5 * eng->TimerFreq());
    EXPECT_EQ(c.TestMethod, kLinearForward);
    EXPECT_TRUE(c.Selected);
    EXPECT_FALSE(eng->Volume(4)->Selected);
    ASSERT_TRUE(WaitFor([&] { return Recorded(2) > 100; }));
    EXPECT_EQ(Recorded(4), 0);

    eng->Stop();
    EXPECT_FALSE(eng->Running());
    EXPECT_FALSE(eng->Workers().AnyReleased());  // Stop reset every event
    ASSERT_TRUE(WaitFor([&] { return !eng->Workers().AnyBusy(); }));
    EXPECT_EQ(static_cast<int64_t>(eng->Log().Count()), Recorded(2));
}

TEST_F(RunControl, DestructiveWritesAskFirstNamingTheVolumes) {
    Volumes({2, 3, 4});
    checked[3] = false;
    s.writesPerPortion = 1;
    ASSERT_EQ(Started(), StartOutcome::Started);
    EXPECT_EQ(asked, (std::vector<std::vector<int>>{{2, 4}}));
    ASSERT_TRUE(WaitFor([&] { return Recorded(2) > 0; }));
    StopAndDrain();
    ASSERT_FALSE(fake->OpenModes(2).empty());
    EXPECT_TRUE(fake->OpenModes(2).front());  // opened for writing once the operator agreed

    s.writesPerPortion = 0;
    ASSERT_EQ(Started(), StartOutcome::Started);
    StopAndDrain();
    s.writesPerPortion = 5;
    checked = {};
    ASSERT_EQ(Started(), StartOutcome::Started);  // no volume: nothing to destroy, nothing asked
    EXPECT_EQ(asked.size(), 1u);
}

TEST_F(RunControl, DecliningTheWarningKeepsTheLastRunsResults) {
    LastRun();
    const uint32_t logged = eng->Log().Count();
    const int64_t recorded = Recorded(2);
    const size_t opens = fake->OpenModes(2).size();
    s.writesPerPortion = 2;
    s.blockSize = 512;
    answer = false;
    EXPECT_EQ(Started(), StartOutcome::Declined);
    ExpectLastRunIntact(logged, recorded);
    EXPECT_EQ(fake->OpenModes(2).size(), opens);  // nothing was opened, let alone for writing
}

TEST_F(RunControl, WorkerLimitCountsTheTrueProduct) {
    Volumes({2, 3, 4, 5});
    s.threadsPerVolume = 257;
    StartResult r = Start();
    EXPECT_EQ(r.outcome, StartOutcome::Refused);
    EXPECT_EQ(r.refusal.why, Refusal::Why::TooManyWorkers);
    EXPECT_EQ(r.refusal.requested, 1028);
    EXPECT_EQ(r.refusal.limit, 1024);
    EXPECT_EQ(eng->Workers().Count(), 0);
    // With writes: refused before the destructive question, so no one agrees to a run that cannot be.
    s.writesPerPortion = 1;
    r = Start();
    EXPECT_EQ(r.refusal.why, Refusal::Why::TooManyWorkers);
    EXPECT_TRUE(asked.empty());
    s.writesPerPortion = 0;

    // A product that wraps around in 32 bits is refused like any other.
    checked = {};
    checked[2] = checked[3] = true;
    s.threadsPerVolume = 2147483647;
    r = Start();
    EXPECT_EQ(r.outcome, StartOutcome::Refused);
    EXPECT_EQ(r.refusal.requested, 4294967294);

    checked[4] = checked[5] = true;
    s.threadsPerVolume = 256;
    ASSERT_EQ(Started(), StartOutcome::Started);
    EXPECT_EQ(eng->Workers().Count(), 1024);
    EXPECT_EQ(eng->Workers().Worker(1024)->TestedDisk(), 5);
    EXPECT_EQ(eng->Workers().Worker(257)->TestedDisk(), 3);
    StopAndDrain();
}

TEST_F(RunControl, ASettingThatCannotRunIsNamedAndChangesNothing) {
    LastRun();
    const uint32_t logged = eng->Log().Count();
    const int64_t recorded = Recorded(2);
    const std::pair<void (*)(RunSettings&), SettingField> bad[] = {
        {[](RunSettings& r) { r.blockSize = 0; }, SettingField::BlockSize},
        {[](RunSettings& r) { r.testMs = 40'000LL * 60'000; }, SettingField::TestTime},
        {[](RunSettings& r) { r.pauseMs = -5; }, SettingField::PauseMs},
        {[](RunSettings& r) { r.readsPerPortion = -1; }, SettingField::ReadsPerPortion},
        {[](RunSettings& r) { r.writesPerPortion = -3; }, SettingField::WritesPerPortion}};
    for (const auto& [change, field] : bad) {
        s = {};
        s.blockSize = 512;
        s.method = Method::Batterfly;
        s.writesPerPortion = 1;
        change(s);
        const StartResult r = Start();
        EXPECT_EQ(r.outcome, StartOutcome::Refused);
        EXPECT_EQ(r.refusal.field, field);
        ExpectLastRunIntact(logged, recorded);
    }
    EXPECT_TRUE(asked.empty());  // refused before the question
}

TEST_F(RunControl, AStartWhileWorkersWindDownReturnsBusyAndKeepsTheLog) {
    Volumes({2}, 300'000);  // each call takes 0.3 s
    ASSERT_EQ(Started(), StartOutcome::Started);
    ASSERT_TRUE(WaitFor([&] { return eng->Workers().Busy(1) && eng->Workers().Busy(2); }));
    eng->Stop();
    ASSERT_TRUE(eng->Workers().AnyBusy());  // both workers are in their call
    const uint32_t logged = eng->Log().Count();
    s.pauseMs = 10;
    EXPECT_EQ(Started(), StartOutcome::Busy);
    EXPECT_EQ(eng->Log().Count(), logged);
    EXPECT_EQ(eng->Volume(2)->PauseMs, 0);
    StopAndDrain();
    EXPECT_EQ(Started(), StartOutcome::Started);
    StopAndDrain();
}

TEST_F(RunControl, TheTestEndsOnlyWhenElapsedTimeExceedsTheTestTime) {
    Volumes({2});
    s.testMs = 60'000;
    ASSERT_EQ(Started(), StartOutcome::Started);
    ASSERT_TRUE(WaitFor([&] { return eng->Workers().Busy(1) && eng->Workers().Busy(2); }));
    EXPECT_EQ(eng->StartTick(), now);
    const uint32_t t0 = now;
    now = t0 + 1500;
    EXPECT_EQ(eng->Tick(), std::optional<uint32_t>(1500));
    EXPECT_TRUE(eng->Running());
    now = t0 + 60'000;
    EXPECT_EQ(eng->Tick(), std::optional<uint32_t>(60'000));
    EXPECT_TRUE(eng->Running());
    now = t0 + 60'001;
    EXPECT_EQ(eng->Tick(), std::optional<uint32_t>(60'001));
    EXPECT_FALSE(eng->Running());
    now = t0 + 70'000;
    EXPECT_EQ(eng->Tick(), std::nullopt);  // no elapsed time once the run is over
    ASSERT_TRUE(WaitFor([&] { return !eng->Workers().AnyReleased(); }));  // each reset its own event
    EXPECT_TRUE(WaitFor([&] { return !eng->Workers().AnyBusy(); }));

    // Zero and negative test times end at the first tick; elapsed time is right across a wrap.
    s.testMs = 0;
    now = 0xFFFFFF00u;
    ASSERT_EQ(Started(), StartOutcome::Started);
    eng->Tick();
    EXPECT_TRUE(eng->Running());
    now = 0x10;
    EXPECT_EQ(eng->Tick(), std::optional<uint32_t>(0x110));
    EXPECT_FALSE(eng->Running());
    StopAndDrain();
    s.testMs = -3 * 60'000;
    ASSERT_EQ(Started(), StartOutcome::Started);
    eng->Tick();
    EXPECT_FALSE(eng->Running());
    StopAndDrain();
}

TEST_F(RunControl, WorkersAreCreatedOnFirstNeedAndReusedByNumber) {
    Volumes({2, 3});
    ASSERT_EQ(Started(), StartOutcome::Started);
    StopAndDrain();
    const TDiskTest* first[5] = {nullptr, eng->Workers().Worker(1), eng->Workers().Worker(2),
                                 eng->Workers().Worker(3), eng->Workers().Worker(4)};
    EXPECT_EQ(first[3]->TestedDisk(), 3);

    checked[2] = false;
    s.threadsPerVolume = 1;
    ASSERT_EQ(Started(), StartOutcome::Started);
    EXPECT_EQ(eng->Workers().Count(), 1);
    EXPECT_EQ(eng->Workers().Worker(1), first[1]);
    EXPECT_EQ(eng->Workers().Worker(1)->TestedDisk(), 3);
    EXPECT_FALSE(eng->Workers().Event(2)->IsSet());  // the others stay idle
    ASSERT_TRUE(WaitFor([&] { return Recorded(3) > 0; }));
    StopAndDrain();

    checked[2] = true;
    s.threadsPerVolume = 3;
    ASSERT_EQ(Started(), StartOutcome::Started);
    EXPECT_EQ(eng->Workers().Count(), 6);
    for (int n = 1; n <= 4; ++n) EXPECT_EQ(eng->Workers().Worker(n), first[n]);
    EXPECT_NE(eng->Workers().Worker(6), nullptr);
    EXPECT_EQ(eng->Workers().Worker(4)->TestedDisk(), 3);
    StopAndDrain();
}

TEST_F(RunControl, ARunWithoutWorkersKeepsRunningUntilItsTimeHasPassed) {
    Volumes({2});
    s.threadsPerVolume = 0;
    s.writesPerPortion = 1;
    ASSERT_EQ(Started(), StartOutcome::Started);
    EXPECT_EQ(asked.size(), 1u);  // the warning still names the selected volume
    EXPECT_EQ(eng->Workers().Count(), 0);
    EXPECT_FALSE(eng->Workers().AnyReleased());
    now += 10;
    eng->Tick();
    EXPECT_TRUE(eng->Running());
    eng->Stop();
    EXPECT_FALSE(eng->Running());

    checked = {};
    s.threadsPerVolume = -4;
    ASSERT_EQ(Started(), StartOutcome::Started);
    EXPECT_EQ(eng->Workers().Count(), 0);
    EXPECT_TRUE(eng->Running());
}

TEST_F(RunControl, NoMethodNamedKeepsThePreviousChoice) {
    Volumes({2});
    s.method = Method::None;
    ASSERT_EQ(Started(), StartOutcome::Started);
    EXPECT_EQ(eng->Settings().method, Method::None);
    EXPECT_EQ(eng->Volume(2)->TestMethod, 0);
    StopAndDrain();
    s.method = Method::LinearBackward;
    ASSERT_EQ(Started(), StartOutcome::Started);
    StopAndDrain();
    s.method = Method::None;
    ASSERT_EQ(Started(), StartOutcome::Started);
    EXPECT_EQ(eng->Settings().method, Method::LinearBackward);
    EXPECT_EQ(eng->Volume(2)->TestMethod, kLinearBackward);
    StopAndDrain();
}

TEST_F(RunControl, AnUnselectedVolumeKeepsItsLastRunButLosesItsIntervals) {
    Volumes({2, 3});
    ASSERT_EQ(Started(), StartOutcome::Started);
    ASSERT_TRUE(WaitFor([&] { return Recorded(3) > 5; }));
    StopAndDrain();
    VolumeStats& d = *eng->Volume(3);
    d.Total().IOCount = 99;
    const int32_t cur = d.CurInterval;
    const uint64_t hist = d.LatencyHistogram[0] + d.LatencyHistogram[1];
    checked[3] = false;
    ASSERT_EQ(Started(), StartOutcome::Started);
    StopAndDrain();
    EXPECT_EQ(d.Total().IOCount, 99);
    EXPECT_EQ(d.CurInterval, cur);
    EXPECT_EQ(d.LatencyHistogram[0] + d.LatencyHistogram[1], hist);
    EXPECT_EQ(d.Intervals[1].IOCount, 0);
    EXPECT_FALSE(d.Selected);
}

TEST_F(RunControl, EndingTheRunForTheWindowWaitsBoundedForTheWorkers) {
    Volumes({2}, 2'000'000);  // each call takes 2 s
    ASSERT_EQ(Started(), StartOutcome::Started);
    ASSERT_TRUE(WaitFor([&] { return eng->Workers().Busy(1); }));
    const auto start = std::chrono::steady_clock::now();
    eng->EndRunAndWait(300);
    EXPECT_FALSE(eng->Running());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
}

TEST_F(RunControl, AWorkerReleasedForAnEarlierRunNeverJoinsALaterOne) {
    // Run A: two writers on C:. Worker 2 never got to enter it, so its event is still signalled, as when a
    // run ends within milliseconds of its Start on a loaded machine.
    Volumes({2, 3});
    checked[3] = false;
    s.writesPerPortion = 1;
    ASSERT_EQ(Started(), StartOutcome::Started);
    ASSERT_TRUE(WaitFor([&] { return Recorded(2) > 0; }));
    StopAndDrain();
    eng->Workers().Event(2)->Set();
    const size_t writesOnC = fake->Ops(2).size();

    // Run B: one reader on D: only. Worker 2 sees a run that is not its own, lets its stale signal go and
    // stays out: C: gets no further operation, and nobody writes.
    checked[2] = false;
    checked[3] = true;
    s.threadsPerVolume = 1;
    s.writesPerPortion = 0;
    ASSERT_EQ(Started(), StartOutcome::Started);
    EXPECT_TRUE(WaitFor([&] { return !eng->Workers().Event(2)->IsSet(); }, 5s));
    ASSERT_TRUE(WaitFor([&] { return Recorded(3) > 100; }));
    EXPECT_EQ(fake->Ops(2).size(), writesOnC);
    EXPECT_FALSE(eng->Workers().Busy(2));
    StopAndDrain();
    EXPECT_EQ(fake->Ops(2).size(), writesOnC);
    for (const auto& op : fake->Ops(3)) EXPECT_EQ(op.kind, 'R');

    // Assigned again, worker 2 takes part as before.
    checked[2] = true;
    checked[3] = false;
    s.threadsPerVolume = 2;
    ASSERT_EQ(Started(), StartOutcome::Started);
    ASSERT_TRUE(WaitFor([&] { return eng->Workers().Busy(2); }));
    StopAndDrain();
}

TEST_F(RunControl, StopCutsPausesShortSoTheNextStartIsNotRefused) {
    Volumes({2});
    s.pauseMs = 60'000;
    s.pauseType = PauseType::Fixed;
    ASSERT_EQ(Started(), StartOutcome::Started);
    ASSERT_TRUE(
        WaitFor([&] { return fake->Ops(2).size() >= 2; }));  // both workers in their minute-long pause
    eng->Stop();
    ASSERT_TRUE(WaitFor([&] { return !eng->Workers().AnyBusy(); }, 5s));
    EXPECT_EQ(eng->Log().Count(), 2u);  // the paused operations were recorded, nothing after them
    s.pauseMs = 0;
    EXPECT_EQ(Started(), StartOutcome::Started);
    StopAndDrain();

    // The end of the test time wakes them as well.
    s.pauseMs = 60'000;
    ASSERT_EQ(Started(), StartOutcome::Started);
    ASSERT_TRUE(WaitFor([&] { return eng->Workers().Busy(1) && eng->Workers().Busy(2); }));
    now += 31 * 60'000;
    eng->Tick();
    EXPECT_FALSE(eng->Running());
    EXPECT_TRUE(WaitFor([&] { return !eng->Workers().AnyBusy(); }, 5s));
}

TEST_F(RunControl, ABlockSizeThatCannotWorkOnAVolumeIsRefusedBeforeAnythingChanges) {
    fake->volumes[2].alignment = 512;
    LastRun();
    const uint32_t logged = eng->Log().Count();
    const int64_t recorded = Recorded(2);
    s.writesPerPortion = 1;
    s.blockSize = 1000;
    StartResult r = Start();
    EXPECT_EQ(r.outcome, StartOutcome::Refused);
    EXPECT_EQ(r.refusal.why, Refusal::Why::NotMultiple);
    EXPECT_EQ(r.refusal.limit, 512);
    EXPECT_EQ(r.refusal.volume, 2);
    s.blockSize = 2097152;
    r = Start();
    EXPECT_EQ(r.refusal.why, Refusal::Why::LargerThanVolume);
    EXPECT_EQ(r.refusal.limit, 1 << 20);
    ExpectLastRunIntact(logged, recorded);
    EXPECT_TRUE(asked.empty());  // no destructive-write question was asked
    s.blockSize = 1024;
    EXPECT_EQ(Started(), StartOutcome::Started);
    StopAndDrain();
}

TEST_F(RunControl, APreparedRunWaitsForItsReleaseWithEverythingReady) {
    Volumes({2});
    const StartResult r = eng->Prepare(s, checked, {});
    ASSERT_EQ(r.outcome, StartOutcome::Prepared);
    EXPECT_EQ(eng->Workers().Count(), 2);  // the workers exist...
    EXPECT_NE(eng->Workers().Worker(2), nullptr);
    EXPECT_FALSE(eng->Running());  // ...and wait
    now += 5000;
    EXPECT_EQ(eng->Tick(), std::nullopt);
    std::this_thread::sleep_for(30ms);
    EXPECT_TRUE(fake->Ops(2).empty());
    EXPECT_FALSE(eng->Workers().AnyBusy());
    eng->Release();
    EXPECT_TRUE(eng->Running());
    EXPECT_EQ(eng->StartTick(), now);  // the test time starts at the release
    ASSERT_TRUE(WaitFor([&] { return Recorded(2) > 10; }));
    StopAndDrain();
}

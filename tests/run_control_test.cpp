#include <gtest/gtest.h>

#include "engine/engine.h"
#include "tests/test_support.h"

using namespace engine;
using namespace std::chrono_literals;
using testing_support::FakeDialogs;
using testing_support::FakeVolumeSystem;
using testing_support::TempDir;
using testing_support::WaitFor;

namespace {

struct RunControl : ::testing::Test {
    std::shared_ptr<FakeVolumeSystem> fake = std::make_shared<FakeVolumeSystem>();
    FakeDialogs dialogs;
    std::unique_ptr<Engine> eng;
    std::array<bool, kDiskCount> checked{};
    RunSettingsText text;

    // Fake volumes of 1 MiB at the given indices, all ticked.
    void Volumes(std::initializer_list<int> present, int64_t callDelayUs = 0) {
        for (int i : present) {
            fake->volumes[i].present = true;
            fake->volumes[i].deviceSize = 1 << 20;
            fake->volumes[i].callDelayUs = callDelayUs;
            checked[i] = true;
        }
        eng = std::make_unique<Engine>(fake, dialogs, 1'000'000);
        eng->EnumerateVolumes();
        eng->ShowDefaults();
    }
    StartOutcome Click() { return eng->StartButtonClick(text, checked); }
    int64_t Recorded(int i) {
        VolumeStats& v = *eng->Volume(i);
        std::lock_guard lock(v.Lock);
        int64_t n = 0;
        for (int j = 1; j <= v.CurInterval; ++j) n += v.Intervals[j].IOCount;
        return n;
    }
    void StopAndDrain() {
        if (eng->Testing()) eng->Stop();
        ASSERT_TRUE(WaitFor([&] { return !eng->AnyWorkerBusy(); }));
    }
    // A finished run on C: whose results a refused start must not touch.
    void LastRun() {
        Volumes({2, 4});
        ASSERT_EQ(Click(), StartOutcome::Started);
        ASSERT_TRUE(WaitFor([&] { return Recorded(2) > 10; }));
        StopAndDrain();
        eng->Volume(2)->Total().IOCount = 1234;  // as the last refresh left it
    }
    void ExpectLastRunIntact(uint32_t logCount, int64_t recorded) {
        EXPECT_EQ(eng->Log().Count(), logCount);
        EXPECT_EQ(eng->Volume(2)->Total().IOCount, 1234);
        EXPECT_EQ(Recorded(2), recorded);
        EXPECT_FALSE(eng->Testing());
    }
};

}  // namespace

TEST_F(RunControl, StartReleasesWorkersStopEndsThemAndTheNextTickTurnsTheCaptionBack) {
    Volumes({2, 4});
    checked[4] = false;
    text.ThreadCount = "3";
    text.TestMethod = "Linear forward";
    text.TestTime = "17";
    text.BlockSize = "8192";
    ASSERT_EQ(Click(), StartOutcome::Started);
    EXPECT_TRUE(eng->Testing());
    EXPECT_TRUE(eng->StopCaption);
    EXPECT_EQ(eng->WorkerCount, 3);
    EXPECT_EQ(eng->TestEndTime, 17 * 60'000);
    EXPECT_EQ(eng->StatisticPeriodSeconds, 5);
    EXPECT_EQ(eng->BlockSize, 8192);
    EXPECT_EQ(eng->TestMethod, kLinearForward);
    for (int n = 1; n <= 3; ++n) {
        EXPECT_EQ(eng->Worker(n)->TestedDisk(), 2);
        EXPECT_EQ(eng->WorkerEvent(n)->Name(), "ThreadManage" + std::to_string(n));
    }
    const VolumeStats& c = *eng->Volume(2);
    EXPECT_EQ(c.BlockCount, (1 << 20) / 8192);
    EXPECT_EQ(c.PeriodTicks, 5 * eng->TimerFreq);
    EXPECT_TRUE(c.Selected);
    EXPECT_FALSE(eng->Volume(4)->Selected);
    ASSERT_TRUE(WaitFor([&] { return Recorded(2) > 100; }));
    EXPECT_EQ(Recorded(4), 0);

    EXPECT_EQ(Click(), StartOutcome::Stopped);
    EXPECT_FALSE(eng->Testing());
    EXPECT_TRUE(eng->StopCaption);  // until the next tick
    eng->Timer1Timer();
    EXPECT_FALSE(eng->StopCaption);  // Stop reset every event
    ASSERT_TRUE(WaitFor([&] { return !eng->AnyWorkerBusy(); }));
    EXPECT_EQ(static_cast<int64_t>(eng->Log().Count()), Recorded(2));
}

TEST_F(RunControl, DestructiveWritesAskFirstNamingVolumeIndices) {
    Volumes({2, 3, 4});
    checked[3] = false;
    text.WritesPerPortion = "1";
    dialogs.answerYes = true;
    ASSERT_EQ(Click(), StartOutcome::Started);
    ASSERT_EQ(dialogs.Count(), 1u);
    const auto box = dialogs.Boxes()[0];
    EXPECT_EQ(box.kind, "yesno");
    EXPECT_EQ(box.caption, "Предупреждение!!!");
    // The sentence names indices; the lines after it name what an operator recognises.
    EXPECT_EQ(box.body,
              "Данные на дисках 2,4 будут уничтожены. Продолжим?\n\n"
              "C:  /dev/fakec  1 MBytes\n"
              "E:  /dev/fakee  1 MBytes");
    ASSERT_TRUE(WaitFor([&] { return Recorded(2) > 0; }));
    StopAndDrain();
    ASSERT_FALSE(fake->OpenModes(2).empty());
    EXPECT_TRUE(fake->OpenModes(2).front());  // opened for writing once the operator agreed

    text.WritesPerPortion = "0";
    ASSERT_EQ(Click(), StartOutcome::Started);
    StopAndDrain();
    text.WritesPerPortion = "5";
    checked = {};
    ASSERT_EQ(Click(), StartOutcome::Started);  // no volume: nothing to destroy, nothing asked
    EXPECT_EQ(dialogs.Count(), 1u);
}

TEST_F(RunControl, DecliningTheWarningKeepsTheLastRunsResults) {
    LastRun();
    const uint32_t logged = eng->Log().Count();
    const int64_t recorded = Recorded(2);
    const size_t opens = fake->OpenModes(2).size();
    text.WritesPerPortion = "2";
    text.BlockSize = "512";
    dialogs.answerYes = false;
    EXPECT_EQ(Click(), StartOutcome::Declined);
    ExpectLastRunIntact(logged, recorded);
    EXPECT_EQ(eng->BlockSize, 4096);
    EXPECT_EQ(eng->Volume(2)->WritesPerPortion, 0);
    EXPECT_EQ(fake->OpenModes(2).size(), opens);  // nothing was opened, let alone for writing
}

TEST_F(RunControl, WorkerLimitCountsTheTrueProduct) {
    Volumes({2, 3, 4, 5});
    text.ThreadCount = "257";
    EXPECT_EQ(Click(), StartOutcome::TooManyThreads);
    ASSERT_EQ(dialogs.Count(), 1u);
    EXPECT_EQ(dialogs.Boxes()[0].caption, "Неподходящие праметры задания");
    EXPECT_EQ(dialogs.Boxes()[0].body, "Максимальное количество потоков 1024. Запрошено 1028");
    EXPECT_EQ(eng->WorkerCount, 0);
    EXPECT_FALSE(eng->StopCaption);

    // A product that wraps around in 32 bits is refused like any other.
    checked = {};
    checked[2] = checked[3] = true;
    text.ThreadCount = "2147483647";
    EXPECT_EQ(Click(), StartOutcome::TooManyThreads);
    EXPECT_EQ(dialogs.Boxes()[1].body, "Максимальное количество потоков 1024. Запрошено 4294967294");

    checked[4] = checked[5] = true;
    text.ThreadCount = "256";
    ASSERT_EQ(Click(), StartOutcome::Started);
    EXPECT_EQ(eng->WorkerCount, 1024);
    EXPECT_EQ(eng->Worker(1024)->TestedDisk(), 5);
    EXPECT_EQ(eng->Worker(257)->TestedDisk(), 3);
    StopAndDrain();
}

TEST_F(RunControl, ABadSettingIsNamedAndChangesNothing) {
    LastRun();
    const uint32_t logged = eng->Log().Count();
    const int64_t recorded = Recorded(2);
    eng->StopCaption = true;  // winding down: the caption must not change either
    const std::pair<std::string RunSettingsText::*, const char*> bad[] = {
        {&RunSettingsText::BlockSize, "4k"},      {&RunSettingsText::BlockSize, "0"},
        {&RunSettingsText::TestTime, "40000"},    {&RunSettingsText::ThreadCount, "two"},
        {&RunSettingsText::PauseMs, "-5"},        {&RunSettingsText::ReadsPerPortion, "-1"},
        {&RunSettingsText::WritesPerPortion, "1e3"}};
    for (const auto& [field, value] : bad) {
        RunSettingsText t;
        t.BlockSize = "512";
        t.TestMethod = "Batterfly";
        t.*field = value;
        text = t;
        EXPECT_EQ(Click(), StartOutcome::Invalid) << value;
        ExpectLastRunIntact(logged, recorded);
        EXPECT_EQ(eng->BlockSize, 4096);
        EXPECT_EQ(eng->TestMethod, kRandom);
        EXPECT_TRUE(eng->StopCaption);
    }
    const auto boxes = dialogs.Boxes();
    ASSERT_EQ(boxes.size(), std::size(bad));
    EXPECT_EQ(boxes[0].body, "'4k' is not a valid integer value for the block size");
    EXPECT_EQ(boxes[0].caption, "Неподходящие праметры задания");
    EXPECT_EQ(boxes[6].body, "'1e3' is not a valid integer value for the writes per portion");
}

TEST_F(RunControl, AStartWhileWorkersWindDownReturnsSilentlyAndKeepsTheLog) {
    Volumes({2});
    text.PauseMs = "400";
    text.PauseType = "Fixed";
    ASSERT_EQ(Click(), StartOutcome::Started);
    ASSERT_TRUE(WaitFor([&] { return Recorded(2) >= 1; }));
    eng->Stop();
    ASSERT_TRUE(eng->AnyWorkerBusy());  // both workers are in their pause
    const uint32_t logged = eng->Log().Count();
    text.PauseMs = "0";
    EXPECT_EQ(Click(), StartOutcome::Busy);
    EXPECT_EQ(eng->Log().Count(), logged);
    EXPECT_EQ(eng->Volume(2)->PauseMs, 400);
    EXPECT_EQ(dialogs.Count(), 0u);
    StopAndDrain();
    EXPECT_EQ(Click(), StartOutcome::Started);
    StopAndDrain();
}

TEST_F(RunControl, TheTestEndsOnlyWhenElapsedTimeExceedsTheTestTime) {
    Volumes({2});
    text.TestTime = "1";
    ASSERT_EQ(Click(), StartOutcome::Started);
    ASSERT_TRUE(WaitFor([&] { return eng->Shared().BusyFlags[1] && eng->Shared().BusyFlags[2]; }));
    const uint32_t t0 = eng->StartTestTime;
    EXPECT_EQ(eng->Timer1TimerAt(t0 + 1500), std::optional<uint32_t>(1500));
    EXPECT_TRUE(eng->Testing());
    EXPECT_EQ(eng->Timer1TimerAt(t0 + 60'000), std::optional<uint32_t>(60'000));
    EXPECT_TRUE(eng->Testing());
    EXPECT_EQ(eng->Timer1TimerAt(t0 + 60'001), std::optional<uint32_t>(60'001));
    EXPECT_FALSE(eng->Testing());
    EXPECT_EQ(eng->Timer1TimerAt(t0 + 70'000), std::nullopt);  // no elapsed time once the run is over
    ASSERT_TRUE(WaitFor([&] {
        eng->Timer1Timer();
        return !eng->StopCaption;  // each worker reset its own event on leaving
    }));
    EXPECT_FALSE(eng->AnyWorkerBusy());

    // Zero and negative test times end at the first tick; elapsed time is right across a wrap.
    text.TestTime = "0";
    ASSERT_EQ(Click(), StartOutcome::Started);
    eng->StartTestTime = 0xFFFFFF00u;
    eng->Timer1TimerAt(0xFFFFFF00u);
    EXPECT_TRUE(eng->Testing());
    EXPECT_EQ(eng->Timer1TimerAt(0x10), std::optional<uint32_t>(0x110));
    EXPECT_FALSE(eng->Testing());
    StopAndDrain();
    text.TestTime = "-3";
    ASSERT_EQ(Click(), StartOutcome::Started);
    eng->Timer1TimerAt(eng->StartTestTime);
    EXPECT_FALSE(eng->Testing());
    StopAndDrain();
}

TEST_F(RunControl, WorkersAreCreatedOnFirstNeedAndReusedByNumber) {
    Volumes({2, 3});
    text.ThreadCount = "2";
    ASSERT_EQ(Click(), StartOutcome::Started);
    StopAndDrain();
    TDiskTest* first[5] = {nullptr, eng->Worker(1), eng->Worker(2), eng->Worker(3), eng->Worker(4)};
    EXPECT_EQ(first[3]->TestedDisk(), 3);

    checked[2] = false;
    text.ThreadCount = "1";
    ASSERT_EQ(Click(), StartOutcome::Started);
    EXPECT_EQ(eng->WorkerCount, 1);
    EXPECT_EQ(eng->Worker(1), first[1]);
    EXPECT_EQ(eng->Worker(1)->TestedDisk(), 3);
    EXPECT_FALSE(eng->WorkerEvent(2)->IsSet());  // the others stay idle
    ASSERT_TRUE(WaitFor([&] { return Recorded(3) > 0; }));
    StopAndDrain();

    checked[2] = true;
    text.ThreadCount = "3";
    ASSERT_EQ(Click(), StartOutcome::Started);
    EXPECT_EQ(eng->WorkerCount, 6);
    for (int n = 1; n <= 4; ++n) EXPECT_EQ(eng->Worker(n), first[n]);
    EXPECT_NE(eng->Worker(6), nullptr);
    EXPECT_EQ(eng->Worker(4)->TestedDisk(), 3);
    StopAndDrain();
}

TEST_F(RunControl, ARunWithoutWorkersKeepsTestingUntilItsTimeHasPassed) {
    Volumes({2});
    text.ThreadCount = "0";
    text.WritesPerPortion = "1";
    ASSERT_EQ(Click(), StartOutcome::Started);
    EXPECT_EQ(dialogs.Count(), 1u);  // the warning still names the selected volume
    EXPECT_EQ(eng->WorkerCount, 0);
    EXPECT_TRUE(eng->StopCaption);
    eng->Timer1TimerAt(eng->StartTestTime + 10);
    EXPECT_FALSE(eng->StopCaption);
    EXPECT_TRUE(eng->Testing());
    EXPECT_EQ(Click(), StartOutcome::Stopped);
    EXPECT_FALSE(eng->Testing());

    checked = {};
    text.ThreadCount = "-4";
    ASSERT_EQ(Click(), StartOutcome::Started);
    EXPECT_EQ(eng->WorkerCount, 0);
    EXPECT_TRUE(eng->Testing());
}

TEST_F(RunControl, UnknownMethodTextKeepsThePreviousChoice) {
    Volumes({2});
    text.TestMethod = "random";
    ASSERT_EQ(Click(), StartOutcome::Started);
    EXPECT_EQ(eng->TestMethod, 0);
    EXPECT_EQ(eng->Volume(2)->TestMethod, 0);
    StopAndDrain();
    text.TestMethod = "Linear backward";
    ASSERT_EQ(Click(), StartOutcome::Started);
    StopAndDrain();
    text.TestMethod = "Linear sideways";
    ASSERT_EQ(Click(), StartOutcome::Started);
    EXPECT_EQ(eng->TestMethod, kLinearBackward);
    StopAndDrain();
}

TEST_F(RunControl, AnUnselectedVolumeKeepsItsLastRunButLosesItsIntervals) {
    Volumes({2, 3});
    ASSERT_EQ(Click(), StartOutcome::Started);
    ASSERT_TRUE(WaitFor([&] { return Recorded(3) > 5; }));
    StopAndDrain();
    VolumeStats& d = *eng->Volume(3);
    d.Total().IOCount = 99;
    const int32_t cur = d.CurInterval;
    const uint64_t hist = d.LatencyHistogram[0] + d.LatencyHistogram[1];
    checked[3] = false;
    ASSERT_EQ(Click(), StartOutcome::Started);
    StopAndDrain();
    EXPECT_EQ(d.Total().IOCount, 99);
    EXPECT_EQ(d.CurInterval, cur);
    EXPECT_EQ(d.LatencyHistogram[0] + d.LatencyHistogram[1], hist);
    EXPECT_EQ(d.Intervals[1].IOCount, 0);
    EXPECT_FALSE(d.Selected);
}

TEST_F(RunControl, HidingTheWindowEndsTheRunAndWaitsBoundedForTheWorkers) {
    Volumes({2}, 200);
    text.PauseMs = "60000";
    text.PauseType = "Fixed";
    ASSERT_EQ(Click(), StartOutcome::Started);
    ASSERT_TRUE(WaitFor([&] { return !fake->Ops(2).empty(); }));  // in the pause after its first read
    const auto start = std::chrono::steady_clock::now();
    eng->FormHide(300);
    EXPECT_FALSE(eng->Testing());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    // The engine's destructor cuts the minute-long pauses short.
}

TEST_F(RunControl, AWorkerReleasedForAnEarlierRunNeverJoinsALaterOne) {
    // Run A: two writers on C:. Worker 2 never got to enter it, so its event is still signalled, as when a
    // run ends within milliseconds of its Start on a loaded machine.
    Volumes({2, 3});
    checked[3] = false;
    text.ThreadCount = "2";
    text.WritesPerPortion = "1";
    ASSERT_EQ(Click(), StartOutcome::Started);
    ASSERT_TRUE(WaitFor([&] { return Recorded(2) > 0; }));
    StopAndDrain();
    eng->WorkerEvent(2)->Set();
    const size_t writesOnC = fake->Ops(2).size();

    // Run B: one reader on D: only. Worker 2 sees a run that is not its own, lets its stale signal go and
    // stays out: C: gets no further operation, and nobody writes.
    checked[2] = false;
    checked[3] = true;
    text.ThreadCount = "1";
    text.WritesPerPortion = "0";
    ASSERT_EQ(Click(), StartOutcome::Started);
    EXPECT_TRUE(WaitFor([&] { return !eng->WorkerEvent(2)->IsSet(); }, 5s));
    ASSERT_TRUE(WaitFor([&] { return Recorded(3) > 100; }));
    EXPECT_EQ(fake->Ops(2).size(), writesOnC);
    EXPECT_EQ(eng->Shared().BusyFlags[2].load(), 0);
    StopAndDrain();
    EXPECT_EQ(fake->Ops(2).size(), writesOnC);
    for (const auto& op : fake->Ops(3)) EXPECT_EQ(op.kind, 'R');

    // Assigned again, worker 2 takes part as before.
    checked[2] = true;
    checked[3] = false;
    text.ThreadCount = "2";
    ASSERT_EQ(Click(), StartOutcome::Started);
    ASSERT_TRUE(WaitFor([&] { return eng->Shared().BusyFlags[2].load() != 0; }));
    StopAndDrain();
}

TEST_F(RunControl, StopCutsPausesShortSoTheNextStartIsNotRefused) {
    Volumes({2});
    text.PauseMs = "60000";
    text.PauseType = "Fixed";
    ASSERT_EQ(Click(), StartOutcome::Started);
    ASSERT_TRUE(WaitFor([&] { return fake->Ops(2).size() >= 2; }));  // both workers in their minute-long pause
    EXPECT_EQ(Click(), StartOutcome::Stopped);
    ASSERT_TRUE(WaitFor([&] { return !eng->AnyWorkerBusy(); }, 5s));
    EXPECT_EQ(eng->Log().Count(), 2u);  // the paused operations were recorded, nothing after them
    eng->Timer1Timer();
    EXPECT_FALSE(eng->StopCaption);
    text.PauseMs = "0";
    EXPECT_EQ(Click(), StartOutcome::Started);
    StopAndDrain();

    // The end of the test time wakes them as well.
    text.PauseMs = "60000";
    ASSERT_EQ(Click(), StartOutcome::Started);
    ASSERT_TRUE(WaitFor([&] { return eng->Shared().BusyFlags[1] && eng->Shared().BusyFlags[2]; }));
    eng->Timer1TimerAt(eng->StartTestTime + 31 * 60'000);
    EXPECT_FALSE(eng->Testing());
    EXPECT_TRUE(WaitFor([&] { return !eng->AnyWorkerBusy(); }, 5s));
}

TEST_F(RunControl, ABlockSizeThatCannotWorkOnAVolumeIsRefusedBeforeAnythingChanges) {
    fake->volumes[2].alignment = 512;
    LastRun();
    const uint32_t logged = eng->Log().Count();
    const int64_t recorded = Recorded(2);
    text.WritesPerPortion = "1";
    text.BlockSize = "1000";
    EXPECT_EQ(Click(), StartOutcome::Invalid);
    text.BlockSize = "2097152";
    EXPECT_EQ(Click(), StartOutcome::Invalid);
    ExpectLastRunIntact(logged, recorded);
    const auto boxes = dialogs.Boxes();
    ASSERT_EQ(boxes.size(), 2u);  // no destructive-write question was asked
    EXPECT_EQ(boxes[0].caption, "Неподходящие праметры задания");
    EXPECT_EQ(boxes[0].body,
              "'1000' is not allowed for the block size: it must be a multiple of 512 bytes, the transfer unit of "
              "C: (/dev/fakec)");
    EXPECT_EQ(boxes[1].body,
              "'2097152' is not allowed for the block size: it is larger than C: (/dev/fakec), which holds 1048576 "
              "bytes");
    text.BlockSize = "1024";
    EXPECT_EQ(Click(), StartOutcome::Started);
    StopAndDrain();
}

#include "engine/worker.h"

#include <gtest/gtest.h>

#include <fstream>
#include <numeric>
#include <set>

#include "engine/pending.h"
#include "engine/system_error.h"
#include "platform/clock.h"
#include "platform/error_codes.h"
#include "platform/error_text.h"
#include "tests/test_support.h"

using namespace engine;
using namespace std::chrono_literals;
using testing_support::FakeDialogs;
using testing_support::FakeOp;
using testing_support::FakeVolumeSystem;
using testing_support::TempDir;
using testing_support::WaitFor;

namespace {

constexpr int kC = 2;
constexpr uint64_t kRun = 1;

// Workers driven directly through the shared state, the way run control drives them.
struct Workers : ::testing::Test {
    std::shared_ptr<FakeVolumeSystem> fake = std::make_shared<FakeVolumeSystem>();
    FakeDialogs dialogs;
    std::shared_ptr<SharedState> sh;
    std::vector<std::shared_ptr<platform::ManualResetEvent>> events;
    std::vector<std::unique_ptr<TDiskTest>> workers;

    void Make(std::shared_ptr<platform::IVolumeSystem> system, uint32_t logCapacity = 100'000) {
        sh = std::make_shared<SharedState>(std::move(system), dialogs, logCapacity);
    }
    VolumeStats& FakeVolume(int i, int64_t blocks, int32_t blockSize = 512) {
        if (!sh) Make(fake);
        fake->volumes[i].present = true;
        fake->volumes[i].deviceSize = blocks * blockSize;
        return Volume(i, blocks, blockSize);
    }
    VolumeStats& Volume(int i, int64_t blocks, int32_t blockSize) {
        sh->Volumes[i] = std::make_unique<VolumeStats>();
        VolumeStats& v = *sh->Volumes[i];
        v.BlockSize = blockSize;
        v.BlockCount = blocks;
        v.TestMethod = kLinearForward;
        v.ReadsPerPortion = 1;
        v.PeriodTicks = 1'000'000'000;
        return v;
    }
    TDiskTest& Spawn(int disk) {
        const int n = static_cast<int>(workers.size()) + 1;
        events.push_back(
            std::make_shared<platform::ManualResetEvent>("ThreadManage" + std::to_string(n), true));
        workers.push_back(std::make_unique<TDiskTest>(sh, n, events.back()));
        workers.back()->Assign(disk, kRun);
        return *workers.back();
    }
    void Release() {
        sh->GoRun.store(kRun);
        sh->CurrentRun.store(kRun);
        sh->Testing.store(true);
        for (auto& e : events) e->Set();
    }
    bool AnyBusy() const {
        for (size_t n = 1; n <= workers.size(); ++n)
            if (sh->BusyFlags[n].load()) return true;
        return false;
    }
    static int64_t Recorded(VolumeStats& v) {
        const auto lock = LockUpToDate(v);
        int64_t n = 0;
        for (int j = 1; j <= v.CurInterval; ++j) n += v.Intervals[j].IOCount;
        return n;
    }
    // Runs until every tested volume has recorded at least `ops` operations, then clears Testing and
    // waits for the workers to leave their runs.
    void RunFor(int64_t ops) {
        Release();
        ASSERT_TRUE(WaitFor([&] {
            for (auto& w : workers)
                if (Recorded(*sh->Volumes[w->TestedDisk()]) < ops) return false;
            return true;
        }));
        sh->Testing.store(false);
        ASSERT_TRUE(WaitFor([&] { return !AnyBusy(); }));
    }
    std::vector<int64_t> Blocks(int disk, int32_t blockSize, size_t count) const {
        std::vector<int64_t> out;
        for (const FakeOp& op : fake->Ops(disk)) {
            if (out.size() == count) break;
            out.push_back(op.offset / blockSize);
        }
        return out;
    }
    void TearDown() override {
        workers.clear();  // joins
    }
};

}  // namespace

TEST_F(Workers, LinearPatternsWrapAroundTheVolume) {
    FakeVolume(kC, 3).TestMethod = kLinearForward;
    Spawn(kC);
    RunFor(7);
    EXPECT_EQ(Blocks(kC, 512, 7), (std::vector<int64_t>{0, 1, 2, 0, 1, 2, 0}));

    FakeVolume(3, 3).TestMethod = kLinearBackward;
    workers.clear();
    events.clear();
    sh->Log.Reset();
    Spawn(3);
    RunFor(7);
    EXPECT_EQ(Blocks(3, 512, 7), (std::vector<int64_t>{2, 1, 0, 2, 1, 0, 2}));
}

TEST_F(Workers, BatterflyVisitsEveryBlockTwicePerCycle) {
    FakeVolume(kC, 4).TestMethod = kBatterfly;
    FakeVolume(3, 2).TestMethod = kBatterfly;
    Spawn(kC);
    Spawn(3);
    RunFor(40);
    EXPECT_EQ(Blocks(kC, 512, 10), (std::vector<int64_t>{0, 3, 1, 2, 2, 1, 3, 0, 0, 3}));
    EXPECT_EQ(Blocks(3, 512, 8), (std::vector<int64_t>{0, 1, 1, 0, 0, 1, 1, 0}));
}

TEST_F(Workers, RandomNeverChoosesTheLastTwoBlocks) {
    FakeVolume(kC, 10).TestMethod = kRandom;
    FakeVolume(3, 2).TestMethod = kRandom;
    FakeVolume(4, 1).TestMethod = kRandom;
    Spawn(kC);
    Spawn(3);
    Spawn(4);
    RunFor(3000);
    const auto c = Blocks(kC, 512, 100'000);
    ASSERT_GE(c.size(), 200u);
    const std::set<int64_t> seen(c.begin(), c.end());
    EXPECT_EQ(seen, (std::set<int64_t>{0, 1, 2, 3, 4, 5, 6, 7}));
    for (int disk : {3, 4})
        for (int64_t b : Blocks(disk, 512, 100'000)) EXPECT_EQ(b, 0) << disk;
}

TEST_F(Workers, AVolumeSmallerThanOneBlockFailsAtBlockMinusOne) {
    FakeVolume(kC, 0).TestMethod = kLinearBackward;
    VolumeStats& r = FakeVolume(3, 0);
    r.TestMethod = kRandom;
    fake->volumes[kC].deviceSize = 100;
    Spawn(kC);
    Spawn(3);
    RunFor(400);
    const auto c = Blocks(kC, 512, 5);
    EXPECT_EQ(c, (std::vector<int64_t>{-1, -1, -1, -1, -1}));
    const VolumeStats& v = *sh->Volumes[kC];
    EXPECT_EQ(v.Intervals[1].Errors, v.Intervals[1].IOCount);
    EXPECT_EQ(v.Intervals[1].Bytes, 0);
    for (int64_t b : Blocks(3, 512, 1000)) EXPECT_TRUE(b == 0 || b == -1) << b;
}

TEST_F(Workers, PortionsRunReadsThenWritesThenThePause) {
    VolumeStats& v = FakeVolume(kC, 100);
    v.ReadsPerPortion = 2;
    v.WritesPerPortion = 1;
    v.PauseMs = 40;
    v.PauseFixed = true;
    Spawn(kC);
    RunFor(6);
    const auto ops = fake->Ops(kC);
    ASSERT_GE(ops.size(), 6u);
    std::string kinds;
    for (size_t i = 0; i < 6; ++i) kinds += ops[i].kind;
    EXPECT_EQ(kinds, "RRWRRW");
    EXPECT_EQ(Blocks(kC, 512, 6), (std::vector<int64_t>{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(fake->OpenModes(kC), (std::vector<bool>{true}));  // writes asked: opened read-write
    // The pause follows the write, outside every operation's timing.
    const LogEntry* log = sh->Log.Entries();
    const int64_t f = log[0].Frequency;
    EXPECT_GE(log[3].StartTicks - log[2].EndTicks, f * 40 / 1000);
    for (int i = 0; i < 6; ++i) EXPECT_LT(log[i].EndTicks - log[i].StartTicks, f * 40 / 1000);
}

TEST_F(Workers, NoReadsNoWritesOpensReadOnlyAndRecordsFailedPasses) {
    VolumeStats& v = FakeVolume(kC, 100);
    v.ReadsPerPortion = 0;
    v.WritesPerPortion = 0;
    Spawn(kC);
    RunFor(50);
    EXPECT_TRUE(fake->Ops(kC).empty());
    EXPECT_EQ(fake->OpenModes(kC), (std::vector<bool>{false}));
    EXPECT_EQ(v.Intervals[1].Errors, v.Intervals[1].IOCount);
    for (uint32_t k = 0; k < sh->Log.CompleteCount(); ++k) EXPECT_EQ(sh->Log.Entries()[k].Success, 0);
}

TEST_F(Workers, WritesOnlyAndReadsOnlyOpenAsNeeded) {
    VolumeStats& w = FakeVolume(kC, 100);
    w.ReadsPerPortion = 0;
    w.WritesPerPortion = 3;
    VolumeStats& r = FakeVolume(3, 100);
    r.ReadsPerPortion = 4;
    r.WritesPerPortion = 0;
    Spawn(kC);
    Spawn(3);
    RunFor(40);
    EXPECT_EQ(fake->OpenModes(kC), (std::vector<bool>{true}));
    EXPECT_EQ(fake->OpenModes(3), (std::vector<bool>{false}));
    for (const FakeOp& op : fake->Ops(kC)) EXPECT_EQ(op.kind, 'W');
    for (const FakeOp& op : fake->Ops(3)) EXPECT_EQ(op.kind, 'R');
}

TEST_F(Workers, NegativeSettingsNeitherHangNorSleep) {
    VolumeStats& v = FakeVolume(kC, 100);
    v.ReadsPerPortion = -1;  // never a read; the portion never ends
    v.WritesPerPortion = 0;
    VolumeStats& p = FakeVolume(3, 100);
    p.PauseMs = -100'000;  // treated as no pause
    p.PauseFixed = false;
    Spawn(kC);
    Spawn(3);
    RunFor(2000);
    EXPECT_TRUE(fake->Ops(kC).empty());
    EXPECT_GT(fake->Ops(3).size(), 100u);
}

TEST_F(Workers, AVolumeThatCannotBeOpenedIsReportedAfterEachAnswerUntilStopped) {
    FakeVolume(kC, 100).WritesPerPortion = 1;
    fake->volumes[kC].refuseWrite = true;
    std::atomic<int> shown{0};
    dialogs.onSystemError = [&] { ++shown; };
    Spawn(kC);
    Release();
    ASSERT_TRUE(WaitFor([&] { return shown.load() >= 3; }));
    sh->Testing.store(false);
    ASSERT_TRUE(WaitFor([&] { return !AnyBusy(); }));
    const size_t after = dialogs.Count();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(dialogs.Count(), after);  // no more boxes once the run is over
    const auto boxes = dialogs.Boxes();
    EXPECT_EQ(boxes[0].caption, "System error Cannot open /dev/fakec for write");
    EXPECT_EQ(boxes[0].body, " " + SystemErrorText(13));
    EXPECT_EQ(sh->Log.Count(), 0u);
}

TEST_F(Workers, BuffersThatCannotBeAllocatedEndTheRunWithAMessage) {
    FakeVolume(kC, 100);
    fake->volumes[kC].failAlloc = true;
    Spawn(kC);
    Release();
    ASSERT_TRUE(WaitFor([&] { return dialogs.Count() >= 1; }));
    sh->Testing.store(false);
    ASSERT_TRUE(WaitFor([&] { return !AnyBusy(); }));
    const auto box = dialogs.Boxes().front();
    EXPECT_EQ(box.caption, "System error Cannot allocate I/O buffers for /dev/fakec");
    EXPECT_EQ(box.body.rfind("Three buffers of 512 bytes are needed.  Error Code = " +
                                 std::to_string(platform::OutOfMemoryErrorCode()) + " ",
                             0),
              0u)
        << box.body;
    EXPECT_TRUE(fake->Ops(kC).empty());
}

TEST_F(Workers, TheEndOfARunCutsAPauseShortAndStillRecordsThePausedOperation) {
    VolumeStats& v = FakeVolume(kC, 100);
    v.PauseMs = 60'000;
    v.PauseFixed = true;
    Spawn(kC);
    Release();
    ASSERT_TRUE(WaitFor([&] { return !fake->Ops(kC).empty(); }));
    sh->EndRun();
    ASSERT_TRUE(WaitFor([&] { return !AnyBusy(); }, 5s));
    EXPECT_EQ(sh->Log.Count(), fake->Ops(kC).size());  // the paused operation was still recorded
    EXPECT_EQ(static_cast<size_t>(v.Intervals[1].IOCount), fake->Ops(kC).size());
}

TEST_F(Workers, AWorkerStaysOutOfARunItWasNotReleasedInto) {
    FakeVolume(kC, 100).WritesPerPortion = 1;
    Spawn(kC);  // assigned to run 1; its event starts signalled
    sh->GoRun.store(kRun + 1);
    sh->CurrentRun.store(kRun + 1);
    sh->Testing.store(true);
    ASSERT_TRUE(WaitFor([&] { return !events[0]->IsSet(); }, 5s));  // it let the signal go
    EXPECT_FALSE(AnyBusy());
    EXPECT_TRUE(fake->OpenModes(kC).empty());
    sh->EndRun();
    RunFor(3);  // its own run still finds it
    EXPECT_EQ(fake->OpenModes(kC).size(), 1u);
}

TEST_F(Workers, AFailedReadOrWriteCountsAsAnErrorWithNoBytes) {
    TempDir dir;
    platform::VolumeMap map;
    map.devicePath[kC] = dir.MakeImage("c.img", 4096 * 8);
    Make(platform::MakeVolumeSystem(map));
    VolumeStats& v = Volume(kC, 8, 4096);
    v.ReadsPerPortion = 1;
    Spawn(kC);
    RunFor(8);
    // The image shrinks under the test: every read now moves nothing and must not count as a block read.
    std::filesystem::resize_file(map.devicePath[kC], 0);
    const int64_t before = Recorded(v);
    RunFor(before + 16);
    std::lock_guard lock(v.Lock);
    int64_t errors = 0, bytes = 0, io = 0;
    for (int j = 1; j <= v.CurInterval; ++j) {
        errors += v.Intervals[j].Errors;
        bytes += v.Intervals[j].Bytes;
        io += v.Intervals[j].IOCount;
    }
    EXPECT_GE(errors, 16);
    EXPECT_EQ(bytes, (io - errors) * 4096);
}

TEST_F(Workers, EndingTheProgramCutsAPauseShortAndJoinsIdleWorkers) {
    VolumeStats& v = FakeVolume(kC, 100);
    v.PauseMs = 60'000;
    v.PauseFixed = true;
    Spawn(kC);
    FakeVolume(3, 100);
    Spawn(3);  // stays idle: its volume gets no run below
    Release();
    ASSERT_TRUE(WaitFor([&] { return !fake->Ops(kC).empty(); }));
    const auto start = std::chrono::steady_clock::now();
    workers.clear();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

TEST_F(Workers, WriteRunPutsZerosInBlockZeroAndTheRunsRandomBytesElsewhere) {
    TempDir dir;
    constexpr int kBlock = 4096;
    constexpr int kBlocks = 16;
    platform::VolumeMap map;
    map.devicePath[kC] = dir.MakeImage("c.img", kBlock * kBlocks, 0xFF);
    Make(platform::MakeVolumeSystem(map));
    VolumeStats& v = Volume(kC, kBlocks, kBlock);
    v.ReadsPerPortion = 0;
    v.WritesPerPortion = 1;
    Spawn(kC);
    RunFor(kBlocks * 2);
    std::ifstream in(map.devicePath[kC], std::ios::binary);
    std::vector<unsigned char> image(kBlock * kBlocks);
    in.read(reinterpret_cast<char*>(image.data()), static_cast<std::streamsize>(image.size()));
    for (int i = 0; i < kBlock; ++i) ASSERT_EQ(image[i], 0) << i;
    const std::vector<unsigned char> pattern(image.begin() + kBlock, image.begin() + 2 * kBlock);
    EXPECT_EQ(std::count(pattern.begin(), pattern.end(), 255), 0);
    EXPECT_GT(std::set<unsigned char>(pattern.begin(), pattern.end()).size(), 200u);  // random, not a fill
    for (int b = 1; b < kBlocks; ++b)
        EXPECT_TRUE(std::equal(pattern.begin(), pattern.end(), image.begin() + b * kBlock)) << b;
}

TEST_F(Workers, MultiWorkerRunKeepsHistogramIntervalsAndLogConsistent) {
    TempDir dir;
    constexpr int kBlock = 4096;
    platform::VolumeMap map;
    map.devicePath[kC] = dir.MakeImage("c.img", kBlock * 64, 0x11);
    map.devicePath[4] = dir.MakeImage("e.img", kBlock * 64, 0x22);
    Make(platform::MakeVolumeSystem(map));
    for (int disk : {kC, 4}) {
        VolumeStats& v = Volume(disk, 64, kBlock);
        v.TestMethod = kRandom;
        v.ReadsPerPortion = 3;
        v.WritesPerPortion = 1;
        v.PeriodTicks = platform::CounterFrequency() / 100;  // 10 ms: many intervals
    }
    for (int disk : {kC, kC, kC, 4, 4}) Spawn(disk);
    RunFor(4'000);
    const uint32_t logged = sh->Log.CompleteCount();
    EXPECT_EQ(logged, sh->Log.Count());
    int64_t ioSum = 0;
    for (int disk : {kC, 4}) {
        const VolumeStats& v = *sh->Volumes[disk];
        const uint64_t hist =
            std::accumulate(v.LatencyHistogram.begin(), v.LatencyHistogram.end(), uint64_t{0});
        int64_t io = 0;
        for (int j = 1; j <= v.CurInterval; ++j) {
            const IntervalStats& s = v.Intervals[j];
            io += s.IOCount;
            EXPECT_EQ(s.Bytes, (s.IOCount - s.Errors) * kBlock);
            EXPECT_LE(s.MinTicks, s.MaxTicks);
            EXPECT_EQ(s.Errors, 0);
        }
        EXPECT_GT(v.CurInterval, 1);
        EXPECT_EQ(static_cast<uint64_t>(io), hist) << disk;
        ioSum += io;
    }
    EXPECT_EQ(static_cast<uint32_t>(ioSum), logged);
    for (uint32_t k = 0; k < logged; ++k) {
        const LogEntry& e = sh->Log.Entries()[k];
        ASSERT_EQ(e.RequestSize, kBlock);
        ASSERT_TRUE(e.VolumeIndex == kC || e.VolumeIndex == 4);
        ASSERT_EQ(e.Success, 1);
        ASSERT_LE(e.StartTicks, e.EndTicks);
        ASSERT_EQ(e.Frequency, platform::CounterFrequency());
    }
}

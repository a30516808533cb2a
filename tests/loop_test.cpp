// The operation loop: a worker's streams through one queue, synchronous or not, on fakes (positions,
// portions, pauses, recording, cancellation) and on io_uring over an image file.
#include "engine/loop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>
#include <set>

#include "engine/engine.h"
#include "engine/pending.h"
#include "engine/random.h"
#include "platform/clock.h"
#include "platform/error_codes.h"
#include "tests/test_support.h"

using namespace engine;
using namespace std::chrono_literals;
using testing_support::FakeDialogs;
using testing_support::FakeOp;
using testing_support::FakeVolumeSystem;
using testing_support::TempDir;
using testing_support::WaitFor;

namespace {

struct Streams : ::testing::Test {
    std::shared_ptr<FakeVolumeSystem> fake = std::make_shared<FakeVolumeSystem>();
    FakeDialogs dialogs;
    std::unique_ptr<Engine> eng;
    std::array<bool, kDiskCount> checked{};
    RunSettings s;

    void Volume(int i, int64_t bytes) {
        fake->volumes[i].present = true;
        fake->volumes[i].deviceSize = bytes;
        checked[i] = true;
    }
    void Make() {
        eng = std::make_unique<Engine>(fake, dialogs, 1'000'000);
        eng->Volumes().EnumerateVolumes();
    }
    int64_t Recorded(int i) {
        const auto lock = LockUpToDate(*eng->Volume(i));
        return eng->Volume(i)->RunTotal.IOCount;
    }
    void RunUntil(int i, int64_t ops) {
        ASSERT_EQ(eng->Start(s, checked, [](const std::vector<int>&) { return true; }).outcome,
                  StartOutcome::Started);
        ASSERT_TRUE(WaitFor([&] { return Recorded(i) >= ops; }));
        eng->Stop();
        ASSERT_TRUE(WaitFor([&] { return !eng->Workers().AnyBusy(); }, 5s));
    }
    std::map<uint32_t, std::vector<FakeOp>> ByStream(int i) {
        std::map<uint32_t, std::vector<FakeOp>> out;
        for (const FakeOp& op : fake->Ops(i)) out[op.tag].push_back(op);
        return out;
    }
};

// The loop run directly on one fake volume, with the queue the test chooses.
struct Loop : ::testing::Test {
    std::shared_ptr<FakeVolumeSystem> fake = std::make_shared<FakeVolumeSystem>();
    FakeDialogs dialogs;
    std::shared_ptr<SharedState> sh;
    std::vector<unsigned char> random = std::vector<unsigned char>(512, 0x5A),
                               zeros = std::vector<unsigned char>(512, 0);

    VolumeStats& Volume(int64_t blocks) {
        fake = std::make_shared<FakeVolumeSystem>();
        fake->volumes[2].present = true;
        fake->volumes[2].deviceSize = blocks * 512;
        sh = std::make_shared<SharedState>(fake, dialogs, 100'000);
        sh->Volumes[2] = std::make_unique<VolumeStats>();
        VolumeStats& v = *sh->Volumes[2];
        v.BlockSize = 512;
        v.BlockCount = blocks;
        v.TestMethod = kRandom;
        v.ReadsPerPortion = 2;
        v.WritesPerPortion = 1;
        v.PeriodTicks = platform::CounterFrequency();
        return v;
    }
    // Runs `ops` operations on volume C: through the synchronous queue, or the fake asynchronous one of
    // depth `depth`, with the streams seeded from `seed`.
    void Run(bool synchronous, uint32_t depth, size_t ops, uint64_t seed = 42) {
        uint32_t error = 0;
        auto device = fake->OpenDevice(2, true, error);
        ASSERT_TRUE(device);
        auto queue = synchronous ? platform::MakeSyncQueue(*device) : device->OpenQueue(depth, {}, error);
        sh->Testing.store(true);
        const LoopRun run{
            *sh, *sh->Volumes[2], 2, *device, *queue, depth, false, random.data(), zeros.data(), seed, [&] {
                return fake->Ops(2).size() >= ops;
            }};
        ASSERT_EQ(RunOperations(run).outcome, LoopOutcome::Ran);
    }
    std::string Kinds(size_t n) {
        std::string out;
        for (const FakeOp& op : fake->Ops(2))
            if (out.size() < n) out += op.kind;
        return out;
    }
};

}  // namespace

TEST_F(Loop, OneStreamAtDepthOneIsTheSynchronousWorker) {
    // Random positions and random pauses: both draw from the stream's generator, so the same blocks in the
    // same order mean the same draws in the same order (the pause before the next position).
    std::vector<FakeOp> ops[2];
    std::vector<LogEntry> logs[2];
    for (bool synchronous : {true, false}) {
        VolumeStats& v = Volume(1000);
        v.PauseMs = 3;
        v.PauseFixed = false;
        Run(synchronous, 1, 60);
        ops[synchronous] = fake->Ops(2);
        ops[synchronous].resize(60);
        const LogEntry* e = sh->Log.Entries();
        logs[synchronous].assign(e, e + std::min<uint32_t>(sh->Log.CompleteCount(), 60));
    }
    ASSERT_EQ(logs[0].size(), 60u);
    ASSERT_EQ(logs[1].size(), 60u);
    for (size_t k = 0; k < 60; ++k) {
        EXPECT_EQ(ops[0][k].kind, ops[1][k].kind) << k;
        EXPECT_EQ(ops[0][k].offset, ops[1][k].offset) << k;
        EXPECT_EQ(ops[0][k].firstByte, ops[1][k].firstByte) << k;
        EXPECT_EQ(ops[0][k].kind, "RRW"[k % 3]) << k;  // portions of two reads and a write
        EXPECT_EQ(logs[0][k].Success, logs[1][k].Success);
        EXPECT_EQ(logs[0][k].RequestSize, 512);
        EXPECT_EQ(logs[1][k].VolumeIndex, 2);
        EXPECT_LE(logs[1][k].StartTicks, logs[1][k].EndTicks);
    }
    // A fixed pause falls between a portion's write and the next portion's first read, in both.
    const int64_t pause = platform::CounterFrequency() * 15 / 1000;
    for (bool synchronous : {true, false}) {
        VolumeStats& v = Volume(1000);
        v.PauseMs = 15;
        v.PauseFixed = true;
        Run(synchronous, 1, 9);
        const LogEntry* e = sh->Log.Entries();
        ASSERT_GE(sh->Log.CompleteCount(), 9u);
        for (size_t k = 2; k + 1 < 9; k += 3)
            EXPECT_GE(e[k + 1].StartTicks - e[k].EndTicks, pause) << (synchronous ? "sync " : "queued ") << k;
    }
}

TEST_F(Loop, PortionsOfTheLargestCountsNeverOverflow) {
    // 2,147,483,647 reads and as many writes: the portion's end is tested without a signed overflow (UBSan
    // in CI would stop here), and the reads go on.
    VolumeStats& v = Volume(64);
    v.ReadsPerPortion = v.WritesPerPortion = INT32_MAX;
    Run(false, 2, 50);
    EXPECT_EQ(Kinds(50), std::string(50, 'R'));
    Run(true, 1, 50);
    EXPECT_EQ(Kinds(50), std::string(50, 'R'));
}

TEST_F(Loop, APortionWithoutCallsIsRecordedAsAFailedPassTimedBetweenTwoReadings) {
    VolumeStats& v = Volume(8);
    v.ReadsPerPortion = v.WritesPerPortion = 0;
    uint32_t error = 0;
    auto device = fake->OpenDevice(2, false, error);
    auto queue = device->OpenQueue(4, {}, error);
    sh->Testing.store(true);
    const LoopRun run{*sh,
                      v,
                      2,
                      *device,
                      *queue,
                      4,
                      true,
                      random.data(),
                      zeros.data(),
                      7,
                      [&] { return sh->Log.Count() >= 100; }};
    ASSERT_EQ(RunOperations(run).outcome, LoopOutcome::Ran);
    EXPECT_TRUE(fake->Ops(2).empty());
    const auto lock = LockUpToDate(v);
    ASSERT_EQ(v.Causes.used, 1);
    EXPECT_EQ(v.Causes.entries[0].code, platform::kNoCall);
    EXPECT_EQ(v.RunTotal.Errors, v.RunTotal.IOCount);
    EXPECT_GE(v.RunTotal.IOCount, 100);
}

TEST_F(Streams, EachStreamWalksItsOwnPatternAndPortion) {
    Volume(2, 8 * 512);
    Make();
    s.blockSize = 512;
    s.threadsPerVolume = 1;
    s.queueDepth = 3;
    s.method = Method::LinearForward;
    s.readsPerPortion = 2;
    s.writesPerPortion = 1;
    RunUntil(2, 60);
    const auto streams = ByStream(2);
    ASSERT_EQ(streams.size(), 3u);
    for (const auto& [tag, ops] : streams) {
        ASSERT_GE(ops.size(), 9u) << tag;
        std::string kinds;
        std::vector<int64_t> blocks;
        for (size_t k = 0; k < 9; ++k) {
            kinds += ops[k].kind;
            blocks.push_back(ops[k].offset / 512);
        }
        // Like a worker of its own: from block 0, reads then the write, and block 0 is written with zeros.
        EXPECT_EQ(kinds, "RRWRRWRRW") << tag;
        EXPECT_EQ(blocks, (std::vector<int64_t>{0, 1, 2, 3, 4, 5, 6, 7, 0})) << tag;
    }
    // Every completion is one log entry and one recorded operation.
    EXPECT_EQ(static_cast<int64_t>(eng->Log().Count()), Recorded(2));
    EXPECT_EQ(static_cast<size_t>(Recorded(2)), fake->Ops(2).size());
    for (uint32_t k = 0; k < eng->Log().CompleteCount(); ++k) {
        const LogEntry& e = eng->Log().Entries()[k];
        ASSERT_LE(e.StartTicks, e.EndTicks);
        ASSERT_EQ(e.Success, 1);
    }
}

TEST_F(Streams, EachOperationIsSubmittedAtOnceUnlessABatchIsAskedFor) {
    Volume(2, 64 * 512);
    Make();
    s.blockSize = 512;
    s.threadsPerVolume = 1;
    s.queueDepth = 4;
    RunUntil(2, 40);
    const std::vector<size_t> single = fake->Submissions(2);
    ASSERT_FALSE(single.empty());
    for (size_t n : single) EXPECT_EQ(n, 1u);

    s.submitBatch = 4;
    RunUntil(2, 40);
    const std::vector<size_t> all = fake->Submissions(2);
    const std::vector<size_t> batched(all.begin() + static_cast<std::ptrdiff_t>(single.size()), all.end());
    ASSERT_FALSE(batched.empty());
    // The first pass finds every stream free and hands all four over at once; none carries more.
    EXPECT_EQ(batched.front(), 4u);
    EXPECT_LE(*std::max_element(batched.begin(), batched.end()), 4u);

    s.submitBatch = 5;  // more than the queue holds
    const StartResult refused = eng->Start(s, checked, [](const std::vector<int>&) { return true; });
    EXPECT_EQ(refused.refusal.why, Refusal::Why::OutOfRange);
    EXPECT_EQ(refused.refusal.field, SettingField::SubmitBatch);
    EXPECT_EQ(refused.refusal.limit, 4);
}

TEST_F(Streams, RandomStreamsDrawTheirOwnPositionsAndPauseOnTheirOwn) {
    Volume(2, 10 * 512);
    Make();
    s.blockSize = 512;
    s.threadsPerVolume = 1;
    s.queueDepth = 4;
    s.pauseMs = 30;
    s.pauseType = PauseType::Fixed;
    s.readsPerPortion = 1;
    RunUntil(2, 12);
    const auto streams = ByStream(2);
    ASSERT_EQ(streams.size(), 4u);
    std::set<std::vector<int64_t>> sequences;
    for (const auto& [tag, ops] : streams) {
        std::vector<int64_t> blocks;
        for (const FakeOp& op : ops) {
            EXPECT_LE(op.offset / 512, 7);  // never the last two blocks
            blocks.push_back(op.offset / 512);
        }
        sequences.insert(blocks);
    }
    // A stream reads once per 30 ms portion: a few each, not one stream's worth for all.
    for (const auto& [tag, ops] : streams) EXPECT_LE(ops.size(), 40u) << tag;
    EXPECT_GT(sequences.size(), 1u);
}

TEST_F(Streams, AStopCancelsWhatIsInFlightAndRecordsEachCompletionOnce) {
    Volume(2, 1 << 20);
    fake->volumes[2].hang = true;  // queued requests never complete on their own
    Make();
    s.threadsPerVolume = 2;
    s.queueDepth = 8;
    ASSERT_EQ(eng->Start(s, checked, {}).outcome, StartOutcome::Started);
    ASSERT_TRUE(WaitFor([&] { return eng->Workers().Busy(1) && eng->Workers().Busy(2); }));
    std::this_thread::sleep_for(50ms);
    const auto stopped = std::chrono::steady_clock::now();
    eng->Stop();
    ASSERT_TRUE(WaitFor([&] { return !eng->Workers().AnyBusy(); }, 10s));
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, 5s);
    EXPECT_EQ(Recorded(2), 16);  // two workers, eight streams each, every one cancelled
    EXPECT_EQ(eng->Log().Count(), 16u);
    const VolumeStats& v = *eng->Volume(2);
    ASSERT_EQ(v.Causes.used, 1);
    EXPECT_EQ(v.Causes.entries[0].code, static_cast<uint32_t>(ECANCELED));
    EXPECT_EQ(v.Causes.entries[0].count, 16);
}

TEST_F(Streams, AQueueThatCannotBeSetUpIsReportedAndTheLimitCountsStreams) {
    Volume(2, 1 << 20);
    fake->volumes[2].queueFails = true;
    Make();
    s.threadsPerVolume = 1;
    s.queueDepth = 4;
    std::atomic<int> boxes{0};
    dialogs.onSystemError = [&] {
        ++boxes;
        std::this_thread::sleep_for(10ms);
    };
    ASSERT_EQ(eng->Start(s, checked, {}).outcome, StartOutcome::Started);
    ASSERT_TRUE(WaitFor([&] { return boxes.load() > 0; }));
    eng->Stop();
    ASSERT_TRUE(WaitFor([&] { return !eng->Workers().AnyBusy(); }));
    EXPECT_EQ(dialogs.Boxes()[0].caption, "System error Cannot set up an I/O queue for /dev/fakec");
    EXPECT_NE(dialogs.Boxes()[0].body.find("Error Code = " + std::to_string(ENOSYS) + " "), std::string::npos)
        << dialogs.Boxes()[0].body;
    EXPECT_TRUE(fake->Ops(2).empty());  // never a silent fall-back to synchronous calls

    s.threadsPerVolume = 17;
    s.queueDepth = 1024;
    const StartResult r = eng->Start(s, checked, {});
    EXPECT_EQ(r.outcome, StartOutcome::Refused);
    EXPECT_EQ(r.refusal.why, Refusal::Why::TooManyInFlight);
    EXPECT_EQ(r.refusal.requested, 17 * 1024);
    s.queueDepth = 1025;
    EXPECT_EQ(eng->Start(s, checked, {}).refusal.why, Refusal::Why::OutOfRange);
}

namespace {

// One image file as volume C: and an engine over it; Run starts with the question answered yes, waits for
// `operations` records and stops.
struct ImageRun {
    TempDir dir;
    std::string image;
    FakeDialogs dialogs;
    std::unique_ptr<Engine> eng;
    std::array<bool, kDiskCount> checked{};

    ImageRun(size_t size, unsigned char fill) : image(dir.MakeImage("c.img", size, fill)) {
        platform::VolumeMap map;
        map.devicePath[2] = image;
        eng = std::make_unique<Engine>(platform::MakeVolumeSystem(map), dialogs, 1'000'000);
        eng->Volumes().EnumerateVolumes();
        checked[2] = true;
    }
    void Run(const RunSettings& s, uint64_t operations) {
        ASSERT_EQ(eng->Start(s, checked, [](const std::vector<int>&) { return true; }).outcome,
                  StartOutcome::Started);
        ASSERT_TRUE(WaitFor([&] { return eng->Log().Count() > operations; }));
        eng->Stop();
        ASSERT_TRUE(WaitFor([&] { return !eng->Workers().AnyBusy(); }, 5s));
    }
};

}  // namespace

TEST(QueuedStreams, AnImageFileRunKeepsTheLogAndTheTotalsEqual) {
    if (!platform::QueuedEngine().available)
        GTEST_SKIP() << platform::QueuedEngine().name << " is not available here";
    ImageRun run(4 << 20, 0x33);
    RunSettings s;
    s.threadsPerVolume = 2;
    s.queueDepth = 16;
    s.readsPerPortion = 3;
    s.writesPerPortion = 1;
    run.Run(s, 5000);
    const VolumeStats& v = *run.eng->Volume(2);
    EXPECT_EQ(static_cast<int64_t>(run.eng->Log().CompleteCount()), v.RunTotal.IOCount);
    EXPECT_EQ(v.RunTotal.Errors, 0);
    EXPECT_EQ(v.RunTotal.Bytes, v.RunTotal.IOCount * 4096);
    EXPECT_TRUE(run.dialogs.Boxes().empty());
}

// Verified writes carry the run's random data after their header at every depth, never what a read left in
// a buffer: on an image of zeros, forward, one read and one write per portion.
TEST(QueuedStreams, VerifiedWritesCarryTheRunsDataAtEveryDepth) {
    for (int32_t depth : {1, 4}) {
        if (depth > 1 && !platform::QueuedEngine().available)
            GTEST_SKIP() << platform::QueuedEngine().name << " is not available here";
        ImageRun run(1 << 20, 0);
        RunSettings s;
        s.threadsPerVolume = 1;
        s.queueDepth = depth;
        s.method = Method::LinearForward;
        s.writesPerPortion = 1;
        s.verify = true;
        run.Run(s, 1000);
        std::ifstream in(run.image, std::ios::binary);
        std::vector<char> block(4096), tail;
        int written = 0;
        while (in.read(block.data(), 4096)) {
            if (std::string(block.data(), 8) != "VOLSTRSV") continue;
            ++written;
            // Past the 48-byte header: the same random data in every block, never the image's zeros.
            const std::vector<char> rest(block.begin() + 64, block.end());
            if (tail.empty()) tail = rest;
            EXPECT_EQ(rest, tail) << "depth " << depth;
        }
        EXPECT_GT(written, 100) << "depth " << depth;
        EXPECT_NE(std::count(tail.begin(), tail.end(), 0), static_cast<std::ptrdiff_t>(tail.size()));
    }
}

// The volume's file and the streams' buffers registered with io_uring: the same operations, recorded the
// same way, written data verified; without a queue there is nothing to register with, and Start says so.
TEST(QueuedStreams, RegisteredFilesAndBuffersRunLikeTheOthers) {
    const platform::QueueEngine queues = platform::QueuedEngine();
    if (!queues.available || !queues.registerBuffers)
        GTEST_SKIP() << queues.name << " registers nothing here";
    ImageRun run(4 << 20, 0x33);
    RunSettings s;
    s.threadsPerVolume = 2;
    s.queueDepth = 8;
    s.readsPerPortion = 3;
    s.writesPerPortion = 1;
    s.verify = true;
    s.registerFile = s.registerBuffers = true;
    run.Run(s, 5000);
    EXPECT_TRUE(run.dialogs.Boxes().empty()) << run.dialogs.Boxes()[0].caption << run.dialogs.Boxes()[0].body;
    const VolumeStats& v = *run.eng->Volume(2);
    EXPECT_EQ(static_cast<int64_t>(run.eng->Log().CompleteCount()), v.RunTotal.IOCount);
    EXPECT_EQ(v.RunTotal.Errors, 0);
    const VerifyResults checks = run.eng->Verification()->Timed();
    EXPECT_GT(checks.blocksChecked, 100);
    EXPECT_EQ(checks.Mismatches(), 0);

    s.queueDepth = 1;
    s.submitBatch = 1;
    const StartResult refused = run.eng->Start(s, run.checked, {});
    EXPECT_EQ(refused.refusal.why, Refusal::Why::NeedsQueue);
    EXPECT_EQ(refused.refusal.field, SettingField::RegisterFile);
}

// An open loop's schedule: Poisson gaps have the mean asked (within 1%) and the coefficient of variation of
// an exponential (within 5% of 1) over 200,000 gaps; fixed ones are all the mean; a seed gives the same
// schedule.
TEST(ArrivalGaps, PoissonGapsAreExponentialWithTheMeanAskedAndFixedOnesAreEqual) {
    engine::ArrivalGaps poisson(100'000, true, 42), again(100'000, true, 42), fixed(100'000, false, 42);
    double sum = 0, squares = 0;
    constexpr int kGaps = 200'000;
    for (int k = 0; k < kGaps; ++k) {
        const double g = poisson.Next();
        ASSERT_GT(g, 0);
        ASSERT_EQ(g, again.Next());
        sum += g;
        squares += g * g;
        ASSERT_EQ(fixed.Next(), 100'000);
    }
    const double mean = sum / kGaps, cv = std::sqrt(squares / kGaps - mean * mean) / mean;
    EXPECT_NEAR(mean, 100'000, 1'000);
    EXPECT_NEAR(cv, 1, 0.05);
}

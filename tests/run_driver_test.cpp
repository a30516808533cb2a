// The command line's run driver on fake volumes: how a run ends when volumes fail or stop answering.
#include "cli/run_driver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "cli/exit_status.h"
#include "cli/report_output.h"
#include "engine/pending.h"
#include "stats/log_reader.h"
#include "stats/log_stream.h"
#include "stats/model_watch.h"
#include "tests/test_support.h"

using namespace std::chrono_literals;
using testing_support::FakeVolumeSystem;
using testing_support::WaitFor;

namespace {

struct Driver : ::testing::Test {
    std::shared_ptr<FakeVolumeSystem> fake = std::make_shared<FakeVolumeSystem>();
    std::vector<std::string> said;
    std::mutex saidMutex;
    cli::CliDialogs dialogs{[this](const std::string& line) {
        std::lock_guard lock(saidMutex);
        said.push_back(line);
    }};
    std::unique_ptr<engine::Engine> eng;
    std::array<bool, engine::kDiskCount> selected{};
    engine::RunSettings s;

    void Volumes(std::initializer_list<int> present) {
        for (int i : present) {
            fake->volumes[i].present = true;
            fake->volumes[i].deviceSize = 1 << 20;
            selected[i] = true;
        }
        eng = std::make_unique<engine::Engine>(fake, dialogs, 1'000'000);
        eng->Volumes().EnumerateVolumes();
        s.testMs = 60'000;
    }
    void TearDown() override {
        fake->ReleaseHungCalls();
        eng.reset();
    }
};

}  // namespace

TEST_F(Driver, AVolumeThatCannotBeOpenedEndsTheWholeRunAndIsReportedOnce) {
    Volumes({2, 3});
    fake->volumes[2].refuseWrite = true;
    s.threadsPerVolume = 4;
    s.writesPerPortion = 1;
    const auto start = std::chrono::steady_clock::now();
    const cli::RunOutcome out = cli::DriveRun(*eng, dialogs, s, selected, {});
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);  // not the minute the test time asks for
    EXPECT_TRUE(out.started);
    EXPECT_TRUE(out.cannotOpen);
    EXPECT_EQ(out.workersNotReturned, 0);
    EXPECT_FALSE(eng->Running());
    EXPECT_FALSE(eng->Workers().AnyBusy());  // D:'s workers stopped too
    ASSERT_EQ(said.size(), 1u);              // four workers, one line
    EXPECT_EQ(said[0], "System error Cannot open /dev/fakec for write:  Error Code = 13 Permission denied");
    ASSERT_EQ(dialogs.Failures().size(), 1u);  // kept as it was: what, where, and the system's code
    const engine::WorkerFailure f = dialogs.Failures()[0];
    EXPECT_EQ(f.kind, engine::WorkerFailure::Kind::Open);
    EXPECT_EQ(f.volume, 2);
    EXPECT_TRUE(f.write);
    EXPECT_EQ(f.code, 13u);
}

TEST_F(Driver, WorkersStuckInADeviceCallAreCountedAfterABoundedWait) {
    Volumes({2});
    fake->volumes[2].hang = true;
    s.testMs = 1000;
    cli::RunOptions options;
    options.returnWait = 200ms;
    const auto start = std::chrono::steady_clock::now();
    const cli::RunOutcome out = cli::DriveRun(*eng, dialogs, s, selected, options);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_TRUE(out.started);
    EXPECT_TRUE(out.interrupted);
    EXPECT_EQ(out.workersNotReturned, 2);
    // Named: workers 1 and 2, both on C:.
    ASSERT_EQ(out.stuck.size(), 2u);
    EXPECT_EQ(out.stuck[0].worker, 1);
    EXPECT_EQ(out.stuck[1].worker, 2);
    EXPECT_EQ(out.stuck[1].volume, 2);
    EXPECT_EQ(fake->HungCalls(), 2);
    fake->ReleaseHungCalls();
    EXPECT_TRUE(WaitFor([&] { return !eng->Workers().AnyBusy(); }));
}

TEST_F(Driver, WhatAStuckWorkerFinishedBeforeItsCallIsInTheLogAndTheTotals) {
    Volumes({2});
    fake->volumes[2].hangAfter = 7;  // each worker's eighth call never returns
    s.threadsPerVolume = 2;
    s.testMs = 200'000;
    cli::RunOptions options;
    options.returnWait = 100ms;
    options.interrupted = [&] { return fake->HungCalls() == 2; };
    const cli::RunOutcome out = cli::DriveRun(*eng, dialogs, s, selected, options);
    EXPECT_EQ(out.workersNotReturned, 2);
    EXPECT_EQ(eng->Log().CompleteCount(), 14u);
    EXPECT_EQ(stats::LiveTotals(*eng->Volume(2)).IOCount, 14);
    fake->ReleaseHungCalls();
    EXPECT_TRUE(WaitFor([&] { return !eng->Workers().AnyBusy(); }));
}

TEST_F(Driver, CtrlCEndsTheRunAndTheTestTimeEndsItOnTime) {
    Volumes({2});
    int polls = 0;
    cli::RunOptions options;
    options.interrupted = [&] { return ++polls > 3; };
    cli::RunOutcome out = cli::DriveRun(*eng, dialogs, s, selected, options);
    EXPECT_TRUE(out.interrupted);
    EXPECT_FALSE(out.cannotOpen);
    EXPECT_GT(eng->Log().Count(), 0u);

    // A long fixed pause does not hold the end of the test time.
    s.testMs = 1000;
    s.pauseMs = 60'000;
    s.pauseType = engine::PauseType::Fixed;
    const auto start = std::chrono::steady_clock::now();
    out = cli::DriveRun(*eng, dialogs, s, selected, {});
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_FALSE(out.interrupted);
    EXPECT_EQ(out.workersNotReturned, 0);

    // Start's refusal comes back as not started, with the reason.
    s.blockSize = 0;
    out = cli::DriveRun(*eng, dialogs, s, selected, {});
    EXPECT_FALSE(out.started);
    EXPECT_EQ(out.refusal.field, engine::SettingField::BlockSize);
}

TEST(Report, SaysWhenTheLogIsIncompleteAndWhatWasNotTested) {
    stats::RunResult r;
    r.clock.timerFreq = 1'000'000'000;
    r.logEntries = 10'000'000;
    r.logComplete = false;
    r.workersNotReturned = 2;
    r.stuck = {{3, 2}, {7, 4}};
    r.interrupted = true;
    r.failures = {
        {engine::WorkerFailure::Kind::Open, 25, 4, "/dev/sdz", true, 16, {}},
        {engine::WorkerFailure::Kind::RegisterBuffers, 24, 1, "/dev/sdy", false, 12, "Three buffers."}};
    std::ostringstream text, json;
    cli::WriteTextReport(text, r);
    cli::WriteJsonReport(json, r);
    EXPECT_NE(text.str().find("The operation log is full: it holds the first 10000000 operations only"),
              std::string::npos);
    // Incomplete, not merely interrupted: each worker named with its volume.
    EXPECT_NE(text.str().find("Run incomplete: 2 worker(s) did not return from a device call"),
              std::string::npos);
    EXPECT_NE(text.str().find("worker 3 on C: is still in its call"), std::string::npos);
    EXPECT_NE(text.str().find("worker 7 on E: is still in its call"), std::string::npos);
    EXPECT_NE(text.str().find("Not tested: System error Cannot open /dev/sdz for write"), std::string::npos);
    const nlohmann::json doc = nlohmann::json::parse(json.str());
    EXPECT_EQ(doc["log_entries"], 10'000'000);
    EXPECT_EQ(doc["log_complete"], false);
    EXPECT_EQ(doc["workers_not_returned"], 2);
    EXPECT_EQ(doc["stuck_workers"].dump(), R"([{"volume":"C","worker":3},{"volume":"E","worker":7}])");
    // A failure keeps what failed and the system's code, not only the box's words.
    const nlohmann::json& f = doc["open_failures"];
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[0]["kind"], "open");
    EXPECT_EQ(f[0]["volume"], "Z");
    EXPECT_EQ(f[0]["code"], 16);
    EXPECT_EQ(f[1]["kind"], "register_buffers");
    EXPECT_EQ(f[1]["code"], 12);
    EXPECT_EQ(f[0]["text"].get<std::string>().rfind(
                  "System error Cannot open /dev/sdz for write:  Error Code = 16 ", 0),
              0u);
}

TEST(Report, NamesWhatItShowsOfAVolumeThroughTheCacheAndOfAMismatch) {
    stats::RunResult r;
    r.volumes.resize(1);
    r.volumes[0].index = 19;
    r.volumes[0].device = "/mnt/fuse/disk.img";
    r.volumes[0].sizeBytes = 1 << 20;
    r.volumes[0].uncached = false;
    r.clock.timerFreq = 1'000'000'000;
    r.verify.verified = true;
    r.verify.blocksWritten = 5;
    engine::Mismatch m;
    m.volume = 19;
    m.block = 3;
    m.crcFound = 1111;     // in the block's header
    m.crcExpected = 2222;  // computed over the block as it was read
    r.verify.timed.blocksChecked = 4;
    r.verify.timed.byKind[0] = 1;
    r.verify.timed.first.push_back(m);
    std::ostringstream text, json;
    cli::WriteTextReport(text, r);
    cli::WriteJsonReport(json, r);
    EXPECT_NE(
        text.str().find("Through the page cache: the file system refuses uncached (O_DIRECT) transfers"),
        std::string::npos)
        << text.str();
    EXPECT_NE(json.str().find("\"uncached\": false"), std::string::npos);
    EXPECT_NE(text.str().find("checksum in the block 1111, computed over the block as read 2222"),
              std::string::npos)
        << text.str();
    EXPECT_NE(json.str().find("\"crc_stored\": 1111, \"crc_computed\": 2222"), std::string::npos)
        << json.str();
}

TEST(ExitStatus, TheOneAScriptMustActOnFirst) {
    using cli::RunVerdict;
    EXPECT_EQ(cli::ExitStatus({}), 0);
    EXPECT_EQ(cli::ExitStatus({false, false, false, true}), 1);
    EXPECT_EQ(cli::ExitStatus({false, false, true, true}), 5);  // incomplete before failed
    EXPECT_EQ(cli::ExitStatus({false, true, true, true}), 3);   // not tested before incomplete
    EXPECT_EQ(cli::ExitStatus({true, true, true, true}), 4);    // results missing before all
}

TEST_F(Driver, ALogStreamedPastItsRingHoldsEveryOperationPlainOrCompressedAndDamageIsNamed) {
    const std::vector<std::string> names = stats::LogStreamer::ZstdAvailable()
                                               ? std::vector<std::string>{"ops.dat", "ops.dat.zst"}
                                               : std::vector<std::string>{"ops.dat"};
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        fake->volumes[2].present = true;
        fake->volumes[2].deviceSize = 1 << 20;
        fake->volumes[2].callDelayUs = 500;
        selected[2] = true;
        // A ring of 1000 records, far fewer than the run makes: the file must still get every one.
        eng = std::make_unique<engine::Engine>(fake, dialogs, 1000);
        eng->Volumes().EnumerateVolumes();
        s.testMs = 1500;
        s.streamLog = true;
        testing_support::TempDir dir;
        const std::string path = (dir.path() / name).string();
        stats::LogStreamer log(eng->Log(), path, [&](const std::string& line) { said.push_back(line); });
        ASSERT_TRUE(log.Open());
        cli::RunOptions options;
        options.started = [&](int64_t, int64_t) { log.Start(); };
        const cli::RunOutcome out = cli::DriveRun(*eng, dialogs, s, selected, options);
        ASSERT_TRUE(out.started);
        EXPECT_TRUE(log.Finish());
        const int64_t ops = stats::LiveTotals(*eng->Volume(2)).IOCount;
        EXPECT_GT(ops, 2000);
        EXPECT_EQ(eng->Log().Refused(), 0u);
        EXPECT_EQ(log.Written(), static_cast<uint64_t>(ops));
        stats::LogReader reader;
        std::string error;
        ASSERT_TRUE(reader.Open(path, error)) << error;
        EXPECT_EQ(reader.Compressed(), name.size() > 4 && name.substr(name.size() - 4) == ".zst");
        engine::LogEntry e;
        int64_t read = 0;
        while (reader.Next(e, error)) ++read;
        EXPECT_EQ(error, "");
        EXPECT_EQ(read, ops);
        if (!reader.Compressed()) continue;
        // Cut short in its last frame: the frames before it are read, then the damage is named.
        std::filesystem::resize_file(path, std::filesystem::file_size(path) - 7);
        ASSERT_TRUE(reader.Open(path, error)) << error;
        read = 0;
        while (reader.Next(e, error)) ++read;
        EXPECT_GT(read, 0);
        EXPECT_LT(read, ops);
        EXPECT_EQ(error, path + " is damaged after entry " + std::to_string(read) +
                             ": its last zstd frame is cut short (the entries before it are whole)");
        // A byte changed inside a frame: zstd's own check finds it, and the reader says where it stopped.
        {
            std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
            f.seekp(static_cast<std::streamoff>(std::filesystem::file_size(path) / 2));
            f.put('\x55');
            f.put('\xAA');
        }
        ASSERT_TRUE(reader.Open(path, error)) << error;
        while (reader.Next(e, error)) {
        }
        EXPECT_NE(error.find(" is damaged after entry "), std::string::npos) << error;
    }
}

// A device whose writes slow down once 24 MiB are written: the watch fed the closed intervals as the run goes
// says so once, and places the cliff at those bytes within one interval's worth.
TEST_F(Driver, AVolumeWhoseWritesSlowAfterNBytesIsACliffAtN) {
    Volumes({2});
    constexpr int64_t kSlowAfter = 24 << 20;
    fake->volumes[2].callDelayUs = 200;
    fake->volumes[2].slowWritesAfter = kSlowAfter;
    fake->volumes[2].slowWriteUs = 2000;
    s.testMs = 7000;
    s.threadsPerVolume = 1;
    s.readsPerPortion = 0;
    s.writesPerPortion = 1;
    s.liveSeconds = 1;
    stats::CliffRule rule;
    rule.baselineSeconds = 1;
    std::unique_ptr<stats::LiveFollower> follower;
    std::unique_ptr<stats::ModelWatch> watch;
    std::vector<std::string> found;
    cli::RunOptions options;
    options.started = [&](int64_t utc, int64_t counter) {
        const stats::RunClock clock{utc, counter, eng->TimerFreq()};
        follower = std::make_unique<stats::LiveFollower>(selected, clock);
        watch = std::make_unique<stats::ModelWatch>(clock, rule, true, std::nullopt, 0);
    };
    options.tick = [&](bool ended) {
        for (const auto& f : watch->Add(follower->Take(eng->Volumes(), ended).volumes))
            found.push_back(f.what);
    };
    ASSERT_TRUE(cli::DriveRun(*eng, dialogs, s, selected, options).started);
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, (std::vector<std::string>{"p99_rose", "write_rate_fell"}));
    const stats::Cliffs c = watch->CliffsOf(2);
    ASSERT_TRUE(c.judged);
    ASSERT_TRUE(c.writeRate);
    EXPECT_LT(c.writeRate->to, c.writeRate->from / 2);
    const double interval = c.baselineWriteMbytesPerSec * 1'048'576;  // bytes of one interval at full speed
    EXPECT_LE(std::abs(static_cast<double>(c.writeRate->writtenBefore - kSlowAfter)), interval)
        << c.writeRate->writtenBefore;
    ASSERT_TRUE(c.p99);
    // An interval slow for part of its time may hold p99 up before its rate falls by half.
    EXPECT_LE(std::abs(c.p99->interval - c.writeRate->interval), 1);
}

// A run that must write its volume a known number of times over (--precondition): each worker makes exactly
// its share, however long the run waits after it, so every block is written exactly that many times.
TEST_F(Driver, PassesPerWorkerWriteEveryBlockExactlyThatManyTimes) {
    Volumes({2});
    s.method = engine::Method::LinearForward;
    s.blockSize = 131072;  // eight blocks
    s.threadsPerVolume = 1;
    s.readsPerPortion = 0;
    s.writesPerPortion = 1;
    s.passesPerWorker = 3;
    cli::RunOptions options;
    const auto waitedFrom = std::chrono::steady_clock::now();
    options.tick = [&](bool) {
        // Stopped a while after the share is made: the worker must have waited, not gone on writing.
        if (std::chrono::steady_clock::now() - waitedFrom > 300ms) eng->Stop();
    };
    ASSERT_TRUE(cli::DriveRun(*eng, dialogs, s, selected, options).started);
    std::map<int64_t, int> writes;
    for (const testing_support::FakeOp& op : fake->Ops(2)) {
        EXPECT_EQ(op.kind, 'W');
        ++writes[op.offset];
    }
    EXPECT_EQ(writes.size(), 8u);
    for (const auto& [offset, n] : writes) EXPECT_EQ(n, 3) << offset;
    EXPECT_EQ(stats::LiveTotals(*eng->Volume(2)).IOCount, 24);
}

// An open loop at 1,000 operations a second on a device that stalls once for 100 ms: every operation
// scheduled during the stall waits for it, which the latency from the intended start shows and the latency
// from the actual start (a closed loop's view) does not; the rate asked is still reached.
TEST_F(Driver, AStallUnderAnOpenLoopShowsInTheLatencyFromTheIntendedStartOfEveryOperationItHeldUp) {
    Volumes({2});
    fake->volumes[2].stallAtCall = 300;
    fake->volumes[2].stallUs = 100'000;
    s.testMs = 1500;
    s.threadsPerVolume = 1;
    s.rate = 1000;
    s.liveSeconds = 1;
    ASSERT_TRUE(cli::DriveRun(*eng, dialogs, s, selected, {}).started);
    const auto lock = engine::LockUpToDate(*eng->Volume(2));
    const engine::VolumeStats& v = *eng->Volume(2);
    const auto atLeast10ms = [](const engine::LogLinearHistogram& h) {
        uint64_t n = 0;
        for (int b = 0; b < engine::LogLinearHistogram::kBuckets; ++b)
            if (engine::LogLinearHistogram::LowerOf(b) >= 10'000'000) n += h.counts[static_cast<size_t>(b)];
        return n;
    };
    EXPECT_GE(atLeast10ms(v.OpenLoop.fromIntended), 80u);  // about 100 slots fell within the stall
    EXPECT_LE(atLeast10ms(v.Latency), 2u);                 // the stalled call itself
    EXPECT_GE(v.OpenLoop.late, 80);
    EXPECT_EQ(v.OpenLoop.fromIntended.total, static_cast<uint64_t>(v.RunTotal.IOCount));
    EXPECT_NEAR(static_cast<double>(v.RunTotal.IOCount), 1500, 1500 * 0.05);

    // The live intervals' own tallies add up to the run's, and the stall is in the first one's.
    ASSERT_TRUE(v.LiveOpenLoop);
    ASSERT_LE(v.LiveNumber, engine::VolumeStats::kLiveKept);
    uint64_t operations = 0, held = 0;
    int64_t late = 0;
    for (size_t k = 0; k < engine::VolumeStats::kLiveKept; ++k) {
        if (v.Live[k].number == 0) continue;
        const engine::OpenLoopTally& t = (*v.LiveOpenLoop)[k];
        EXPECT_EQ(t.fromIntended.total, static_cast<uint64_t>(v.Live[k].counters.IOCount)) << k;
        operations += t.fromIntended.total;
        late += t.late;
        if (v.Live[k].number == 1) held = atLeast10ms(t.fromIntended);
    }
    EXPECT_EQ(operations, v.OpenLoop.fromIntended.total);
    EXPECT_EQ(late, v.OpenLoop.late);
    EXPECT_GE(held, 80u);
}

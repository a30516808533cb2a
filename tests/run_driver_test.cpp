// The command line's run driver on fake volumes: how a run ends when volumes fail or stop answering.
#include "cli/run_driver.h"

#include <gtest/gtest.h>

#include <sstream>

#include "cli/exit_status.h"
#include "cli/report_output.h"
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
    EXPECT_EQ(dialogs.Failures(), said);
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
    stats::RunReport report;
    cli::RunFacts facts;
    facts.timerFreq = 1'000'000'000;
    facts.logEntries = 10'000'000;
    facts.logComplete = false;
    facts.workersNotReturned = 2;
    facts.stuckWorkers = {{3, 2}, {7, 4}};
    facts.interrupted = true;
    facts.openFailures = {
        "System error Cannot open /dev/sdz for write:  Error Code = 16 Device or resource busy"};
    std::ostringstream text, json;
    cli::WriteTextReport(text, report, facts);
    cli::WriteJsonReport(json, report, facts);
    EXPECT_NE(text.str().find("The operation log is full: it holds the first 10000000 operations only"),
              std::string::npos);
    // Incomplete, not merely interrupted: each worker named with its volume.
    EXPECT_NE(text.str().find("Run incomplete: 2 worker(s) did not return from a device call"),
              std::string::npos);
    EXPECT_NE(text.str().find("worker 3 on C: is still in its call"), std::string::npos);
    EXPECT_NE(text.str().find("worker 7 on E: is still in its call"), std::string::npos);
    EXPECT_NE(text.str().find("Not tested: System error Cannot open /dev/sdz for write"), std::string::npos);
    EXPECT_NE(json.str().find("\"log_entries\": 10000000,\n  \"log_complete\": false"), std::string::npos);
    EXPECT_NE(
        json.str().find("\"workers_not_returned\": 2,\n  \"stuck_workers\": [{\"worker\": 3, \"volume\": "
                        "\"C\"}, {\"worker\": 7, \"volume\": \"E\"}]"),
        std::string::npos);
    EXPECT_NE(json.str().find(
                  "\"open_failures\": [\"System error Cannot open /dev/sdz for write:  Error Code = 16 "),
              std::string::npos);
}

TEST(Report, NamesWhatItShowsOfAVolumeThroughTheCacheAndOfAMismatch) {
    stats::RunReport report;
    report.volumes.resize(1);
    report.volumes[0].index = 19;
    cli::RunFacts facts;
    facts.timerFreq = 1'000'000'000;
    facts.devicePaths = {"/mnt/fuse/disk.img"};
    facts.sizes = {1 << 20};
    facts.uncached = {false};
    facts.verified = true;
    facts.blocksWritten = 5;
    engine::Mismatch m;
    m.volume = 19;
    m.block = 3;
    m.crcFound = 1111;     // in the block's header
    m.crcExpected = 2222;  // computed over the block as it was read
    facts.timedChecks.blocksChecked = 4;
    facts.timedChecks.byKind[0] = 1;
    facts.timedChecks.first.push_back(m);
    std::ostringstream text, json;
    cli::WriteTextReport(text, report, facts);
    cli::WriteJsonReport(json, report, facts);
    EXPECT_NE(
        text.str().find("Through the page cache: the file system refuses uncached (O_DIRECT) transfers"),
        std::string::npos)
        << text.str();
    EXPECT_NE(json.str().find("\"uncached\": false"), std::string::npos);
    EXPECT_NE(text.str().find("checksum in the block 1111, computed over the block as read 2222"),
              std::string::npos)
        << text.str();
    EXPECT_NE(json.str().find("\"crc_stored\": 1111, \"crc_computed\": 2222"), std::string::npos);
}

TEST(ExitStatus, TheOneAScriptMustActOnFirst) {
    using cli::RunVerdict;
    EXPECT_EQ(cli::ExitStatus({}), 0);
    EXPECT_EQ(cli::ExitStatus({false, false, false, true}), 1);
    EXPECT_EQ(cli::ExitStatus({false, false, true, true}), 5);  // incomplete before failed
    EXPECT_EQ(cli::ExitStatus({false, true, true, true}), 3);   // not tested before incomplete
    EXPECT_EQ(cli::ExitStatus({true, true, true, true}), 4);    // results missing before all
}

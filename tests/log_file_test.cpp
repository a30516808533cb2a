#include "stats/log_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/test_support.h"

using namespace stats;
using engine::LogEntry;
using testing_support::FakeDialogs;
using testing_support::TempDir;
namespace fs = std::filesystem;

namespace {

std::vector<unsigned char> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

TEST(LogFile, NothingLoggedCreatesNoFileAndKeepsAnOldOne) {
    TempDir dir;
    engine::OperationLog log(16);
    FakeDialogs dialogs;
    const std::string path = (dir.path() / kLogFileName).string();
    WriteOperationLog(log, dialogs, path);
    EXPECT_FALSE(fs::exists(path));
    std::ofstream(path) << "old";
    WriteOperationLog(log, dialogs, path);
    EXPECT_EQ(fs::file_size(path), 3u);
    EXPECT_EQ(dialogs.Count(), 0u);
}

TEST(LogFile, RecordsAreWrittenByteForByteInSlotOrder) {
    TempDir dir;
    engine::OperationLog log(16);
    log.Append(LogEntry{4096, 2, 1, 0x0102030405060708LL, 0x1112131415161718LL, 1'000'000'000});
    log.Append(LogEntry{4096, 2, 0, 20, 30, 1'000'000'000});
    log.Append(LogEntry{4096, 2, 1, 40, 50, 1'000'000'000});
    FakeDialogs dialogs;
    const std::string path = (dir.path() / kLogFileName).string();
    WriteOperationLog(log, dialogs, path);
    const auto bytes = ReadAll(path);
    ASSERT_EQ(bytes.size(), 96u);
    const std::vector<unsigned char> first(bytes.begin(), bytes.begin() + 32);
    const std::vector<unsigned char> expected = {
        0x00, 0x10, 0x00, 0x00, 0x02, 0x00, 0x01, 0x00,   // size, volume, ok
        0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,   // start
        0x18, 0x17, 0x16, 0x15, 0x14, 0x13, 0x12, 0x11,   // end
        0x00, 0xCA, 0x9A, 0x3B, 0x00, 0x00, 0x00, 0x00};  // 1e9
    EXPECT_EQ(first, expected);
    EXPECT_EQ(bytes[32 + 6], 0);  // the failed second operation
    EXPECT_EQ(bytes[64 + 8], 40);

    // A later run with fewer operations replaces the whole file.
    log.Reset();
    log.Append(LogEntry{512, 3, 1, 1, 2, 1'000'000'000});
    WriteOperationLog(log, dialogs, path);
    EXPECT_EQ(ReadAll(path).size(), 32u);
    EXPECT_EQ(dialogs.Count(), 0u);  // success is silent
}

TEST(LogFile, AFailedWriteKeepsTheOldFileAndTellsTheOperator) {
    TempDir dir;
    engine::OperationLog log(16);
    for (int i = 0; i < 3; ++i) log.Append(LogEntry{4096, 2, 1, i, i + 1, 1000});
    FakeDialogs dialogs;
    const std::string path = (dir.path() / kLogFileName).string();
    std::ofstream(path) << "old";
    // A file-size limit makes the write itself fail, even for root.
    signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 64;
    setrlimit(RLIMIT_FSIZE, &small);
    WriteOperationLog(log, dialogs, path);
    setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_EQ(ReadAll(path), (std::vector<unsigned char>{'o', 'l', 'd'}));
    ASSERT_EQ(dialogs.Count(), 1u);
    const auto box = dialogs.Boxes()[0];
    EXPECT_EQ(box.caption, "System error Cannot write " + path);
    EXPECT_NE(box.body.find("(3 records) was not saved"), std::string::npos) << box.body;
    EXPECT_NE(box.body.find("Error Code = 27 File too large"), std::string::npos) << box.body;

    WriteOperationLog(log, dialogs, (dir.path() / "missing" / kLogFileName).string());
    EXPECT_NE(dialogs.Boxes()[1].body.find("Error Code = 2 "), std::string::npos);
}

TEST(LogFile, AWriteDuringAppendsHoldsOnlyCompleteRecords) {
    TempDir dir;
    engine::OperationLog log(400'000);
    FakeDialogs dialogs;
    const std::string path = (dir.path() / kLogFileName).string();
    std::atomic<bool> go{true};
    std::vector<std::thread> writers;
    for (int t = 0; t < 3; ++t)
        writers.emplace_back([&, t] {
            for (int64_t i = 0; go && i < 130'000; ++i)
                log.Append(LogEntry{4096, static_cast<int16_t>(t), 1, i, i + 7, 99});
        });
    for (int k = 0; k < 5; ++k) {
        WriteOperationLog(log, dialogs, path);
        const auto bytes = ReadAll(path);
        ASSERT_EQ(bytes.size() % 32, 0u);
        for (size_t off = 0; off < bytes.size(); off += 32) {
            LogEntry e;
            std::memcpy(&e, bytes.data() + off, 32);
            ASSERT_EQ(e.EndTicks - e.StartTicks, 7);
            ASSERT_EQ(e.Frequency, 99);
        }
    }
    go = false;
    for (auto& w : writers) w.join();
}

// Offline analysis of an operation log: exact figures from hand-made logs, and a clear error for files that
// are not logs.
#include "cli/analyze.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "engine/records.h"
#include "stats/log_reader.h"
#include "tests/test_support.h"

using testing_support::TempDir;

namespace {

std::string WriteLog(const TempDir& dir, const std::vector<engine::LogEntry>& entries) {
    const std::string path = (dir.path() / "ops.dat").string();
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(entries.data()),
              static_cast<std::streamsize>(entries.size() * sizeof(engine::LogEntry)));
    return path;
}

constexpr int64_t kGHz = 1'000'000'000;

}  // namespace

TEST(Analyze, ExactFiguresPerVolumeAndPerSecond) {
    TempDir dir;
    std::vector<engine::LogEntry> log;
    // C: 100 reads of 1..100 us, ten per 100 ms over one second, then one failed read of 5 ms in second 2.
    for (int i = 0; i < 100; ++i) {
        const int64_t start = int64_t{i} * 10'000'000;
        log.push_back({4096, 2, 1, start, start + (i + 1) * 1000, kGHz});
    }
    log.push_back({4096, 2, 0, 2 * kGHz, 2 * kGHz + 5'000'000, kGHz});
    // E: one read of 7 us, at another counter frequency (10 MHz).
    log.push_back({512, 4, 1, 1000, 1070, 10'000'000});
    cli::LogAnalysis a;
    std::string error;
    ASSERT_TRUE(cli::AnalyzeLog(WriteLog(dir, log), a, error)) << error;
    ASSERT_EQ(a.volumes.size(), 2u);
    const cli::LogFigures& c = a.volumes[0];
    EXPECT_EQ(c.volume, 2);
    EXPECT_EQ(c.operations, 101);
    EXPECT_EQ(c.errors, 1);
    EXPECT_EQ(c.bytes, 100 * 4096);
    EXPECT_DOUBLE_EQ(c.p50Us, 51);  // rank ceil(0.5 * 101) = 51
    EXPECT_DOUBLE_EQ(c.p99Us, 100);
    EXPECT_DOUBLE_EQ(c.maxUs, 5000);
    EXPECT_DOUBLE_EQ(c.spanSeconds, 2.005);
    ASSERT_EQ(c.seconds.size(), 2u);
    EXPECT_EQ(c.seconds[0].operations, 100);
    EXPECT_EQ(c.seconds[1].second, 2);
    EXPECT_DOUBLE_EQ(c.seconds[1].p99Us, 5000);
    EXPECT_DOUBLE_EQ(a.volumes[1].maxUs, 7);
    EXPECT_EQ(a.all.operations, 102);

    std::ostringstream text, json;
    cli::WriteAnalysisText(text, a);
    cli::WriteAnalysisJson(json, a);
    EXPECT_NE(text.str().find("p50 51.0"), std::string::npos) << text.str();
    EXPECT_NE(json.str().find("\"latency_us\": {\"p50\": 51.0, \"p90\": 91.0"), std::string::npos)
        << json.str();
}

TEST(Analyze, PastTheExactLimitPercentilesComeFromHistogramsAndLateRecordsStillCount) {
    TempDir dir;
    std::vector<engine::LogEntry> log;
    // 3,000 reads of 1..3000 us, one a millisecond, then one recorded 30 s later that began in second 1.
    for (int64_t i = 0; i < 3000; ++i)
        log.push_back({4096, 0, 1, i * 1'000'000, i * 1'000'000 + (i + 1) * 1000, kGHz});
    for (int64_t s = 4; s < 34; ++s) log.push_back({4096, 0, 1, s * kGHz, s * kGHz + 1000, kGHz});
    log.push_back({4096, 0, 1, kGHz + 5, kGHz + 10'000, kGHz});
    const std::string path = WriteLog(dir, log);
    cli::LogAnalysis exact, bounded;
    std::string error;
    stats::LogReader a, b;
    ASSERT_TRUE(a.Open(path, error) && b.Open(path, error)) << error;
    ASSERT_TRUE(cli::AnalyzeLog(a, exact, error)) << error;
    ASSERT_TRUE(cli::AnalyzeLog(b, bounded, error, 100)) << error;
    EXPECT_TRUE(exact.all.exact);
    EXPECT_FALSE(bounded.all.exact);
    EXPECT_FALSE(bounded.volumes[0].exact);
    for (const cli::LogFigures* f : {&exact.volumes[0], &bounded.volumes[0], &bounded.all}) {
        EXPECT_EQ(f->operations, 3031);
        EXPECT_EQ(f->bytes, 3031 * 4096);
        EXPECT_DOUBLE_EQ(f->maxUs, 3000);
        // The late record is in second 1's count although its percentiles had closed.
        ASSERT_GE(f->seconds.size(), 2u);
        EXPECT_EQ(f->seconds[1].second, 1);
        EXPECT_EQ(f->seconds[1].operations, 1001);
    }
    EXPECT_DOUBLE_EQ(exact.all.p99Us, 2970);
    EXPECT_NEAR(bounded.all.p99Us, exact.all.p99Us, exact.all.p99Us / 128);
    EXPECT_NEAR(bounded.all.p50Us, exact.all.p50Us, exact.all.p50Us / 128);
    std::ostringstream text;
    cli::WriteAnalysisText(text, bounded);
    EXPECT_NE(text.str().find("Latency us (within 0.79%)"), std::string::npos) << text.str();
}

TEST(Analyze, FilesThatAreNotLogsAreRefusedClearly) {
    TempDir dir;
    cli::LogAnalysis a;
    std::string error;
    std::ofstream(dir.path() / "odd.dat") << "not a log";
    EXPECT_FALSE(cli::AnalyzeLog((dir.path() / "odd.dat").string(), a, error));
    EXPECT_NE(error.find("not a multiple of 32 bytes"), std::string::npos);
    EXPECT_FALSE(
        cli::AnalyzeLog(WriteLog(dir, {{4096, 2, 1, 10, 20, kGHz}, {4096, 2, 1, 10, 20, 0}}), a, error));
    EXPECT_NE(error.find("entry 2 has a counter frequency of 0"), std::string::npos) << error;
    EXPECT_FALSE(cli::AnalyzeLog((dir.path() / "missing.dat").string(), a, error));
    EXPECT_NE(error.find("cannot open"), std::string::npos);
}

TEST(LogReader, EveryRecordThatCannotBeIsNamedWithItsEntry) {
    const engine::LogEntry good{4096, 2, 1, 10, 20, kGHz};
    const std::pair<engine::LogEntry, std::string> bad[] = {
        {{4096, 2, 1, 10, 20, -5}, "a counter frequency of -5"},
        {{4096, 2, 1, 20, 10, kGHz}, "an end before its start"},
        {{4096, 2, 1, INT64_MIN, INT64_MAX, kGHz},  // a span no clock has
         "a start of -9223372036854775808 ticks (a counter reading is never below 0)"},
        // Times whose nanoseconds do not fit 64 bits: their spans and seconds could not be computed.
        {{4096, 2, 1, 10, INT64_MAX, 1},
         "an end of 9223372036854775807 ticks at 1 a second, beyond what "
         "nanoseconds in 64 bits describe"},
        {{4096, 2, 1, 0, 10'000'000'000, 1},
         "an end of 10000000000 ticks at 1 a second, beyond what "
         "nanoseconds in 64 bits describe"},
        {{4096, 26, 1, 10, 20, kGHz}, "a volume index of 26 (A: to Z: are 0 to 25)"},
        {{4096, -1, 1, 10, 20, kGHz}, "a volume index of -1 (A: to Z: are 0 to 25)"},
        {{0, 2, 1, 10, 20, kGHz}, "a request size of 0"},
        {{-4096, 2, 1, 10, 20, kGHz}, "a request size of -4096"},
        {{4096, 2, 7, 10, 20, kGHz}, "a success flag of 7"},
    };
    for (const auto& [entry, why] : bad) {
        const engine::LogEntry two[] = {good, entry};
        auto in =
            std::make_unique<std::istringstream>(std::string(reinterpret_cast<const char*>(two), sizeof two));
        stats::LogReader reader;
        std::string error;
        ASSERT_TRUE(reader.Open(std::move(in), sizeof two, "ops.dat", error)) << error;
        engine::LogEntry e;
        EXPECT_TRUE(reader.Next(e, error));
        EXPECT_FALSE(reader.Next(e, error));
        EXPECT_EQ(error, "ops.dat is not an operation log: entry 2 has " + why);
    }
    // A stream that ends before its stated size.
    stats::LogReader reader;
    std::string error;
    ASSERT_TRUE(
        reader.Open(std::make_unique<std::istringstream>(std::string(32, 'x')), 64, "short.dat", error));
    engine::LogEntry e;
    EXPECT_FALSE(reader.Next(e, error));
    EXPECT_EQ(error, "short.dat: cannot read entry 1 (the file ended early)");
}

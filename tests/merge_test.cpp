// Results from several machines made one. The inputs are what volstress-cli itself writes (WriteJsonReport),
// so the reader and the writer are held to one contract; damaged copies of them must be refused by name.
#include "cli/merge.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "cli/report_output.h"
#include "cli/results_reader.h"
#include "engine/records.h"
#include "stats/report.h"
#include "tests/test_support.h"

using testing_support::TempDir;

namespace {

constexpr int64_t kFreq = 1'000'000'000;

// What a run of `ops` operations of `ns` each on one volume (D: /dev/sdb) writes as its results: two
// one-second intervals, the first operation 0.25 s after 2026-12-09T03:00:00Z.
std::string ResultsText(const std::string& host, int64_t ops, int64_t ns, int64_t errors,
                        int32_t blockSize = 4096) {
    stats::RunResult r;
    r.settings.blockSize = blockSize;
    r.periodSeconds = 5;
    r.clock.timerFreq = kFreq;
    r.host = host;
    EXPECT_TRUE(cli::ParseIsoUtc("2026-12-09T03:00:00Z", r.clock.startedUtcMs));
    r.clock.startedCounter = 2 * kFreq - kFreq / 4;
    const auto fill = [&](stats::Figures& f, int index) {
        f.index = index;
        const int64_t first = 2 * kFreq;
        const int64_t half = ops / 2;
        f.intervals.push_back(
            {1, 0.0, {half, half * blockSize, ns * half, ns, ns, first, first + kFreq, 0}, {}});
        f.intervals.push_back({2,
                               1.0,
                               {ops - half, (ops - half - errors) * blockSize, ns * (ops - half), ns, ns,
                                first + kFreq, first + 2 * kFreq, errors},
                               {}});
        f.total = {ops, (ops - errors) * blockSize, ns * ops, ns, ns, first, first + 2 * kFreq, errors};
        f.rates = stats::RatesOf(f.total, kFreq);
        for (int64_t k = 0; k < ops; ++k) f.latency.Add(ns);
        engine::ErrorCauses causes;
        if (errors) causes.Add(5, errors, 0, first + kFreq / 2);
        f.causes = stats::CauseLines(causes, first, kFreq);
        f.percentiles = stats::LatencyPercentiles(f.latency);
        f.firstOperationUtcMs = r.clock.UtcMsOf(first);
    };
    r.volumes.resize(1);
    fill(r.volumes[0], 3);
    r.volumes[0].device = "/dev/sdb";
    r.volumes[0].sizeBytes = int64_t{1} << 30;
    fill(r.all, -1);
    std::ostringstream json;
    cli::WriteJsonReport(json, r);
    return json.str();
}

std::string Write(const TempDir& dir, const std::string& name, const std::string& text) {
    const std::string path = (dir.path() / name).string();
    std::ofstream(path) << text;
    return path;
}

// The text with `from` replaced by `to` once; the test fails when `from` is not there.
std::string Replace(std::string text, const std::string& from, const std::string& to) {
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
    for (size_t at; (at = text.find(from)) != std::string::npos;) text.replace(at, from.size(), to);
    return text;
}

std::string Slurp(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

double Number(const std::string& json, const std::string& key) {
    const size_t at = json.find("\"" + key + "\": ");
    return at == std::string::npos ? -1 : std::stod(json.substr(at + key.size() + 4));
}

}  // namespace

TEST(Merge, TotalsAddAndPercentilesComeFromTheMergedHistograms) {
    TempDir dir;
    const std::string fast = Write(dir, "alpha.json", ResultsText("alpha", 1000, 100'000, 0));  // 100 us
    const std::string slow =
        Write(dir, "beta.json", ResultsText("beta", 1000, 10'000'000, 7));  // 10 ms, failures
    std::ostringstream text;
    std::string json, error;
    cli::MergeOutcome outcome;
    ASSERT_TRUE(cli::MergeResults({fast, slow}, text, json, outcome, error)) << error;
    EXPECT_TRUE(outcome.failures);
    EXPECT_EQ(Number(json, "io_count"), 2000);
    EXPECT_EQ(Number(json, "errors"), 7);
    EXPECT_EQ(Number(json, "io_per_sec"), 1000);  // the hosts' rates add
    // Half the operations took 100 us, half 10 ms: the fleet's p90 is 10 ms, where an average of the two
    // hosts' p90s would say 5 ms.
    EXPECT_NEAR(Number(json, "p50"), 100, 1);
    EXPECT_NEAR(Number(json, "p90"), 10'000, 100);
    EXPECT_NE(json.find("\"name\": \"EIO\""), std::string::npos);
    // One row per statistics interval, by its wall-clock start: both hosts' second intervals together.
    EXPECT_NE(json.find("\"interval_s\": 5"), std::string::npos) << json;
    EXPECT_NE(
        json.find("{\"bytes\": 4067328, \"io_count\": 1000, \"start_utc\": \"2026-12-09T03:00:01.250Z\"}"),
        std::string::npos)
        << json;
    EXPECT_EQ(Number(json, "worst_row"), 1);  // beta: the failures
    EXPECT_NE(text.str().find("* beta D: /dev/sdb"), std::string::npos) << text.str();
}

TEST(Merge, ResultsOfOtherSettingsOrVersionsAreRefused) {
    TempDir dir;
    const std::string a = Write(dir, "a.json", ResultsText("alpha", 10, 1000, 0));
    const std::string b = Write(dir, "b.json", ResultsText("beta", 10, 1000, 0, 8192));
    const std::string old =
        Replace(ResultsText("gamma", 10, 1000, 0), "\"schema_version\": 3", "\"schema_version\": 1");
    const std::string c = Write(dir, "c.json", old);
    const std::string junk = Write(dir, "junk.json", "{\"tool\": \"fio\"}");
    std::ostringstream text;
    std::string json, error;
    cli::MergeOutcome outcome;
    EXPECT_FALSE(cli::MergeResults({a, b}, text, json, outcome, error));
    EXPECT_NE(error.find("different settings (block_size: 8192 against 4096)"), std::string::npos) << error;
    EXPECT_FALSE(cli::MergeResults({a, c}, text, json, outcome, error));
    EXPECT_NE(error.find("c.json: schema_version is 1; this program reads 2 to 3"), std::string::npos)
        << error;
    // Two files of the old version agree with each other, and are still not read with this version's
    // meanings.
    EXPECT_FALSE(cli::MergeResults({c, c}, text, json, outcome, error));
    EXPECT_NE(error.find("schema_version is 1"), std::string::npos) << error;
    EXPECT_FALSE(cli::MergeResults({a, junk}, text, json, outcome, error));
    EXPECT_NE(error.find("junk.json: tool is \"fio\": not a volstress-cli results file"), std::string::npos)
        << error;
}

TEST(ResultsReader, WhatTheWriterWritesReadsBackAsItWas) {
    cli::Results r;
    std::string error;
    ASSERT_TRUE(cli::ReadResults(ResultsText("alpha", 1000, 250'000, 3), "alpha.json", r, error)) << error;
    EXPECT_EQ(r.host, "alpha");
    EXPECT_EQ(r.settings.at("block_size"), "4096");
    EXPECT_EQ(r.settings.at("method"), "\"random\"");
    EXPECT_EQ(r.intervalSeconds, 5);
    EXPECT_FALSE(r.openFailures);
    ASSERT_EQ(r.volumes.size(), 1u);
    EXPECT_EQ(r.volumes[0].letter, "D");
    EXPECT_EQ(r.volumes[0].device, "/dev/sdb");
    for (const cli::FigureResults* f : {&r.all, &r.volumes[0].figures}) {
        EXPECT_EQ(f->ioCount, 1000);
        EXPECT_EQ(f->errors, 3);
        EXPECT_EQ(f->bytes, 997 * 4096);
        EXPECT_EQ(f->ioPerSec, 500);
        EXPECT_EQ(f->latency.total, 1000u);
        EXPECT_EQ(f->latency.counts[static_cast<size_t>(engine::LogLinearHistogram::BucketOf(250'000))],
                  1000u);
        EXPECT_EQ(f->latency.minNs, 250'000);
        EXPECT_EQ(f->firstOperationUtc, "2026-12-09T03:00:00.250Z");
        ASSERT_EQ(f->causes.size(), 1u);
        EXPECT_EQ(f->causes[0].name, "EIO");
        EXPECT_EQ(f->causes[0].count, 3);
        ASSERT_EQ(f->intervals.size(), 2u);
        EXPECT_EQ(f->intervals[1].startSeconds, 1.0);
        EXPECT_EQ(f->intervals[1].ioCount, 500);
    }
}

TEST(ResultsReader, ADamagedFileIsRefusedNamingTheKey) {
    const std::string good = ResultsText("alpha", 100, 1000, 0);
    const std::pair<std::string, std::string> damage[] = {
        // What crashed merge before: a missing object or histogram.
        {Replace(good, "\"totals\": {\"io_count\": 100", "\"sums\": {\"io_count\": 100"),
         "volumes[0].totals is missing"},
        {Replace(good, "\"latency_histogram\"", "\"histogram\""), "volumes[0].latency_histogram is missing"},
        {Replace(good, "\"io_count\": 100,", "\"io_count\": \"100\","),
         "volumes[0].totals.io_count is not an integer"},
        {Replace(good, "\"io_count\": 100,", "\"io_count\": -100,"),
         "volumes[0].totals.io_count must be 0 or more"},
        {Replace(good, "\"io_count\": 100,", "\"io_count\": 18446744073709551615,"),
         "volumes[0].totals.io_count is too large"},
        {Replace(good, "\"errors\": 0, \"writes\"", "\"errors\": 101, \"writes\""),
         "volumes[0].totals counts more errors than operations"},
        {Replace(good, "\"sub_bits\": 6", "\"sub_bits\": 5"),
         "volumes[0].latency_histogram has another layout"},
        {Replace(good, "\"total\": 100", "\"total\": 99"),
         "volumes[0].latency_histogram counts 100 operations in its buckets but says total 99"},
        {Replace(good, "\"buckets\": [[", "\"buckets\": [[999999, 1], ["),
         "volumes[0].latency_histogram.buckets[0] names a bucket out of range"},
        {Replace(good, "\"buckets\": [[",
                 "\"buckets\": [[1, 18446744073709551615], [1, 9223372036854775807], ["),
         "volumes[0].latency_histogram.buckets[0][1] is too large"},
        {Replace(good, "\"io_per_sec\": 50.0,", "\"io_per_sec\": null,"),
         "volumes[0].io_per_sec is not a number"},
        {Replace(good, "\"settings\": {", "\"settings\": {\"nested\": [1], "),
         "settings.nested is not a single value"},
        {Replace(good, "\"statistics_interval_s\": 5", "\"statistics_interval_s\": 0"),
         "settings.statistics_interval_s must be 1 or more"},
        {good.substr(0, good.size() / 2), "alpha.json:  is not JSON"},
        {"[1, 2, 3]", "is not JSON: not a volstress-cli results file"},
    };
    for (const auto& [text, message] : damage) {
        cli::Results r;
        std::string error;
        EXPECT_FALSE(cli::ReadResults(text, "alpha.json", r, error)) << message;
        EXPECT_NE(error.find(message), std::string::npos) << error;
    }
}

// Machines started together (--start-at) begin a few milliseconds apart: their intervals are still one.
TEST(Merge, IntervalsOfMachinesStartedTogetherAreMatched) {
    TempDir dir;
    const std::string a = Write(dir, "a.json", ResultsText("alpha", 1000, 100'000, 0));
    const std::string b = Write(dir, "b.json",
                                Replace(ResultsText("beta", 1000, 100'000, 0),
                                        "\"first_operation_utc\": "
                                        "\"2026-12-09T03:00:00.250Z\"",
                                        "\"first_operation_utc\": \"2026-12-09T03:00:00.253Z\""));
    std::ostringstream text;
    std::string json, error;
    cli::MergeOutcome outcome;
    ASSERT_TRUE(cli::MergeResults({a, b}, text, json, outcome, error)) << error;
    EXPECT_NE(json.find("\"io_count\": 1000, \"start_utc\": \"2026-12-09T03:00:00.250Z\""), std::string::npos)
        << json;
    EXPECT_EQ(json.find("03:00:00.253Z"), std::string::npos) << json;
}

TEST(Merge, SumsThatWouldOverflowAreRefused) {
    TempDir dir;
    // Each file is sound; together their totals pass what a signed 64-bit sum holds.
    const std::string huge = Replace(
        Replace(ResultsText("alpha", 10, 1000, 0), "\"io_count\": 10,", "\"io_count\": 9223372036854775000,"),
        "\"io_count\": 10,", "\"io_count\": 9223372036854775000,");
    const std::string a = Write(dir, "a.json", huge), b = Write(dir, "b.json", huge);
    std::ostringstream text;
    std::string json, error;
    cli::MergeOutcome outcome;
    EXPECT_FALSE(cli::MergeResults({a, b}, text, json, outcome, error));
    EXPECT_NE(error.find("overflow"), std::string::npos) << error;

    // Rates that are finite alone and infinite together, an interval no run reaches, a path without end.
    const std::string fast = Write(
        dir, "fast.json",
        ReplaceAll(ResultsText("alpha", 10, 1000, 0), "\"io_per_sec\": 5.0,", "\"io_per_sec\": 1e308,"));
    EXPECT_FALSE(
        cli::MergeResults({fast, Write(dir, "fast2.json", Slurp(fast))}, text, json, outcome, error));
    EXPECT_NE(error.find("its rates make the sums overflow"), std::string::npos) << error;
    const std::string late =
        Write(dir, "late.json",
              ReplaceAll(ResultsText("alpha", 10, 1000, 0), "\"start_s\": 1.0,", "\"start_s\": 1e300,"));
    EXPECT_FALSE(cli::MergeResults({late}, text, json, outcome, error));
    EXPECT_NE(error.find("later than any run lasts"), std::string::npos) << error;
    EXPECT_FALSE(cli::MergeResults({"/dev/zero"}, text, json, outcome, error));
    EXPECT_EQ(error, "merge: /dev/zero is larger than 256 MiB, far more than a results file holds");
}

// Results from several machines made one, from hand-made results files.
#include "cli/merge.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "engine/records.h"
#include "tests/test_support.h"

using testing_support::TempDir;

namespace {

// A results file of one host with one volume whose operations all took `ns`.
std::string Results(const TempDir& dir, const std::string& host, int64_t ops, int64_t ns, int64_t errors,
                    const std::string& blockSize = "4096", int schema = 2) {
    const int bucket = engine::LogLinearHistogram::BucketOf(ns);
    const std::string histogram =
        "{\"sub_bits\": 6, \"top_exponent\": 42, \"total\": " + std::to_string(ops) +
        ", \"min_ns\": " + std::to_string(ns) + ", \"max_ns\": " + std::to_string(ns) + ", \"buckets\": [[" +
        std::to_string(bucket) + ", " + std::to_string(ops) + "]]}";
    const std::string causes =
        errors ? "[{\"code\": 5, \"name\": \"EIO\", \"text\": \"Input/output error\", \"count\": " +
                     std::to_string(errors) + ", \"first_s\": 0.5}]"
               : "[]";
    const std::string totals = "{\"io_count\": " + std::to_string(ops) +
                               ", \"bytes\": " + std::to_string(ops * 4096) +
                               ", \"errors\": " + std::to_string(errors) + "}";
    const std::string volume =
        "\"totals\": " + totals + ", \"io_per_sec\": " + std::to_string(ops / 2) +
        ", \"mbytes_per_sec\": 1.5, \"first_operation_utc\": \"2026-12-09T03:00:00.250Z\", " +
        "\"latency_histogram\": " + histogram + ", \"errors_by_cause\": " + causes +
        ", \"intervals\": [{\"index\": 1, \"start_s\": 0, \"io_count\": " + std::to_string(ops / 2) +
        ", \"bytes\": 100}, {\"index\": 2, \"start_s\": 1.0, " +
        "\"io_count\": " + std::to_string(ops - ops / 2) + ", \"bytes\": 100}]";
    const std::string doc =
        "{\"schema_version\": " + std::to_string(schema) +
        ", \"tool\": \"volstress-cli\", \"settings\": {\"block_size\": " + blockSize +
        ", \"method\": \"random\"}, \"host\": \"" + host +
        "\", \"open_failures\": [], \"volumes\": [{\"letter\": \"D\", \"device\": \"/dev/sdb\", " + volume +
        "}], \"all\": {" + volume + "}}";
    const std::string path = (dir.path() / (host + ".json")).string();
    std::ofstream(path) << doc;
    return path;
}

double Number(const std::string& json, const std::string& key) {
    const size_t at = json.find("\"" + key + "\": ");
    return at == std::string::npos ? -1 : std::stod(json.substr(at + key.size() + 4));
}

}  // namespace

TEST(Merge, TotalsAddAndPercentilesComeFromTheMergedHistograms) {
    TempDir dir;
    const std::string fast = Results(dir, "alpha", 1000, 100'000, 0);    // 100 us
    const std::string slow = Results(dir, "beta", 1000, 10'000'000, 7);  // 10 ms, and failures
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
    EXPECT_NE(json.find("\"utc\": \"2026-12-09T03:00:01.000Z\""), std::string::npos)
        << json;                              // aligned seconds
    EXPECT_EQ(Number(json, "worst_row"), 1);  // beta: the failures
    EXPECT_NE(text.str().find("* beta D: /dev/sdb"), std::string::npos) << text.str();
}

TEST(Merge, ResultsOfOtherSettingsOrVersionsAreRefused) {
    TempDir dir;
    const std::string a = Results(dir, "alpha", 10, 1000, 0);
    const std::string b = Results(dir, "beta", 10, 1000, 0, "8192");
    const std::string c = Results(dir, "gamma", 10, 1000, 0, "4096", 1);
    std::ofstream(dir.path() / "junk.json") << "{\"tool\": \"fio\"}";
    std::ostringstream text;
    std::string json, error;
    cli::MergeOutcome outcome;
    EXPECT_FALSE(cli::MergeResults({a, b}, text, json, outcome, error));
    EXPECT_NE(error.find("different settings (block_size: 8192 against 4096)"), std::string::npos) << error;
    EXPECT_FALSE(cli::MergeResults({a, c}, text, json, outcome, error));
    EXPECT_NE(error.find("schema_version 1"), std::string::npos) << error;
    EXPECT_FALSE(cli::MergeResults({a, (dir.path() / "junk.json").string()}, text, json, outcome, error));
    EXPECT_NE(error.find("is not a volstress-cli results file"), std::string::npos) << error;
}

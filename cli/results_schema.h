#pragma once
// The results file (--json) as written and read: its version and the name of every key that a writer
// writes and a reader reads, in one place, so that a field cannot be written by one name and read by another.
#include <nlohmann/json.hpp>
#include <string>

namespace cli::schema {

// 3: open_failures[] are objects with the failure's kind and code; verify has blocks_open; totals and
// errors_by_cause[] say how many of theirs were writes (absent from the first files of version 3).
constexpr int kVersion = 3;
// The oldest version whose keys mean what this program reads (merge reads files of older runs too).
constexpr int kOldestRead = 2;

constexpr const char* kSchemaVersion = "schema_version";
constexpr const char* kTool = "tool";
constexpr const char* kSettings = "settings";
constexpr const char* kIntervalSeconds = "statistics_interval_s";
constexpr const char* kHost = "host";
constexpr const char* kOpenFailures = "open_failures";
constexpr const char* kVolumes = "volumes";
constexpr const char* kAll = "all";
constexpr const char* kLetter = "letter";
constexpr const char* kDevice = "device";
constexpr const char* kTotals = "totals";
constexpr const char* kIoCount = "io_count";
constexpr const char* kBytes = "bytes";
constexpr const char* kErrors = "errors";
constexpr const char* kWrites = "writes";  // of the operations (or errors), the writes
constexpr const char* kWriteBytes = "write_bytes";
constexpr const char* kWriteErrors = "write_errors";
constexpr const char* kIoPerSec = "io_per_sec";
constexpr const char* kMbytesPerSec = "mbytes_per_sec";
constexpr const char* kFirstOperationUtc = "first_operation_utc";
constexpr const char* kLatencyHistogram = "latency_histogram";
constexpr const char* kSubBits = "sub_bits";
constexpr const char* kTopExponent = "top_exponent";
constexpr const char* kTotal = "total";
constexpr const char* kMinNs = "min_ns";
constexpr const char* kMaxNs = "max_ns";
constexpr const char* kBuckets = "buckets";
constexpr const char* kErrorsByCause = "errors_by_cause";
constexpr const char* kCode = "code";
constexpr const char* kName = "name";
constexpr const char* kText = "text";
constexpr const char* kCount = "count";
constexpr const char* kIntervals = "intervals";
constexpr const char* kStartSeconds = "start_s";

constexpr const char* kRunTool = "volstress-cli";

// JSON as the program writes it: objects one key per line, arrays of numbers or of number pairs on one line
// (a histogram stays readable), text always valid UTF-8.
std::string Pretty(const nlohmann::ordered_json& value);

}  // namespace cli::schema

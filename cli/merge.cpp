#include "cli/merge.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "cli/json.h"
#include "cli/report_output.h"
#include "engine/records.h"
#include "stats/report.h"

namespace cli {

namespace {

using nlohmann::json;

bool ReadHistogram(const json& j, engine::LogLinearHistogram& h, std::string& error) {
    if (j.value("sub_bits", -1) != engine::LogLinearHistogram::kSubBits ||
        j.value("top_exponent", -1) != engine::LogLinearHistogram::kTopExponent) {
        error = "its latency histogram has another layout";
        return false;
    }
    engine::LogLinearHistogram one;
    for (const json& b : j.at("buckets")) {
        const int index = b.at(0).get<int>();
        if (index < 0 || index >= engine::LogLinearHistogram::kBuckets) {
            error = "its latency histogram has a bucket out of range";
            return false;
        }
        one.counts[static_cast<size_t>(index)] += b.at(1).get<uint64_t>();
    }
    one.total = j.value("total", uint64_t{0});
    one.minNs = j.value("min_ns", int64_t{0});
    one.maxNs = j.value("max_ns", int64_t{0});
    h.Merge(one);
    return true;
}

json Percentiles(const engine::LogLinearHistogram& h) {
    const stats::Percentiles p = stats::LatencyPercentiles(h);
    return json{{"relative_error", stats::kPercentileRelativeError},
                {"p50", p.p50},
                {"p90", p.p90},
                {"p99", p.p99},
                {"p99_9", p.p999},
                {"p99_99", p.p9999},
                {"max", p.max}};
}

std::string Fixed(double v, int decimals) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

}  // namespace

bool MergeResults(const std::vector<std::string>& paths, std::ostream& text, std::string& out,
                  MergeOutcome& outcome, std::string& error) {
    if (paths.size() < 1) {
        error = "merge needs at least one results file";
        return false;
    }
    std::vector<json> docs;
    for (const std::string& path : paths) {
        std::ifstream in(path);
        if (!in) {
            error = "merge: cannot open " + path;
            return false;
        }
        json doc = json::parse(in, nullptr, false);
        if (doc.is_discarded() || !doc.is_object() || doc.value("tool", "") != "volstress-cli" ||
            !doc.contains("all") || !doc.contains("settings")) {
            error = "merge: " + path + " is not a volstress-cli results file (--json)";
            return false;
        }
        if (!docs.empty()) {
            if (doc.value("schema_version", 0) != docs[0].value("schema_version", 0)) {
                error = "merge: " + path + " has schema_version " +
                        std::to_string(doc.value("schema_version", 0)) + ", " + paths[0] + " has " +
                        std::to_string(docs[0].value("schema_version", 0)) +
                        "; results of different versions are not merged";
                return false;
            }
            for (const auto& [key, value] : docs[0]["settings"].items())
                if (doc["settings"].value(key, json()) != value) {
                    error = "merge: " + path + " and " + paths[0] + " were run with different settings (" +
                            key + ": " + doc["settings"].value(key, json()).dump() + " against " +
                            value.dump() + ")";
                    return false;
                }
        }
        docs.push_back(std::move(doc));
    }

    int64_t io = 0, bytes = 0, errors = 0;
    double ioPerSec = 0, mbytesPerSec = 0;
    engine::LogLinearHistogram latency;
    std::map<std::string, std::pair<json, int64_t>> causes;  // by name: the cause, and its count
    std::map<int64_t, std::pair<int64_t, int64_t>> seconds;  // wall-clock second: operations, bytes
    json rows = json::array();
    for (size_t k = 0; k < docs.size(); ++k) {
        const json& doc = docs[k];
        const json& all = doc["all"];
        io += all["totals"].value("io_count", int64_t{0});
        bytes += all["totals"].value("bytes", int64_t{0});
        errors += all["totals"].value("errors", int64_t{0});
        ioPerSec += all.value("io_per_sec", 0.0);
        mbytesPerSec += all.value("mbytes_per_sec", 0.0);
        outcome.failures = outcome.failures || all["totals"].value("errors", int64_t{0}) > 0 ||
                           !doc.value("open_failures", json::array()).empty();
        std::string why;
        if (!ReadHistogram(all.at("latency_histogram"), latency, why)) {
            error = "merge: " + paths[k] + ": " + why;
            return false;
        }
        for (const json& c : all.value("errors_by_cause", json::array())) {
            auto& [cause, count] = causes[c.value("name", "")];
            if (cause.is_null()) cause = c;
            count += c.value("count", int64_t{0});
        }
        int64_t firstMs = 0;
        if (ParseIsoUtc(all.value("first_operation_utc", ""), firstMs))
            for (const json& in : all.value("intervals", json::array())) {
                const int64_t second =
                    (firstMs + static_cast<int64_t>(in.value("start_s", 0.0) * 1000)) / 1000;
                seconds[second].first += in.value("io_count", int64_t{0});
                seconds[second].second += in.value("bytes", int64_t{0});
            }
        for (const json& v : doc.value("volumes", json::array())) {
            engine::LogLinearHistogram h;
            ReadHistogram(v.at("latency_histogram"), h, why);
            rows.push_back({{"host", doc.value("host", "")},
                            {"file", paths[k]},
                            {"letter", v.value("letter", "")},
                            {"device", v.value("device", "")},
                            {"io_count", v["totals"].value("io_count", int64_t{0})},
                            {"errors", v["totals"].value("errors", int64_t{0})},
                            {"io_per_sec", v.value("io_per_sec", 0.0)},
                            {"p99_us", stats::LatencyPercentiles(h).p99}});
        }
    }
    // The worst row: the most errors, then the lowest rate.
    size_t worst = 0;
    for (size_t k = 1; k < rows.size(); ++k) {
        const json &a = rows[k], &b = rows[worst];
        if (a["errors"].get<int64_t>() > b["errors"].get<int64_t>() ||
            (a["errors"] == b["errors"] && a["io_per_sec"].get<double>() < b["io_per_sec"].get<double>()))
            worst = k;
    }

    json merged = {{"schema_version", docs[0].value("schema_version", 0)},
                   {"tool", "volstress-cli merge"},
                   {"files", paths},
                   {"settings", docs[0]["settings"]},
                   {"all",
                    {{"totals", {{"io_count", io}, {"bytes", bytes}, {"errors", errors}}},
                     {"io_per_sec", ioPerSec},
                     {"mbytes_per_sec", mbytesPerSec},
                     {"latency_us", Percentiles(latency)}}},
                   {"rows", rows},
                   {"worst_row", rows.empty() ? json() : json(worst)}};
    json byCause = json::array();
    for (auto& [name, entry] : causes) {
        entry.first["count"] = entry.second;
        entry.first.erase("first_s");
        byCause.push_back(entry.first);
    }
    merged["all"]["errors_by_cause"] = byCause;
    json series = json::array();
    for (const auto& [second, figures] : seconds)
        series.push_back(
            {{"utc", IsoUtc(second * 1000)}, {"io_count", figures.first}, {"bytes", figures.second}});
    merged["per_second"] = series;
    out = merged.dump(2) + "\n";

    const stats::Percentiles p = stats::LatencyPercentiles(latency);
    text << "Fleet of " << docs.size() << " results: " << io << " operations, " << errors << " errors, "
         << Fixed(ioPerSec, 0) << " IO/s, " << Fixed(mbytesPerSec, 2) << " MB/s\n"
         << "Latency us (merged histograms)  p50 " << Fixed(p.p50, 1) << "  p99 " << Fixed(p.p99, 1)
         << "  p99.9 " << Fixed(p.p999, 1) << "  max " << Fixed(p.max, 1) << "\n";
    for (size_t k = 0; k < rows.size(); ++k) {
        const json& r = rows[k];
        text << (k == worst ? "* " : "  ") << r["host"].get<std::string>() << " "
             << r["letter"].get<std::string>() << ": " << r["device"].get<std::string>() << "  "
             << Fixed(r["io_per_sec"].get<double>(), 0) << " IO/s  p99 "
             << Fixed(r["p99_us"].get<double>(), 1) << " us  " << r["errors"].get<int64_t>() << " errors\n";
    }
    if (!rows.empty()) text << "* the worst row: the most errors, then the lowest rate\n";
    return true;
}

}  // namespace cli

#include "cli/merge.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "cli/report_output.h"
#include "cli/results_reader.h"
#include "cli/results_schema.h"
#include "stats/report.h"

namespace cli {

namespace {

using nlohmann::json;

// A results file of 26 volumes with 1000 intervals each is a few megabytes; past this bound a path is not
// one.
constexpr size_t kMaxResultsBytes = size_t{256} << 20;
// No run lasts longer than the test time a command line can ask (under 25 days); a start beyond this is not
// a run's.
constexpr double kMaxIntervalStartSeconds = 1e9;

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

// Sums that a crafted file could drive past int64: refused, never wrapped into a wrong figure.
bool Add(int64_t& into, int64_t value) {
    return !__builtin_add_overflow(into, value, &into);
}

bool ReadResultsFile(const std::string& path, Results& results, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "merge: cannot open " + path;
        return false;
    }
    // Read to a bound, so that a path that never ends (a device, a pipe) is refused, not read into memory.
    std::string text;
    std::vector<char> chunk(1 << 16);
    while (in.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || in.gcount() > 0) {
        text.append(chunk.data(), static_cast<size_t>(in.gcount()));
        if (text.size() > kMaxResultsBytes) {
            error = "merge: " + path + " is larger than " + std::to_string(kMaxResultsBytes >> 20) +
                    " MiB, far more than a results file holds";
            return false;
        }
    }
    if (!ReadResults(text, path, results, error)) {
        error = "merge: " + error;
        return false;
    }
    return true;
}

}  // namespace

bool MergeResults(const std::vector<std::string>& paths, std::ostream& text, std::string& out,
                  MergeOutcome& outcome, std::string& error) {
    if (paths.empty()) {
        error = "merge needs at least one results file";
        return false;
    }
    std::vector<Results> docs(paths.size());
    for (size_t k = 0; k < paths.size(); ++k)
        if (!ReadResultsFile(paths[k], docs[k], error)) return false;
    return MergeRead(docs, paths, text, out, outcome, error);
}

bool MergeRead(const std::vector<Results>& docs, const std::vector<std::string>& paths, std::ostream& text,
               std::string& out, MergeOutcome& outcome, std::string& error) {
    if (docs.empty() || docs.size() != paths.size()) {
        error = "merge needs at least one results file";
        return false;
    }
    for (size_t k = 1; k < docs.size(); ++k) {
        // Figures mean the same only for the same settings.
        std::map<std::string, std::string> keys = docs[0].settings;
        keys.insert(docs[k].settings.begin(), docs[k].settings.end());
        for (const auto& [key, unused] : keys) {
            const auto a = docs[0].settings.find(key), b = docs[k].settings.find(key);
            const std::string first = a == docs[0].settings.end() ? "nothing" : a->second;
            const std::string other = b == docs[k].settings.end() ? "nothing" : b->second;
            if (first != other) {
                error = "merge: " + paths[k] + " and " + paths[0] + " were run with different settings (" +
                        key + ": " + other + " against " + first + ")";
                return false;
            }
        }
    }

    int64_t io = 0, bytes = 0, errors = 0;
    double ioPerSec = 0, mbytesPerSec = 0;
    engine::LogLinearHistogram latency;
    std::map<std::string, std::pair<CauseResults, int64_t>> causes;  // by name: the cause, and its count
    // Statistics intervals by the wall-clock millisecond they start at: operations, bytes.
    std::map<int64_t, std::pair<int64_t, int64_t>> starts;
    json rows = json::array();
    for (size_t k = 0; k < docs.size(); ++k) {
        const Results& doc = docs[k];
        const FigureResults& all = doc.all;
        if (!Add(io, all.ioCount) || !Add(bytes, all.bytes) || !Add(errors, all.errors)) {
            error = "merge: " + paths[k] + ": its totals make the sums overflow";
            return false;
        }
        ioPerSec += all.ioPerSec;
        mbytesPerSec += all.mbytesPerSec;
        if (!std::isfinite(ioPerSec) || !std::isfinite(mbytesPerSec)) {
            error = "merge: " + paths[k] + ": its rates make the sums overflow";
            return false;
        }
        outcome.failures = outcome.failures || all.errors > 0 || doc.openFailures;
        if (latency.total + all.latency.total < latency.total) {
            error = "merge: " + paths[k] + ": its latency histogram makes the counts overflow";
            return false;
        }
        latency.Merge(all.latency);
        for (const CauseResults& c : all.causes) {
            auto& [cause, count] = causes[c.name];
            if (count == 0) cause = c;
            if (!Add(count, c.count)) {
                error = "merge: " + paths[k] + ": its errors by cause make the counts overflow";
                return false;
            }
        }
        int64_t firstMs = 0;
        if (ParseIsoUtc(all.firstOperationUtc, firstMs))
            for (const IntervalResults& in : all.intervals) {
                if (in.startSeconds > kMaxIntervalStartSeconds) {
                    error = "merge: " + paths[k] + ": an interval starts " + std::to_string(in.startSeconds) +
                            " s after the first operation, later than any run lasts";
                    return false;
                }
                auto& [ops, b] = starts[firstMs + static_cast<int64_t>(in.startSeconds * 1000)];
                if (!Add(ops, in.ioCount) || !Add(b, in.bytes)) {
                    error = "merge: " + paths[k] + ": its intervals make the counts overflow";
                    return false;
                }
            }
        for (const VolumeResults& v : doc.volumes)
            rows.push_back({{"host", doc.host},
                            {"file", paths[k]},
                            {"letter", v.letter},
                            {"device", v.device},
                            {"io_count", v.figures.ioCount},
                            {"errors", v.figures.errors},
                            {"io_per_sec", v.figures.ioPerSec},
                            {"p99_us", stats::LatencyPercentiles(v.figures.latency).p99}});
    }
    // The worst row: the most errors, then the lowest rate.
    size_t worst = 0;
    for (size_t k = 1; k < rows.size(); ++k) {
        const json &a = rows[k], &b = rows[worst];
        if (a["errors"].get<int64_t>() > b["errors"].get<int64_t>() ||
            (a["errors"] == b["errors"] && a["io_per_sec"].get<double>() < b["io_per_sec"].get<double>()))
            worst = k;
    }

    json settings = json::object();
    for (const auto& [key, value] : docs[0].settings) settings[key] = json::parse(value, nullptr, false);
    json merged = {{schema::kSchemaVersion, schema::kVersion},
                   {"tool", "volstress-cli merge"},
                   {"files", paths},
                   {"settings", settings},
                   {"all",
                    {{"totals", {{"io_count", io}, {"bytes", bytes}, {"errors", errors}}},
                     {"io_per_sec", ioPerSec},
                     {"mbytes_per_sec", mbytesPerSec},
                     {"latency_us", Percentiles(latency)}}},
                   {"rows", rows},
                   {"worst_row", rows.empty() ? json() : json(worst)}};
    json byCause = json::array();
    for (const auto& [name, entry] : causes)
        byCause.push_back({{"code", entry.first.other ? json() : json(entry.first.code)},
                           {"name", entry.first.name},
                           {"text", entry.first.text},
                           {"count", entry.second}});
    merged["all"]["errors_by_cause"] = byCause;
    // One row per statistics interval (settings.statistics_interval_s long), by its wall-clock start: the
    // machines' intervals that start within a tenth of an interval (at most 500 ms) of the first of them are
    // one, so that runs started together (--start-at) meet although their first operations lie milliseconds
    // apart, while one machine's successive intervals stay apart.
    std::map<int64_t, std::pair<int64_t, int64_t>> intervals;
    const int64_t tolerance = std::min<int64_t>(std::max<int64_t>(docs[0].intervalSeconds, 1) * 100, 500);
    int64_t group = 0;
    for (auto it = starts.begin(); it != starts.end(); ++it) {
        if (it == starts.begin() || it->first - group > tolerance) group = it->first;
        auto& [ops, b] = intervals[group];
        if (!Add(ops, it->second.first) || !Add(b, it->second.second)) {
            error = "merge: the intervals make the counts overflow";
            return false;
        }
    }
    json series = json::array();
    for (const auto& [startMs, figures] : intervals)
        series.push_back(
            {{"start_utc", IsoUtc(startMs)}, {"io_count", figures.first}, {"bytes", figures.second}});
    merged["interval_s"] = docs[0].intervalSeconds;
    merged["per_interval"] = series;
    out = schema::Pretty(nlohmann::ordered_json(merged));

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

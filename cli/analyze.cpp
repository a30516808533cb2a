#include "cli/analyze.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>

#include "cli/names.h"
#include "cli/results_schema.h"
#include "engine/records.h"
#include "platform/arithmetic.h"
#include "stats/log_reader.h"
#include "stats/report.h"

namespace cli {

namespace {

// The exact value at quantile q: the smallest duration whose rank reaches ceil(q * n); sorted input.
double Quantile(const std::vector<int64_t>& sorted, double q) {
    if (sorted.empty()) return 0;
    const double wanted = std::ceil(q * static_cast<double>(sorted.size()));
    const size_t rank = std::clamp<size_t>(static_cast<size_t>(std::max(1.0, wanted)), 1, sorted.size());
    return static_cast<double>(sorted[rank - 1]) / 1000;
}

// A second's histogram stays open this long after a later second began: records of one log are in order
// of recording, not of start, and a worker's batch reaches the log milliseconds after its first start.
constexpr int64_t kOpenSeconds = 16;

// One volume's figures (or all volumes'), gathered record by record.
class Gathered {
  public:
    explicit Gathered(int volume) { f_.volume = volume; }

    void Add(double start, double end, int64_t ns, int32_t bytes, bool ok, bool exact) {
        if (f_.operations == 0) first_ = origin_ = start, last_ = end;
        ++f_.operations;
        f_.errors += !ok;
        f_.bytes += bytes;
        first_ = std::min(first_, start);
        last_ = std::max(last_, end);
        latency_.Add(ns);
        if (exact) ns_.push_back(ns);
        // Seconds from the volume's first record; one that began before it belongs to second 0.
        // Far past any log's length, a second's number would not fit.
        const double since = std::floor(start - origin_);
        const int64_t second = since <= 0      ? 0
                               : since >= 1e15 ? int64_t{1'000'000'000'000'000}
                                               : static_cast<int64_t>(since);
        auto at = open_.find(second);
        if (at == open_.end()) {
            const auto closed = closed_.find(second);
            if (closed != closed_.end()) {
                // Later than a second stays open: counted, though no longer in that second's percentiles.
                ++closed->second.operations;
                closed->second.bytes += bytes;
                return;
            }
            at = open_.emplace(second, Second{}).first;
        }
        ++at->second.operations;
        at->second.bytes += bytes;
        at->second.latency.Add(ns);
        newest_ = std::max(newest_, second);
        while (!open_.empty() && open_.begin()->first < newest_ - kOpenSeconds) Close(open_.begin());
    }
    // Drops the durations kept: the percentiles will come from the histogram.
    void Inexact() { std::vector<int64_t>().swap(ns_); }
    const std::vector<int64_t>& Durations() const { return ns_; }

    LogFigures Finish(bool exact, std::vector<int64_t>* allDurations = nullptr) {
        while (!open_.empty()) Close(open_.begin());
        for (auto& [second, s] : closed_) f_.seconds.push_back(s);
        if (f_.operations == 0) return f_;
        f_.spanSeconds = last_ - first_;
        if (f_.spanSeconds > 0) {
            f_.ioPerSec = static_cast<double>(f_.operations) / f_.spanSeconds;
            f_.mbytesPerSec = static_cast<double>(f_.bytes) / f_.spanSeconds / 1'048'576;
        }
        f_.exact = exact;
        std::vector<int64_t>& ns = allDurations ? *allDurations : ns_;
        if (exact) {
            std::sort(ns.begin(), ns.end());
            f_.p50Us = Quantile(ns, 0.5);
            f_.p90Us = Quantile(ns, 0.9);
            f_.p99Us = Quantile(ns, 0.99);
            f_.p999Us = Quantile(ns, 0.999);
            f_.p9999Us = Quantile(ns, 0.9999);
        } else {
            const stats::Percentiles p = stats::LatencyPercentiles(latency_);
            f_.p50Us = p.p50, f_.p90Us = p.p90, f_.p99Us = p.p99, f_.p999Us = p.p999, f_.p9999Us = p.p9999;
        }
        f_.maxUs = static_cast<double>(latency_.maxNs) / 1000;
        return f_;
    }

  private:
    struct Second {
        int64_t operations = 0, bytes = 0;
        engine::LogLinearHistogram latency;
    };
    void Close(std::map<int64_t, Second>::iterator at) {
        SecondFigures s;
        s.second = at->first;
        s.operations = at->second.operations;
        s.bytes = at->second.bytes;
        s.p50Us = at->second.latency.PercentileNs(0.5) / 1000;
        s.p99Us = at->second.latency.PercentileNs(0.99) / 1000;
        closed_.emplace(at->first, s);
        open_.erase(at);
    }

    LogFigures f_;
    double first_ = 0, last_ = 0, origin_ = 0;
    engine::LogLinearHistogram latency_;
    std::vector<int64_t> ns_;
    std::map<int64_t, Second> open_;
    std::map<int64_t, SecondFigures> closed_;
    int64_t newest_ = 0;
};

std::string Fixed(double v, int decimals) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

void TextFigures(std::ostream& out, const std::string& heading, const LogFigures& f) {
    out << heading << "\n  operations " << f.operations << "  errors " << f.errors << "  bytes " << f.bytes
        << "\n  span " << Fixed(f.spanSeconds, 3) << " s  IO/s " << Fixed(f.ioPerSec, 0) << "  MB/s "
        << Fixed(f.mbytesPerSec, 2) << "\n  Latency us (" << (f.exact ? "exact" : "within 0.79%") << ")  p50 "
        << Fixed(f.p50Us, 1) << "  p90 " << Fixed(f.p90Us, 1) << "  p99 " << Fixed(f.p99Us, 1) << "  p99.9 "
        << Fixed(f.p999Us, 1) << "  p99.99 " << Fixed(f.p9999Us, 1) << "  max " << Fixed(f.maxUs, 1) << "\n";
}

nlohmann::ordered_json JsonFigures(const LogFigures& f) {
    nlohmann::ordered_json j;
    j["operations"] = f.operations;
    j["errors"] = f.errors;
    j["bytes"] = f.bytes;
    j["span_s"] = f.spanSeconds;
    j["io_per_sec"] = f.ioPerSec;
    j["mbytes_per_sec"] = f.mbytesPerSec;
    j["latency_exact"] = f.exact;
    j["latency_us"] = {{"p50", f.p50Us},    {"p90", f.p90Us},      {"p99", f.p99Us},
                       {"p99_9", f.p999Us}, {"p99_99", f.p9999Us}, {"max", f.maxUs}};
    nlohmann::ordered_json seconds = nlohmann::ordered_json::array();
    for (const SecondFigures& s : f.seconds)
        seconds.push_back({{"second", s.second},
                           {"io_per_sec", s.operations},
                           {"mbytes_per_sec", static_cast<double>(s.bytes) / 1'048'576},
                           {"p50_us", s.p50Us},
                           {"p99_us", s.p99Us}});
    j["per_second"] = std::move(seconds);
    return j;
}

}  // namespace

bool AnalyzeLog(const std::string& path, LogAnalysis& analysis, std::string& error) {
    stats::LogReader reader;
    if (!reader.Open(path, error)) {
        error = "analyze: " + error;
        return false;
    }
    return AnalyzeLog(reader, analysis, error);
}

bool AnalyzeLog(stats::LogReader& reader, LogAnalysis& analysis, std::string& error, uint64_t exactRecords) {
    std::vector<std::unique_ptr<Gathered>> volumes(engine::kDiskCount);
    Gathered all(-1);
    bool exact = true;
    uint64_t records = 0;
    engine::LogEntry e;
    while (reader.Next(e, error)) {
        if (exact && ++records > exactRecords) {
            exact = false;
            for (auto& v : volumes)
                if (v) v->Inexact();
        }
        const double f = static_cast<double>(e.Frequency);
        const double start = static_cast<double>(e.StartTicks) / f, end = static_cast<double>(e.EndTicks) / f;
        const int64_t ns = platform::MulDiv(e.EndTicks - e.StartTicks, 1'000'000'000, e.Frequency);
        const int32_t bytes = e.Success ? e.RequestSize : 0;
        auto& v = volumes[static_cast<size_t>(e.VolumeIndex)];
        if (!v) v = std::make_unique<Gathered>(e.VolumeIndex);
        v->Add(start, end, ns, bytes, e.Success != 0, exact);
        all.Add(start, end, ns, bytes, e.Success != 0, false);
    }
    if (!error.empty()) {
        error = "analyze: " + error;
        return false;
    }
    analysis = {};
    // All volumes' exact percentiles from the volumes' durations, gathered once at the end.
    std::vector<int64_t> durations;
    if (exact) {
        durations.reserve(records);
        for (const auto& v : volumes)
            if (v) durations.insert(durations.end(), v->Durations().begin(), v->Durations().end());
    }
    analysis.all = all.Finish(exact, &durations);
    for (auto& v : volumes)
        if (v) analysis.volumes.push_back(v->Finish(exact));
    return true;
}

void WriteAnalysisText(std::ostream& out, const LogAnalysis& a) {
    for (const LogFigures& f : a.volumes)
        TextFigures(out,
                    f.volume >= 0 && f.volume < 26 ? VolumeLetter(f.volume) + ":"
                                                   : "volume " + std::to_string(f.volume),
                    f);
    if (a.volumes.size() != 1) TextFigures(out, "All volumes", a.all);
}

void WriteAnalysisJson(std::ostream& out, const LogAnalysis& a) {
    nlohmann::ordered_json j;
    j[schema::kSchemaVersion] = schema::kVersion;
    j[schema::kTool] = "volstress-cli analyze";
    nlohmann::ordered_json volumes = nlohmann::ordered_json::array();
    for (const LogFigures& f : a.volumes) {
        nlohmann::ordered_json one;
        one["volume_index"] = f.volume;
        one.update(JsonFigures(f));
        volumes.push_back(std::move(one));
    }
    j[schema::kVolumes] = std::move(volumes);
    j[schema::kAll] = JsonFigures(a.all);
    out << schema::Pretty(j);
}

}  // namespace cli

#include "cli/analyze.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>

#include "cli/names.h"
#include "cli/results_schema.h"
#include "engine/records.h"
#include "platform/arithmetic.h"
#include "stats/log_reader.h"

namespace cli {

namespace {

struct Op {
    double start;  // seconds
    double end;
    int64_t ns;
    int32_t bytes;
    int16_t volume;
    bool ok;
};

// The exact value at quantile q: the smallest duration whose rank reaches ceil(q * n); sorted input.
double Quantile(const std::vector<int64_t>& sorted, double q) {
    if (sorted.empty()) return 0;
    const double wanted = std::ceil(q * static_cast<double>(sorted.size()));
    const size_t rank = std::clamp<size_t>(static_cast<size_t>(std::max(1.0, wanted)), 1, sorted.size());
    return static_cast<double>(sorted[rank - 1]) / 1000;
}

// The figures of one volume's operations, or of all (volume -1).
LogFigures Figures(int volume, const std::vector<Op>& all) {
    LogFigures f;
    f.volume = volume;
    const auto mine = [volume](const Op& op) { return volume < 0 || op.volume == volume; };
    const auto firstOp = std::find_if(all.begin(), all.end(), mine);
    if (firstOp == all.end()) return f;
    double first = firstOp->start, last = firstOp->end;
    std::vector<int64_t> ns;
    std::map<int64_t, std::vector<const Op*>> bySecond;
    for (const Op& op : all)
        if (mine(op)) first = std::min(first, op.start);
    for (const Op& op : all) {
        if (!mine(op)) continue;
        ++f.operations;
        f.errors += !op.ok;
        f.bytes += op.bytes;
        last = std::max(last, op.end);
        ns.push_back(op.ns);
        bySecond[static_cast<int64_t>(std::floor(op.start - first))].push_back(&op);
    }
    std::sort(ns.begin(), ns.end());
    f.spanSeconds = last - first;
    if (f.spanSeconds > 0) {
        f.ioPerSec = static_cast<double>(f.operations) / f.spanSeconds;
        f.mbytesPerSec = static_cast<double>(f.bytes) / f.spanSeconds / 1'048'576;
    }
    f.p50Us = Quantile(ns, 0.5);
    f.p90Us = Quantile(ns, 0.9);
    f.p99Us = Quantile(ns, 0.99);
    f.p999Us = Quantile(ns, 0.999);
    f.p9999Us = Quantile(ns, 0.9999);
    f.maxUs = static_cast<double>(ns.back()) / 1000;
    for (const auto& [second, list] : bySecond) {
        SecondFigures s;
        s.second = second;
        std::vector<int64_t> d;
        for (const Op* op : list) {
            ++s.operations;
            s.bytes += op->bytes;
            d.push_back(op->ns);
        }
        std::sort(d.begin(), d.end());
        s.p50Us = Quantile(d, 0.5);
        s.p99Us = Quantile(d, 0.99);
        f.seconds.push_back(s);
    }
    return f;
}

std::string Fixed(double v, int decimals) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

void TextFigures(std::ostream& out, const std::string& heading, const LogFigures& f) {
    out << heading << "\n  operations " << f.operations << "  errors " << f.errors << "  bytes " << f.bytes
        << "\n  span " << Fixed(f.spanSeconds, 3) << " s  IO/s " << Fixed(f.ioPerSec, 0) << "  MB/s "
        << Fixed(f.mbytesPerSec, 2) << "\n  Latency us (exact)  p50 " << Fixed(f.p50Us, 1) << "  p90 "
        << Fixed(f.p90Us, 1) << "  p99 " << Fixed(f.p99Us, 1) << "  p99.9 " << Fixed(f.p999Us, 1)
        << "  p99.99 " << Fixed(f.p9999Us, 1) << "  max " << Fixed(f.maxUs, 1) << "\n";
}

nlohmann::ordered_json JsonFigures(const LogFigures& f) {
    nlohmann::ordered_json j;
    j["operations"] = f.operations;
    j["errors"] = f.errors;
    j["bytes"] = f.bytes;
    j["span_s"] = f.spanSeconds;
    j["io_per_sec"] = f.ioPerSec;
    j["mbytes_per_sec"] = f.mbytesPerSec;
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

bool AnalyzeLog(stats::LogReader& reader, LogAnalysis& analysis, std::string& error) {
    // Exact percentiles need every duration: 24 bytes a record kept, at most the 10,000,000 a log holds.
    std::vector<Op> ops;
    ops.reserve(static_cast<size_t>(std::min<uint64_t>(reader.Records(), engine::kLogCapacity)));
    engine::LogEntry e;
    while (reader.Next(e, error)) {
        if (ops.size() >= engine::kLogCapacity) {
            error =
                "analyze: the log holds more than " + std::to_string(engine::kLogCapacity) +
                " records, which is as many as exact percentiles are computed from here (log2csv reads any "
                "length)";
            return false;
        }
        const double f = static_cast<double>(e.Frequency);
        ops.push_back({static_cast<double>(e.StartTicks) / f, static_cast<double>(e.EndTicks) / f,
                       platform::MulDiv(e.EndTicks - e.StartTicks, 1'000'000'000, e.Frequency),
                       e.Success ? e.RequestSize : 0, e.VolumeIndex, e.Success != 0});
    }
    if (!error.empty()) {
        error = "analyze: " + error;
        return false;
    }
    analysis = {};
    std::array<bool, engine::kDiskCount> present{};
    for (const Op& op : ops) present[static_cast<size_t>(op.volume)] = true;
    for (int v = 0; v < engine::kDiskCount; ++v)
        if (present[static_cast<size_t>(v)]) analysis.volumes.push_back(Figures(v, ops));
    analysis.all = Figures(-1, ops);
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

#include "cli/report_output.h"

#include <array>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iomanip>
#include <sstream>

#include "cli/names.h"
#include "cli/results_schema.h"

namespace cli {

// Days since 1970-01-01 of a civil date, and back (the proleptic Gregorian calendar).
static int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

namespace {

using nlohmann::ordered_json;
namespace key = schema;

std::string Letter(int index) {
    return VolumeLetter(index) + ":";
}

std::string Us(double us) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.1f", us);
    return buf;
}

double D(long double v) {
    return static_cast<double>(v);
}

// How queued operations went to the system: "8 per call (--submit-batch 8)", or what the adaptive choice
// settled on.
std::string HandOverText(const stats::Figures& f) {
    if (f.settledBatch == 0) return {};
    const std::string n = std::to_string(f.settledBatch);
    if (!f.handOver.adaptive) return n + " per call (--submit-batch " + n + ")";
    char pct[16];
    std::snprintf(pct, sizeof pct, "%.0f%%", f.settledShare * 100);
    const uint64_t c = f.handOver.changes;
    return "found as it ran: " + n + " per call for " + pct + " of the operations, moved " +
           std::to_string(c) + (c == 1 ? " time" : " times");
}

// The rate an open loop asked of these figures: per volume, or for all volumes together.
double RateAsked(const stats::Figures& f, const stats::RunResult& r) {
    return r.settings.rate * (f.index >= 0 ? 1.0 : static_cast<double>(r.volumes.size()));
}

void TextOpenLoop(std::ostream& out, const stats::Figures& f, const stats::RunResult& r) {
    if (!f.openLoop.on) return;
    const stats::Separators& sep = stats::UserSeparators();
    const stats::OpenLoopFigures& o = f.openLoop;
    out << "  Open loop " << stats::FormatGrouped(RateAsked(f, r), 14, 1, sep) << " IO/s asked ("
        << (r.settings.poisson ? "Poisson" : "fixed") << " gaps), "
        << stats::FormatGrouped(f.rates.ioPerSec, 14, 1, sep) << " reached; "
        << stats::FormatCount(o.late, sep) << " started more than a slot late; lateness us  p50 "
        << Us(o.lateness.p50) << "  p99 " << Us(o.lateness.p99) << "  max " << Us(o.lateness.max) << "\n";
    const stats::Percentiles& p = o.fromIntended;
    out << "  Latency us from the intended start  p50 " << Us(p.p50) << "  p90 " << Us(p.p90) << "  p99 "
        << Us(p.p99) << "  p99.9 " << Us(p.p999) << "  p99.99 " << Us(p.p9999) << "  max " << Us(p.max)
        << "\n";
}

void TextFigures(std::ostream& out, const std::string& heading, const stats::Figures& f, int64_t freq) {
    const stats::Separators& sep = stats::UserSeparators();
    out << heading << "\n";
    for (const auto& label : stats::LabelTexts(f.total, f.rates, freq, sep)) out << "  " << label << "\n";
    if (f.rates.seconds > 0)
        out << "  In flight " << stats::FormatGrouped(f.rates.meanInFlight, 14, 1, sep) << " on average of "
            << f.inFlightAsked << " asked\n";
    if (f.total.Writes > 0)
        out << "  Of them writes " << stats::FormatCount(f.total.Writes, sep) << ", "
            << stats::FormatCount(f.total.WriteBytes, sep) << " bytes written\n";
    if (const std::string h = HandOverText(f); !h.empty()) out << "  Hand-over " << h << "\n";
    if (!f.causes.empty()) {
        out << "  Errors by cause\n";
        std::istringstream lines(stats::CausesText(f.causes, sep));
        for (std::string line; std::getline(lines, line);) out << "    " << line << "\n";
    }
    const stats::Percentiles& p = f.percentiles;
    if (p.any)
        out << "  Latency us  p50 " << Us(p.p50) << "  p90 " << Us(p.p90) << "  p99 " << Us(p.p99)
            << "  p99.9 " << Us(p.p999) << "  p99.99 " << Us(p.p9999) << "  max " << Us(p.max) << "\n";
    else
        out << "  Latency us  no operations\n";
}

const char* kKinds[] = {"corrupted", "misdirected", "lost"};

constexpr const char* kUncheckedHint =
    "No read met a block this run had written (its method and reads and writes per portion never read a "
    "written block back), so nothing was checked during the run: --verify-after reads every written block "
    "back after it";

void TextChecks(std::ostream& out, const std::string& heading, const engine::VerifyResults& r, int64_t f) {
    out << heading << ": " << r.blocksChecked << " blocks checked, " << r.Mismatches()
        << " mismatches (corrupted " << r.byKind[0] << ", misdirected " << r.byKind[1] << ", lost "
        << r.byKind[2] << ")";
    if (r.readErrors > 0) out << ", " << r.readErrors << " blocks unreadable";
    out << "\n";
    for (const engine::Mismatch& m : r.first)
        out << "  " << kKinds[static_cast<int>(m.kind)] << " " << VolumeLetter(m.volume) << ": block "
            << m.block << " at " << (f > 0 ? static_cast<double>(m.atTicks) / static_cast<double>(f) : 0)
            << ": offset expected " << m.offsetExpected << " found " << m.offsetFound
            << ", sequence expected " << m.sequenceExpected << " found " << m.sequenceFound
            << ", checksum in the block " << m.crcFound << ", computed over the block as read "
            << m.crcExpected << "\n";
}

ordered_json JsonChecks(const engine::VerifyResults& r) {
    ordered_json j;
    j["blocks_checked"] = r.blocksChecked;
    j["read_errors"] = r.readErrors;
    j["mismatches"] = r.Mismatches();
    j["by_kind"] = {{"corrupted", r.byKind[0]}, {"misdirected", r.byKind[1]}, {"lost", r.byKind[2]}};
    ordered_json first = ordered_json::array();
    for (const engine::Mismatch& m : r.first)
        first.push_back({{"kind", kKinds[static_cast<int>(m.kind)]},
                         {"volume", VolumeLetter(m.volume)},
                         {"block", m.block},
                         {"offset_expected", m.offsetExpected},
                         {"offset_found", m.offsetFound},
                         {"sequence_expected", m.sequenceExpected},
                         {"sequence_found", m.sequenceFound},
                         {"run_found", m.runFound},
                         {"crc_stored", m.crcFound},
                         {"crc_computed", m.crcExpected},
                         {"crc_expected", m.crcExpected},
                         {"crc_found", m.crcFound},
                         {"at_ticks", m.atTicks}});
    j["first"] = std::move(first);
    return j;
}

ordered_json JsonHistogram(const engine::LogLinearHistogram& h) {
    ordered_json buckets = ordered_json::array();
    for (int b = 0; b < engine::LogLinearHistogram::kBuckets; ++b)
        if (const uint64_t n = h.counts[static_cast<size_t>(b)]) buckets.push_back({b, n});
    return {{key::kSubBits, engine::LogLinearHistogram::kSubBits},
            {key::kTopExponent, engine::LogLinearHistogram::kTopExponent},
            {key::kTotal, h.total},
            {key::kMinNs, h.minNs},
            {key::kMaxNs, h.maxNs},
            {key::kBuckets, std::move(buckets)}};
}

ordered_json JsonCauses(const std::vector<stats::CauseLine>& causes) {
    ordered_json j = ordered_json::array();
    for (const stats::CauseLine& l : causes)
        j.push_back({{key::kCode, l.other ? ordered_json() : ordered_json(l.code)},
                     {key::kName, l.name},
                     {key::kText, l.text},
                     {key::kCount, l.count},
                     {key::kWrites, l.writes},
                     {"first_s", l.firstSeconds}});
    return j;
}

ordered_json JsonTotals(const engine::IntervalStats& t) {
    return {{key::kIoCount, t.IOCount},        {key::kBytes, t.Bytes},
            {"busy_ticks", t.BusyTicks},       {"max_ticks", t.MaxTicks},
            {"min_ticks", t.MinTicks},         {"first_start_ticks", t.FirstStart},
            {"last_end_ticks", t.LastEnd},     {key::kErrors, t.Errors},
            {key::kWrites, t.Writes},          {key::kWriteBytes, t.WriteBytes},
            {key::kWriteErrors, t.WriteErrors}};
}

ordered_json JsonPercentiles(const stats::Percentiles& p, bool all) {
    ordered_json j;
    j["relative_error"] = stats::kPercentileRelativeError;
    j["p50"] = p.p50;
    j["p90"] = p.p90;
    j["p99"] = p.p99;
    j["p99_9"] = p.p999;
    if (all) j["p99_99"] = p.p9999;
    j["max"] = p.max;
    return j;
}

void JsonFigures(ordered_json& j, const stats::Figures& f, const stats::RunResult& run) {
    j[key::kTotals] = JsonTotals(f.total);
    j["elapsed_s"] = D(f.rates.seconds);
    j[key::kIoPerSec] = D(f.rates.ioPerSec);
    j[key::kMbytesPerSec] = D(f.rates.mbytesPerSec);
    j["mean_in_flight"] = D(f.rates.meanInFlight);
    if (f.settledBatch > 0)
        j["hand_over"] = {{"adaptive", f.handOver.adaptive},
                          {"settled_batch", f.settledBatch},
                          {"settled_share", f.settledShare},
                          {"changes", f.handOver.changes}};
    // The wall-clock time of the first operation, for aligning machines' series.
    j[key::kFirstOperationUtc] = f.total.IOCount > 0 ? IsoUtc(f.firstOperationUtcMs) : std::string();
    if (f.openLoop.on)
        j["open_loop"] = {
            {"rate_asked", RateAsked(f, run)},
            {"arrival", run.settings.poisson ? "poisson" : "fixed"},
            {"rate_reached", D(f.rates.ioPerSec)},
            {"late", f.openLoop.late},
            {"lateness_us", JsonPercentiles(f.openLoop.lateness, true)},
            {"latency_from_intended_us", JsonPercentiles(f.openLoop.fromIntended, true)},
            {"latency_from_intended_histogram", JsonHistogram(f.openLoop.fromIntendedHistogram)}};
    j[key::kLatencyHistogram] = JsonHistogram(f.latency);
    j[key::kErrorsByCause] = JsonCauses(f.causes);
    j["latency_us"] = JsonPercentiles(f.percentiles, true);
    ordered_json intervals = ordered_json::array();
    for (const stats::IntervalFigures& in : f.intervals)
        intervals.push_back({{"index", in.number},
                             {key::kStartSeconds, in.startSeconds},
                             {"duration_s", D(in.rates.seconds)},
                             {key::kIoCount, in.counters.IOCount},
                             {key::kBytes, in.counters.Bytes},
                             {key::kIoPerSec, D(in.rates.ioPerSec)},
                             {key::kMbytesPerSec, D(in.rates.mbytesPerSec)}});
    j[key::kIntervals] = std::move(intervals);
    ordered_json bars = ordered_json::array();
    for (const stats::ChartPoint& p : f.histogramMs)
        bars.push_back({{"ms", p.x}, {"count", static_cast<uint64_t>(p.y)}});
    j["histogram_ms"] = std::move(bars);
}

// 23.4 GiB: bytes in the binary unit that keeps them under 1024.
std::string BinaryBytes(int64_t bytes) {
    const char* units[] = {"bytes", "KiB", "MiB", "GiB", "TiB", "PiB"};
    double v = static_cast<double>(bytes);
    size_t u = 0;
    while (v >= 1024 && u + 1 < std::size(units)) {
        v /= 1024;
        ++u;
    }
    const stats::Separators& sep = stats::UserSeparators();
    return (u == 0 ? stats::FormatCount(bytes, sep) : stats::FormatGrouped(v, 14, 1, sep)) + " " + units[u];
}

// A figure of the steady-state rounds or of a cliff as the report writes it.
std::string FigureValue(double v, stats::SteadyFigure f) {
    return stats::FormatGrouped(v, 14, f == stats::SteadyFigure::Iops ? 0 : 1, stats::UserSeparators());
}

const char* FigureUnit(stats::SteadyFigure f) {
    switch (f) {
        case stats::SteadyFigure::Mbps:
            return "MB/s";
        case stats::SteadyFigure::P99:
            return "us (p99)";
        default:
            return "IO/s";
    }
}

std::string Percent(double share) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f%%", share * 100);
    return buf;
}

std::string CliffText(const char* what, const stats::Cliff& c, stats::SteadyFigure unit) {
    return std::string(what) + " from " + FigureValue(c.from, unit) + " to " + FigureValue(c.to, unit) + " " +
           (unit == stats::SteadyFigure::P99 ? "us" : "MB/s") + " after " + BinaryBytes(c.writtenBefore) +
           " (" + stats::FormatSeconds(static_cast<int32_t>(c.atSeconds)) + ")";
}

void TextModels(std::ostream& out, const stats::VolumeFigures& v) {
    if (v.steady.asked) {
        const stats::SteadyState& s = v.steady;
        const stats::SteadyWindow& w = s.window;
        out << "  Steady state (" << FigureUnit(s.figure) << ", rounds of " << s.roundSeconds << " s): ";
        if (s.reachedRound > 0)
            out << "reached in round " << s.reachedRound;
        else
            out << "not reached in " << s.rounds << (s.rounds == 1 ? " round" : " rounds");
        if (!w.values.empty()) {
            out << "; rounds " << w.firstRound << "-" << w.firstRound + static_cast<int>(w.values.size()) - 1
                << ":";
            for (double x : w.values) out << " " << FigureValue(x, s.figure);
            out << "; range " << Percent(w.rangeShare) << " of their average "
                << FigureValue(w.average, s.figure) << " (at most " << Percent(s.rule.rangeShare)
                << "), slope excursion " << Percent(w.slopeShare) << " (at most "
                << Percent(s.rule.slopeShare) << ")";
        }
        out << "\n";
    }
    const stats::Cliffs& c = v.cliffs;
    if (!c.watched) return;
    if (!c.judged) {
        out << "  Cliffs: not judged, the run ended within its baseline (its first "
            << stats::FormatGrouped(c.rule.baselineSeconds, 14, 0, stats::UserSeparators())
            << " s, whose intervals' median the rest is held to)\n";
        return;
    }
    if (c.writeRate)
        out << "  Cliff: " << CliffText("write rate fell", *c.writeRate, stats::SteadyFigure::Mbps) << "\n";
    if (c.p99) out << "  Cliff: " << CliffText("p99 rose", *c.p99, stats::SteadyFigure::P99) << "\n";
    if (!c.writeRate && !c.p99) {
        char rule[160];
        std::snprintf(rule, sizeof rule, "%d intervals in a row with a write rate below %g of",
                      c.rule.intervals, c.rule.fallShare);
        out << "  Cliffs: none (no " << rule << " "
            << FigureValue(c.baselineWriteMbytesPerSec, stats::SteadyFigure::Mbps)
            << " MB/s, nor with p99 above " << c.rule.riseFactor << " x "
            << FigureValue(c.baselineP99Us, stats::SteadyFigure::P99) << " us)\n";
    }
}

ordered_json JsonCliff(const stats::Cliff& c, const char* unit, const stats::RunClock& clock) {
    return {{std::string("from_") + unit, c.from},
            {std::string("to_") + unit, c.to},
            {"at_s", c.atSeconds},
            {"at_utc", IsoUtc(clock.startedUtcMs + static_cast<int64_t>(std::llround(c.atSeconds * 1000)))},
            {"bytes_written_before", c.writtenBefore},
            {"interval", c.interval},
            {"intervals", c.length}};
}

ordered_json JsonCliffs(const stats::Cliffs& c, const stats::RunClock& clock) {
    ordered_json j = {{"judged", c.judged},
                      {"baseline_s", c.rule.baselineSeconds},
                      {"fall_share", c.rule.fallShare},
                      {"rise_factor", c.rule.riseFactor},
                      {"intervals", c.rule.intervals},
                      {"baseline_write_mbytes_per_sec", c.baselineWriteMbytesPerSec},
                      {"baseline_p99_us", c.baselineP99Us}};
    j["write_rate"] = c.writeRate ? JsonCliff(*c.writeRate, "mbytes_per_sec", clock) : ordered_json();
    j["p99"] = c.p99 ? JsonCliff(*c.p99, "us", clock) : ordered_json();
    return j;
}

ordered_json JsonSteady(const stats::SteadyState& s) {
    const stats::SteadyWindow& w = s.window;
    return {{"figure", stats::SteadyFigureName(s.figure)},
            {"round_s", s.roundSeconds},
            {"rounds", s.rounds},
            {"reached", s.reachedRound > 0},
            {"reached_round", s.reachedRound > 0 ? ordered_json(s.reachedRound) : ordered_json()},
            {"window",
             {{"first_round", w.firstRound},
              {"values", w.values},
              {"average", w.average},
              {"range", w.range},
              {"range_share", w.rangeShare},
              {"slope_excursion", w.slopeExcursion},
              {"slope_share", w.slopeShare}}},
            {"range_share_allowed", s.rule.rangeShare},
            {"slope_share_allowed", s.rule.slopeShare},
            {"round_figures", s.all}};
}

void TextSearch(std::ostream& out, const stats::LatencySearch& s) {
    const stats::Separators& sep = stats::UserSeparators();
    const std::string& p = s.target.name;
    const bool rate = s.rateUnit > 0;
    const auto g = [&](double v, int decimals) { return stats::FormatGrouped(v, 14, decimals, sep); };
    out << "Latency target " << p << " within " << g(s.target.boundUs, 1) << " us, "
        << (rate ? "the rate searched (per volume, in steps of " + g(s.rateUnit, 0) +
                       "/s; latency from the intended starts"
                 : std::string("the queue depth searched ("))
        << (rate ? "; " : "") << "steps of " << s.stepSeconds << " s and at least "
        << stats::FormatCount(s.minOperations, sep) << " operations; met when " << p
        << " and its 0.8% error are within it), all volumes together:\n";
    char line[256];
    std::snprintf(line, sizeof line, "  %12s %12s %10s %10s %10s %10s %10s %12s  %s\n",
                  rate ? "rate/s" : "depth", "IO/s", "MB/s", "p50 us", "p90 us", "p99 us", "p99.9 us",
                  "operations", "met");
    out << line;
    for (const stats::LatencySearch::Step& st : s.steps) {
        std::snprintf(line, sizeof line, "  %12s %12s %10s %10s %10s %10s %10s %12s  %s\n",
                      rate ? g(st.rate, 0).c_str() : std::to_string(st.depth).c_str(),
                      g(st.ioPerSec, 0).c_str(), g(st.mbytesPerSec, 1).c_str(),
                      g(st.percentiles.p50, 1).c_str(), g(st.percentiles.p90, 1).c_str(),
                      g(st.percentiles.p99, 1).c_str(), g(st.percentiles.p999, 1).c_str(),
                      stats::FormatCount(st.operations, sep).c_str(),
                      st.met ? "yes" : (st.operations < s.minOperations ? "no (too few operations)" : "no"));
        out << line;
    }
    const auto loadOf = [&](const stats::LatencySearch::Step& st) {
        return rate ? "rate " + g(st.rate, 0) + "/s" : "depth " + std::to_string(st.depth);
    };
    const stats::LatencySearch::Step* b = nullptr;
    for (const stats::LatencySearch::Step& st : s.steps)
        if (s.best > 0 && (rate ? st.rate == s.best * s.rateUnit : st.depth == s.best)) b = &st;
    if (b)
        out << "Highest load that met it: " << loadOf(*b) << ", " << g(b->ioPerSec, 0) << " IO/s, " << p
            << " " << g(b->valueUs, 1) << " us. The figures below are that step's.\n";
    else if (!s.steps.empty())
        out << "The lowest load, " << loadOf(s.steps.front()) << ", already misses it: " << p << " "
            << g(s.steps.front().valueUs, 1) << " us. The figures below are that step's.\n";
}

ordered_json JsonSearch(const stats::LatencySearch& s) {
    const bool rate = s.rateUnit > 0;
    ordered_json steps = ordered_json::array();
    for (const stats::LatencySearch::Step& st : s.steps) {
        ordered_json step = {{"queue_depth", st.depth}};
        if (rate) {
            step["rate"] = st.rate;
            step["rate_reached"] = st.reached;
        }
        step[key::kIoPerSec] = st.ioPerSec;
        step[key::kMbytesPerSec] = st.mbytesPerSec;
        step[key::kIoCount] = st.operations;
        step["latency_us"] = JsonPercentiles(st.percentiles, true);
        step["value_us"] = st.valueUs;
        step["met"] = st.met;
        steps.push_back(std::move(step));
    }
    ordered_json doc = {{"percentile", s.target.name},
                        {"bound_us", s.target.boundUs},
                        {"step_s", s.stepSeconds},
                        {"min_operations", s.minOperations},
                        {"relative_error", stats::kPercentileRelativeError},
                        {"searched", rate ? "rate" : "queue_depth"}};
    if (rate) doc["rate_step"] = s.rateUnit;
    doc["steps"] = std::move(steps);
    doc["best_queue_depth"] = !rate && s.best > 0 ? ordered_json(s.best) : ordered_json();
    if (rate) doc["best_rate"] = s.best > 0 ? ordered_json(s.best * s.rateUnit) : ordered_json();
    return doc;
}

}  // namespace

void WriteTextReport(std::ostream& out, const stats::RunResult& r) {
    if (r.workersNotReturned > 0) {
        out << "Run incomplete: " << r.workersNotReturned
            << " worker(s) did not return from a device call; their operations in hand are not counted.\n";
        for (const stats::StuckWorker& s : r.stuck)
            out << "  worker " << s.worker << " on " << Letter(s.volume) << " is still in its call\n";
    }
    for (const engine::WorkerFailure& f : r.failures)
        out << "Not tested: " << engine::FailureCaption(f) << ":" << engine::FailureBody(f) << "\n";
    if (r.logStreamed && r.logNotWritten > 0)
        out << "The operation log is incomplete: " << r.logNotWritten
            << " records were not written to its file; the totals below count every operation.\n";
    else if (!r.logComplete)
        out << "The operation log is full: it holds the first " << r.logEntries
            << " operations only; the totals below count them all.\n";
    if (r.precondition.passes > 0) {
        const stats::Separators& sep = stats::UserSeparators();
        out << "Preconditioned: every volume written " << r.precondition.passes
            << (r.precondition.passes == 1 ? " time" : " times") << " over, in order, 128 KiB a call, in "
            << stats::FormatSeconds(static_cast<int32_t>(r.precondition.seconds)) << " before the run:";
        const char* between = " ";
        for (const stats::Preconditioning::Volume& v : r.precondition.volumes) {
            out << between << Letter(v.index) << " " << BinaryBytes(v.bytes) << " at "
                << stats::FormatGrouped(v.mbytesPerSec, 16, 1, sep) << " MB/s, "
                << stats::FormatCount(v.errors, sep) << (v.errors == 1 ? " error" : " errors");
            between = "; ";
        }
        out << "\n";
    }
    if (r.search.asked) TextSearch(out, r.search);
    if (r.endedSteady) out << "Every volume reached steady state: the run ended there.\n";
    out << (r.interrupted ? "Run interrupted. " : "")
        << "Totals cover every operation of the run.\nLatency percentiles are within 0.8% of the exact "
           "values; "
           "the maximum is exact.\n\n";
    for (const stats::VolumeFigures& v : r.volumes) {
        TextFigures(out, Letter(v.index) + " " + v.device, v, r.clock.timerFreq);
        TextOpenLoop(out, v, r);
        TextModels(out, v);
        if (!v.uncached)
            out << "  Through the page cache: the file system refuses uncached (O_DIRECT) transfers, so "
                   "these "
                   "figures are the cache's, not the device's (--direct refuses such a volume)\n";
    }
    if (r.volumes.size() != 1) {
        TextFigures(out, "All volumes", r.all, r.clock.timerFreq);
        TextOpenLoop(out, r.all, r);
    }
    const stats::VerifyFindings& v = r.verify;
    if (!v.verified) return;
    out << "Verify: " << v.blocksWritten << " blocks written";
    if (v.blocksOpen > 0)
        out << ", and " << v.blocksOpen
            << " more whose last writes overlapped each other or failed (their content is unknown: never "
               "judged)";
    out << "\n";
    TextChecks(out, "Verify during the run", v.timed, r.clock.timerFreq);
    if (v.Unchecked()) out << "  " << kUncheckedHint << "\n";
    if (v.readBackSkipped)
        out << "Verify after the run: not done, the run was interrupted\n";
    else if (v.readBack)
        TextChecks(out,
                   v.readBackInterrupted
                       ? "Verify after the run (not in the figures above; interrupted, blocks "
                         "past those checked were not read back)"
                       : "Verify after the run (not in the figures above)",
                   v.readBackChecks, r.clock.timerFreq);
}

namespace {

ordered_json ResultsJson(const stats::RunResult& r) {
    const engine::RunSettings& s = r.settings;
    ordered_json j;
    j[key::kSchemaVersion] = key::kVersion;
    j[key::kTool] = key::kRunTool;
    j[key::kSettings] = {
        {"block_size", s.blockSize},
        {"method", MethodName(s.method)},
        {"threads_per_volume", s.threadsPerVolume},
        {"test_ms", s.testMs},
        {"reads_per_portion", s.readsPerPortion},
        {"writes_per_portion", s.writesPerPortion},
        {"pause_ms", s.pauseMs},
        {"pause_type", s.pauseType == engine::PauseType::Fixed ? "fixed" : "random"},
        {key::kIntervalSeconds, r.periodSeconds},
        {"queue_depth", s.queueDepth},
        {"submit_batch", s.submitBatch == 0 ? ordered_json("auto") : ordered_json(s.submitBatch)},
        {"poll_us", s.pollUs},
        {"register_files", s.registerFile},
        {"register_buffers", s.registerBuffers},
        {"rate", s.rate > 0 ? ordered_json(s.rate) : ordered_json()},
        {"arrival", s.rate > 0 ? ordered_json(s.poisson ? "poisson" : "fixed") : ordered_json()}};
    j[key::kHost] = r.host;
    j["started_utc"] = IsoUtc(r.clock.startedUtcMs);
    j["interrupted"] = r.interrupted;
    j["ended_at_steady_state"] = r.endedSteady;
    if (r.search.asked) j["latency_target"] = JsonSearch(r.search);
    if (r.precondition.passes > 0) {
        ordered_json volumes = ordered_json::array();
        for (const stats::Preconditioning::Volume& v : r.precondition.volumes)
            volumes.push_back({{"volume", VolumeLetter(v.index)},
                               {"bytes_written", v.bytes},
                               {key::kErrors, v.errors},
                               {key::kMbytesPerSec, v.mbytesPerSec}});
        j["precondition"] = {{"passes", r.precondition.passes},
                             {"block_size", 131072},
                             {"seconds", r.precondition.seconds},
                             {key::kVolumes, std::move(volumes)}};
    }
    j["workers_not_returned"] = r.workersNotReturned;
    ordered_json stuck = ordered_json::array();
    for (const stats::StuckWorker& w : r.stuck)
        stuck.push_back({{"worker", w.worker}, {"volume", VolumeLetter(w.volume)}});
    j["stuck_workers"] = std::move(stuck);
    ordered_json failures = ordered_json::array();
    for (const engine::WorkerFailure& f : r.failures)
        failures.push_back({{"kind", engine::KindName(f.kind)},
                            {"volume", f.volume >= 0 ? ordered_json(VolumeLetter(f.volume)) : ordered_json()},
                            {"worker", f.worker},
                            {"path", f.path},
                            {key::kCode, f.code},
                            {key::kText, engine::FailureCaption(f) + ":" + engine::FailureBody(f)}});
    j[key::kOpenFailures] = std::move(failures);
    j["log_entries"] = r.logEntries;
    j["log_complete"] = r.logComplete;
    if (r.logStreamed) j["log_not_written"] = r.logNotWritten;
    if (r.verify.verified) {
        ordered_json v;
        v["blocks_written"] = r.verify.blocksWritten;
        v["blocks_open"] = r.verify.blocksOpen;
        if (r.verify.Unchecked()) v["hint"] = kUncheckedHint;
        v.update(JsonChecks(r.verify.timed));
        j["verify"] = std::move(v);
        if (r.verify.readBack) {
            ordered_json after;
            after["complete"] = !r.verify.readBackSkipped && !r.verify.readBackInterrupted;
            if (r.verify.readBackSkipped) after["skipped"] = true;
            after.update(JsonChecks(r.verify.readBackChecks));
            j["verify_after"] = std::move(after);
        }
    }
    j["timer_frequency"] = r.clock.timerFreq;
    ordered_json volumes = ordered_json::array();
    for (const stats::VolumeFigures& v : r.volumes) {
        ordered_json one;
        one[key::kLetter] = VolumeLetter(v.index);
        one[key::kDevice] = v.device;
        one["size_bytes"] = v.sizeBytes;
        one["uncached"] = v.uncached;
        JsonFigures(one, v, r);
        if (v.cliffs.watched) one["cliffs"] = JsonCliffs(v.cliffs, r.clock);
        if (v.steady.asked) one["steady_state"] = JsonSteady(v.steady);
        volumes.push_back(std::move(one));
    }
    j[key::kVolumes] = std::move(volumes);
    ordered_json all;
    JsonFigures(all, r.all, r);
    j[key::kAll] = std::move(all);
    return j;
}

}  // namespace

void WriteJsonReport(std::ostream& out, const stats::RunResult& r) {
    out << schema::Pretty(ResultsJson(r));
}

namespace {

constexpr int kLiveSchema = 1;

ordered_json LiveFigureJson(const stats::LiveFigures& f, bool interval) {
    ordered_json j;
    j["io_count"] = f.counters.IOCount;
    j["bytes"] = f.counters.Bytes;
    j["errors"] = f.counters.Errors;
    j["writes"] = f.counters.Writes;
    j["write_bytes"] = f.counters.WriteBytes;
    j["write_errors"] = f.counters.WriteErrors;
    if (interval) j["errors_by_cause"] = JsonCauses(f.causes);
    j["io_per_sec"] = D(f.rates.ioPerSec);
    j["mbytes_per_sec"] = D(f.rates.mbytesPerSec);
    j["mean_in_flight"] = D(f.rates.meanInFlight);
    j["latency_us"] = JsonPercentiles(f.percentiles, false);
    if (interval) j["latency_histogram"] = JsonHistogram(f.latency);
    if (interval && f.openLoop.on)
        j["open_loop"] = {{"rate_asked", f.openLoop.rateAsked},
                          {"rate_reached", D(f.rates.ioPerSec)},
                          {"late", f.openLoop.late},
                          {"lateness_us", JsonPercentiles(f.openLoop.lateness, true)},
                          {"latency_from_intended_us", JsonPercentiles(f.openLoop.fromIntended, false)}};
    return j;
}

std::string OneLine(const ordered_json& j) {
    return j.dump(-1, ' ', false, ordered_json::error_handler_t::replace);
}

}  // namespace

std::string LiveLine(const stats::RunClock& clock, const stats::LiveFigures& f, int64_t missed) {
    ordered_json j;
    j["live_schema"] = kLiveSchema;
    j["type"] = "interval";
    j["volume"] = f.index >= 0 ? VolumeLetter(f.index) : std::string("all");
    j["interval"] = f.number;
    j["start_utc"] = IsoUtc(clock.UtcMsOf(f.counters.FirstStart));
    j["end_utc"] = IsoUtc(clock.UtcMsOf(f.counters.LastEnd));
    j["start_ticks"] = f.counters.FirstStart;
    j["end_ticks"] = f.counters.LastEnd;
    j.update(LiveFigureJson(f, true));
    if (missed > 0) j["intervals_missed"] = missed;
    return OneLine(j);
}

std::string LiveEventLine(const stats::RunClock& clock, const stats::ModelWatch& watch,
                          const stats::ModelWatch::Found& found) {
    ordered_json j;
    j["live_schema"] = kLiveSchema;
    j["type"] = "event";
    j["volume"] = VolumeLetter(found.index);
    j["event"] = found.what;
    if (found.what == "steady_state") {
        j.update(JsonSteady(watch.SteadyOf(found.index)));
    } else {
        const stats::Cliffs c = watch.CliffsOf(found.index);
        const bool fell = found.what == "write_rate_fell";
        const std::optional<stats::Cliff>& cliff = fell ? c.writeRate : c.p99;
        if (cliff) j.update(JsonCliff(*cliff, fell ? "mbytes_per_sec" : "us", clock));
    }
    return OneLine(j);
}

std::string LiveSummaryLine(const stats::RunResult& run, int64_t linesNotWritten) {
    const auto figures = [](const stats::Figures& f) {
        stats::LiveFigures lf;
        lf.counters = f.total;
        lf.rates = f.rates;
        lf.percentiles = f.percentiles;
        return LiveFigureJson(lf, false);
    };
    ordered_json j;
    j["live_schema"] = kLiveSchema;
    j["type"] = "summary";
    j["interrupted"] = run.interrupted;
    ordered_json volumes = ordered_json::array();
    for (const stats::VolumeFigures& v : run.volumes) {
        ordered_json one = figures(v);
        one["volume"] = VolumeLetter(v.index);
        volumes.push_back(std::move(one));
    }
    j["volumes"] = std::move(volumes);
    j["all"] = figures(run.all);
    j["lines_not_written"] = linesNotWritten;
    return OneLine(j);
}

void WriteVolumeList(std::ostream& out, const platform::VolumeMap& map, const engine::VolumeSet& found) {
    for (int i = 0; i < engine::kDiskCount; ++i) {
        if (map.devicePath[i].empty()) continue;
        out << VolumeLetter(i) << ":  " << map.devicePath[i] << "  "
            << (found.Present(i) ? stats::FormatCount(found.Size(i) / 1'048'576) + " MBytes"
                                 : std::string("cannot be opened"))
            << "\n";
    }
}

void WriteVolumeListJson(std::ostream& out, const platform::VolumeMap& map, const engine::VolumeSet& found) {
    ordered_json list = ordered_json::array();
    for (int i = 0; i < engine::kDiskCount; ++i) {
        if (map.devicePath[i].empty()) continue;
        list.push_back({{key::kLetter, VolumeLetter(i)},
                        {key::kDevice, map.devicePath[i]},
                        {"size_bytes", found.Present(i) ? ordered_json(found.Size(i)) : ordered_json()},
                        {"present", found.Present(i)}});
    }
    out << schema::Pretty(list);
}

std::string IsoUtc(int64_t ms) {
    int64_t days = ms >= 0 ? ms / 86'400'000 : (ms - 86'399'999) / 86'400'000;
    const int64_t inDay = ms - days * 86'400'000;
    // Civil date from days since 1970-01-01.
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(days - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    const int64_t y = static_cast<int64_t>(yoe) + era * 400 + (m <= 2);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04lld-%02u-%02uT%02lld:%02lld:%02lld.%03lldZ", static_cast<long long>(y),
                  m, d, static_cast<long long>(inDay / 3'600'000),
                  static_cast<long long>(inDay / 60'000 % 60), static_cast<long long>(inDay / 1000 % 60),
                  static_cast<long long>(inDay % 1000));
    return buf;
}

bool ParseIsoUtc(const std::string& text, int64_t& ms) {
    // YYYY-MM-DDTHH:MM:SS, then .f to .fff, then Z: digits exactly where the form has them, and a date and
    // time that exist (no 31st of February, no hour 24, no negative field); nothing is normalised.
    const auto digits = [&](size_t at, size_t n, int& value) {
        if (at + n > text.size()) return false;
        value = 0;
        for (size_t k = at; k < at + n; ++k) {
            if (!std::isdigit(static_cast<unsigned char>(text[k]))) return false;
            value = value * 10 + (text[k] - '0');
        }
        return true;
    };
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    if (!digits(0, 4, y) || text.size() < 20 || text[4] != '-' || !digits(5, 2, mo) || text[7] != '-' ||
        !digits(8, 2, d) || text[10] != 'T' || !digits(11, 2, h) || text[13] != ':' || !digits(14, 2, mi) ||
        text[16] != ':' || !digits(17, 2, s))
        return false;
    size_t k = 19;
    int frac = 0, fracDigits = 0;
    if (text[k] == '.') {
        for (++k; k < text.size() && std::isdigit(static_cast<unsigned char>(text[k])) && fracDigits < 3;
             ++k) {
            frac = frac * 10 + (text[k] - '0');
            ++fracDigits;
        }
        if (fracDigits == 0) return false;
        for (int n = fracDigits; n < 3; ++n) frac *= 10;
    }
    if (k + 1 != text.size() || text[k] != 'Z') return false;
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    const int days[] = {31, leap ? 29 : 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (mo < 1 || mo > 12 || d < 1 || d > days[mo - 1] || h > 23 || mi > 59 || s > 59) return false;
    ms = DaysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) * 86'400'000 +
         int64_t{h} * 3'600'000 + int64_t{mi} * 60'000 + int64_t{s} * 1000 + frac;
    return true;
}

}  // namespace cli

namespace cli {

namespace {

// A label value as both formats take it: backslash, double quote and line break escaped.
std::string LabelValue(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '\\' || c == '"')
            out += '\\', out += c;
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

// The shortest text that reads back as the same value.
std::string Number(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "+Inf" : "-Inf";
    char buf[64];
    const auto end = std::to_chars(buf, buf + sizeof buf, v).ptr;
    return std::string(buf, end);
}

struct Family {
    std::string name, type, help, unit;
};

}  // namespace

MetricsTexts MetricsText(const stats::RunResult& run, const std::vector<stats::LiveFigures>& lastIntervals) {
    MetricsTexts texts;
    for (const bool open : {true, false}) {
        std::string out;
        const auto family = [&](const Family& f) {
            // A counter's family is named without _total in OpenMetrics, with it in the classic format.
            const std::string name = !open && f.type == "counter" ? f.name + "_total" : f.name;
            out += "# TYPE " + name + " " + f.type + "\n";
            if (open && !f.unit.empty()) out += "# UNIT " + name + " " + f.unit + "\n";
            out += "# HELP " + name + " " + f.help + "\n";
        };
        const auto labels = [&](const stats::VolumeFigures& v, const std::string& more = {}) {
            return "{host=\"" + LabelValue(run.host) + "\",volume=\"" + VolumeLetter(v.index) + "\"" + more +
                   "}";
        };
        // Each counter twice, for reads and for writes: their sum is the volume's.
        const auto byKind = [&](const char* name, const stats::VolumeFigures& v, const std::string& more,
                                int64_t all, int64_t writes) {
            out += std::string(name) + labels(v, more + ",kind=\"read\"") + " " +
                   std::to_string(all - writes) + "\n";
            out +=
                std::string(name) + labels(v, more + ",kind=\"write\"") + " " + std::to_string(writes) + "\n";
        };
        family({"volstress_operations", "counter", "Operations completed, failed ones included.", ""});
        for (const auto& v : run.volumes)
            byKind("volstress_operations_total", v, "", v.total.IOCount, v.total.Writes);
        family({"volstress_bytes", "counter", "Bytes transferred by operations that succeeded.", "bytes"});
        for (const auto& v : run.volumes)
            byKind("volstress_bytes_total", v, "", v.total.Bytes, v.total.WriteBytes);
        family({"volstress_errors", "counter", "Operations that failed, by cause.", ""});
        for (const auto& v : run.volumes) {
            byKind("volstress_errors_total", v, ",cause=\"any\"", v.total.Errors, v.total.WriteErrors);
            for (const stats::CauseLine& c : v.causes)
                byKind("volstress_errors_total", v, ",cause=\"" + LabelValue(c.name) + "\"", c.count,
                       c.writes);
        }
        family({"volstress_latency_seconds", "histogram", "Time from the call's start to its completion.",
                "seconds"});
        for (const auto& v : run.volumes) {
            for (size_t k = 0; k < stats::kLatencyBounds; ++k)
                out += "volstress_latency_seconds_bucket" +
                       labels(v, ",le=\"" + std::string(stats::kLatencyBoundTexts[k]) + "\"") + " " +
                       std::to_string(v.latencyAtBounds[k]) + "\n";
            out += "volstress_latency_seconds_bucket" + labels(v, ",le=\"+Inf\"") + " " +
                   std::to_string(v.latency.total) + "\n";
            out +=
                "volstress_latency_seconds_count" + labels(v) + " " + std::to_string(v.latency.total) + "\n";
            out += "volstress_latency_seconds_sum" + labels(v) + " " + Number(v.latencySumSeconds) + "\n";
        }
        const auto gauge = [&](const char* name, const char* help, const char* unit, auto value) {
            family({name, "gauge", help, unit});
            for (const auto& v : run.volumes)
                for (const stats::LiveFigures& l : lastIntervals)
                    if (l.index == v.index) out += name + labels(v) + " " + Number(value(l)) + "\n";
        };
        gauge("volstress_in_flight", "Operations in flight on average over the last interval.", "",
              [](const stats::LiveFigures& l) { return static_cast<double>(l.rates.meanInFlight); });
        gauge("volstress_interval_operations_per_second", "Operations a second over the last interval.", "",
              [](const stats::LiveFigures& l) { return static_cast<double>(l.rates.ioPerSec); });
        gauge("volstress_interval_latency_p50_seconds", "Median latency over the last interval.", "seconds",
              [](const stats::LiveFigures& l) { return l.percentiles.p50 / 1e6; });
        gauge("volstress_interval_latency_p99_seconds", "99th percentile of latency over the last interval.",
              "seconds", [](const stats::LiveFigures& l) { return l.percentiles.p99 / 1e6; });
        gauge("volstress_interval_latency_max_seconds", "Longest operation of the last interval.", "seconds",
              [](const stats::LiveFigures& l) { return l.percentiles.max / 1e6; });
        if (open) out += "# EOF\n";
        (open ? texts.openMetrics : texts.classic) = std::move(out);
    }
    return texts;
}

}  // namespace cli

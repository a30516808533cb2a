#include "cli/report_output.h"

#include <cctype>
#include <cstdio>
#include <iomanip>
#include <sstream>

#include "cli/json.h"

namespace cli {

namespace {

const char* kMethodNames[] = {"unknown", "random", "butterfly", "forward", "backward"};

std::string Letter(int index) {
    return std::string(1, static_cast<char>('A' + index)) + ":";
}

std::string Us(double us) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.1f", us);
    return buf;
}

void TextVolume(std::ostream& out, const std::string& heading, const stats::VolumeReport& v, int64_t f,
                const stats::Separators& sep, int64_t asked) {
    out << heading << "\n";
    for (const auto& label : v.view.labels) out << "  " << label << "\n";
    const stats::Rates rates = stats::RatesOf(v.record->Total(), f);
    if (rates.seconds > 0)
        out << "  In flight " << stats::FormatGrouped(rates.meanInFlight, 14, 1, sep) << " on average of "
            << asked << " asked\n";
    const auto causes = stats::CauseLines(v.record->Causes, v.record->Total().FirstStart, f);
    if (!causes.empty()) {
        out << "  Errors by cause\n";
        std::istringstream lines(stats::CausesText(causes, sep));
        for (std::string line; std::getline(lines, line);) out << "    " << line << "\n";
    }
    if (v.latency.any)
        out << "  Latency us  p50 " << Us(v.latency.p50) << "  p90 " << Us(v.latency.p90) << "  p99 "
            << Us(v.latency.p99) << "  p99.9 " << Us(v.latency.p999) << "  p99.99 " << Us(v.latency.p9999)
            << "  max " << Us(v.latency.max) << "\n";
    else
        out << "  Latency us  no operations\n";
}

std::string Json(const std::string& s) {
    return JsonString(s);
}

std::string Num(double d) {
    return JsonNumber(d);
}

const char* kKinds[] = {"corrupted", "misdirected", "lost"};

void TextChecks(std::ostream& out, const std::string& heading, const engine::VerifyResults& r, int64_t f) {
    out << heading << ": " << r.blocksChecked << " blocks checked, " << r.Mismatches()
        << " mismatches (corrupted " << r.byKind[0] << ", misdirected " << r.byKind[1] << ", lost "
        << r.byKind[2] << ")";
    if (r.readErrors > 0) out << ", " << r.readErrors << " blocks unreadable";
    out << "\n";
    for (const engine::Mismatch& m : r.first)
        out << "  " << kKinds[static_cast<int>(m.kind)] << " " << static_cast<char>('A' + m.volume)
            << ": block " << m.block << " at "
            << (f > 0 ? static_cast<double>(m.atTicks) / static_cast<double>(f) : 0) << ": offset expected "
            << m.offsetExpected << " found " << m.offsetFound << ", sequence expected " << m.sequenceExpected
            << " found " << m.sequenceFound << ", checksum expected " << m.crcExpected << " found "
            << m.crcFound << "\n";
}

void JsonChecks(std::ostream& out, const engine::VerifyResults& r, const std::string& extra) {
    out << "{" << extra << "\"blocks_checked\": " << r.blocksChecked << ", \"read_errors\": " << r.readErrors
        << ", \"mismatches\": " << r.Mismatches() << ", \"by_kind\": {\"corrupted\": " << r.byKind[0]
        << ", \"misdirected\": " << r.byKind[1] << ", \"lost\": " << r.byKind[2] << "}, \"first\": [";
    for (size_t k = 0; k < r.first.size(); ++k) {
        const engine::Mismatch& m = r.first[k];
        out << (k ? ", " : "") << "{\"kind\": \"" << kKinds[static_cast<int>(m.kind)] << "\", \"volume\": \""
            << static_cast<char>('A' + m.volume) << "\", \"block\": " << m.block
            << ", \"offset_expected\": " << m.offsetExpected << ", \"offset_found\": " << m.offsetFound
            << ", \"sequence_expected\": " << m.sequenceExpected
            << ", \"sequence_found\": " << m.sequenceFound << ", \"run_found\": " << m.runFound
            << ", \"crc_expected\": " << m.crcExpected << ", \"crc_found\": " << m.crcFound
            << ", \"at_ticks\": " << m.atTicks << "}";
    }
    out << "]}";
}

void JsonCauses(std::ostream& out, const stats::VolumeReport& v, int64_t f) {
    const auto lines = stats::CauseLines(v.record->Causes, v.record->Total().FirstStart, f);
    out << "[";
    for (size_t k = 0; k < lines.size(); ++k) {
        const stats::CauseLine& l = lines[k];
        out << (k ? ", " : "") << "{\"code\": " << (l.other ? std::string("null") : std::to_string(l.code))
            << ", \"name\": " << Json(l.name) << ", \"text\": " << Json(l.text) << ", \"count\": " << l.count
            << ", \"first_s\": " << Num(l.firstSeconds) << "}";
    }
    out << "]";
}

// Days since 1970-01-01 of a civil date, and back (the proleptic Gregorian calendar).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void JsonHistogram(std::ostream& out, const engine::LogLinearHistogram& h) {
    out << "{\"sub_bits\": " << engine::LogLinearHistogram::kSubBits
        << ", \"top_exponent\": " << engine::LogLinearHistogram::kTopExponent << ", \"total\": " << h.total
        << ", \"min_ns\": " << h.minNs << ", \"max_ns\": " << h.maxNs << ", \"buckets\": [";
    bool first = true;
    for (int b = 0; b < engine::LogLinearHistogram::kBuckets; ++b) {
        const uint64_t n = h.counts[static_cast<size_t>(b)];
        if (n == 0) continue;
        out << (first ? "" : ", ") << "[" << b << ", " << n << "]";
        first = false;
    }
    out << "]}";
}

void JsonVolume(std::ostream& out, const stats::VolumeReport& v, int64_t f, const std::string& indent,
                const RunFacts& facts) {
    const engine::IntervalStats& t = v.record->Total();
    const stats::Rates rates = stats::RatesOf(t, f);
    out << indent << "\"totals\": {\"io_count\": " << t.IOCount << ", \"bytes\": " << t.Bytes
        << ", \"busy_ticks\": " << t.BusyTicks << ", \"max_ticks\": " << t.MaxTicks
        << ", \"min_ticks\": " << t.MinTicks << ", \"first_start_ticks\": " << t.FirstStart
        << ", \"last_end_ticks\": " << t.LastEnd << ", \"errors\": " << t.Errors << "},\n";
    out << indent << "\"elapsed_s\": " << Num(static_cast<double>(rates.seconds)) << ",\n";
    out << indent << "\"io_per_sec\": " << Num(static_cast<double>(rates.ioPerSec)) << ",\n";
    out << indent << "\"mbytes_per_sec\": " << Num(static_cast<double>(rates.mbytesPerSec)) << ",\n";
    out << indent << "\"mean_in_flight\": " << Num(static_cast<double>(rates.meanInFlight)) << ",\n";
    const auto& p = v.latency;
    // The wall-clock time of the first operation, for aligning machines' series.
    const int64_t firstUtc =
        f > 0 && t.IOCount > 0 ? facts.startedUtcMs + (t.FirstStart - facts.startedCounter) * 1000 / f : 0;
    out << indent << "\"first_operation_utc\": " << Json(t.IOCount > 0 ? IsoUtc(firstUtc) : "") << ",\n";
    out << indent << "\"latency_histogram\": ";
    JsonHistogram(out, v.record->Latency);
    out << ",\n";
    out << indent << "\"errors_by_cause\": ";
    JsonCauses(out, v, f);
    out << ",\n";
    out << indent << "\"latency_us\": {\"relative_error\": " << Num(stats::kPercentileRelativeError)
        << ", \"p50\": " << Num(p.p50) << ", \"p90\": " << Num(p.p90) << ", \"p99\": " << Num(p.p99)
        << ", \"p99_9\": " << Num(p.p999) << ", \"p99_99\": " << Num(p.p9999) << ", \"max\": " << Num(p.max)
        << "},\n";
    out << indent << "\"intervals\": [";
    const engine::VolumeStats& r = *v.record;
    for (int j = 1; j <= r.CurInterval; ++j) {
        const engine::IntervalStats& in = r.Intervals[j];
        const double start = stats::IntervalStartSeconds(r, j, f);
        const stats::Rates r = stats::RatesOf(in, f);
        out << (j > 1 ? ",\n" : "\n") << indent << "  {\"index\": " << j << ", \"start_s\": " << Num(start)
            << ", \"duration_s\": " << Num(static_cast<double>(r.seconds)) << ", \"io_count\": " << in.IOCount
            << ", \"bytes\": " << in.Bytes << ", \"io_per_sec\": " << Num(static_cast<double>(r.ioPerSec))
            << ", \"mbytes_per_sec\": " << Num(static_cast<double>(r.mbytesPerSec)) << "}";
    }
    out << (r.CurInterval > 0 ? "\n" + indent : "") << "],\n";
    out << indent << "\"histogram_ms\": [";
    for (size_t k = 0; k < v.view.latency.size(); ++k)
        out << (k ? ", " : "") << "{\"ms\": " << Num(v.view.latency[k].x)
            << ", \"count\": " << static_cast<uint64_t>(v.view.latency[k].y) << "}";
    out << "]\n";
}

}  // namespace

void WriteTextReport(std::ostream& out, const stats::RunReport& report, const RunFacts& facts) {
    if (facts.workersNotReturned > 0)
        out << "Run interrupted: " << facts.workersNotReturned
            << " worker(s) did not return from a device call; their operations in hand are not counted.\n";
    for (const auto& f : facts.openFailures) out << "Not tested: " << f << "\n";
    if (!facts.logComplete)
        out << "The operation log is full: it holds the first " << facts.logEntries
            << " operations only; the totals below count them all.\n";
    out << (facts.interrupted ? "Run interrupted. " : "")
        << "Totals cover every operation of the run.\nLatency percentiles are within 0.8% of the exact "
           "values; "
           "the maximum is exact.\n\n";
    // Each worker keeps its queue depth of operations in flight at most.
    const int64_t asked = int64_t{facts.settings.threadsPerVolume} * facts.settings.queueDepth;
    for (size_t k = 0; k < report.volumes.size(); ++k)
        TextVolume(out, Letter(report.volumes[k].index) + " " + facts.devicePaths[k], report.volumes[k],
                   facts.timerFreq, stats::UserSeparators(), asked);
    if (report.volumes.size() != 1)
        TextVolume(out, "All volumes", report.all, facts.timerFreq, stats::UserSeparators(),
                   asked * static_cast<int64_t>(report.volumes.size()));
    if (facts.verified) {
        out << "Verify: " << facts.blocksWritten << " blocks written\n";
        TextChecks(out, "Verify during the run", facts.timedChecks, facts.timerFreq);
        if (facts.readBack)
            TextChecks(out, "Verify after the run (not in the figures above)", facts.readBackChecks,
                       facts.timerFreq);
    }
}

void WriteJsonReport(std::ostream& out, const stats::RunReport& report, const RunFacts& facts) {
    const engine::RunSettings& s = facts.settings;
    out << "{\n  \"schema_version\": 2,\n  \"tool\": \"volstress-cli\",\n";
    const int method = static_cast<int>(s.method);
    out << "  \"settings\": {\"block_size\": " << s.blockSize
        << ", \"method\": " << Json(kMethodNames[method >= 0 && method <= 4 ? method : 0])
        << ", \"threads_per_volume\": " << s.threadsPerVolume << ", \"test_ms\": " << s.testMs
        << ", \"reads_per_portion\": " << s.readsPerPortion
        << ", \"writes_per_portion\": " << s.writesPerPortion << ", \"pause_ms\": " << s.pauseMs
        << ", \"pause_type\": " << Json(s.pauseType == engine::PauseType::Fixed ? "fixed" : "random")
        << ", \"statistics_interval_s\": " << engine::StatisticPeriodOf(s)
        << ", \"queue_depth\": " << s.queueDepth << ", \"submit_batch\": " << s.submitBatch
        << ", \"register_files\": " << (s.registerFile ? "true" : "false")
        << ", \"register_buffers\": " << (s.registerBuffers ? "true" : "false") << "},\n";
    out << "  \"host\": " << Json(facts.host) << ",\n";
    out << "  \"started_utc\": " << Json(IsoUtc(facts.startedUtcMs)) << ",\n";
    out << "  \"interrupted\": " << (facts.interrupted ? "true" : "false") << ",\n";
    out << "  \"workers_not_returned\": " << facts.workersNotReturned << ",\n";
    out << "  \"open_failures\": [";
    for (size_t k = 0; k < facts.openFailures.size(); ++k)
        out << (k ? ", " : "") << Json(facts.openFailures[k]);
    out << "],\n";
    out << "  \"log_entries\": " << facts.logEntries << ",\n";
    out << "  \"log_complete\": " << (facts.logComplete ? "true" : "false") << ",\n";
    if (facts.verified) {
        out << "  \"verify\": ";
        JsonChecks(out, facts.timedChecks,
                   "\"blocks_written\": " + std::to_string(facts.blocksWritten) + ", ");
        out << ",\n";
        if (facts.readBack) {
            out << "  \"verify_after\": ";
            JsonChecks(out, facts.readBackChecks, "");
            out << ",\n";
        }
    }
    out << "  \"timer_frequency\": " << facts.timerFreq << ",\n";
    out << "  \"volumes\": [";
    for (size_t k = 0; k < report.volumes.size(); ++k) {
        const auto& v = report.volumes[k];
        out << (k ? ",\n" : "\n")
            << "    {\n      \"letter\": " << Json(std::string(1, static_cast<char>('A' + v.index)))
            << ",\n      \"device\": " << Json(facts.devicePaths[k])
            << ",\n      \"size_bytes\": " << facts.sizes[k] << ",\n";
        JsonVolume(out, v, facts.timerFreq, "      ", facts);
        out << "    }";
    }
    out << "\n  ],\n  \"all\": {\n";
    JsonVolume(out, report.all, facts.timerFreq, "    ", facts);
    out << "  }\n}\n";
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
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, frac = 0, consumed = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &y, &mo, &d, &h, &mi, &s, &consumed) != 6)
        return false;
    std::string rest = text.substr(static_cast<size_t>(consumed));
    if (!rest.empty() && rest[0] == '.') {
        size_t k = 1;
        int digits = 0;
        while (k < rest.size() && std::isdigit(static_cast<unsigned char>(rest[k])) && digits < 3) {
            frac = frac * 10 + (rest[k] - '0');
            ++k;
            ++digits;
        }
        if (digits == 0) return false;
        while (digits++ < 3) frac *= 10;
        rest = rest.substr(k);
    }
    if (rest != "Z" || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60) return false;
    ms = DaysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) * 86'400'000 +
         int64_t{h} * 3'600'000 + int64_t{mi} * 60'000 + int64_t{s} * 1000 + frac;
    return true;
}

}  // namespace cli

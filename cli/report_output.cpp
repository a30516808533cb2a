#include "cli/report_output.h"

#include <cctype>
#include <cstdio>
#include <iomanip>
#include <sstream>

#include "cli/json.h"
#include "cli/names.h"

namespace cli {

namespace {

std::string Letter(int index) {
    return VolumeLetter(index) + ":";
}

std::string Us(double us) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.1f", us);
    return buf;
}

// How queued operations went to the system: "8 per call (--submit-batch 8)", or what the adaptive choice
// settled on.
std::string HandOverText(const engine::HandOverTally& h) {
    double share = 0;
    const uint32_t settled = h.Settled(&share);
    if (settled == 0) return {};
    if (!h.adaptive)
        return std::to_string(settled) + " per call (--submit-batch " + std::to_string(settled) + ")";
    char pct[16];
    std::snprintf(pct, sizeof pct, "%.0f%%", share * 100);
    return "found as it ran: " + std::to_string(settled) + " per call for " + pct +
           " of the operations, moved " + std::to_string(h.changes) + (h.changes == 1 ? " time" : " times");
}

void TextVolume(std::ostream& out, const std::string& heading, const stats::VolumeReport& v, int64_t f,
                const stats::Separators& sep, int64_t asked) {
    out << heading << "\n";
    for (const auto& label : v.view.labels) out << "  " << label << "\n";
    const stats::Rates rates = stats::RatesOf(v.record->Total(), f);
    if (rates.seconds > 0)
        out << "  In flight " << stats::FormatGrouped(rates.meanInFlight, 14, 1, sep) << " on average of "
            << asked << " asked\n";
    if (const std::string h = HandOverText(v.record->HandOvers); !h.empty())
        out << "  Hand-over " << h << "\n";
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

void JsonChecks(std::ostream& out, const engine::VerifyResults& r, const std::string& extra) {
    out << "{" << extra << "\"blocks_checked\": " << r.blocksChecked << ", \"read_errors\": " << r.readErrors
        << ", \"mismatches\": " << r.Mismatches() << ", \"by_kind\": {\"corrupted\": " << r.byKind[0]
        << ", \"misdirected\": " << r.byKind[1] << ", \"lost\": " << r.byKind[2] << "}, \"first\": [";
    for (size_t k = 0; k < r.first.size(); ++k) {
        const engine::Mismatch& m = r.first[k];
        out << (k ? ", " : "") << "{\"kind\": \"" << kKinds[static_cast<int>(m.kind)] << "\", \"volume\": \""
            << VolumeLetter(m.volume) << "\", \"block\": " << m.block
            << ", \"offset_expected\": " << m.offsetExpected << ", \"offset_found\": " << m.offsetFound
            << ", \"sequence_expected\": " << m.sequenceExpected
            << ", \"sequence_found\": " << m.sequenceFound << ", \"run_found\": " << m.runFound
            << ", \"crc_stored\": " << m.crcFound << ", \"crc_computed\": " << m.crcExpected
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
    double share = 0;
    const engine::HandOverTally& h = v.record->HandOvers;
    if (const uint32_t settled = h.Settled(&share))
        out << indent << "\"hand_over\": {\"adaptive\": " << (h.adaptive ? "true" : "false")
            << ", \"settled_batch\": " << settled << ", \"settled_share\": " << Num(share)
            << ", \"changes\": " << h.changes << "},\n";
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
    if (facts.workersNotReturned > 0) {
        out << "Run incomplete: " << facts.workersNotReturned
            << " worker(s) did not return from a device call; their operations in hand are not counted.\n";
        for (const auto& [worker, volume] : facts.stuckWorkers)
            out << "  worker " << worker << " on " << Letter(volume) << " is still in its call\n";
    }
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
    for (size_t k = 0; k < report.volumes.size(); ++k) {
        TextVolume(out, Letter(report.volumes[k].index) + " " + facts.devicePaths[k], report.volumes[k],
                   facts.timerFreq, stats::UserSeparators(), asked);
        if (k < facts.uncached.size() && !facts.uncached[k])
            out << "  Through the page cache: the file system refuses uncached (O_DIRECT) transfers, so "
                   "these "
                   "figures are the cache's, not the device's (--direct refuses such a volume)\n";
    }
    if (report.volumes.size() != 1)
        TextVolume(out, "All volumes", report.all, facts.timerFreq, stats::UserSeparators(),
                   asked * static_cast<int64_t>(report.volumes.size()));
    if (facts.verified) {
        out << "Verify: " << facts.blocksWritten << " blocks written";
        if (facts.blocksOpen > 0)
            out << ", and " << facts.blocksOpen
                << " more whose last writes overlapped each other or failed (their content is unknown: "
                   "never judged)";
        out << "\n";
        TextChecks(out, "Verify during the run", facts.timedChecks, facts.timerFreq);
        if (VerifyUnchecked(facts)) out << "  " << kUncheckedHint << "\n";
        if (facts.readBackSkipped)
            out << "Verify after the run: not done, the run was interrupted\n";
        else if (facts.readBack)
            TextChecks(out,
                       facts.readBackInterrupted ? "Verify after the run (not in the figures above; "
                                                   "interrupted, blocks past those checked "
                                                   "were not read back)"
                                                 : "Verify after the run (not in the figures above)",
                       facts.readBackChecks, facts.timerFreq);
    }
}

bool VerifyUnchecked(const RunFacts& facts) {
    return facts.verified && facts.blocksWritten + facts.blocksOpen > 0 &&
           facts.timedChecks.blocksChecked == 0;
}

void WriteJsonReport(std::ostream& out, const stats::RunReport& report, const RunFacts& facts) {
    const engine::RunSettings& s = facts.settings;
    out << "{\n  \"schema_version\": 2,\n  \"tool\": \"volstress-cli\",\n";
    out << "  \"settings\": {\"block_size\": " << s.blockSize
        << ", \"method\": " << Json(MethodName(s.method))
        << ", \"threads_per_volume\": " << s.threadsPerVolume << ", \"test_ms\": " << s.testMs
        << ", \"reads_per_portion\": " << s.readsPerPortion
        << ", \"writes_per_portion\": " << s.writesPerPortion << ", \"pause_ms\": " << s.pauseMs
        << ", \"pause_type\": " << Json(s.pauseType == engine::PauseType::Fixed ? "fixed" : "random")
        << ", \"statistics_interval_s\": " << engine::StatisticPeriodOf(s)
        << ", \"queue_depth\": " << s.queueDepth << ", \"submit_batch\": "
        << (s.submitBatch == 0 ? std::string("\"auto\"") : std::to_string(s.submitBatch))
        << ", \"register_files\": " << (s.registerFile ? "true" : "false")
        << ", \"register_buffers\": " << (s.registerBuffers ? "true" : "false") << "},\n";
    out << "  \"host\": " << Json(facts.host) << ",\n";
    out << "  \"started_utc\": " << Json(IsoUtc(facts.startedUtcMs)) << ",\n";
    out << "  \"interrupted\": " << (facts.interrupted ? "true" : "false") << ",\n";
    out << "  \"workers_not_returned\": " << facts.workersNotReturned << ",\n";
    out << "  \"stuck_workers\": [";
    for (size_t k = 0; k < facts.stuckWorkers.size(); ++k)
        out << (k ? ", " : "") << "{\"worker\": " << facts.stuckWorkers[k].first
            << ", \"volume\": " << Json(VolumeLetter(facts.stuckWorkers[k].second)) << "}";
    out << "],\n";
    out << "  \"open_failures\": [";
    for (size_t k = 0; k < facts.openFailures.size(); ++k)
        out << (k ? ", " : "") << Json(facts.openFailures[k]);
    out << "],\n";
    out << "  \"log_entries\": " << facts.logEntries << ",\n";
    out << "  \"log_complete\": " << (facts.logComplete ? "true" : "false") << ",\n";
    if (facts.verified) {
        out << "  \"verify\": ";
        JsonChecks(out, facts.timedChecks,
                   "\"blocks_written\": " + std::to_string(facts.blocksWritten) +
                       ", \"blocks_open\": " + std::to_string(facts.blocksOpen) + ", " +
                       (VerifyUnchecked(facts) ? "\"hint\": " + Json(kUncheckedHint) + ", " : std::string()));
        out << ",\n";
        if (facts.readBack) {
            out << "  \"verify_after\": ";
            JsonChecks(out, facts.readBackChecks,
                       std::string("\"complete\": ") +
                           (facts.readBackSkipped || facts.readBackInterrupted ? "false" : "true") +
                           (facts.readBackSkipped ? ", \"skipped\": true, " : ", "));
            out << ",\n";
        }
    }
    out << "  \"timer_frequency\": " << facts.timerFreq << ",\n";
    out << "  \"volumes\": [";
    for (size_t k = 0; k < report.volumes.size(); ++k) {
        const auto& v = report.volumes[k];
        out << (k ? ",\n" : "\n") << "    {\n      \"letter\": " << Json(VolumeLetter(v.index))
            << ",\n      \"device\": " << Json(facts.devicePaths[k])
            << ",\n      \"size_bytes\": " << facts.sizes[k] << ",\n      \"uncached\": "
            << (k >= facts.uncached.size() || facts.uncached[k] ? "true" : "false") << ",\n";
        JsonVolume(out, v, facts.timerFreq, "      ", facts);
        out << "    }";
    }
    out << "\n  ],\n  \"all\": {\n";
    JsonVolume(out, report.all, facts.timerFreq, "    ", facts);
    out << "  }\n}\n";
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
    out << "[";
    bool first = true;
    for (int i = 0; i < engine::kDiskCount; ++i) {
        if (map.devicePath[i].empty()) continue;
        out << (first ? "\n" : ",\n") << "  {\"letter\": " << Json(VolumeLetter(i))
            << ", \"device\": " << Json(map.devicePath[i]) << ", \"size_bytes\": "
            << (found.Present(i) ? std::to_string(found.Size(i)) : std::string("null"))
            << ", \"present\": " << (found.Present(i) ? "true" : "false") << "}";
        first = false;
    }
    out << (first ? "]\n" : "\n]\n");
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

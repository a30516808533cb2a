#include "stats/presentation.h"

#include <cmath>

#include "platform/arithmetic.h"
#include "platform/error_text.h"

namespace stats {

using platform::MulDiv;

double IntervalStartSeconds(const engine::VolumeStats& rec, int32_t j, int64_t timerFreq) {
    if (timerFreq <= 0) return 0;
    return static_cast<double>(
        static_cast<long double>(rec.Intervals[j].FirstStart - rec.Intervals[1].FirstStart) /
        static_cast<long double>(timerFreq));
}

Rates RatesOf(const engine::IntervalStats& s, int64_t timerFreq) {
    Rates r;
    if (timerFreq <= 0) return r;
    r.seconds = static_cast<long double>(s.LastEnd - s.FirstStart) / static_cast<long double>(timerFreq);
    if (r.seconds <= 0) {
        r.seconds = 0;  // no span, no rate: never a negative one
        return r;
    }
    r.ioPerSec = s.IOCount / r.seconds;
    r.mbytesPerSec = s.Bytes / r.seconds / 1'048'576;
    r.meanInFlight =
        static_cast<long double>(s.BusyTicks) / static_cast<long double>(s.LastEnd - s.FirstStart);
    return r;
}

long double LatencyMs(int64_t ticks, int64_t timerFreq) {
    if (timerFreq <= 0) return 0;
    return static_cast<long double>(MulDiv(ticks, 100'000, timerFreq)) / 100;
}

std::vector<CauseLine> CauseLines(const engine::ErrorCauses& causes, int64_t originTicks, int64_t timerFreq) {
    std::vector<CauseLine> lines;
    auto seconds = [&](int64_t ticks) {
        return timerFreq > 0 ? static_cast<double>(ticks - originTicks) / static_cast<double>(timerFreq)
                             : 0.0;
    };
    for (int i = 0; i < causes.used; ++i) {
        const engine::ErrorCause& c = causes.entries[static_cast<size_t>(i)];
        std::string text = platform::SystemErrorDescription(c.code);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        lines.push_back(
            {false, c.code, platform::ErrorCodeName(c.code), text, c.count, seconds(c.firstTicks), c.writes});
    }
    if (causes.other.count > 0)
        lines.push_back({true, 0, "other", "other causes", causes.other.count,
                         seconds(causes.other.firstTicks), causes.other.writes});
    return lines;
}

std::string CausesText(const std::vector<CauseLine>& lines, const Separators& sep) {
    std::string out;
    for (const CauseLine& l : lines) {
        if (!out.empty()) out += "\n";
        out += (l.other ? l.text : l.name + " " + l.text) + ": " + FormatCount(l.count, sep) + ", first at " +
               FormatGrouped(l.firstSeconds, 16, 1, sep) + " s";
    }
    return out;
}

std::array<std::string, 8> LabelTexts(const engine::IntervalStats& t, const Rates& rates, int64_t timerFreq,
                                      const Separators& sep) {
    std::array<std::string, 8> labels;
    const int64_t busyMs = timerFreq > 0 ? MulDiv(t.BusyTicks, 1000, timerFreq) : 0;
    labels[kIOTotal] = "I/O total " + FormatCount(t.IOCount, sep);
    labels[kMBytesTotal] = "MBytes total " + FormatCount(t.Bytes / 1'048'576, sep);
    labels[kTimesTotal] =
        "Times total " + FormatMilliseconds64(busyMs > 0 ? static_cast<uint64_t>(busyMs) : 0);
    labels[kMaxTime] = "Maximal time " + FormatGrouped(LatencyMs(t.MaxTicks, timerFreq), 14, 2, sep) + "ms";
    labels[kMinTime] = "Minimal time " + FormatGrouped(LatencyMs(t.MinTicks, timerFreq), 14, 2, sep) + "ms";
    labels[kErrorsTotal] = "Errors total " + FormatCount(t.Errors, sep);
    if (rates.seconds != 0) {
        labels[kIOPerSec] = "I/O per sec " + FormatGrouped(rates.ioPerSec, 14, 0, sep);
        labels[kMBytesPerSec] = "MBytes per sec " + FormatGrouped(rates.mbytesPerSec, 16, 2, sep);
    } else {
        labels[kIOPerSec] = "I/O per sec";
        labels[kMBytesPerSec] = "MBytes per sec";
    }
    return labels;
}

void ComputeStats(const engine::VolumeStats& rec, int64_t timerFreq, StatsView& view, const Separators& sep) {
    const engine::IntervalStats& t = rec.Total();
    view.labels = LabelTexts(t, RatesOf(t, timerFreq), timerFreq, sep);

    view.ioPerSec.clear();
    view.mbytesPerSec.clear();
    const int32_t last = rec.CurInterval > engine::kIntervalCount ? engine::kIntervalCount : rec.CurInterval;
    if (timerFreq > 0) {
        for (int32_t j = 1; j <= last; ++j) {
            const engine::IntervalStats& in = rec.Intervals[j];
            const Rates r = RatesOf(in, timerFreq);
            if (r.seconds == 0) continue;
            const double x = IntervalStartSeconds(rec, j, timerFreq);
            view.mbytesPerSec.push_back({x, static_cast<double>(r.mbytesPerSec)});
            view.ioPerSec.push_back({x, static_cast<double>(std::trunc(r.ioPerSec))});
        }
    }

    const int64_t origin = rec.RunTotal.IOCount > 0 ? rec.RunTotal.FirstStart : t.FirstStart;
    view.errorCauses = CausesText(CauseLines(rec.Causes, origin, timerFreq), sep);

    view.latency.clear();
    int32_t top = engine::kHistogramTop;
    while (top > 0 && rec.LatencyHistogram[top] == 0) --top;
    for (int32_t b = 0; b <= top; b += 100) {
        uint64_t sum = 0;
        for (int32_t k = b; k < b + 100 && k <= engine::kHistogramTop; ++k) sum += rec.LatencyHistogram[k];
        if (sum != 0) view.latency.push_back({static_cast<double>(b / 100), static_cast<double>(sum)});
    }
}

void ComputeStats(const engine::VolumeStats& rec, int64_t timerFreq, StatsView& view) {
    ComputeStats(rec, timerFreq, view, UserSeparators());
}

}  // namespace stats

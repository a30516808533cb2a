#include "stats/report.h"

#include <algorithm>
#include <cmath>

#include "stats/aggregation.h"

namespace stats {

Percentiles LatencyPercentiles(const std::array<uint64_t, engine::kHistogramBuckets>& histogram,
                               int64_t maxTicks, int64_t timerFreq) {
    Percentiles p;
    uint64_t n = 0;
    for (uint64_t c : histogram) n += c;
    if (n == 0 || timerFreq <= 0) return p;
    p.any = true;
    p.max =
        static_cast<double>(static_cast<long double>(maxTicks) * 1e6L / static_cast<long double>(timerFreq));
    auto at = [&](double q) {
        // The smallest bucket whose cumulative count reaches q of all operations.
        const uint64_t rank =
            std::max<uint64_t>(1, static_cast<uint64_t>(std::ceil(q * static_cast<double>(n))));
        uint64_t seen = 0;
        for (int b = 0; b < engine::kHistogramBuckets; ++b) {
            seen += histogram[b];
            if (seen >= rank) return std::min((b + 1) * kPercentileResolutionUs, p.max);
        }
        return p.max;
    };
    p.p50 = at(0.50);
    p.p90 = at(0.90);
    p.p99 = at(0.99);
    p.p999 = at(0.999);
    p.p9999 = at(0.9999);
    return p;
}

engine::IntervalStats LiveTotals(engine::VolumeStats& v) {
    std::lock_guard lock(v.Lock);
    return SumIntervals(v, v.CurInterval);
}

RunReport BuildFinalReport(const engine::VolumeSet& volumes, int64_t timerFreq,
                           const std::array<bool, engine::kDiskCount>& selected, const Separators& sep) {
    RunReport report;
    engine::VolumeStats& all = *report.all.record;
    engine::IntervalStats running;
    bool first = true;
    for (int i = 0; i < volumes.Count(); ++i) {
        if (!volumes.Present(i) || !selected[i]) continue;
        VolumeReport vr;
        vr.index = i;
        engine::VolumeStats& v = *vr.record;
        SnapshotCounters(*volumes.Record(i), v);
        v.Total() = SumIntervals(v, v.CurInterval);
        ComputeStats(v, timerFreq, vr.view, sep);
        vr.latency = LatencyPercentiles(v.LatencyHistogram, v.Total().MaxTicks, timerFreq);
        FoldVolume(all, running, v, first);
        first = false;
        report.volumes.push_back(std::move(vr));
    }
    all.Total() = running;
    ComputeStats(all, timerFreq, report.all.view, sep);
    report.all.latency = LatencyPercentiles(all.LatencyHistogram, running.MaxTicks, timerFreq);
    return report;
}

}  // namespace stats

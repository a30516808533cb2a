#include "stats/report.h"

#include <algorithm>
#include <cmath>

#include "engine/pending.h"
#include "stats/aggregation.h"

namespace stats {

Percentiles LatencyPercentiles(const engine::LogLinearHistogram& latency) {
    Percentiles p;
    if (latency.total == 0) return p;
    p.any = true;
    p.p50 = latency.PercentileNs(0.50) / 1000;
    p.p90 = latency.PercentileNs(0.90) / 1000;
    p.p99 = latency.PercentileNs(0.99) / 1000;
    p.p999 = latency.PercentileNs(0.999) / 1000;
    p.p9999 = latency.PercentileNs(0.9999) / 1000;
    p.max = static_cast<double>(latency.maxNs) / 1000;
    return p;
}

engine::IntervalStats LiveTotals(engine::VolumeStats& v) {
    const auto lock = engine::LockUpToDate(v);
    return v.RunTotal;
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
        v.Total() = v.RunTotal;
        ComputeStats(v, timerFreq, vr.view, sep);
        vr.latency = LatencyPercentiles(v.Latency);
        FoldVolume(all, running, v, first);
        first = false;
        report.volumes.push_back(std::move(vr));
    }
    all.Total() = running;
    ComputeStats(all, timerFreq, report.all.view, sep);
    report.all.latency = LatencyPercentiles(all.Latency);
    return report;
}

}  // namespace stats

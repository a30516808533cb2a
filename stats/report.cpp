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

}  // namespace stats

#pragma once
// Latency percentiles from the log-linear histogram, and a volume's totals as the run goes.
#include <array>
#include <memory>
#include <vector>

#include "engine/volume_set.h"
#include "stats/presentation.h"

namespace stats {

// Latency percentiles in microseconds from the log-linear histogram: each within 0.79% of the exact value;
// the minimum and maximum are exact.
struct Percentiles {
    bool any = false;
    double p50 = 0, p90 = 0, p99 = 0, p999 = 0, p9999 = 0, max = 0;
};
inline constexpr double kPercentileRelativeError = 1.0 / 128;

Percentiles LatencyPercentiles(const engine::LogLinearHistogram& latency);

// Every operation of a volume's run so far, read under its Lock.
engine::IntervalStats LiveTotals(engine::VolumeStats& v);

}  // namespace stats

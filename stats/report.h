#pragma once
// The report at the end of a run: every operation counted, the interval still being filled included,
// with latency percentiles from the histogram.
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

struct VolumeReport {
    int index = -1;  // -1: all volumes
    // Total, intervals 1..CurInterval, histograms and causes as at the end of the run; Total covers every
    // operation of the run, also those of intervals that restarted.
    std::unique_ptr<engine::VolumeStats> record = std::make_unique<engine::VolumeStats>();
    StatsView view;
    Percentiles latency;
};

struct RunReport {
    std::vector<VolumeReport> volumes;
    VolumeReport all;
};

// Every operation of a volume's run so far, read under its Lock.
engine::IntervalStats LiveTotals(engine::VolumeStats& v);
// Builds the report of the selected present volumes and of all of them together.
RunReport BuildFinalReport(const engine::VolumeSet& volumes, int64_t timerFreq,
                           const std::array<bool, engine::kDiskCount>& selected, const Separators& sep);

}  // namespace stats

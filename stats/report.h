#pragma once
// The report at the end of a run: every operation counted, the interval still being filled included,
// with latency percentiles from the histogram.
#include <array>
#include <memory>
#include <vector>

#include "engine/volume_set.h"
#include "stats/presentation.h"

namespace stats {

// Latency percentiles in microseconds. The histogram has 10 us buckets, so each percentile is the upper
// edge of its bucket (capped at the exact maximum); the maximum itself is exact.
struct Percentiles {
    bool any = false;
    double p50 = 0, p90 = 0, p99 = 0, p999 = 0, p9999 = 0, max = 0;
};
inline constexpr double kPercentileResolutionUs = 10;

Percentiles LatencyPercentiles(const std::array<uint64_t, engine::kHistogramBuckets>& histogram,
                               int64_t maxTicks, int64_t timerFreq);

struct VolumeReport {
    int index = -1;  // -1: all volumes
    // Total, intervals 1..CurInterval and histogram as at the end of the run; Total covers all intervals.
    std::unique_ptr<engine::VolumeStats> record = std::make_unique<engine::VolumeStats>();
    StatsView view;
    Percentiles latency;
};

struct RunReport {
    std::vector<VolumeReport> volumes;
    VolumeReport all;
};

// Sum of every interval of a volume, the one being filled included, read under its Lock.
engine::IntervalStats LiveTotals(engine::VolumeStats& v);
// Builds the report of the selected present volumes and of all of them together.
RunReport BuildFinalReport(const engine::VolumeSet& volumes, int64_t timerFreq,
                           const std::array<bool, engine::kDiskCount>& selected, const Separators& sep);

}  // namespace stats

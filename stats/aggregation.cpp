#include "stats/aggregation.h"

#include <algorithm>

#include "engine/pending.h"

namespace stats {

using engine::IntervalStats;
using engine::VolumeStats;

IntervalStats SumIntervals(const VolumeStats& rec, int32_t last) {
    IntervalStats t;
    for (int32_t j = 1; j <= last && j <= engine::kIntervalCount; ++j) {
        const IntervalStats& in = rec.Intervals[j];
        t.IOCount += in.IOCount;
        t.Bytes += in.Bytes;
        t.BusyTicks += in.BusyTicks;
        t.Errors += in.Errors;
        t.Writes += in.Writes;
        t.WriteBytes += in.WriteBytes;
        t.WriteErrors += in.WriteErrors;
        if (j == 1 || in.MaxTicks > t.MaxTicks) t.MaxTicks = in.MaxTicks;
        if (j == 1 || in.MinTicks < t.MinTicks) t.MinTicks = in.MinTicks;
        if (j == 1) t.FirstStart = in.FirstStart;
        t.LastEnd = in.LastEnd;
    }
    return t;
}

void FoldTotal(IntervalStats& running, const IntervalStats& v, bool first) {
    running.IOCount += v.IOCount;
    running.Bytes += v.Bytes;
    running.BusyTicks += v.BusyTicks;
    running.Errors += v.Errors;
    running.Writes += v.Writes;
    running.WriteBytes += v.WriteBytes;
    running.WriteErrors += v.WriteErrors;
    if (first || v.MaxTicks > running.MaxTicks) running.MaxTicks = v.MaxTicks;
    if (first || v.LastEnd > running.LastEnd) running.LastEnd = v.LastEnd;
    if (first || v.MinTicks < running.MinTicks) running.MinTicks = v.MinTicks;
    if (first || v.FirstStart < running.FirstStart) running.FirstStart = v.FirstStart;
}

void MergeInterval(IntervalStats& all, const IntervalStats& v) {
    all.IOCount += v.IOCount;
    all.Bytes += v.Bytes;
    if (v.LastEnd > all.LastEnd) all.LastEnd = v.LastEnd;
    if (v.FirstStart < all.FirstStart || all.FirstStart == 0) all.FirstStart = v.FirstStart;
}

void FoldVolume(VolumeStats& all, IntervalStats& running, const VolumeStats& v, bool first) {
    for (int k = 0; k < engine::kHistogramBuckets; ++k) all.LatencyHistogram[k] += v.LatencyHistogram[k];
    if (v.CurInterval > all.CurInterval) all.CurInterval = std::min(v.CurInterval, engine::kIntervalCount);
    for (int32_t j = 1; j <= v.CurInterval && j <= engine::kIntervalCount; ++j)
        MergeInterval(all.Intervals[j], v.Intervals[j]);
    FoldTotal(running, v.Total(), first);
    all.Latency.Merge(v.Latency);
    all.OpenLoop.Merge(v.OpenLoop);
    all.Causes.Merge(v.Causes);
    all.HandOvers.Merge(v.HandOvers);
    if (v.RunTotal.IOCount > 0) {
        IntervalStats& t = all.RunTotal;
        const bool none = t.IOCount == 0;
        FoldTotal(t, v.RunTotal, none);
    }
}

void SnapshotCounters(VolumeStats& v, VolumeStats& copy) {
    const auto lock = engine::LockUpToDate(v);
    copy.CurInterval = v.CurInterval;
    const int32_t last = std::clamp(v.CurInterval, 0, engine::kIntervalCount);
    std::copy(v.Intervals.begin() + 1, v.Intervals.begin() + 1 + last, copy.Intervals.begin() + 1);
    copy.LatencyHistogram = v.LatencyHistogram;
    copy.RunTotal = v.RunTotal;
    copy.Latency = v.Latency;
    copy.OpenLoop = v.OpenLoop;
    copy.Causes = v.Causes;
    copy.HandOvers = v.HandOvers;
}

StatisticsRefresher::StatisticsRefresher()
    : all_(std::make_unique<VolumeStats>()), snapshot_(std::make_unique<VolumeStats>()) {}

void StatisticsRefresher::Refresh(const engine::VolumeSet& volumes, int64_t timerFreq,
                                  const std::array<bool, engine::kDiskCount>& ticked, RefreshSink& sink) {
    VolumeStats& all = *all_;
    all.ClearCounters();
    IntervalStats running;
    bool first = true;

    for (int i = 0; i < volumes.Count(); ++i) {
        if (!volumes.Present(i)) continue;
        VolumeStats& live = *volumes.Record(i);
        VolumeStats& v = *snapshot_;
        SnapshotCounters(live, v);
        sink.SetDebugText(i, "Curpos " + std::to_string(v.CurInterval));
        live.Selected = ticked[i];
        if (!live.Selected) continue;

        // Completed intervals only: the one being filled would skew the rates.
        v.Total() = totals_[static_cast<size_t>(i)] = SumIntervals(v, v.CurInterval - 1);
        FoldVolume(all, running, v, first);

        ComputeStats(v, timerFreq, view_);
        sink.Show(i, view_);
        first = false;
    }
    all.Total() = running;
    ComputeStats(all, timerFreq, view_);
    sink.Show(-1, view_);
}

}  // namespace stats

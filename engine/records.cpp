#include "engine/records.h"

#include <limits>

namespace engine {

void VolumeStats::ClearIntervals() {
    for (int j = 1; j <= kIntervalCount; ++j) Intervals[j] = IntervalStats{};
}

void VolumeStats::ClearCounters() {
    Intervals.fill(IntervalStats{});
    LatencyHistogram.fill(0);
    CurInterval = 0;
}

int32_t LatencyBucket(int64_t durationTicks, int64_t frequency) {
    if (durationTicks <= 0 || frequency <= 0) return durationTicks > 0 ? kHistogramTop : 0;
    // Past this the 64-bit product overflows; such durations are far beyond the last bucket anyway.
    if (durationTicks > std::numeric_limits<int64_t>::max() / 100'000) return kHistogramTop;
    const int64_t bucket = durationTicks * 100'000 / frequency;
    return bucket > kHistogramTop ? kHistogramTop : static_cast<int32_t>(bucket);
}

namespace {

void StartInterval(IntervalStats& s, int64_t start, int64_t end, int64_t d, bool ok, uint32_t size) {
    s.IOCount = 1;
    s.Bytes = ok ? size : 0;
    s.BusyTicks = d;
    s.MaxTicks = d;
    s.MinTicks = d;
    s.FirstStart = start;
    s.LastEnd = end;
    s.Errors = ok ? 0 : 1;
}

}  // namespace

void RecordOperation(VolumeStats& v, int64_t start, int64_t end, int64_t frequency, bool ok,
                     uint32_t requestSize) {
    const int64_t d = end - start;
    const int32_t bucket = LatencyBucket(d, frequency);
    std::lock_guard lock(v.Lock);
    ++v.LatencyHistogram[bucket];
    int32_t c = v.CurInterval;
    if (c == 0) {
        v.CurInterval = 1;
        StartInterval(v.Intervals[1], start, end, d, ok, requestSize);
    } else if (end - v.Intervals[c].FirstStart > v.PeriodTicks) {
        if (c < kIntervalCount) v.CurInterval = ++c;
        StartInterval(v.Intervals[c], start, end, d, ok, requestSize);
    } else {
        IntervalStats& s = v.Intervals[c];
        s.BusyTicks += d;
        if (d < s.MinTicks) s.MinTicks = d;
        if (d > s.MaxTicks) s.MaxTicks = d;
        ++s.IOCount;
        s.LastEnd = end;
        if (ok)
            s.Bytes += requestSize;
        else
            ++s.Errors;
    }
}

}  // namespace engine

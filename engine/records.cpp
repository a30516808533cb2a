#include "engine/records.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "platform/arithmetic.h"

namespace engine {

void VolumeStats::ClearIntervals() {
    for (int j = 1; j <= kIntervalCount; ++j) Intervals[j] = IntervalStats{};
}

void VolumeStats::ClearCounters() {
    Intervals.fill(IntervalStats{});
    LatencyHistogram.fill(0);
    CurInterval = 0;
    RunTotal = {};
    Latency = {};
    Causes = {};
    HandOvers = {};
    OpenLoop = {};
    LiveNumber = 0;
    for (LiveInterval& l : Live) l.number = 0;
    if (LiveOpenLoop) LiveOpenLoop->fill({});
}

void HandOverTally::Merge(const HandOverTally& o) {
    adaptive = adaptive || o.adaptive;
    changes += o.changes;
    for (int k = 0; k < o.levels; ++k) {
        int at = 0;
        while (at < levels && batch[static_cast<size_t>(at)] != o.batch[static_cast<size_t>(k)]) ++at;
        if (at == levels) {
            if (levels == kLevels) continue;
            batch[static_cast<size_t>(levels++)] = o.batch[static_cast<size_t>(k)];
        }
        completions[static_cast<size_t>(at)] += o.completions[static_cast<size_t>(k)];
    }
}

uint32_t HandOverTally::Settled(double* share) const {
    uint64_t total = 0, most = 0;
    uint32_t settled = 0;
    for (int k = 0; k < levels; ++k) {
        total += completions[static_cast<size_t>(k)];
        if (completions[static_cast<size_t>(k)] > most) {
            most = completions[static_cast<size_t>(k)];
            settled = batch[static_cast<size_t>(k)];
        }
    }
    if (share) *share = total > 0 ? static_cast<double>(most) / static_cast<double>(total) : 0;
    return settled;
}

int LogLinearHistogram::BucketOf(int64_t ns) {
    if (ns < kSub) return ns < 0 ? 0 : static_cast<int>(ns);
    const int exponent = static_cast<int>(std::bit_width(static_cast<uint64_t>(ns))) - 1;
    if (exponent >= kTopExponent) return kBuckets - 1;
    const int sub = static_cast<int>(ns >> (exponent - kSubBits)) - kSub;
    return kSub + (exponent - kSubBits) * kSub + sub;
}

int64_t LogLinearHistogram::LowerOf(int bucket) {
    if (bucket < kSub) return bucket;
    const int exponent = (bucket - kSub) / kSub + kSubBits;
    const int sub = (bucket - kSub) % kSub;
    return (int64_t{kSub} + sub) << (exponent - kSubBits);
}

int64_t LogLinearHistogram::WidthOf(int bucket) {
    return bucket < kSub ? 1 : int64_t{1} << ((bucket - kSub) / kSub);
}

void LogLinearHistogram::Add(int64_t ns, int bucket) {
    if (ns < 0) ns = 0;
    ++counts[static_cast<size_t>(bucket)];
    if (total == 0 || ns < minNs) minNs = ns;
    if (total == 0 || ns > maxNs) maxNs = ns;
    ++total;
}

void LogLinearHistogram::Merge(const LogLinearHistogram& o) {
    if (o.total == 0) return;
    for (int b = 0; b < kBuckets; ++b) counts[static_cast<size_t>(b)] += o.counts[static_cast<size_t>(b)];
    if (total == 0 || o.minNs < minNs) minNs = o.minNs;
    if (total == 0 || o.maxNs > maxNs) maxNs = o.maxNs;
    total += o.total;
}

double LogLinearHistogram::PercentileNs(double q) const {
    if (total == 0) return 0;
    // The smallest bucket whose cumulative count reaches rank ceil(q * n), as for an exact percentile.
    const double wanted = std::ceil(q * static_cast<double>(total));
    const uint64_t rank = wanted < 1                            ? 1
                          : wanted > static_cast<double>(total) ? total
                                                                : static_cast<uint64_t>(wanted);
    uint64_t seen = 0;
    for (int b = 0; b < kBuckets; ++b) {
        seen += counts[static_cast<size_t>(b)];
        if (seen < rank) continue;
        const double middle = b < kSub
                                  ? static_cast<double>(b)
                                  : static_cast<double>(LowerOf(b)) + static_cast<double>(WidthOf(b) - 1) / 2;
        return std::clamp(middle, static_cast<double>(minNs), static_cast<double>(maxNs));
    }
    return static_cast<double>(maxNs);
}

void ErrorCauses::Add(uint32_t code, int64_t count, int64_t writes, int64_t firstTicks) {
    auto merge = [&](ErrorCause& c) {
        if (c.count == 0 || firstTicks < c.firstTicks) c.firstTicks = firstTicks;
        c.count += count;
        c.writes += writes;
    };
    for (int i = 0; i < used; ++i)
        if (entries[static_cast<size_t>(i)].code == code) return merge(entries[static_cast<size_t>(i)]);
    if (used < kSlots) {
        ErrorCause& c = entries[static_cast<size_t>(used++)];
        c.code = code;
        return merge(c);
    }
    merge(other);
}

void ErrorCauses::Merge(const ErrorCauses& o) {
    for (int i = 0; i < o.used; ++i)
        Add(o.entries[static_cast<size_t>(i)].code, o.entries[static_cast<size_t>(i)].count,
            o.entries[static_cast<size_t>(i)].writes, o.entries[static_cast<size_t>(i)].firstTicks);
    if (o.other.count > 0) {
        if (other.count == 0 || o.other.firstTicks < other.firstTicks) other.firstTicks = o.other.firstTicks;
        other.count += o.other.count;
        other.writes += o.other.writes;
    }
}

int32_t LatencyBucket(int64_t durationTicks, int64_t frequency) {
    if (durationTicks <= 0 || frequency <= 0) return durationTicks > 0 ? kHistogramTop : 0;
    // Past this the 64-bit product overflows; such durations are far beyond the last bucket anyway.
    if (durationTicks > std::numeric_limits<int64_t>::max() / 100'000) return kHistogramTop;
    const int64_t bucket = durationTicks * 100'000 / frequency;
    return bucket > kHistogramTop ? kHistogramTop : static_cast<int32_t>(bucket);
}

namespace {

void StartInterval(IntervalStats& s, int64_t start, int64_t end, int64_t d, bool ok, uint32_t size,
                   bool write) {
    s.IOCount = 1;
    s.Bytes = ok ? size : 0;
    s.Writes = write ? 1 : 0;
    s.WriteBytes = write && ok ? size : 0;
    s.WriteErrors = write && !ok ? 1 : 0;
    s.BusyTicks = d;
    s.MaxTicks = d;
    s.MinTicks = d;
    s.FirstStart = start;
    s.LastEnd = end;
    s.Errors = ok ? 0 : 1;
}

// An interval's end is the latest end seen: with random pauses a portion's last operation is recorded
// after others that ended later, and a last-recorded end could precede the interval's first start.
void AddToInterval(IntervalStats& s, int64_t, int64_t end, int64_t d, bool ok, uint32_t size, bool write) {
    s.BusyTicks += d;
    if (d < s.MinTicks) s.MinTicks = d;
    if (d > s.MaxTicks) s.MaxTicks = d;
    ++s.IOCount;
    if (end > s.LastEnd) s.LastEnd = end;
    if (ok)
        s.Bytes += size;
    else
        ++s.Errors;
    if (write) {
        ++s.Writes;
        if (ok)
            s.WriteBytes += size;
        else
            ++s.WriteErrors;
    }
}

// Counter ticks in nanoseconds. The Linux counter already counts them: no 128-bit division on every
// operation there.
int64_t NsOf(int64_t ticks, int64_t frequency) {
    return frequency == 1'000'000'000 ? ticks
           : frequency > 0            ? platform::MulDiv(ticks, 1'000'000'000, frequency)
                                      : 0;
}

}  // namespace

void RecordScheduled(VolumeStats& v, int64_t start, int64_t end, int64_t intended, int64_t frequency) {
    const int64_t fromIntended = NsOf(std::max<int64_t>(end - intended, 0), frequency);
    const int64_t lateness = NsOf(std::max<int64_t>(start - intended, 0), frequency);
    const bool late = start - intended > v.LateTicks;
    // The run's, and the live interval's the operation was just recorded in.
    for (OpenLoopTally* t :
         {&v.OpenLoop, v.LiveOpenLoop && v.LiveNumber > 0
                           ? &(*v.LiveOpenLoop)[static_cast<size_t>(v.LiveNumber % VolumeStats::kLiveKept)]
                           : nullptr}) {
        if (!t) continue;
        t->fromIntended.Add(fromIntended);
        t->lateness.Add(lateness);
        if (late) ++t->late;
    }
}

void RecordOperation(VolumeStats& v, int64_t start, int64_t end, int64_t frequency, uint32_t error,
                     uint32_t requestSize, bool write) {
    std::lock_guard lock(v.Lock);
    RecordLocked(v, start, end, frequency, error, requestSize, write);
}

void RecordLocked(VolumeStats& v, int64_t start, int64_t end, int64_t frequency, uint32_t error,
                  uint32_t requestSize, bool write) {
    const bool ok = error == 0;
    const int64_t d = end - start;
    const int32_t bucket = LatencyBucket(d, frequency);
    const int64_t ns = NsOf(d, frequency);
    ++v.LatencyHistogram[bucket];
    const int fine = LogLinearHistogram::BucketOf(ns);
    v.Latency.Add(ns, fine);
    if (!ok) v.Causes.Add(error, 1, write ? 1 : 0, end);
    if (v.LivePeriodTicks > 0) {
        LiveInterval* l = &v.Live[static_cast<size_t>(v.LiveNumber % VolumeStats::kLiveKept)];
        if (v.LiveNumber == 0 || end - l->counters.FirstStart > v.LivePeriodTicks) {
            l = &v.Live[static_cast<size_t>(++v.LiveNumber % VolumeStats::kLiveKept)];
            l->number = v.LiveNumber;
            l->latency = {};
            l->causes = {};
            if (v.LiveOpenLoop)
                (*v.LiveOpenLoop)[static_cast<size_t>(v.LiveNumber % VolumeStats::kLiveKept)] = {};
            StartInterval(l->counters, start, end, d, ok, requestSize, write);
        } else {
            AddToInterval(l->counters, start, end, d, ok, requestSize, write);
        }
        l->latency.Add(ns, fine);
        if (!ok) l->causes.Add(error, 1, write ? 1 : 0, end);
    }
    IntervalStats& t = v.RunTotal;
    if (t.IOCount == 0) {
        StartInterval(t, start, end, d, ok, requestSize, write);
    } else {
        AddToInterval(t, start, end, d, ok, requestSize, write);
        if (start < t.FirstStart) t.FirstStart = start;
    }
    int32_t c = v.CurInterval;
    if (c == 0) {
        v.CurInterval = 1;
        StartInterval(v.Intervals[1], start, end, d, ok, requestSize, write);
    } else if (end - v.Intervals[c].FirstStart > v.PeriodTicks) {
        if (c < kIntervalCount) v.CurInterval = ++c;
        StartInterval(v.Intervals[c], start, end, d, ok, requestSize, write);
    } else {
        AddToInterval(v.Intervals[c], start, end, d, ok, requestSize, write);
    }
}

}  // namespace engine

#include "stats/result.h"

#include <algorithm>
#include <cstdlib>

#include "engine/pending.h"
#include "stats/aggregation.h"

namespace stats {

namespace {

void Finish(Figures& f, const engine::VolumeStats& rec, int64_t freq, const RunEcho& echo) {
    f.total = rec.RunTotal;
    f.rates = RatesOf(f.total, freq);
    f.latency = rec.Latency;
    f.percentiles = LatencyPercentiles(rec.Latency);
    static const std::array<double, kLatencyBounds> bounds = [] {
        std::array<double, kLatencyBounds> b{};
        for (size_t k = 0; k < kLatencyBounds; ++k) b[k] = std::strtod(kLatencyBoundTexts[k], nullptr);
        return b;
    }();
    size_t first = 0;  // the first bound of the bucket at hand: buckets and bounds both ascend
    for (int b = 0; b < engine::LogLinearHistogram::kBuckets && first < kLatencyBounds; ++b) {
        const double upper = static_cast<double>(engine::LogLinearHistogram::LowerOf(b) +
                                                 engine::LogLinearHistogram::WidthOf(b) - 1) /
                             1e9;
        while (first < kLatencyBounds && upper > bounds[first]) ++first;
        const uint64_t n = rec.Latency.counts[static_cast<size_t>(b)];
        for (size_t k = first; n > 0 && k < kLatencyBounds; ++k) f.latencyAtBounds[k] += n;
    }
    f.latencySumSeconds = freq > 0 ? static_cast<double>(f.total.BusyTicks) / static_cast<double>(freq) : 0;
    f.causes = CauseLines(rec.Causes, f.total.FirstStart, freq);
    f.handOver = rec.HandOvers;
    if (rec.OpenLoop.fromIntended.total > 0) {
        f.openLoop.on = true;
        f.openLoop.fromIntended = LatencyPercentiles(rec.OpenLoop.fromIntended);
        f.openLoop.lateness = LatencyPercentiles(rec.OpenLoop.lateness);
        f.openLoop.fromIntendedHistogram = rec.OpenLoop.fromIntended;
        f.openLoop.late = rec.OpenLoop.late;
    }
    f.settledBatch = rec.HandOvers.Settled(&f.settledShare);
    if (f.total.IOCount > 0) f.firstOperationUtcMs = echo.clock.UtcMsOf(f.total.FirstStart);
    const int32_t last = std::clamp(rec.CurInterval, 0, engine::kIntervalCount);
    for (int32_t j = 1; j <= last; ++j)
        f.intervals.push_back(
            {j, IntervalStartSeconds(rec, j, freq), rec.Intervals[j], RatesOf(rec.Intervals[j], freq)});
    // The window's 1 ms bars, from the same rule the window uses.
    StatsView view;
    ComputeStats(rec, freq, view, Separators{});
    f.histogramMs = std::move(view.latency);
}

}  // namespace

int64_t RunClock::UtcMsOf(int64_t ticks) const {
    return timerFreq > 0 ? startedUtcMs + (ticks - startedCounter) * 1000 / timerFreq : startedUtcMs;
}

bool RunResult::AnyFailed() const {
    return all.total.Errors > 0 || verify.timed.Mismatches() > 0 || verify.readBackChecks.Mismatches() > 0 ||
           verify.readBackChecks.readErrors > 0;
}

RunResult TakeResult(const engine::VolumeSet& volumes, const std::array<bool, engine::kDiskCount>& selected,
                     const RunEcho& echo) {
    ResultScratch scratch;
    return TakeResult(volumes, selected, echo, scratch);
}

RunResult TakeResult(const engine::VolumeSet& volumes, const std::array<bool, engine::kDiskCount>& selected,
                     const RunEcho& echo, ResultScratch& scratch) {
    RunResult r;
    r.settings = echo.settings;
    r.periodSeconds = echo.periodSeconds;
    r.host = echo.host;
    r.clock = echo.clock;
    r.interrupted = echo.interrupted || !echo.stuck.empty();
    r.workersNotReturned = static_cast<int>(echo.stuck.size());
    r.stuck = echo.stuck;
    r.failures = echo.failures;
    r.logEntries = echo.logEntries;
    r.logStreamed = echo.logStreamed;
    r.logNotWritten = echo.logNotWritten;

    const int64_t f = echo.clock.timerFreq;
    const int64_t asked = int64_t{echo.settings.threadsPerVolume} * echo.settings.queueDepth;
    engine::VolumeStats* all = scratch.all.get();
    engine::VolumeStats* copy = scratch.copy.get();
    all->ClearCounters();
    engine::IntervalStats running;
    bool first = true;
    for (int i = 0; i < volumes.Count(); ++i) {
        if (!volumes.Present(i) || !selected[static_cast<size_t>(i)]) continue;
        SnapshotCounters(*volumes.Record(i), *copy);
        copy->Total() = copy->RunTotal;
        VolumeFigures v;
        v.index = i;
        v.inFlightAsked = asked;
        if (static_cast<size_t>(i) < echo.devices.size()) {
            v.device = echo.devices[static_cast<size_t>(i)].first;
            v.uncached = echo.devices[static_cast<size_t>(i)].second;
        }
        v.sizeBytes = volumes.Size(i);
        Finish(v, *copy, f, echo);
        FoldVolume(*all, running, *copy, first);
        first = false;
        r.volumes.push_back(std::move(v));
    }
    all->Total() = running;
    r.all.inFlightAsked = asked * static_cast<int64_t>(r.volumes.size());
    Finish(r.all, *all, f, echo);
    r.logComplete = r.logNotWritten == 0 && r.logEntries >= static_cast<uint64_t>(r.all.total.IOCount);
    return r;
}

LiveFollower::LiveFollower(const std::array<bool, engine::kDiskCount>& selected, const RunClock& clock)
    : selected_(selected), timerFreq_(clock.timerFreq), origin_(clock.startedCounter) {
    next_.fill(1);
}

LiveFollower::Taken LiveFollower::Take(const engine::VolumeSet& volumes, bool runEnded) {
    Taken taken;
    int followed = 0;
    for (int i = 0; i < volumes.Count(); ++i) {
        if (!volumes.Present(i) || !selected_[static_cast<size_t>(i)]) continue;
        ++followed;
        engine::VolumeStats& v = *volumes.Record(i);
        const auto lock = engine::LockUpToDate(v);
        const int64_t closedUpTo = runEnded ? v.LiveNumber : v.LiveNumber - 1;
        int64_t& next = next_[static_cast<size_t>(i)];
        if (closedUpTo - next >= engine::VolumeStats::kLiveKept) {
            // Overwritten before they were read: said, never guessed.
            const int64_t keptFrom = v.LiveNumber - engine::VolumeStats::kLiveKept + 1;
            taken.missed += keptFrom - next;
            next = keptFrom;
        }
        for (; next <= closedUpTo; ++next) {
            const engine::LiveInterval& l =
                v.Live[static_cast<size_t>(next % engine::VolumeStats::kLiveKept)];
            LiveFigures lf;
            lf.index = i;
            lf.number = l.number;
            lf.counters = l.counters;
            lf.latency = l.latency;
            lf.causes = CauseLines(l.causes, origin_, timerFreq_);
            if (v.LiveOpenLoop) {
                lf.openLoop.on = true;
                lf.openLoop.rateAsked = v.RatePerVolume;
                lf.openTally = (*v.LiveOpenLoop)[static_cast<size_t>(next % engine::VolumeStats::kLiveKept)];
            }
            AddToAll(lf, l.causes);
            taken.volumes.push_back(std::move(lf));
        }
    }
    while (!pendingAll_.empty() && (runEnded || pendingAll_.front().volumes >= followed)) {
        Pending& p = pendingAll_.front();
        p.figures.causes = CauseLines(p.causes, origin_, timerFreq_);
        taken.all.push_back(std::move(p.figures));
        pendingAll_.erase(pendingAll_.begin());
    }
    for (auto* list : {&taken.volumes, &taken.all})
        for (LiveFigures& lf : *list) {
            lf.rates = RatesOf(lf.counters, timerFreq_);
            lf.percentiles = LatencyPercentiles(lf.latency);
            if (lf.openLoop.on) {
                lf.openLoop.fromIntended = LatencyPercentiles(lf.openTally.fromIntended);
                lf.openLoop.lateness = LatencyPercentiles(lf.openTally.lateness);
                lf.openLoop.late = lf.openTally.late;
            }
        }
    return taken;
}

void LiveFollower::AddToAll(const LiveFigures& lf, const engine::ErrorCauses& causes) {
    auto at = std::lower_bound(pendingAll_.begin(), pendingAll_.end(), lf.number,
                               [](const Pending& p, int64_t n) { return p.figures.number < n; });
    if (at == pendingAll_.end() || at->figures.number != lf.number) {
        at = pendingAll_.insert(at, Pending{});
        at->figures.number = lf.number;
    }
    FoldTotal(at->figures.counters, lf.counters, at->volumes == 0);
    at->figures.latency.Merge(lf.latency);
    if (lf.openLoop.on) {
        at->figures.openLoop.on = true;
        at->figures.openLoop.rateAsked += lf.openLoop.rateAsked;
        at->figures.openTally.Merge(lf.openTally);
    }
    at->causes.Merge(causes);
    ++at->volumes;
}

}  // namespace stats

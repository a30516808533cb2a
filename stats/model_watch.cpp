#include "stats/model_watch.h"

#include <algorithm>

namespace stats {

IntervalPoint PointOf(const LiveFigures& f, const RunClock& clock) {
    IntervalPoint p;
    p.number = f.number;
    if (clock.timerFreq > 0)
        p.startSeconds = static_cast<double>(f.counters.FirstStart - clock.startedCounter) /
                         static_cast<double>(clock.timerFreq);
    p.seconds = static_cast<double>(f.rates.seconds);
    p.ioPerSec = static_cast<double>(f.rates.ioPerSec);
    p.mbytesPerSec = static_cast<double>(f.rates.mbytesPerSec);
    if (p.seconds > 0)
        p.writeMbytesPerSec = static_cast<double>(f.counters.WriteBytes) / p.seconds / 1'048'576;
    p.p99Us = f.percentiles.any ? f.percentiles.p99 : 0;
    p.writeBytes = f.counters.WriteBytes;
    return p;
}

ModelWatch::ModelWatch(const RunClock& clock, const CliffRule& cliffs, bool writes,
                       std::optional<SteadyFigure> steady, double roundSeconds, const SteadyRule& rule)
    : clock_(clock),
      cliffRule_(cliffs),
      writes_(writes),
      steady_(steady),
      roundSeconds_(roundSeconds),
      steadyRule_(rule) {}

ModelWatch::Volume& ModelWatch::Of(int index) {
    for (Volume& v : volumes_)
        if (v.index == index) return v;
    volumes_.push_back({});
    volumes_.back().index = index;
    return volumes_.back();
}

const ModelWatch::Volume* ModelWatch::Find(int index) const {
    for (const Volume& v : volumes_)
        if (v.index == index) return &v;
    return nullptr;
}

std::vector<ModelWatch::Found> ModelWatch::Add(const std::vector<LiveFigures>& figures) {
    std::vector<Found> found;
    for (const LiveFigures& f : figures) {
        if (f.index < 0) continue;
        Volume& v = Of(f.index);
        v.series.push_back(PointOf(f, clock_));
        const IntervalPoint& p = v.series.back();
        if (writes_) {
            if (v.baseline == 0 && p.startSeconds + p.seconds > cliffRule_.baselineSeconds) {
                // The first interval past the baseline's time: the baseline is every interval before it (the
                // first alone when it is longer), and the thresholds are settled.
                v.baseline = std::max<size_t>(v.series.size() - 1, 1);
                double rate = 0, p99 = 0;
                BaselineOf(v.series, v.baseline, rate, p99);
                v.floor = cliffRule_.fallShare * rate;
                v.ceiling = cliffRule_.riseFactor * p99;
            }
            if (v.baseline > 0 && v.series.size() > v.baseline) {
                v.below = v.floor > 0 && p.writeMbytesPerSec < v.floor ? v.below + 1 : 0;
                v.above = v.ceiling > 0 && p.p99Us > v.ceiling ? v.above + 1 : 0;
                const int need = std::max(cliffRule_.intervals, 1);
                if (!v.fell && v.below >= need) {
                    v.fell = true;
                    found.push_back({f.index, "write_rate_fell"});
                }
                if (!v.rose && v.above >= need) {
                    v.rose = true;
                    found.push_back({f.index, "p99_rose"});
                }
            }
        }
        if (steady_ && !v.steady && static_cast<int>(v.series.size()) >= steadyRule_.window) {
            std::vector<double> last;
            for (size_t k = v.series.size() - static_cast<size_t>(steadyRule_.window); k < v.series.size();
                 ++k)
                last.push_back(SteadyValue(v.series[k], *steady_));
            if (JudgeWindow(last, 0, steadyRule_).steady) {
                v.steady = true;
                found.push_back({f.index, "steady_state"});
            }
        }
    }
    return found;
}

bool ModelWatch::AllSteady(int volumes) const {
    if (!steady_ || volumes <= 0) return false;
    const auto n = std::count_if(volumes_.begin(), volumes_.end(), [](const Volume& v) { return v.steady; });
    return n >= volumes;
}

Cliffs ModelWatch::CliffsOf(int index) const {
    const Volume* v = Find(index);
    return v && writes_ ? FindCliffs(v->series, cliffRule_) : Cliffs{};
}

SteadyState ModelWatch::SteadyOf(int index) const {
    SteadyState s;
    if (!steady_) return s;
    std::vector<double> rounds;
    if (const Volume* v = Find(index))
        for (const IntervalPoint& p : v->series) rounds.push_back(SteadyValue(p, *steady_));
    s = FindSteadyState(rounds, steadyRule_);
    if (s.reachedRound > 0) s.rounds = s.reachedRound;  // a round the stop cut short is not one
    s.figure = *steady_;
    s.roundSeconds = roundSeconds_;
    return s;
}

void ModelWatch::Fill(RunResult& result) const {
    for (VolumeFigures& v : result.volumes) {
        v.cliffs = CliffsOf(v.index);
        v.steady = SteadyOf(v.index);
    }
}

}  // namespace stats

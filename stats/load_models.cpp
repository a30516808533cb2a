#include "stats/load_models.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <iterator>
#include <utility>

namespace stats {

namespace {

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The first `rule.intervals` or more intervals in a row after the baseline for which past(value) holds.
template <typename Value, typename Past>
std::optional<Cliff> FirstRun(const std::vector<IntervalPoint>& series, size_t from, const CliffRule& rule,
                              double baseline, Value value, Past past) {
    const size_t need = static_cast<size_t>(std::max(rule.intervals, 1)), n = series.size();
    const auto cliff = [&](size_t first, size_t end, int64_t before) {
        std::vector<double> values;
        for (size_t j = first; j < end; ++j) values.push_back(value(series[j]));
        Cliff c;
        c.from = baseline;
        c.to = Median(values);
        c.atSeconds = series[first].startSeconds;
        c.writtenBefore = before;
        c.interval = series[first].number;
        c.length = static_cast<int64_t>(end - first);
        return c;
    };
    int64_t written = 0, before = 0;
    for (size_t k = 0; k < from; ++k) written += series[k].writeBytes;
    size_t first = n;  // the run in progress; n: none
    for (size_t k = from; k < n; ++k) {
        if (past(value(series[k]))) {
            if (first == n) {
                first = k;
                before = written;
            }
        } else {
            if (first != n && k - first >= need) return cliff(first, k, before);
            first = n;
        }
        written += series[k].writeBytes;
    }
    if (first != n && n - first >= need) return cliff(first, n, before);
    return std::nullopt;
}

}  // namespace

void BaselineOf(const std::vector<IntervalPoint>& series, size_t count, double& writeMbytesPerSec,
                double& p99Us) {
    std::vector<double> rates, p99s;
    for (size_t k = 0; k < count && k < series.size(); ++k) {
        rates.push_back(series[k].writeMbytesPerSec);
        if (series[k].p99Us > 0) p99s.push_back(series[k].p99Us);
    }
    writeMbytesPerSec = Median(rates);
    p99Us = Median(p99s);
}

Cliffs FindCliffs(const std::vector<IntervalPoint>& series, const CliffRule& rule) {
    Cliffs c;
    c.watched = true;
    c.rule = rule;
    // The baseline: the intervals that end within its time; the first alone when it is longer.
    size_t base = 0;
    while (base < series.size() && series[base].startSeconds + series[base].seconds <= rule.baselineSeconds)
        ++base;
    if (base == 0 && !series.empty()) base = 1;
    int64_t written = 0;
    for (const IntervalPoint& p : series) written += p.writeBytes;
    if (written == 0 || base == 0 || base >= series.size()) return c;
    c.judged = true;
    BaselineOf(series, base, c.baselineWriteMbytesPerSec, c.baselineP99Us);
    const auto rate = [](const IntervalPoint& p) { return p.writeMbytesPerSec; };
    const auto p99 = [](const IntervalPoint& p) { return p.p99Us; };
    if (c.baselineWriteMbytesPerSec > 0) {
        const double floor = rule.fallShare * c.baselineWriteMbytesPerSec;
        c.writeRate = FirstRun(series, base, rule, c.baselineWriteMbytesPerSec, rate,
                               [floor](double v) { return v < floor; });
    }
    if (c.baselineP99Us > 0) {
        const double ceiling = rule.riseFactor * c.baselineP99Us;
        c.p99 =
            FirstRun(series, base, rule, c.baselineP99Us, p99, [ceiling](double v) { return v > ceiling; });
    }
    return c;
}

const char* SteadyFigureName(SteadyFigure f) {
    switch (f) {
        case SteadyFigure::Mbps:
            return "mbps";
        case SteadyFigure::P99:
            return "p99";
        default:
            return "iops";
    }
}

bool ParseSteadyFigure(const std::string& text, SteadyFigure& f) {
    for (SteadyFigure k : {SteadyFigure::Iops, SteadyFigure::Mbps, SteadyFigure::P99})
        if (text == SteadyFigureName(k)) {
            f = k;
            return true;
        }
    return false;
}

double SteadyValue(const IntervalPoint& p, SteadyFigure f) {
    switch (f) {
        case SteadyFigure::Mbps:
            return p.mbytesPerSec;
        case SteadyFigure::P99:
            return p.p99Us;
        default:
            return p.ioPerSec;
    }
}

SteadyWindow JudgeWindow(const std::vector<double>& values, int firstRound, const SteadyRule& rule) {
    SteadyWindow w;
    w.values = values;
    w.firstRound = firstRound;
    const size_t n = values.size();
    if (n == 0) return w;
    double sum = 0;
    for (double v : values) sum += v;
    w.average = sum / static_cast<double>(n);
    const auto [lo, hi] = std::minmax_element(values.begin(), values.end());
    w.range = *hi - *lo;
    // Least squares over the rounds 0 .. n-1: the slope is the covariance over the variance of the rounds.
    const double xMean = static_cast<double>(n - 1) / 2;
    double sxy = 0, sxx = 0;
    for (size_t k = 0; k < n; ++k) {
        const double dx = static_cast<double>(k) - xMean;
        sxy += dx * (values[k] - w.average);
        sxx += dx * dx;
    }
    const double slope = sxx > 0 ? sxy / sxx : 0;
    w.slopeExcursion = std::fabs(slope) * static_cast<double>(n - 1);
    if (w.average > 0) {
        w.rangeShare = w.range / w.average;
        w.slopeShare = w.slopeExcursion / w.average;
    }
    // A figure exactly at a threshold is within it; the tolerance absorbs the rounding of the sums.
    constexpr double kTolerance = 1e-9;
    w.steady = static_cast<int>(n) >= rule.window && w.average > 0 &&
               w.rangeShare <= rule.rangeShare + kTolerance && w.slopeShare <= rule.slopeShare + kTolerance;
    return w;
}

SteadyState FindSteadyState(const std::vector<double>& rounds, const SteadyRule& rule) {
    SteadyState s;
    s.asked = true;
    s.rule = rule;
    s.all = rounds;
    s.rounds = static_cast<int>(rounds.size());
    const size_t n = static_cast<size_t>(std::max(rule.window, 1));
    for (size_t end = n; end <= rounds.size(); ++end) {
        s.window = JudgeWindow({rounds.begin() + static_cast<std::ptrdiff_t>(end - n),
                                rounds.begin() + static_cast<std::ptrdiff_t>(end)},
                               static_cast<int>(end - n + 1), rule);
        if (s.window.steady) {
            s.reachedRound = static_cast<int>(end);
            return s;
        }
    }
    if (rounds.size() < n) s.window = JudgeWindow(rounds, 1, rule);  // too few rounds to judge: what there is
    return s;
}

bool ParseLatencyTarget(const std::string& text, LatencyTarget& target, std::string& why) {
    const size_t eq = text.find('=');
    const std::string name = text.substr(0, eq);
    const std::pair<const char*, double> names[] = {
        {"p50", 0.5}, {"p90", 0.9}, {"p99", 0.99}, {"p99.9", 0.999}};
    const auto known =
        std::find_if(std::begin(names), std::end(names), [&](const auto& n) { return name == n.first; });
    if (eq == std::string::npos || known == std::end(names)) {
        why = "is not a percentile and a bound, such as p99=2ms (p50, p90, p99 or p99.9)";
        return false;
    }
    const std::string value = text.substr(eq + 1);
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(value.c_str(), &end);
    const std::string unit = end ? std::string(end) : std::string();
    const std::pair<const char*, double> units[] = {{"ns", 1e-3}, {"us", 1}, {"ms", 1e3}, {"s", 1e6}};
    const auto u =
        std::find_if(std::begin(units), std::end(units), [&](const auto& k) { return unit == k.first; });
    if (errno != 0 || end == value.c_str() || !std::isfinite(v) || u == std::end(units)) {
        why = "has no time as its bound: give a number and ns, us, ms or s, such as p99=2ms";
        return false;
    }
    if (!(v > 0) || v * u->second > 3.6e9) {
        why = "has a bound that is not above 0 s and within an hour";
        return false;
    }
    target.name = known->first;
    target.quantile = known->second;
    target.boundUs = v * u->second;
    return true;
}

int64_t StepOperations(const LatencyTarget& target) {
    return static_cast<int64_t>(std::ceil(10 / (1 - target.quantile) - 1e-9));
}

double LowestStepRate(const LatencyTarget& target, double stepSeconds, int volumes) {
    const double perSecond = static_cast<double>(StepOperations(target)) / std::max(stepSeconds, 1.0);
    return std::ceil(perSecond / std::max(volumes, 1));
}

bool TargetMet(double valueUs, double relativeError, const LatencyTarget& target) {
    return valueUs * (1 + relativeError) <= target.boundUs;
}

void LoadSearch::Judged(int load, bool met) {
    if (met)
        met_ = std::max(met_, load);
    else if (missed_ == 0 || load < missed_)
        missed_ = load;
    if (missed_ == 0) {
        // Still doubling: until the bound is missed or the most is reached.
        next_ = met_ >= most_ ? 0 : std::min(met_ * 2, most_);
        return;
    }
    const int close = std::max(1, static_cast<int>(met_ * tolerance_));
    next_ = missed_ - met_ <= close ? 0 : met_ + (missed_ - met_) / 2;
}

}  // namespace stats

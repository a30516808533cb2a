#pragma once
// What a run's series of intervals says beyond its totals: whether a volume fell off a cliff (its write rate
// fell, or its p99 rose, and stayed so) and whether it reached steady state (the rule storage engineers use
// for solid-state devices: over the last five rounds the tracked figure varies within 20% of their average,
// and the least-squares line over them moves by at most 10% of it).
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace stats {

// One closed interval of a volume, as the models read it.
struct IntervalPoint {
    int64_t number = 0;
    double startSeconds = 0;  // from the run's start
    double seconds = 0;       // its span
    double ioPerSec = 0, mbytesPerSec = 0, writeMbytesPerSec = 0;
    double p99Us = 0;  // 0: no operation
    int64_t writeBytes = 0;
};

// A fall of the write rate below fallShare of the baseline (the median of the intervals that end within the
// first baselineSeconds), or a rise of p99 above riseFactor times the baseline's, for at least `intervals`
// intervals in a row after the baseline.
struct CliffRule {
    double baselineSeconds = 60;
    double fallShare = 0.5;
    double riseFactor = 3;
    int intervals = 3;
};

struct Cliff {
    double from = 0, to = 0;    // the baseline, and the median of the intervals past the threshold in a row
    double atSeconds = 0;       // the first of them began, from the run's start
    int64_t writtenBefore = 0;  // bytes written before it
    int64_t interval = 0;       // its number
    int64_t length = 0;         // intervals past the threshold in a row
};

struct Cliffs {
    bool judged = false;   // the run had writes, a baseline and intervals after it
    bool watched = false;  // a run with writes: followed for cliffs
    CliffRule rule;
    double baselineWriteMbytesPerSec = 0, baselineP99Us = 0;
    std::optional<Cliff> writeRate, p99;
};
Cliffs FindCliffs(const std::vector<IntervalPoint>& series, const CliffRule& rule);
// The medians of the first `count` intervals: write rate, and p99 of those that had operations.
void BaselineOf(const std::vector<IntervalPoint>& series, size_t count, double& writeMbytesPerSec,
                double& p99Us);

enum class SteadyFigure { Iops, Mbps, P99 };
const char* SteadyFigureName(SteadyFigure f);  // "iops", "mbps", "p99"
bool ParseSteadyFigure(const std::string& text, SteadyFigure& f);
double SteadyValue(const IntervalPoint& p, SteadyFigure f);

struct SteadyRule {
    int window = 5;
    double rangeShare = 0.20;
    double slopeShare = 0.10;
    int maxRounds = 25;
};

// Five rounds judged: their figures, their average, the range (largest less smallest) and the slope
// excursion (the least-squares line's change across the window, its slope times four), both also as shares
// of the average.
struct SteadyWindow {
    std::vector<double> values;
    int firstRound = 0;  // of the window, from 1
    double average = 0, range = 0, slopeExcursion = 0;
    double rangeShare = 0, slopeShare = 0;
    bool steady = false;
};
SteadyWindow JudgeWindow(const std::vector<double>& values, int firstRound, const SteadyRule& rule);

struct SteadyState {
    bool asked = false;
    SteadyRule rule;
    SteadyFigure figure = SteadyFigure::Iops;
    double roundSeconds = 0;
    int rounds = 0;           // rounds taken
    int reachedRound = 0;     // the round that completed the first steady window; 0: not reached
    SteadyWindow window;      // that window, or the last five rounds
    std::vector<double> all;  // every round's figure
};
// Judges the rounds in order; the first steady window decides.
SteadyState FindSteadyState(const std::vector<double>& rounds, const SteadyRule& rule);

// The highest load under a latency bound: "p99=2ms" (p50, p90, p99 or p99.9; ns, us, ms or s).
struct LatencyTarget {
    std::string name = "p99";
    double quantile = 0.99;
    double boundUs = 0;
};
// False with the reason when the text is not such a bound.
bool ParseLatencyTarget(const std::string& text, LatencyTarget& target, std::string& why);
// The operations a step must hold for its percentile to be a measurement: ten beyond it (p99: 1,000).
int64_t StepOperations(const LatencyTarget& target);
// The lowest rate (operations a second per volume) whose step of stepSeconds holds StepOperations on
// `volumes` volumes together: a rate search goes in whole multiples of it.
double LowestStepRate(const LatencyTarget& target, double stepSeconds, int volumes);
// Met when the percentile and its known error are both within the bound.
bool TargetMet(double valueUs, double relativeError, const LatencyTarget& target);

// The search over the load, in whole units of it (a queue depth, or a rate in steps of the lowest one
// asked): doubling from 1 while the bound is met, then bisection between the highest load that met it and the
// lowest that did not, until they are neighbours, or (tolerance above 0) until they are within that share of
// the one that met it.
class LoadSearch {
  public:
    explicit LoadSearch(int most, double tolerance = 0) : most_(most > 0 ? most : 1), tolerance_(tolerance) {}
    int Next() const { return next_; }  // 0: the search is over
    void Judged(int load, bool met);
    int Best() const { return met_; }  // the highest load that met the bound; 0: none did

  private:
    int most_;
    double tolerance_;
    int next_ = 1;
    int met_ = 0, missed_ = 0;  // 0: none yet
};

}  // namespace stats

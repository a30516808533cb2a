#pragma once
// The load models followed while a run goes: each volume's closed intervals kept as a series, what the models
// find in it said once as it is found, and the findings added to the run's result at its end.
#include <optional>
#include <string>
#include <vector>

#include "stats/load_models.h"
#include "stats/result.h"

namespace stats {

IntervalPoint PointOf(const LiveFigures& f, const RunClock& clock);

// The series of every volume as the run goes, and what the models find in them.
class ModelWatch {
  public:
    ModelWatch(const RunClock& clock, const CliffRule& cliffs, bool writes,
               std::optional<SteadyFigure> steady, double roundSeconds, const SteadyRule& rule = {});
    // Takes closed intervals of volumes (not of all); returns the texts of what was found by them, once each:
    // "write_rate_fell", "p99_rose", "steady_state".
    struct Found {
        int index = -1;
        std::string what;
    };
    std::vector<Found> Add(const std::vector<LiveFigures>& volumes);
    // Every volume of the run has reached steady state (and at least one is followed).
    bool AllSteady(int volumes) const;
    Cliffs CliffsOf(int index) const;
    SteadyState SteadyOf(int index) const;
    // The models' findings, into the result's volumes.
    void Fill(RunResult& result) const;

  private:
    struct Volume {
        int index = -1;
        std::vector<IntervalPoint> series;
        // Followed interval by interval, by the rule FindCliffs applies to the whole series at the end.
        size_t baseline = 0;  // intervals in the baseline; 0: not complete yet
        double floor = 0, ceiling = 0;
        int below = 0, above = 0;  // intervals past each threshold in a row
        bool fell = false, rose = false, steady = false;
    };
    Volume& Of(int index);
    const Volume* Find(int index) const;
    RunClock clock_;
    CliffRule cliffRule_;
    bool writes_;
    std::optional<SteadyFigure> steady_;
    double roundSeconds_;
    SteadyRule steadyRule_;
    std::vector<Volume> volumes_;
};

}  // namespace stats

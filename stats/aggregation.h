#pragma once
// The statistics refresh: every ticked volume's totals rebuilt from its completed intervals, folded into
// the all-volumes record, and each shown.
#include <array>
#include <memory>
#include <string>

#include "engine/volume_set.h"
#include "stats/presentation.h"

namespace stats {

// Where a refresh puts its results; the window writes them into its labels and series.
class RefreshSink {
  public:
    virtual ~RefreshSink() = default;
    // The "Curpos " text of a present volume.
    virtual void SetDebugText(int volume, const std::string& text) = 0;
    // The figures of one volume, or of all volumes when volume is -1.
    virtual void Show(int volume, const StatsView& view) = 0;
};

// Total over intervals 1..last of rec: sums, extremes, first start of interval 1, last end of interval last.
engine::IntervalStats SumIntervals(const engine::VolumeStats& rec, int32_t last);
// Folds a volume's total into the running total; first takes the volume's extremes as they are.
void FoldTotal(engine::IntervalStats& running, const engine::IntervalStats& volume, bool first);
// Adds interval j of a volume into interval j of the all-volumes record (0 FirstStart = not yet set).
void MergeInterval(engine::IntervalStats& all, const engine::IntervalStats& volume);
// Folds one contributing volume (its counters and its rebuilt Total) into the all-volumes record and the
// running total: histogram added, CurInterval raised, intervals merged by number, Total folded.
void FoldVolume(engine::VolumeStats& all, engine::IntervalStats& running, const engine::VolumeStats& volume,
                bool first);

class StatisticsRefresher {
  public:
    StatisticsRefresher();
    // One refresh. ticked[i] is the state of volume i's check box.
    void Refresh(const engine::VolumeSet& volumes, int64_t timerFreq,
                 const std::array<bool, engine::kDiskCount>& ticked, RefreshSink& sink);
    // The all-volumes record as the last refresh rebuilt it; nothing else writes it.
    const engine::VolumeStats& AllVolumes() const { return *all_; }
    // A volume's total over its completed intervals, as the last refresh showed it (the engine's record
    // is the workers' and is not written here).
    const engine::IntervalStats& VolumeTotal(int volume) const {
        return totals_[static_cast<size_t>(volume)];
    }

  private:
    std::unique_ptr<engine::VolumeStats> all_;
    // Copy of one volume's counters, taken under its Lock so the workers wait only for the copy.
    std::unique_ptr<engine::VolumeStats> snapshot_;
    StatsView view_;
    std::array<engine::IntervalStats, engine::kDiskCount> totals_{};
};

// Copies CurInterval, intervals 1..CurInterval and the histogram of v into copy, under v's Lock.
void SnapshotCounters(engine::VolumeStats& v, engine::VolumeStats& copy);

}  // namespace stats

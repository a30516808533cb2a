#pragma once
// How many of a pass's queued operations a worker hands to the system in one call. One at a time (fio's
// way) gives each operation the least wait before the device sees it; all of a pass in one call wakes the
// device's queue once for them all. Which gives more completions depends on the device and the machine
// (measured: an O_DIRECT file on ext4 gave 40% more at one a call, a loop device 20% more at all in one,
// on the same machine), so the default finds it while the run goes, and keeps finding it as the device
// changes (a write cache filling, a neighbour arriving).
//
// The batch is one of 1, 4, 16 ... up to the depth (steps of four: neighbouring levels then differ by more
// than a window's noise). Completions are counted in windows of at least kWindow operations (and 8 per
// stream) spanning at least 50 ms of their end times, so that a window's rate is a measurement, not a
// scheduling accident. The controller stays on its level and, every few windows, tries a neighbouring one
// for a window, then goes back for one: the try is kept when it gave more than kMargin more completions a
// second than the two windows around it (so that a drifting device is not taken for a difference), and the
// next level that way is tried at once; a try that is not kept is given up, and the next goes the other way
// after twice as many windows (up to kMaxHold). On a device that has settled, trying costs one window in
// eighteen (a window of a level some 20% worse: about 1% of the completions), and a change is followed
// within about a second and a half. A run begins with a sweep of one window at each
// level, from one at a time up, and starts from the best of them. The first completions after a change of
// level are not counted: they were handed over at the level before.
//
// Everything is decided from the completions' end readings alone, after they were timed: nothing is added
// between a call's two counter readings, and a given sequence of completions always gives the same choices.
#include <array>
#include <cstddef>
#include <cstdint>

namespace engine {

class HandOver {
  public:
    static constexpr uint32_t kWindow = 256;
    static constexpr double kMargin = 0.02;
    static constexpr uint32_t kFirstHold = 2, kMaxHold = 16;
    static constexpr int kMaxLevels = 8;  // 1, 4, 16 ... 1024, and a depth that is no power of four

    // depth: the worker's streams (1 and more); fixed: the batch asked for (1..depth), or 0 to find it.
    // minSpanTicks: the shortest window, in counter ticks.
    HandOver(uint32_t depth, uint32_t fixed, int64_t minSpanTicks);

    // The operations to hand over per call now.
    uint32_t Batch() const { return levels_[static_cast<std::size_t>(level_)]; }
    // One completion, by the counter reading at its end.
    void Completed(int64_t endTicks);

    bool Adaptive() const { return adaptive_; }
    // Times the level it settles on moved, and the completions counted at each batch size (index: the
    // level, whose batch is LevelBatch).
    uint32_t Changes() const { return changes_; }
    int Levels() const { return count_; }
    uint32_t LevelBatch(int level) const { return levels_[static_cast<std::size_t>(level)]; }
    uint64_t CompletionsAt(int level) const { return completions_[static_cast<std::size_t>(level)]; }

  private:
    void Window(double rate);
    void SetLevel(int level);

    std::array<uint32_t, kMaxLevels> levels_{};
    std::array<uint64_t, kMaxLevels> completions_{};
    int count_ = 1;
    int level_ = 0;
    int base_ = 0;
    int dir_ = -1;
    bool adaptive_ = false;
    enum class Phase { Sweep, Base, Probe, Check } phase_ = Phase::Base;
    int probe_ = 0;
    double probeRate_ = 0;
    uint32_t hold_ = kFirstHold, sinceProbe_ = 0;
    uint32_t changes_ = 0;
    uint32_t windowSize_ = kWindow;
    uint32_t skip_ = 0;
    int64_t minSpan_ = 0;
    uint64_t inWindow_ = 0;
    int64_t firstEnd_ = 0, lastEnd_ = 0;
    double baseRate_ = 0;
};

}  // namespace engine

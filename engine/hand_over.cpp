#include "engine/hand_over.h"

#include <algorithm>

namespace engine {

HandOver::HandOver(uint32_t depth, uint32_t fixed, int64_t minSpanTicks)
    : adaptive_(fixed == 0 && depth > 1), minSpan_(minSpanTicks) {
    depth = std::max(depth, 1u);
    if (!adaptive_) {
        levels_[0] = std::clamp(fixed, 1u, depth);
        return;
    }
    count_ = 0;
    for (uint32_t b = 1; b < depth && count_ < kMaxLevels - 1; b *= 4)
        levels_[static_cast<size_t>(count_++)] = b;
    levels_[static_cast<size_t>(count_++)] = depth;
    // A first sweep measures every level once, from one at a time up, and starts from the best of them.
    phase_ = Phase::Sweep;
    level_ = base_ = 0;
    windowSize_ = std::max(kWindow, 8 * depth);
}

void HandOver::SetLevel(int level) {
    level_ = level;
    // Those in flight now were handed over at the level before.
    skip_ = levels_[static_cast<size_t>(count_ - 1)];
    inWindow_ = 0;
}

void HandOver::Completed(int64_t end) {
    ++completions_[static_cast<size_t>(level_)];
    if (!adaptive_) return;
    if (skip_ > 0) {
        --skip_;
        return;
    }
    if (inWindow_ == 0) firstEnd_ = lastEnd_ = end;
    ++inWindow_;
    lastEnd_ = std::max(lastEnd_, end);
    const int64_t span = lastEnd_ - firstEnd_;
    if (inWindow_ < windowSize_ || span < minSpan_ || span <= 0) return;
    const double rate = static_cast<double>(inWindow_ - 1) / static_cast<double>(span);
    inWindow_ = 0;
    Window(rate);
}

void HandOver::Window(double rate) {
    switch (phase_) {
        case Phase::Sweep:
            if (level_ == 0 || rate > baseRate_) {
                base_ = level_;
                baseRate_ = rate;
            }
            if (level_ + 1 < count_) {
                SetLevel(level_ + 1);
                return;
            }
            phase_ = Phase::Base;
            if (base_ != 0) ++changes_;
            dir_ = base_ == count_ - 1 ? -1 : 1;
            SetLevel(base_);
            return;
        case Phase::Probe:
            // Back to the base for one window: the try is judged against the base on both sides of it, so
            // that a device drifting meanwhile is not taken for a difference.
            probeRate_ = rate;
            phase_ = Phase::Check;
            SetLevel(base_);
            return;
        case Phase::Check: {
            phase_ = Phase::Base;
            sinceProbe_ = 0;
            const double around = (baseRate_ + rate) / 2;
            if (probeRate_ > around * (1 + kMargin)) {
                // Better: settle there and try the next level the same way at once.
                base_ = probe_;
                baseRate_ = probeRate_;
                ++changes_;
                hold_ = 0;
                SetLevel(base_);
            } else {
                baseRate_ = rate;
                dir_ = -dir_;
                hold_ = std::clamp(hold_ * 2, kFirstHold, kMaxHold);
                return;
            }
            break;
        }
        case Phase::Base:
            baseRate_ = rate;
            if (sinceProbe_++ < hold_) return;
            sinceProbe_ = 0;
            break;
    }
    int next = base_ + dir_;
    if (next < 0 || next >= count_) {
        // At an end of the levels the try goes the other way: now, unless a climb just got here (the level
        // it came from was worse), then after a while.
        dir_ = -dir_;
        next = base_ + dir_;
        if (hold_ == 0 || next < 0 || next >= count_) {
            hold_ = std::max(hold_, kFirstHold);
            return;
        }
    }
    phase_ = Phase::Probe;
    probe_ = next;
    SetLevel(next);
}
}  // namespace engine

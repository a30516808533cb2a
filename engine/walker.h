#pragma once
// The block positions of one operation stream: a synchronous worker, or one stream of a queued worker.
#include <cstdint>

#include "engine/random.h"
#include "engine/records.h"

namespace engine {

// Block position of the current pass, walking one of the four patterns.
struct Walker {
    int32_t method;
    int64_t n;  // BlockCount
    int64_t p = 0;
    int64_t k = 0;
    bool phase = true;

    int64_t RandomPosition(WorkerRandom& rnd) const {
        // Extended precision, truncated toward zero: the last two blocks are never chosen.
        return static_cast<int64_t>(static_cast<long double>(n - 2) * rnd.U());
    }
    void Start(WorkerRandom& rnd) {
        switch (method) {
            case kRandom:
                p = RandomPosition(rnd);
                break;
            case kLinearBackward:
                p = n - 1;
                break;
            default:
                p = 0;
                break;
        }
    }
    void Next(WorkerRandom& rnd) {
        switch (method) {
            case kRandom:
                p = RandomPosition(rnd);
                break;
            case kBatterfly:
                if (phase) {
                    p = n - 1 - k;
                    phase = false;
                } else {
                    if (++k > n - 1) k = 0;
                    phase = true;
                    p = k;
                }
                break;
            case kLinearForward:
                if (++p > n - 1) p = 0;
                break;
            case kLinearBackward:
                if (--p < 0) p = n - 1;
                break;
            default:
                break;
        }
    }
};

}  // namespace engine

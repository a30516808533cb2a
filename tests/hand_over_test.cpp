// The adaptive hand-over on simulated devices: completions at the rate a device gives for the batch in force,
// with a jitter, fed to the controller as a worker's loop feeds its completions.
#include "engine/hand_over.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "engine/random.h"

namespace {

constexpr int64_t kFreq = 1'000'000'000;
constexpr int64_t kMinSpan = kFreq / 20;  // 50 ms, as the loop asks

// Completions a second of the measured machines' devices for each batch (see the table): an O_DIRECT
// file where one at a time is best, a loop device where all at once is, and a device with its best between.
double Trickle(uint32_t b, uint32_t q) {
    return 174'000 - 50'000 * std::log2(b) / std::log2(q);
}
double Batch(uint32_t b, uint32_t q) {
    return 71'000 + 15'000 * std::log2(b) / std::log2(q);
}
double Middle(uint32_t b, uint32_t) {
    return 120'000 - 4'000 * std::abs(std::log2(b) - 2);
}

struct Outcome {
    double rate;  // completions a second over the measured part
    uint32_t changes;
};

// Runs `seconds` of completions; rate(batch, t) may change with time. The rate over [from, seconds).
Outcome Simulate(uint32_t depth, uint32_t fixed, double seconds, double from,
                 const std::function<double(uint32_t, double)>& rate) {
    engine::HandOver h(depth, fixed, kMinSpan);
    engine::WorkerRandom jitter;
    jitter.Seed(42);
    double t = 0, burstEnds = 0, burst = 1;
    uint64_t counted = 0;
    while (t < seconds) {
        // A device is never steady: +-15% for 10 ms at a time (20 ms windows of a virtual disk varied by
        // +-2% once warm, by +-25% while warming up), and +-5% on every completion.
        if (t >= burstEnds) {
            burst = 0.85 + 0.3 * static_cast<double>(jitter.U());
            burstEnds = t + 0.01;
        }
        t += (0.95 + 0.1 * static_cast<double>(jitter.U())) / (burst * rate(h.Batch(), t));
        h.Completed(static_cast<int64_t>(t * kFreq));
        if (t >= from) ++counted;
    }
    return {static_cast<double>(counted) / (seconds - from), h.Changes()};
}

}  // namespace

// On each device the adaptive choice gives within 5% of the better of the two fixed ones (one at a time, or
// all of a pass), and follows a device that changes its preference in the middle of a run.
TEST(HandOver, FindsTheBetterHandOverAndFollowsAChange) {
    for (const uint32_t q : {8u, 32u}) {
        for (const auto& device : {Trickle, Batch, Middle}) {
            const auto fixedRate = [&](uint32_t b) {
                return Simulate(q, b, 2, 1, [&](uint32_t batch, double) { return device(batch, q); }).rate;
            };
            const double best = std::max(fixedRate(1), fixedRate(q));
            const Outcome adaptive = Simulate(q, 0, 4, 1, [&](uint32_t b, double) { return device(b, q); });
            EXPECT_GE(adaptive.rate, 0.95 * best)
                << "depth " << q << ": " << adaptive.rate << " against " << best;
        }
        // Trickle for 3 s, then batches (a write cache that filled): judged over the last 3 s.
        const auto changing = [&](uint32_t b, double t) { return t < 3 ? Trickle(b, q) : Batch(b, q); };
        const Outcome follow = Simulate(q, 0, 6, 3.5, changing);
        const double after = std::max(Batch(1, q), Batch(q, q));
        EXPECT_GE(follow.rate, 0.95 * after) << "depth " << q;
        EXPECT_GE(follow.changes, 2u);
    }
}

// An explicit batch is kept whatever the device does, and depth 1 has nothing to choose.
TEST(HandOver, AFixedBatchStaysFixed) {
    engine::HandOver fixed(32, 4, kMinSpan), single(1, 0, kMinSpan);
    for (int64_t k = 1; k < 200'000; ++k) {
        fixed.Completed(k * (k < 100'000 ? 10'000 : 1'000));
        single.Completed(k * 10'000);
    }
    EXPECT_EQ(fixed.Batch(), 4u);
    EXPECT_FALSE(fixed.Adaptive());
    EXPECT_EQ(fixed.Changes(), 0u);
    EXPECT_EQ(single.Batch(), 1u);
    EXPECT_EQ(single.Levels(), 1);
}

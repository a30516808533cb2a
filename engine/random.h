#pragma once
// The worker's pseudo-random generator: 32-bit draws k, u = k / 2^32, Random(n) in 0..n-1.
#include <cmath>
#include <cstdint>

namespace engine {

class WorkerRandom {
  public:
    void Seed(uint64_t seed) {
        // splitmix64 spreads any seed (clock readings differ in few bits) over the whole state.
        for (auto& word : state_) {
            seed += 0x9E3779B97F4A7C15ull;
            uint64_t z = seed;
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
            word = z ^ (z >> 31);
        }
        if ((state_[0] | state_[1]) == 0) state_[0] = 1;
    }
    // xorshift128+, upper 32 bits.
    uint32_t Next32() {
        uint64_t s1 = state_[0];
        const uint64_t s0 = state_[1];
        state_[0] = s0;
        s1 ^= s1 << 23;
        state_[1] = s1 ^ s0 ^ (s1 >> 17) ^ (s0 >> 26);
        return static_cast<uint32_t>((state_[1] + s0) >> 32);
    }
    uint64_t Next64() { return (static_cast<uint64_t>(Next32()) << 32) | Next32(); }
    long double U() { return static_cast<long double>(Next32()) / 4294967296.0L; }
    // n >= 1.
    uint32_t Random(uint32_t n) { return static_cast<uint32_t>((static_cast<uint64_t>(Next32()) * n) >> 32); }

  private:
    uint64_t state_[2] = {1, 2};
};

// An open loop's gaps between intended starts, in counter ticks: all equal, or exponential with that mean (a
// Poisson process), from a generator of their own so that a seed always gives the same schedule.
class ArrivalGaps {
  public:
    ArrivalGaps(double meanTicks, bool poisson, uint64_t seed) : mean_(meanTicks), poisson_(poisson) {
        random_.Seed(seed);
    }
    double Next() {
        if (!poisson_) return mean_;
        const double u = (static_cast<double>(random_.Next32()) + 1) / 4294967296.0;  // (0, 1]: never log(0)
        return -std::log(u) * mean_;
    }

  private:
    WorkerRandom random_;
    double mean_;
    bool poisson_;
};

}  // namespace engine

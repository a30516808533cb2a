#include <time.h>

#include "platform/clock.h"

namespace platform {

int64_t CounterNow() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

int64_t CounterFrequency() {
    return 1'000'000'000;
}

uint32_t TickCountMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const uint64_t ms =
        static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1'000'000u;
    return static_cast<uint32_t>(ms);
}

void SleepMs(int32_t ms) {
    if (ms <= 0) return;
    timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1'000'000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

}  // namespace platform

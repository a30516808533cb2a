#pragma once
// Time sources: the high-resolution counter every operation is timed with, a wrapping millisecond
// tick count for the test timer, and a plain sleep.
#include <cstdint>

namespace platform {

// Current value of the monotonic high-resolution counter, in ticks.
int64_t CounterNow();
// Ticks per second of CounterNow(); constant for the life of the process.
int64_t CounterFrequency();
// Milliseconds since an arbitrary start; wraps at 2^32 like the system tick count.
uint32_t TickCountMs();
// Sleeps the calling thread; values of 0 or less return at once.
void SleepMs(int32_t ms);

}  // namespace platform

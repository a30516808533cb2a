#pragma once
// How much memory the machine has, for refusing a run whose bookkeeping would not fit.
#include <cstdint>

namespace platform {

// Physical memory in bytes; 0 when the system does not say.
int64_t PhysicalMemoryBytes();

}  // namespace platform

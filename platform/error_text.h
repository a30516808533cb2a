#pragma once
// The system's own description of an error code (errno on Linux, GetLastError codes on Windows).
#include <cstdint>
#include <string>

namespace platform {

// Description as the system gives it, possibly ending in a line break; empty when the system has none.
// Safe to call from any thread.
std::string SystemErrorDescription(uint32_t code);

}  // namespace platform

namespace platform {

// The code the system uses for "not enough memory".
uint32_t OutOfMemoryErrorCode();

}  // namespace platform

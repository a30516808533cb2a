#pragma once
// The system's own description of an error code (errno on Linux, GetLastError codes on Windows), and the
// few codes of our own that stand beside the system's.
#include <cstdint>
#include <string>

namespace platform {

// A read or write that moved fewer bytes than asked: no system code says this, so it has one of ours,
// outside the range either system uses.
constexpr uint32_t kShortTransfer = 0xE0000001u;

// Description as the system gives it, possibly ending in a line break; empty when the system has none.
// Safe to call from any thread.
std::string SystemErrorDescription(uint32_t code);

// The code the system uses for "not enough memory".
uint32_t OutOfMemoryErrorCode();

}  // namespace platform

#pragma once
// Error codes the engine needs by name, beside the system's own (errno on Linux, GetLastError on Windows).
#include <cstdint>

namespace platform {

// A read or write that moved fewer bytes than asked: no system code says this, so it has one of ours,
// outside the range either system uses.
constexpr uint32_t kShortTransfer = 0xE0000001u;
// A pass of a portion that held neither a read nor a write: recorded as failed, as no call succeeded.
constexpr uint32_t kNoCall = 0xE0000002u;
// A read whose data is not what this run wrote there (the verify option).
constexpr uint32_t kDataMismatch = 0xE0000003u;
// Windows: a queue's handle is tied to another worker's completion port already (the one handle of a volume
// locked for writing, which every worker shares).
constexpr uint32_t kQueueHandleTaken = 0xE0000004u;

// The system's code for "not enough memory".
uint32_t OutOfMemoryErrorCode();

}  // namespace platform

#pragma once
// The system's own description of an error code, and of our own codes (platform/error_codes.h).
#include <cstdint>
#include <string>

namespace platform {

// Description as the system gives it, possibly ending in a line break; empty when the system has none.
// Safe to call from any thread.
std::string SystemErrorDescription(uint32_t code);
// True for the codes that mean the caller lacks the right (EACCES, EPERM; ERROR_ACCESS_DENIED).
bool IsPermissionError(uint32_t code);
// The code's short name ("EIO"; ours: "SHORT", "NOCALL", "MISMATCH"); "E" + the number when it has none.
std::string ErrorCodeName(uint32_t code);

}  // namespace platform

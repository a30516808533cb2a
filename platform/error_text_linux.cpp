#include <errno.h>
#include <string.h>

#include "platform/error_codes.h"
#include "platform/error_text.h"

namespace platform {

std::string SystemErrorDescription(uint32_t code) {
    if (code == kShortTransfer) return "Short transfer: fewer bytes than requested";
    if (code == kNoCall) return "No read or write was issued";
    if (code == kDataMismatch) return "Data mismatch: the block does not hold what was written";
    if (code > 0x7fffffffu) return {};
    char buf[512];
    // GNU strerror_r returns a pointer that may or may not be into buf; both are thread-safe.
    const char* text = strerror_r(static_cast<int>(code), buf, sizeof buf);
    return text ? std::string(text) : std::string();
}

uint32_t OutOfMemoryErrorCode() {
    return ENOMEM;
}

bool IsPermissionError(uint32_t code) {
    return code == EACCES || code == EPERM;
}

std::string ErrorCodeName(uint32_t code) {
    if (code == kShortTransfer) return "SHORT";
    if (code == kNoCall) return "NOCALL";
    if (code == kDataMismatch) return "MISMATCH";
    const char* name = code <= 0x7fffffffu ? strerrorname_np(static_cast<int>(code)) : nullptr;
    return name ? name : "E" + std::to_string(code);
}

}  // namespace platform

#include <windows.h>

#include "platform/error_codes.h"
#include "platform/error_text.h"
#include "platform/win32_text.h"

namespace platform {

std::string SystemErrorDescription(uint32_t code) {
    if (code == kShortTransfer) return "Short transfer: fewer bytes than requested";
    if (code == kNoCall) return "No read or write was issued";
    if (code == kDataMismatch) return "Data mismatch: the block does not hold what was written";
    if (code == kQueueHandleTaken)
        return "The volume's one write handle is tied to another worker's completion port: queued writes to "
               "a "
               "locked volume go through one worker (--threads 1)";
    // The system's own message table in the user's language, as the error box shows it.
    wchar_t buffer[512];
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                   MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer, 512, nullptr);
    return Narrow(buffer, static_cast<int>(n));
}

uint32_t OutOfMemoryErrorCode() {
    return ERROR_NOT_ENOUGH_MEMORY;
}

bool IsPermissionError(uint32_t code) {
    return code == ERROR_ACCESS_DENIED;
}

std::string ErrorCodeName(uint32_t code) {
    if (code == kShortTransfer) return "SHORT";
    if (code == kNoCall) return "NOCALL";
    if (code == kDataMismatch) return "MISMATCH";
    if (code == kQueueHandleTaken) return "QUEUE_HANDLE_TAKEN";
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
            return "ERROR_FILE_NOT_FOUND";
        case ERROR_PATH_NOT_FOUND:
            return "ERROR_PATH_NOT_FOUND";
        case ERROR_ACCESS_DENIED:
            return "ERROR_ACCESS_DENIED";
        case ERROR_NOT_ENOUGH_MEMORY:
            return "ERROR_NOT_ENOUGH_MEMORY";
        case ERROR_WRITE_PROTECT:
            return "ERROR_WRITE_PROTECT";
        case ERROR_NOT_READY:
            return "ERROR_NOT_READY";
        case ERROR_CRC:
            return "ERROR_CRC";
        case ERROR_SECTOR_NOT_FOUND:
            return "ERROR_SECTOR_NOT_FOUND";
        case ERROR_WRITE_FAULT:
            return "ERROR_WRITE_FAULT";
        case ERROR_READ_FAULT:
            return "ERROR_READ_FAULT";
        case ERROR_SHARING_VIOLATION:
            return "ERROR_SHARING_VIOLATION";
        case ERROR_LOCK_VIOLATION:
            return "ERROR_LOCK_VIOLATION";
        case ERROR_HANDLE_EOF:
            return "ERROR_HANDLE_EOF";
        case ERROR_NOT_SUPPORTED:
            return "ERROR_NOT_SUPPORTED";
        case ERROR_INVALID_PARAMETER:
            return "ERROR_INVALID_PARAMETER";
        case ERROR_DISK_FULL:
            return "ERROR_DISK_FULL";
        case ERROR_NEGATIVE_SEEK:
            return "ERROR_NEGATIVE_SEEK";
        case ERROR_IO_DEVICE:
            return "ERROR_IO_DEVICE";
        case ERROR_OPERATION_ABORTED:
            return "ERROR_OPERATION_ABORTED";
        default:
            return "E" + std::to_string(code);
    }
}

}  // namespace platform

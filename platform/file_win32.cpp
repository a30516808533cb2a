#include <windows.h>

#include <atomic>
#include <cstring>

#include "platform/file.h"
#include "platform/win32_text.h"

namespace platform {
namespace {

// Temporary files a console control handler may have to remove: fixed storage, no allocation there.
constexpr int kPendingSlots = 8;
wchar_t pendingPath[kPendingSlots][MAX_PATH];
std::atomic<bool> pendingUsed[kPendingSlots];

int ClaimPendingSlot(const std::wstring& path) {
    if (path.size() >= MAX_PATH) return -1;
    for (int i = 0; i < kPendingSlots; ++i) {
        bool expected = false;
        if (pendingUsed[i].load(std::memory_order_acquire)) continue;
        std::memcpy(pendingPath[i], path.c_str(), (path.size() + 1) * sizeof(wchar_t));
        if (pendingUsed[i].compare_exchange_strong(expected, true, std::memory_order_acq_rel)) return i;
    }
    return -1;
}

void ReleasePendingSlot(int slot) {
    if (slot >= 0) pendingUsed[slot].store(false, std::memory_order_release);
}

}  // namespace

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    if (slash == std::string::npos) return ".";
    return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

// The system follows links when a path is opened.
bool ResolveLinks(const std::string& path, std::string& resolved, uint32_t&) {
    resolved = path;
    return true;
}

namespace {

// Symbolic links are followed by the system when the path is opened; a path that names a device (NUL, COM1,
// a named pipe) is written straight through.
bool IsRegularOrMissing(const std::wstring& path, DWORD& error, bool& missing) {
    missing = false;
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        error = GetLastError();
        missing = error == ERROR_FILE_NOT_FOUND;
        return missing;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        error = ERROR_DIRECTORY;
        return false;
    }
    return !(attributes & FILE_ATTRIBUTE_DEVICE);
}

}  // namespace

OutputFile::~OutputFile() {
    Abort();
}

bool OutputFile::Open(const std::string& path, uint32_t& error) {
    Abort();
    target_ = path;
    const std::wstring wide = Wide(path);
    DWORD why = 0;
    bool missing = false;
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    const bool device = attributes == INVALID_FILE_ATTRIBUTES
                            ? GetLastError() != ERROR_FILE_NOT_FOUND && GetLastError() != ERROR_PATH_NOT_FOUND
                            : (attributes & FILE_ATTRIBUTE_DEVICE) != 0;
    if (!IsRegularOrMissing(wide, why, missing) && !device) {
        if (why == ERROR_PATH_NOT_FOUND || (attributes == INVALID_FILE_ATTRIBUTES && !device)) {
            // A missing directory: the temporary file below fails with the system's reason.
        } else {
            error = why;
            return false;
        }
    }
    if (device) {
        HANDLE h = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            error = GetLastError();
            return false;
        }
        fd_ = static_cast<int>(reinterpret_cast<intptr_t>(h));
        return true;
    }
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        temp_ = path + ".tmp" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(attempt);
        HANDLE h = CreateFileW(Wide(temp_).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            fd_ = static_cast<int>(reinterpret_cast<intptr_t>(h));
            slot_ = ClaimPendingSlot(Wide(temp_));
            return true;
        }
        if (GetLastError() != ERROR_FILE_EXISTS) break;
    }
    error = GetLastError();
    temp_.clear();
    return false;
}

bool OutputFile::Write(const void* data, size_t size, uint32_t& error) {
    HANDLE h = reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd_));
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const DWORD piece = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
        DWORD written = 0;
        if (fd_ < 0 || !WriteFile(h, p, piece, &written, nullptr) || written == 0) {
            error = fd_ < 0 ? ERROR_INVALID_HANDLE : GetLastError();
            Abort();
            return false;
        }
        p += written;
        size -= written;
    }
    return true;
}

bool OutputFile::Commit(uint32_t& error) {
    if (fd_ < 0) {
        error = ERROR_INVALID_HANDLE;
        return false;
    }
    HANDLE h = reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd_));
    fd_ = -1;
    const bool flushed = FlushFileBuffers(h) || temp_.empty();  // a device may not flush
    const DWORD flushError = GetLastError();
    CloseHandle(h);
    if (!flushed) {
        error = flushError;
        Abort();
        return false;
    }
    if (temp_.empty()) return true;
    if (!MoveFileExW(Wide(temp_).c_str(), Wide(target_).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = GetLastError();
        Abort();
        return false;
    }
    ReleasePendingSlot(slot_);
    slot_ = -1;
    temp_.clear();
    return true;
}

void OutputFile::Abort() {
    if (fd_ >= 0) CloseHandle(reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd_)));
    fd_ = -1;
    if (!temp_.empty()) DeleteFileW(Wide(temp_).c_str());
    temp_.clear();
    ReleasePendingSlot(slot_);
    slot_ = -1;
}

bool WriteWholeFile(const std::string& path, const void* data, size_t size, uint32_t& error) {
    OutputFile file;
    return file.Open(path, error) && file.Write(data, size, error) && file.Commit(error);
}

bool CheckOutputPath(const std::string& path, uint32_t& error) {
    const DWORD attributes = GetFileAttributesW(Wide(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            error = ERROR_DIRECTORY;
            return false;
        }
        if (attributes & FILE_ATTRIBUTE_DEVICE) return true;
    }
    const DWORD dir = GetFileAttributesW(Wide(DirectoryOf(path)).c_str());
    if (dir == INVALID_FILE_ATTRIBUTES) {
        error = ERROR_PATH_NOT_FOUND;
        return false;
    }
    if (!(dir & FILE_ATTRIBUTE_DIRECTORY)) {
        error = ERROR_DIRECTORY;
        return false;
    }
    return true;
}

void RemovePendingTemporaryFiles() {
    for (int i = 0; i < kPendingSlots; ++i)
        if (pendingUsed[i].load(std::memory_order_acquire)) DeleteFileW(pendingPath[i]);
}

StreamFile::~StreamFile() {
    uint32_t error = 0;
    Close(error);
}

bool StreamFile::Open(const std::string& path, uint32_t& error) {
    HANDLE h = INVALID_HANDLE_VALUE;
    if (path == "-") {
        h = GetStdHandle(STD_OUTPUT_HANDLE);
        own_ = false;
    } else {
        h = CreateFileW(Wide(path).c_str(), GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
        own_ = true;
    }
    if (h == INVALID_HANDLE_VALUE || h == nullptr) {
        error = GetLastError();
        return false;
    }
    handle_ = reinterpret_cast<intptr_t>(h);
    regular_ = GetFileType(h) == FILE_TYPE_DISK;
    at_ = 0;
    return true;
}

bool StreamFile::Write(const void* data, size_t size, uint32_t& error) {
    HANDLE h = reinterpret_cast<HANDLE>(handle_);
    const char* p = static_cast<const char*>(data);
    size_t left = size;
    while (left > 0) {
        const DWORD piece = left > (1u << 30) ? (1u << 30) : static_cast<DWORD>(left);
        DWORD written = 0;
        if (handle_ < 0 || !WriteFile(h, p, piece, &written, nullptr) || written == 0) {
            error = handle_ < 0 ? ERROR_INVALID_HANDLE : GetLastError();
            if (regular_) {
                LARGE_INTEGER back;
                back.QuadPart = at_;
                if (SetFilePointerEx(h, back, nullptr, FILE_BEGIN)) SetEndOfFile(h);
            }
            return false;
        }
        p += written;
        left -= written;
    }
    at_ += static_cast<int64_t>(size);
    return true;
}

bool StreamFile::Close(uint32_t& error) {
    if (handle_ < 0) return true;
    HANDLE h = reinterpret_cast<HANDLE>(handle_);
    handle_ = -1;
    if (!own_) return true;
    const bool flushed = !regular_ || FlushFileBuffers(h);
    if (!flushed) error = GetLastError();
    if (!CloseHandle(h) && flushed) {
        error = GetLastError();
        return false;
    }
    return flushed;
}

}  // namespace platform

#include <windows.h>
#include <io.h>

#include <cwctype>

#include "platform/file.h"
#include "platform/path_identity.h"
#include "platform/win32_text.h"

namespace platform {
namespace {

bool FromHandle(HANDLE h, PathIdentity& id) {
    if (GetFileType(h) != FILE_TYPE_DISK) {
        id.kind = PathIdentity::Kind::Stream;
        return true;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(h, &info)) return false;
    id.kind = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? PathIdentity::Kind::Directory
                                                                 : PathIdentity::Kind::File;
    id.device = info.dwVolumeSerialNumber;
    id.inode = (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    return true;
}

}  // namespace

bool IdentifyPath(const std::string& path, PathIdentity& id, uint32_t& error) {
    id = {};
    // \\.\X: is the volume itself: known by its letter.
    if (path.size() == 6 && path.rfind("\\\\.\\", 0) == 0 && path[5] == ':') {
        id.kind = PathIdentity::Kind::BlockDevice;
        id.device = static_cast<uint64_t>(std::towupper(static_cast<wint_t>(path[4])));
        return true;
    }
    HANDLE h = CreateFileW(Wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        const bool ok = FromHandle(h, id);
        if (!ok) error = GetLastError();
        CloseHandle(h);
        return ok;
    }
    const DWORD why = GetLastError();
    if (why != ERROR_FILE_NOT_FOUND) {
        error = why;
        return false;
    }
    // Not there yet: the same directory and name (in the system's case-blind sense) are the same file to be.
    PathIdentity dir;
    if (!IdentifyPath(DirectoryOf(path), dir, error)) return false;
    id.kind = PathIdentity::Kind::ToBeMade;
    id.device = dir.device;
    id.inode = dir.inode;
    const size_t slash = path.find_last_of("/\\");
    std::wstring name = Wide(slash == std::string::npos ? path : path.substr(slash + 1));
    for (wchar_t& c : name) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
    id.name = Narrow(name.c_str(), static_cast<int>(name.size()));
    return true;
}

bool IdentifyDescriptor(int fd, PathIdentity& id) {
    id = {};
    const intptr_t h = _get_osfhandle(fd);
    return h != -1 && FromHandle(reinterpret_cast<HANDLE>(h), id);
}

}  // namespace platform

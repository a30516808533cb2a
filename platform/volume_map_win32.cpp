#include <windows.h>

#include "platform/volume_map.h"

namespace platform {

// The letters are the system's own: every drive letter in use, opened raw as \\.\X:.
VolumeMap SystemVolumeMap(const std::string&, const std::string&) {
    VolumeMap map;
    const DWORD drives = GetLogicalDrives();
    for (int i = 0; i < kVolumeSlots; ++i) {
        if (!(drives & (1u << i))) continue;
        const wchar_t root[] = {static_cast<wchar_t>(L'A' + i), L':', L'\\', 0};
        const UINT type = GetDriveTypeW(root);
        if (type == DRIVE_NO_ROOT_DIR || type == DRIVE_UNKNOWN) continue;
        map.devicePath[i] = std::string("\\\\.\\") + static_cast<char>('A' + i) + ":";
    }
    return map;
}

}  // namespace platform

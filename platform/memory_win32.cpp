#include <windows.h>

#include "platform/memory.h"

namespace platform {

int64_t PhysicalMemoryBytes() {
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    return GlobalMemoryStatusEx(&status) ? static_cast<int64_t>(status.ullTotalPhys) : 0;
}

// Committed pages are zero-filled on first touch; large pages would need SeLockMemoryPrivilege, which the
// program does not ask for.
void* AllocateRegion(size_t bytes) {
    return VirtualAlloc(nullptr, bytes == 0 ? 1 : bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void FreeRegion(void* region, size_t) {
    if (region) VirtualFree(region, 0, MEM_RELEASE);
}

}  // namespace platform

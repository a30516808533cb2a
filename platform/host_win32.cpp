#include <windows.h>

#include "platform/host.h"
#include "platform/win32_text.h"

namespace platform {

std::string HostName() {
    wchar_t name[256];
    DWORD size = 256;
    return GetComputerNameExW(ComputerNameDnsHostname, name, &size) ? Narrow(name, static_cast<int>(size))
                                                                    : std::string();
}

}  // namespace platform

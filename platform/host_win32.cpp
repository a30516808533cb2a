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

bool HasRawVolumeRights() {
    // Elevated: the token holds the Administrators group enabled, which raw volume handles need.
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID admins = nullptr;
    if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0,
                                  0, &admins))
        return false;
    BOOL member = FALSE;
    if (!CheckTokenMembership(nullptr, admins, &member)) member = FALSE;
    FreeSid(admins);
    return member != FALSE;
}

}  // namespace platform

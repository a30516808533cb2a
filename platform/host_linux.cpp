#include <grp.h>
#include <unistd.h>

#include <vector>

#include "platform/host.h"

namespace platform {

std::string HostName() {
    char name[256] = {};
    return gethostname(name, sizeof name - 1) == 0 ? std::string(name) : std::string();
}

bool HasRawVolumeRights() {
    if (geteuid() == 0) return true;
    const group* disk = getgrnam("disk");
    if (!disk) return false;
    if (getegid() == disk->gr_gid) return true;
    const int n = getgroups(0, nullptr);
    std::vector<gid_t> groups(static_cast<size_t>(n > 0 ? n : 0));
    if (n > 0 && getgroups(n, groups.data()) == n)
        for (gid_t g : groups)
            if (g == disk->gr_gid) return true;
    return false;
}

}  // namespace platform

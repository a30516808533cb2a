#pragma once
// The machine's name, for results gathered from many machines; and whether this process has the rights that
// opening raw volumes takes.
#include <string>

namespace platform {

std::string HostName();
// Linux: running as root, or as a member of the group "disk"; Windows: an elevated administrator. When a
// volume is refused anyway, the reason lies elsewhere (a container's device policy, a lock).
bool HasRawVolumeRights();

}  // namespace platform

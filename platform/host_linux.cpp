#include <unistd.h>

#include "platform/host.h"

namespace platform {

std::string HostName() {
    char name[256] = {};
    return gethostname(name, sizeof name - 1) == 0 ? std::string(name) : std::string();
}

}  // namespace platform

#include <unistd.h>

#include "platform/memory.h"

namespace platform {

int64_t PhysicalMemoryBytes() {
    const long pages = sysconf(_SC_PHYS_PAGES), size = sysconf(_SC_PAGESIZE);
    return pages > 0 && size > 0 ? static_cast<int64_t>(pages) * size : 0;
}

}  // namespace platform

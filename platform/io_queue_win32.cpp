#include <windows.h>

#include "platform/io_queue.h"

namespace platform {

// Queued operations are not built on Windows yet (overlapped I/O would implement IIoQueue); the command
// line then refuses --queue-depth above 1 with this reason, as it does where io_uring is missing.
bool AsyncQueuesAvailable(uint32_t& error) {
    error = ERROR_NOT_SUPPORTED;
    return false;
}

}  // namespace platform

#pragma once
// The io_uring queue behind a Linux volume device (used by volume_device_linux.cpp only).
#include <memory>

#include "platform/io_queue.h"

namespace platform {

// A queue on the open descriptor fd; writes that would reach past writeLimit (>= 0) complete with ENOSPC,
// as the device's synchronous writes do.
std::unique_ptr<IIoQueue> MakeUringQueue(int fd, int64_t writeLimit, uint32_t depth,
                                         const QueueOptions& options, uint32_t& error);

}  // namespace platform

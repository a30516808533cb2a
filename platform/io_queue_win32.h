#pragma once
// The overlapped queue behind a Windows volume device (used by volume_device_win32.cpp only).
#include <windows.h>

#include <memory>

#include "platform/io_queue.h"

namespace platform {

// A queue on h, which was opened with FILE_FLAG_OVERLAPPED (closed with the queue when own); writes that
// would reach past writeLimit (>= 0) complete with ERROR_DISK_FULL, as the device's synchronous writes do.
std::unique_ptr<IIoQueue> MakeOverlappedQueue(HANDLE h, bool own, int64_t writeLimit, uint32_t depth,
                                              uint32_t& error);

}  // namespace platform

#pragma once
// Asynchronous reads and writes on an open volume: requests are queued, submitted together, and their
// completions reaped one at a time, so that each is timed when it is reaped. On Linux this is io_uring
// (liburing); Windows overlapped I/O can implement the same interface. The synchronous calls of
// IVolumeDevice stay the reference path.
#include <cstdint>
#include <memory>

namespace platform {

struct AsyncRequest {
    void* buffer = nullptr;  // aligned as the device's AllocateBuffer gives it
    uint32_t size = 0;
    int64_t offset = 0;
    bool write = false;
    uint32_t tag = 0;  // the caller's own: returned with the completion (below kMaxTags)
};

struct AsyncCompletion {
    uint32_t tag = 0;
    uint32_t error = 0;  // 0 when all bytes were transferred; else as IVolumeDevice's calls report it
};

class IAsyncQueue {
  public:
    static constexpr uint32_t kMaxTags = 1u << 20;
    virtual ~IAsyncQueue() = default;
    // Adds a request to the next submission; false when the queue already holds its depth.
    virtual bool Queue(const AsyncRequest& request) = 0;
    // Hands every queued request to the device, and with waitForOne also waits for a completion, at most
    // 10 ms (one system call for both). 0, or the system's error code: then nothing was handed, and the
    // queued requests are dropped (their tags may be reused at once).
    virtual uint32_t Submit(bool waitForOne) = 0;
    // Takes one completion: at once when one is ready, else waiting up to timeoutNs. False when none came.
    virtual bool Reap(AsyncCompletion& completion, int64_t timeoutNs) = 0;
    // Asks the device to cancel every request in flight; each still completes (ECANCELED, or its result).
    virtual void CancelAll() = 0;
    // Requests handed over and not yet reaped.
    virtual uint32_t InFlight() const = 0;
};

// Whether asynchronous queues can be set up on this system; false with the system's reason (an old kernel,
// or a sandbox that forbids io_uring).
bool AsyncQueuesAvailable(uint32_t& error);

}  // namespace platform

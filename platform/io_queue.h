#pragma once
// Reads and writes on an open volume as a queue, the one way the operation loop drives a device: requests
// are queued, handed to the device by a submission, and their completions reaped one at a time. A queue
// times its own operations: an operation starts at the counter reading just before the call that handed it
// to the device and ends at the reading taken as soon as its result is in hand. Three implementations: the
// synchronous queue, whose submission makes the call itself (a synchronous worker, timed immediately around
// its call), io_uring (liburing) on Linux, and overlapped I/O through a completion port on Windows.
#include <cstdint>
#include <memory>

namespace platform {

class IVolumeDevice;

struct IoRequest {
    void* buffer = nullptr;  // aligned as the device's AllocateBuffer gives it
    uint32_t size = 0;
    int64_t offset = 0;
    bool write = false;
    uint32_t tag = 0;          // the caller's own: returned with the completion (below kMaxTags)
    int32_t fixedBuffer = -1;  // buffer's index among those registered with the queue; -1 when not one
};

// What an asynchronous queue may register with the kernel once, instead of resolving per operation:
// the device's file (saves taking a reference to it on every operation) and the run's buffers (saves
// mapping and pinning their pages on every operation). Both cost nothing later; registered buffers are pinned
// memory, which RLIMIT_MEMLOCK may refuse.
//
// pollNs: before sleeping for a completion, the queue reads its completion ring for up to this long (0:
// never). A virtual CPU whose thread sleeps is halted, and waking it costs the host's round trip: measured on
// a 2-core virtual machine, reading the ring for 50 us first gave 10-40% more completions a second at depth 8
// and 32 (bench/README.md). Given up while the device's completions come later than that (below).
struct QueueOptions {
    bool registerFile = false;
    bool registerBuffers = false;
    int64_t pollNs = 0;
};

struct IoCompletion {
    uint32_t tag = 0;
    uint32_t error = 0;  // 0 when all bytes were transferred; else as IVolumeDevice's calls report it
    int64_t start = 0;   // counter readings: just before the submission that carried it,
    int64_t end = 0;     // and as soon as its result was in hand
};

class IIoQueue {
  public:
    static constexpr uint32_t kMaxTags = 1u << 20;
    virtual ~IIoQueue() = default;
    // Adds a request to the next submission; false when the queue already holds its depth.
    virtual bool Queue(const IoRequest& request) = 0;
    // Hands every queued request to the device, and with waitForOne also waits for a completion, at most
    // 10 ms (one system call for both). 0, or the system's error code: then nothing was handed, and the
    // queued requests are dropped (their tags may be reused at once).
    virtual uint32_t Submit(bool waitForOne) = 0;
    // Takes one completion: at once when one is ready, else waiting up to timeoutNs. False when none came.
    virtual bool Reap(IoCompletion& completion, int64_t timeoutNs) = 0;
    // Asks the device to cancel every request in flight; each still completes (ECANCELED, or its result).
    virtual void CancelAll() = 0;
    // Requests handed over and not yet reaped.
    virtual uint32_t InFlight() const = 0;
    // Registers buffers for requests to name by index (IoRequest::fixedBuffer), before any is queued. 0, or
    // the system's error code. A queue that gains nothing by it (the synchronous one) accepts and ignores
    // them.
    virtual uint32_t RegisterBuffers(void* const* buffers, uint32_t count, uint32_t size) {
        (void)buffers, (void)count, (void)size;
        return 0;
    }
};

// The synchronous queue of depth 1 over a device's synchronous calls: Submit makes the call between its two
// counter readings, and the completion is ready at once. The device must outlive the queue.
std::unique_ptr<IIoQueue> MakeSyncQueue(IVolumeDevice& device);
// The queue a worker of `depth` streams drives: the synchronous one at depth 1, else the device's own (the
// system's queued engine); nullptr with the system's code when that cannot be set up.
std::unique_ptr<IIoQueue> OpenQueue(IVolumeDevice& device, uint32_t depth, const QueueOptions& options,
                                    uint32_t& error);

// The queue this system drives operations through at depths above 1, as fio names its engines, and what it
// can do: the settings ask for capabilities, and a refusal names the one missing with the system's reason.
struct QueueEngine {
    const char* name = "";   // "io_uring", "overlapped I/O"
    bool available = false;  // false: error is the system's reason (an old kernel, a sandbox)
    uint32_t error = 0;
    uint32_t maxDepth = 0;  // requests in flight on one queue at most
    bool registerFile = false;
    bool registerBuffers = false;
    const char* noRegistration = "";  // why neither can be registered, when they cannot
    bool pollCompletions = false;     // QueueOptions::pollNs is honoured
};
QueueEngine QueuedEngine();

// A write that would reach past an image file's end (limit: its size; -1 for a volume, which has no such
// end) would grow the file instead of testing it: every queue and the synchronous calls refuse it, before
// any call, with the system's "disk full" code.
inline bool PastImageEnd(int64_t offset, uint32_t size, int64_t limit) {
    return limit >= 0 && offset >= 0 && offset + static_cast<int64_t>(size) > limit;
}

}  // namespace platform

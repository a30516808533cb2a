#pragma once
// One worker driving several independent operation streams through one asynchronous queue. Each stream
// behaves as a synchronous worker would: its own positions for the method (its own generator), its own
// portion of reads and writes and its own pause between portions. Every completion is recorded exactly
// like a synchronous operation: its start read just before the submission that carried it, its end read
// when it is reaped, one log entry, the same statistics and error codes.
#include <cstdint>
#include <functional>

#include "engine/shared_state.h"
#include "platform/async_queue.h"

namespace engine {

struct StreamRun {
    SharedState& shared;
    VolumeStats& volume;
    int32_t disk;
    platform::IVolumeDevice& device;
    platform::IAsyncQueue& queue;
    uint32_t streams;
    bool readOnly;
    const void* randomBuffer;  // the run's write data; block 0 gets zeroBuffer
    const void* zeroBuffer;
    uint64_t seed;
    std::function<bool()> runOver;
    Verifier* verifier = nullptr;  // the run's verification of written data, if it has one
    uint32_t worker = 0;
};

// Runs until runOver() is true, then lets the operations in flight finish (waiting at most drainNs) and
// cancels the rest; every completion is recorded once. False when the streams' buffers cannot be had.
bool RunStreams(const StreamRun& run, int64_t drainNs = 1'000'000'000);

}  // namespace engine

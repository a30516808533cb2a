#pragma once
// The operation loop: one worker's run on one volume, at every queue depth. A worker drives Q operation
// streams through one I/O queue (platform/io_queue.h); a synchronous worker is one stream over the
// synchronous queue, whose submission makes the call between its two counter readings. Each stream is a
// worker as the window's Parts describe it: its own positions for the method (its own generator), its own
// portion of reads then writes, its own pause between portions, its own result of the last call (kept by a
// pass that issues none), and its own verification stamp. Every completion is recorded the same way: its
// start and end as the queue timed them, one log entry, the same statistics and error codes.
#include <cstdint>
#include <functional>

#include "engine/shared_state.h"
#include "platform/io_queue.h"

namespace engine {

struct LoopRun {
    SharedState& shared;
    VolumeStats& volume;
    int32_t disk;
    platform::IVolumeDevice& device;  // where the streams' buffers come from
    platform::IIoQueue& queue;
    uint32_t streams;  // the queue's depth: 1 for the synchronous queue
    bool readOnly;
    const void* randomBuffer;  // the run's write data; block 0 gets zeroBuffer
    const void* zeroBuffer;
    uint64_t seed;  // the streams' generators are seeded from it, stream by stream
    std::function<bool()> runOver;
    Verifier* verifier = nullptr;  // the run's verification of written data, if it has one
    uint32_t worker = 0;
    // Called once everything is prepared, before the first operation: false when the run ended meanwhile.
    std::function<bool()> prepared = [] { return true; };
};

// A stop lets what is in flight finish for up to this long, then cancels the rest: a device that answers
// within a second loses nothing, one that does not cannot hold the worker.
constexpr int64_t kDrainNs = 1'000'000'000;

enum class LoopOutcome {
    Ran,
    NoBuffers,      // the streams' buffers could not be allocated: nothing ran
    NotRegistered,  // the volume asked for registered buffers and the queue refused them: nothing ran
};
struct LoopResult {
    LoopOutcome outcome = LoopOutcome::Ran;
    uint32_t error = 0;  // the system's code, for NotRegistered
};

// Runs until runOver() is true, then lets the operations in flight finish (waiting at most drainNs) and
// cancels the rest; every completion is recorded once.
LoopResult RunOperations(const LoopRun& run, int64_t drainNs = kDrainNs);

}  // namespace engine

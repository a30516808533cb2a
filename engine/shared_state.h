#pragma once
// What the window thread and the workers share. Workers hold it by shared_ptr, so a worker still
// stuck in a slow device call when the program ends never outlives the records it writes to.
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "engine/dialogs.h"
#include "engine/operation_log.h"
#include "engine/records.h"
#include "engine/settings.h"
#include "engine/verify.h"
#include "platform/volume_device.h"

namespace engine {

struct SharedState {
    SharedState(std::shared_ptr<platform::IVolumeSystem> system, IDialogs& dialogs, uint32_t logCapacity)
        : VolumeSystem(std::move(system)), Dialogs(&dialogs), Log(logCapacity) {}

    std::shared_ptr<platform::IVolumeSystem> VolumeSystem;
    IDialogs* Dialogs;
    // Entry i is volume i's record; empty for an absent volume. Set at discovery only.
    std::array<std::unique_ptr<VolumeStats>, kDiskCount> Volumes;
    OperationLog Log;
    // The current run's verification of written data; empty when the run does not verify. Set by the window
    // thread before the run's Testing, read by workers when they enter the run.
    std::shared_ptr<Verifier> Verify;
    // Written by the window thread only, sequentially consistent: it pairs with a worker's busy flag (the
    // worker sets its flag, then reads Testing; the window clears Testing, then reads the flags). Read by
    // workers once per pass.
    std::atomic<bool> Testing{false};
    // Number of the current or last run. A worker takes part only in the run it was released into, so a
    // worker whose event is still signalled from an earlier run never joins a later one.
    std::atomic<uint64_t> CurrentRun{0};
    // Indexed by worker number 1..1024: set while that worker is inside a run.
    std::array<std::atomic<uint8_t>, kMaxWorkers + 1> BusyFlags{};
    // The start of the operations: workers of run r open their volume and make their buffers, count
    // themselves in Ready (once each, also when they could not), and make their first operation only once
    // GoRun is r. A run released at once has GoRun set with Testing; a held one when the engine says go, so
    // that however long the preparation takes, none of it is in the test time.
    std::atomic<uint64_t> GoRun{0};
    std::atomic<int32_t> Ready{0};

    // Waits until run `run` may make its operations, or stop() is true; returns whether it may.
    template <class Pred>
    bool AwaitGo(uint64_t run, Pred stop) {
        std::unique_lock lock(SleepMutex);
        SleepWake.wait(lock, [&] { return GoRun.load(std::memory_order_acquire) >= run || stop(); });
        return GoRun.load(std::memory_order_acquire) >= run && !stop();
    }

    // True while run `run` is in progress.
    bool InRun(uint64_t run) const {
        return Testing.load(std::memory_order_seq_cst) && CurrentRun.load(std::memory_order_acquire) == run;
    }
    // Ends the run: Testing clear, and every pause cut short.
    void EndRun() {
        Testing.store(false, std::memory_order_seq_cst);
        WakeSleepers();
    }

    // Sleeps (pauses, the idle wait) that the end of a run or of the program cuts short.
    std::mutex SleepMutex;
    std::condition_variable SleepWake;

    // Sleeps up to ms unless stop() becomes true; returns stop().
    template <class Pred>
    bool SleepUnless(int32_t ms, Pred stop) {
        std::unique_lock lock(SleepMutex);
        return SleepWake.wait_for(lock, std::chrono::milliseconds(ms > 0 ? ms : 0), stop);
    }
    // The same for a span in nanoseconds (a pause that ends at a counter reading).
    template <class Pred>
    bool SleepUnlessNs(int64_t ns, Pred stop) {
        std::unique_lock lock(SleepMutex);
        return SleepWake.wait_for(lock, std::chrono::nanoseconds(ns > 0 ? ns : 0), stop);
    }
    void WakeSleepers() {
        { std::lock_guard lock(SleepMutex); }
        SleepWake.notify_all();
    }
};

}  // namespace engine

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
    // Written by the window thread only (release); read by workers once per pass (acquire).
    std::atomic<bool> Testing{false};
    // Indexed by worker number 1..1024: set while that worker is inside a run.
    std::array<std::atomic<uint8_t>, kMaxWorkers + 1> BusyFlags{};

    // Sleeps that ending the program can cut short. Stop never does: a pause always runs to its end.
    std::mutex SleepMutex;
    std::condition_variable SleepWake;

    // Sleeps up to ms unless stop() becomes true; returns stop().
    template <class Pred>
    bool SleepUnless(int32_t ms, Pred stop) {
        std::unique_lock lock(SleepMutex);
        return SleepWake.wait_for(lock, std::chrono::milliseconds(ms > 0 ? ms : 0), stop);
    }
    void WakeSleepers() {
        { std::lock_guard lock(SleepMutex); }
        SleepWake.notify_all();
    }
};

}  // namespace engine

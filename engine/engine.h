#pragma once
// The engine's one owning object: discovered volumes, their records, the operation log, the workers
// and the run control that the window's handlers call. Its destructor ends and joins the workers.
#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "engine/disk_test.h"
#include "engine/settings.h"
#include "engine/shared_state.h"

namespace engine {

enum class StartOutcome {
    Started,         // workers released
    Stopped,         // the click ended the running test
    Busy,            // workers of the last run are still inside it: nothing changed
    Invalid,         // a setting was refused with a message: nothing changed
    Declined,        // the operator declined the destructive writes: nothing changed
    TooManyThreads,  // more than 1024 workers asked for: nothing changed
};

class Engine {
public:
    Engine(std::shared_ptr<platform::IVolumeSystem> volumeSystem, IDialogs& dialogs,
           uint32_t logCapacity = kLogCapacity);
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // --- Volumes -------------------------------------------------------------------------------------
    // Size of volume index in bytes; -2 when it cannot be opened, -3 when no source gives a size.
    int64_t QueryVolumeSize(int index);
    // Probes A: to Z: once, in letter order; calls createVolumeTab(i) for each present volume once its
    // record exists. A record that cannot be allocated leaves its volume absent.
    void EnumerateVolumes(const std::function<void(int)>& createVolumeTab = {});
    bool Present(int i) const { return i >= 0 && i < DiskCount && DiskSize[i] >= 0; }
    VolumeStats* Volume(int i) { return i >= 0 && i < kDiskCount ? shared_->Volumes[i].get() : nullptr; }
    std::string DevicePath(int i) const { return shared_->VolumeSystem->DevicePath(i); }
    VolumeStats& AllVolumes() { return *allVolumes_; }
    OperationLog& Log() { return shared_->Log; }
    SharedState& Shared() { return *shared_; }

    int32_t DiskCount = 0;
    std::array<int64_t, kDiskCount> DiskSize{};
    // Per volume, from discovery: the multiple every transfer must be (1 when anything goes), and why a
    // volume that opened reports no size (empty when it does, or when the system cannot say).
    std::array<int64_t, kDiskCount> Alignment{};
    std::array<std::string, kDiskCount> NoSizeReason{};

    // --- Run control (window thread only) ------------------------------------------------------------
    // The window's run fields, with their values from when the window is shown.
    int32_t StatisticPeriodSeconds = 300;
    int32_t BlockSize = 4096;
    int32_t ThreadsPerDisk = 10;
    int32_t TestMethod = 0;
    int64_t TimerFreq = 0;
    int64_t TestEndTime = 0;
    uint32_t StartTestTime = 0;
    // True while the start button reads "Стоп".
    bool StopCaption = false;
    int32_t WorkerCount = 0;

    // Start-up: default run fields, StartTestTime, Testing clear, TimerFreq.
    void ShowDefaults();
    bool Testing() const { return shared_->Testing.load(std::memory_order_acquire); }
    // Stop when a test runs, else Start with the settings texts and the volumes' check boxes.
    StartOutcome StartButtonClick(const RunSettingsText& text, const std::array<bool, kDiskCount>& checked);
    StartOutcome Start(const RunSettingsText& text, const std::array<bool, kDiskCount>& checked);
    void Stop();
    // The 1-second tick: the elapsed milliseconds to show while a test runs; ends the test when its time
    // has passed and turns the caption back once no worker event is signalled.
    std::optional<uint32_t> Timer1Timer();
    std::optional<uint32_t> Timer1TimerAt(uint32_t nowTicks);
    // The window is going away: clears Testing, then gives the workers up to waitMs to leave their runs.
    void FormHide(int32_t waitMs = 1000);
    // True while any worker that exists, of this run or an earlier one, is inside a run.
    bool AnyWorkerBusy() const;
    int BusyWorkers() const;
    TDiskTest* Worker(int n) { return n >= 1 && n <= kMaxWorkers ? workers_[n].get() : nullptr; }
    platform::ManualResetEvent* WorkerEvent(int n) {
        return n >= 1 && n <= kMaxWorkers ? workerEvents_[n].get() : nullptr;
    }
    // Ends every worker, waiting at most timeout in all. False when some are stuck in a device call;
    // those are left to end with the process.
    bool Shutdown(std::chrono::milliseconds timeout);

private:
    void PrepareVolumes(const RunSettings& s, const std::array<bool, kDiskCount>& checked);
    void AssignWorkers(uint64_t run);
    // A message when the block size cannot work on a selected volume; empty when it can.
    std::string BlockSizeRefusal(int32_t blockSize, const std::array<bool, kDiskCount>& checked) const;

    std::shared_ptr<SharedState> shared_;
    std::unique_ptr<VolumeStats> allVolumes_;
    std::array<std::unique_ptr<TDiskTest>, kMaxWorkers + 1> workers_;
    std::array<std::shared_ptr<platform::ManualResetEvent>, kMaxWorkers + 1> workerEvents_;
    int32_t createdWorkers_ = 0;  // workers 1..createdWorkers_ exist
};

// Caption of the settings-error and thread-limit boxes.
inline constexpr const char* kBadSettingsCaption = "Неподходящие праметры задания";
inline constexpr const char* kWarningCaption = "Предупреждение!!!";

}  // namespace engine

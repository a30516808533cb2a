#pragma once
// The engine's owning object: the volume set, the operation log, the worker pool and the control of a run
// (start, stop, the timer tick, the end of a run). Front ends call it from one thread; its destructor
// ends and joins the workers.
#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "engine/settings.h"
#include "engine/shared_state.h"
#include "engine/volume_set.h"
#include "engine/worker_pool.h"

namespace engine {

enum class StartOutcome {
    Started,   // workers released
    Prepared,  // everything ready, the workers waiting for Release
    Busy,      // workers of the last run are still inside it: nothing changed
    Refused,   // a setting cannot work with these volumes (the refusal says which and why): nothing
               // changed
    Declined,  // the operator declined the destructive writes: nothing changed
};

struct StartResult {
    StartOutcome outcome = StartOutcome::Refused;
    Refusal refusal;
};

class Engine {
  public:
    // Milliseconds since an arbitrary start, wrapping at 2^32; the platform's tick count unless a test
    // drives the time itself.
    using TickSource = std::function<uint32_t()>;
    // Asked before a run with writes: the selected volumes that will be written. False declines.
    using ConfirmDestruction = std::function<bool(const std::vector<int>& volumes)>;

    Engine(std::shared_ptr<platform::IVolumeSystem> volumeSystem, IDialogs& dialogs,
           uint32_t logCapacity = kLogCapacity, TickSource ticks = {});
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    VolumeSet& Volumes() { return volumes_; }
    const VolumeSet& Volumes() const { return volumes_; }
    VolumeStats* Volume(int i) const { return volumes_.Record(i); }
    OperationLog& Log() { return shared_->Log; }
    const OperationLog& Log() const { return shared_->Log; }
    const WorkerPool& Workers() const { return pool_; }
    // Counter ticks per second.
    int64_t TimerFreq() const { return timerFreq_; }

    // Starts a run on the selected present volumes, everything checked and asked before anything changes.
    StartResult Start(const RunSettings& settings, const std::array<bool, kDiskCount>& selected,
                      const ConfirmDestruction& confirm);
    // Start in two steps, for a run that begins at an agreed moment: Prepare does everything but release
    // the workers (they exist and wait), Release lets them go and starts the test time.
    StartResult Prepare(const RunSettings& settings, const std::array<bool, kDiskCount>& selected,
                        const ConfirmDestruction& confirm);
    void Release();
    // Release in two steps, so that no preparation is in the test time: ReleaseHeld lets the workers open
    // their volumes and make their buffers, then wait; once WorkersReady (or when the run is to begin
    // anyway), Go starts the test time and their operations.
    void ReleaseHeld();
    bool WorkersReady() const;
    void Go();
    // Ends the run; the workers finish the operation in hand and leave, cutting any pause short.
    void Stop();
    // True while a run is in progress.
    bool Running() const { return shared_->Testing.load(std::memory_order_seq_cst); }
    // The timer tick: the elapsed milliseconds while a run goes, ending it once its time has passed.
    std::optional<uint32_t> Tick();
    // Ends the run, then gives the workers up to waitMs to leave it; what a worker still in a device call
    // finished before that call is recorded (log and statistics) before this returns.
    void EndRunAndWait(int32_t waitMs);
    // Ends every worker, waiting at most timeout in all; false when some are stuck in a device call.
    bool Shutdown(std::chrono::milliseconds timeout) { return pool_.Shutdown(timeout); }

    // The settings in force: the last started run's, the method kept when a start named none. Before the
    // first start, the window's values from when it is shown.
    const RunSettings& Settings() const { return settings_; }
    // The verification of the current or last run; empty when it did not verify.
    std::shared_ptr<Verifier> Verification() const { return verifier_; }
    // After a verifying run: reads back once every block the run wrote on volume i and checks it. Results
    // stand apart from the run's own figures. stop() ends it early.
    VerifyResults ReadBack(int volume, const std::function<bool()>& stop, uint32_t& openError);
    int32_t PeriodSeconds() const { return periodSeconds_; }
    uint32_t StartTick() const { return startTick_; }

  private:
    void PrepareVolumes(const std::array<bool, kDiskCount>& selected);

    std::shared_ptr<SharedState> shared_;
    VolumeSet volumes_;
    WorkerPool pool_;
    TickSource ticks_;
    int64_t timerFreq_;
    RunSettings settings_;
    int32_t periodSeconds_ = 300;
    uint32_t startTick_ = 0;
    std::shared_ptr<Verifier> verifier_;
    uint64_t preparedRun_ = 0;  // a prepared run not yet released
    uint64_t heldRun_ = 0;      // a released run whose workers wait for Go
};

}  // namespace engine

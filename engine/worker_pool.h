#pragma once
// The workers by number 1..1024: created on first need, reused by number in later runs, each with its
// manual-reset event "ThreadManage" + n; and their bounded shutdown.
#include <array>
#include <chrono>
#include <memory>
#include <vector>

#include "engine/shared_state.h"
#include "engine/worker.h"
#include "platform/event.h"

namespace engine {

class WorkerPool {
  public:
    explicit WorkerPool(std::shared_ptr<SharedState> shared);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Workers 1..volumeOf.size() test volumeOf[n - 1] in run `run`; those that do not exist yet are created
    // (idle until released). Only while no worker is inside a run.
    void Assign(const std::vector<int>& volumeOf, uint64_t run);
    // Signals the events of the assigned workers (after the run's Testing is set).
    void Release();
    // Resets the events of the assigned workers (Stop).
    void ResetEvents();

    // Workers of the current or last run.
    int32_t Count() const { return count_; }
    // True while an assigned worker's event is still signalled: released and not yet out of its run.
    bool AnyReleased() const;
    // Workers that exist, of this run or an earlier one, inside a run now.
    bool AnyBusy() const { return BusyCount() > 0; }
    int BusyCount() const;
    bool Busy(int n) const;

    const TDiskTest* Worker(int n) const { return Valid(n) ? workers_[n].get() : nullptr; }
    platform::ManualResetEvent* Event(int n) const { return Valid(n) ? events_[n].get() : nullptr; }

    // Ends every worker, waiting at most timeout in all. False when some are stuck in a device call; those
    // are left to end with the process.
    bool Shutdown(std::chrono::milliseconds timeout);

  private:
    static bool Valid(int n) { return n >= 1 && n <= kMaxWorkers; }

    std::shared_ptr<SharedState> shared_;
    std::array<std::unique_ptr<TDiskTest>, kMaxWorkers + 1> workers_;
    std::array<std::shared_ptr<platform::ManualResetEvent>, kMaxWorkers + 1> events_;
    int32_t count_ = 0;
    int32_t created_ = 0;  // workers 1..created_ exist
};

}  // namespace engine

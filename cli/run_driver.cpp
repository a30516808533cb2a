#include "cli/run_driver.h"

#include <algorithm>
#include <thread>

#include "platform/clock.h"

namespace cli {

CliDialogs::CliDialogs(std::function<void(const std::string&)> say) : say_(std::move(say)) {}

void CliDialogs::SystemError(const std::string& caption, const std::string& body) {
    // The engine's workers fail through WorkerFailed; a bare box is said, and ends nothing.
    say_(caption + ":" + body);
}

void CliDialogs::WorkerFailed(const engine::WorkerFailure& f) {
    std::unique_lock lock(mutex_);
    const auto alike = [&f](const engine::WorkerFailure& o) {
        return o.volume == f.volume && o.kind == f.kind && o.code == f.code && o.detail == f.detail &&
               o.path == f.path && o.write == f.write;
    };
    if (std::none_of(failures_.begin(), failures_.end(), alike)) {
        failures_.push_back(f);
        say_(engine::FailureCaption(f) + ":" + engine::FailureBody(f));
    }
    changed_.notify_all();
    changed_.wait(lock, [this] { return released_; });
}

bool CliDialogs::Failed() const {
    std::lock_guard lock(mutex_);
    return !failures_.empty();
}

std::vector<engine::WorkerFailure> CliDialogs::Failures() const {
    std::lock_guard lock(mutex_);
    return failures_;
}

bool CliDialogs::WaitForFailure(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return !failures_.empty(); });
}

void CliDialogs::Release() {
    {
        std::lock_guard lock(mutex_);
        released_ = true;
    }
    changed_.notify_all();
}

void CliDialogs::Rearm() {
    std::lock_guard lock(mutex_);
    released_ = false;
}

RunOutcome DriveRun(engine::Engine& eng, CliDialogs& dialogs, const engine::RunSettings& settings,
                    const std::array<bool, engine::kDiskCount>& selected, const RunOptions& options) {
    RunOutcome outcome;
    const engine::StartResult start =
        eng.Prepare(settings, selected, [](const std::vector<int>&) { return true; });
    if (start.outcome != engine::StartOutcome::Prepared) {
        outcome.refusal = start.refusal;
        dialogs.Release();
        return outcome;
    }
    // The workers open their volumes and make their buffers first, however long that takes; the test time
    // and the first operation come after (a volume that cannot be opened is said at once).
    eng.ReleaseHeld();
    while (!eng.WorkersReady() && !dialogs.Failed() && !options.interrupted())
        dialogs.WaitForFailure(std::chrono::milliseconds(10));
    if (options.interrupted() || (!dialogs.Failed() && options.beforeRelease && !options.beforeRelease())) {
        // Nothing was measured: the workers leave without an operation.
        outcome.interrupted = true;
        eng.Stop();
        dialogs.Release();
        eng.EndRunAndWait(static_cast<int32_t>(options.returnWait.count()));
        return outcome;
    }
    outcome.started = true;
    // A volume that cannot be opened ends the whole run before any operation.
    if (dialogs.Failed()) {
        outcome.cannotOpen = true;
        eng.Stop();
    }
    outcome.startedCounter = platform::CounterNow();
    outcome.startedUtcMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
    if (options.started) options.started(outcome.startedUtcMs, outcome.startedCounter);
    eng.Go();
    auto nextProgress = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    // The window's tick, run often so that the test ends within a fraction of a second of its time.
    while (eng.Running()) {
        dialogs.WaitForFailure(std::chrono::milliseconds(50));
        if (options.interrupted()) {
            outcome.interrupted = true;
            eng.Stop();
        }
        // A volume that cannot be opened ends the whole run: every worker of every volume stops.
        if (dialogs.Failed()) {
            outcome.cannotOpen = true;
            eng.Stop();
        }
        const auto elapsed = eng.Tick();
        if (options.tick) options.tick(false);
        if (elapsed && options.progress && std::chrono::steady_clock::now() >= nextProgress) {
            nextProgress += std::chrono::seconds(1);
            options.progress(*elapsed);
        }
    }
    dialogs.Release();
    // Bounded, and what stuck workers finished before their call is recorded too.
    eng.EndRunAndWait(static_cast<int32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(options.returnWait).count()));
    if (options.tick) options.tick(true);
    outcome.workersNotReturned = eng.Workers().BusyCount();
    for (int n = 1;
         n <= engine::kMaxWorkers && static_cast<int>(outcome.stuck.size()) < outcome.workersNotReturned; ++n)
        if (eng.Workers().Busy(n))
            outcome.stuck.push_back(
                {n, eng.Workers().Worker(n) ? eng.Workers().Worker(n)->TestedDisk() : -1});
    if (outcome.workersNotReturned > 0) outcome.interrupted = true;
    outcome.cannotOpen = outcome.cannotOpen || dialogs.Failed();
    return outcome;
}

}  // namespace cli

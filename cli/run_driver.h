#pragma once
// One command-line run from Start to the last worker: the window's timer tick driven from a loop, Ctrl-C,
// volumes that cannot be opened, and workers that do not come back from a device call.
#include <array>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "engine/engine.h"

namespace cli {

// The engine's boxes without a window. A worker's failure is kept as it is, once per volume, kind, code and
// detail (several workers of a volume fail alike), and said as its box's caption and body; the worker then
// waits until the run is over, so it does not retry in a loop, and is let go at once when it is.
class CliDialogs : public engine::IDialogs {
  public:
    explicit CliDialogs(std::function<void(const std::string&)> say);
    void SystemError(const std::string& caption, const std::string& body) override;
    void WorkerFailed(const engine::WorkerFailure& f) override;

    bool Failed() const;
    std::vector<engine::WorkerFailure> Failures() const;
    // Waits up to timeout for a failure; true when there is one.
    bool WaitForFailure(std::chrono::milliseconds timeout);
    // Lets every waiting worker go; later boxes return at once.
    void Release();
    // For the next run of the same engine: its workers' boxes wait again until it is over.
    void Rearm();

  private:
    std::function<void(const std::string&)> say_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<engine::WorkerFailure> failures_;
    bool released_ = false;
};

struct RunOutcome {
    bool started = false;  // false: Start refused (see refusal)
    engine::Refusal refusal;
    bool interrupted = false;    // Ctrl-C, or workers that did not return
    bool cannotOpen = false;     // a volume could not be opened (or its buffers allocated)
    int workersNotReturned = 0;  // still inside a device call after the bounded wait
    struct Stuck {
        int worker = 0;  // its number, 1..1024
        int volume = -1;
    };
    std::vector<Stuck> stuck;  // which ones, and on which volume
    int64_t startedUtcMs = 0;  // the wall clock and the counter, read together just before the start
    int64_t startedCounter = 0;
};

struct RunOptions {
    // Polled between ticks: true once the operator has asked to stop (Ctrl-C).
    std::function<bool()> interrupted = [] { return false; };
    // Called about once a second while the run goes, with the elapsed milliseconds.
    std::function<void(uint32_t)> progress;
    // How long the workers may take to leave their runs once the run has ended.
    std::chrono::milliseconds returnWait{2000};
    // Called once the workers are ready (volumes open, buffers made), just before the test time starts; false
    // abandons the run (its report says it was interrupted before any operation).
    std::function<bool()> beforeRelease;
    // Called with the wall clock and the counter read together just before the first operation.
    std::function<void(int64_t utcMs, int64_t counter)> started;
    // Called at every tick while the run goes, and once more (ended) when every worker has left it.
    std::function<void(bool ended)> tick;
};

// Runs with the destructive writes agreed (the command line asks for --destroy-data before it gets here).
RunOutcome DriveRun(engine::Engine& eng, CliDialogs& dialogs, const engine::RunSettings& settings,
                    const std::array<bool, engine::kDiskCount>& selected, const RunOptions& options);

}  // namespace cli

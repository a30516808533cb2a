#include "engine/engine.h"

#include <new>

#include "platform/clock.h"

namespace engine {

Engine::Engine(std::shared_ptr<platform::IVolumeSystem> volumeSystem, IDialogs& dialogs, uint32_t logCapacity)
    : shared_(std::make_shared<SharedState>(std::move(volumeSystem), dialogs, logCapacity)),
      allVolumes_(std::make_unique<VolumeStats>()) {
    TimerFreq = platform::CounterFrequency();
}

Engine::~Engine() { Shutdown(std::chrono::seconds(3)); }

int64_t Engine::QueryVolumeSize(int index) {
    uint32_t error = 0;
    std::unique_ptr<platform::IVolumeProbe> probe = shared_->VolumeSystem->OpenProbe(index, error);
    if (!probe) return -2;
    int64_t size = 0;
    if (probe->DeviceSize(size) && size != 0) return size;
    if (probe->FileSystemSize(size)) return size;
    return -3;
}

void Engine::EnumerateVolumes(const std::function<void(int)>& createVolumeTab) {
    DiskCount = kDiskCount;
    for (int i = 0; i < kDiskCount; ++i) {
        DiskSize[i] = -1;
        const int64_t r = QueryVolumeSize(i);
        if (r < 0) continue;
        auto& record = shared_->Volumes[i];
        if (!record) record.reset(new (std::nothrow) VolumeStats());
        if (!record) continue;
        DiskSize[i] = r;
        if (createVolumeTab) createVolumeTab(i);
    }
}

void Engine::ShowDefaults() {
    StatisticPeriodSeconds = 300;
    BlockSize = 4096;
    ThreadsPerDisk = 10;
    StartTestTime = platform::TickCountMs();
    shared_->Testing.store(false, std::memory_order_release);
    TimerFreq = platform::CounterFrequency();
}

bool Engine::AnyWorkerBusy() const {
    for (int n = 1; n <= WorkerCount; ++n)
        if (shared_->BusyFlags[n].load(std::memory_order_seq_cst)) return true;
    return false;
}

StartOutcome Engine::StartButtonClick(const RunSettingsText& text, const std::array<bool, kDiskCount>& checked) {
    if (Testing()) {
        Stop();
        return StartOutcome::Stopped;
    }
    return Start(text, checked);
}

void Engine::Stop() {
    for (int n = 1; n <= WorkerCount; ++n) workerEvents_[n]->Reset();
    shared_->Testing.store(false, std::memory_order_release);
}

StartOutcome Engine::Start(const RunSettingsText& text, const std::array<bool, kDiskCount>& checked) {
    // Everything is checked and asked before anything changes, so a start that does not happen
    // keeps the last run's statistics and log.
    if (AnyWorkerBusy()) return StartOutcome::Busy;
    std::string error;
    const std::optional<RunSettings> s = ValidateRunSettings(text, error);
    if (!s) {
        shared_->Dialogs->Inform(kBadSettingsCaption, error);
        return StartOutcome::Invalid;
    }
    std::string list;
    int64_t selected = 0;
    for (int i = 0; i < DiskCount; ++i) {
        if (!Present(i) || !checked[i]) continue;
        if (!list.empty()) list += ",";
        list += std::to_string(i);
        ++selected;
    }
    if (s->WritesPerPortion != 0 && !list.empty() &&
        !shared_->Dialogs->AskYesNo(kWarningCaption,
                                    "Данные на дисках " + list + " будут уничтожены. Продолжим?"))
        return StartOutcome::Declined;
    // The true product: one that would wrap in 32 bits is refused like any other above the limit.
    const int64_t requested = selected * s->ThreadsPerDisk;
    if (requested > kMaxWorkers) {
        shared_->Dialogs->Inform(kBadSettingsCaption, "Максимальное количество потоков " +
                                                          std::to_string(kMaxWorkers) + ". Запрошено " +
                                                          std::to_string(requested));
        return StartOutcome::TooManyThreads;
    }

    shared_->Log.Reset();
    StopCaption = false;
    BlockSize = s->BlockSize;
    if (s->TestMethod != 0) TestMethod = s->TestMethod;
    TestEndTime = s->TestEndTime;
    ThreadsPerDisk = s->ThreadsPerDisk;
    StatisticPeriodSeconds = s->StatisticPeriodSeconds;
    PrepareVolumes(*s, checked);
    AssignWorkers();

    StopCaption = true;
    StartTestTime = platform::TickCountMs();
    // Settings first, then Testing (release), then the events: a released worker sees its settings.
    shared_->Testing.store(true, std::memory_order_seq_cst);
    for (int n = 1; n <= WorkerCount; ++n) workerEvents_[n]->Set();
    return StartOutcome::Started;
}

void Engine::PrepareVolumes(const RunSettings& s, const std::array<bool, kDiskCount>& checked) {
    for (int i = 0; i < DiskCount; ++i) {
        if (!Present(i)) continue;
        VolumeStats& v = *shared_->Volumes[i];
        std::lock_guard lock(v.Lock);  // no worker runs now; intervals still change only under the lock
        v.ClearIntervals();
        v.Selected = checked[i];
        if (!v.Selected) continue;
        v.PauseMs = s.PauseMs;
        v.PauseFixed = s.PauseFixed;
        v.ReadsPerPortion = s.ReadsPerPortion;
        v.WritesPerPortion = s.WritesPerPortion;
        v.IOsPerPortion = static_cast<int32_t>(static_cast<uint32_t>(s.ReadsPerPortion) +
                                               static_cast<uint32_t>(s.WritesPerPortion));
        v.IOsPerPortionFixed = s.IOsPerPortionFixed;
        v.BlockSize = BlockSize;
        v.BlockCount = DiskSize[i] / v.BlockSize;
        v.TestMethod = TestMethod;
        v.ClearCounters();
        v.PeriodTicks = static_cast<int64_t>(StatisticPeriodSeconds) * TimerFreq;
    }
}

void Engine::AssignWorkers() {
    WorkerCount = 0;
    for (int i = 0; i < DiskCount; ++i) {
        if (!Present(i) || !shared_->Volumes[i]->Selected) continue;
        for (int t = 0; t < ThreadsPerDisk; ++t) {
            const int n = ++WorkerCount;
            if (!workers_[n]) {
                workerEvents_[n] = std::make_shared<platform::ManualResetEvent>("ThreadManage" + std::to_string(n), true);
                shared_->BusyFlags[n].store(0, std::memory_order_release);
                workers_[n] = std::make_unique<TDiskTest>(shared_, n, workerEvents_[n]);
            }
            workers_[n]->SetTestedDisk(i);
        }
    }
}

std::optional<uint32_t> Engine::Timer1Timer() { return Timer1TimerAt(platform::TickCountMs()); }

std::optional<uint32_t> Engine::Timer1TimerAt(uint32_t nowTicks) {
    std::optional<uint32_t> shown;
    if (Testing()) {
        const uint32_t elapsed = nowTicks - StartTestTime;  // right across one wrap of the tick count
        shown = elapsed;
        if (static_cast<int64_t>(elapsed) > TestEndTime) shared_->Testing.store(false, std::memory_order_release);
    }
    if (StopCaption) {
        bool anySignalled = false;
        for (int n = 1; n <= WorkerCount && !anySignalled; ++n) anySignalled = workerEvents_[n]->IsSet();
        if (!anySignalled) StopCaption = false;
    }
    return shown;
}

void Engine::FormHide(int32_t waitMs) {
    shared_->Testing.store(false, std::memory_order_release);
    // Bounded: returns as soon as every worker has left its run, at the latest after waitMs.
    for (int32_t waited = 0; waited < waitMs && AnyWorkerBusy(); waited += 10) platform::SleepMs(10);
}

bool Engine::Shutdown(std::chrono::milliseconds timeout) {
    shared_->Testing.store(false, std::memory_order_release);
    for (auto& w : workers_)
        if (w) w->RequestTerminate();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool all = true;
    for (auto& w : workers_) {
        if (!w) continue;
        all = w->Finish(deadline) && all;
        w.reset();
    }
    return all;
}

}  // namespace engine

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
    if (index >= 0 && index < kDiskCount) {
        Alignment[index] = probe->TransferAlignment();
        NoSizeReason[index].clear();
    }
    int64_t size = 0;
    if (probe->DeviceSize(size) && size != 0) return size;
    if (probe->FileSystemSize(size)) return size;
    if (index >= 0 && index < kDiskCount) NoSizeReason[index] = probe->WhyNoSize();
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
    shared_->EndRun();
    TimerFreq = platform::CounterFrequency();
}

bool Engine::AnyWorkerBusy() const {
    for (int n = 1; n <= createdWorkers_; ++n)
        if (shared_->BusyFlags[n].load(std::memory_order_seq_cst)) return true;
    return false;
}

int Engine::BusyWorkers() const {
    int busy = 0;
    for (int n = 1; n <= createdWorkers_; ++n) busy += shared_->BusyFlags[n].load(std::memory_order_seq_cst) != 0;
    return busy;
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
    shared_->EndRun();
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
    if (const std::string refusal = BlockSizeRefusal(s->BlockSize, checked); !refusal.empty()) {
        shared_->Dialogs->Inform(kBadSettingsCaption, refusal);
        return StartOutcome::Invalid;
    }
    // The indices alone do not tell an operator which devices are about to be destroyed: one line each
    // follows with the letter, the device and its size.
    std::string list, devices;
    int64_t selected = 0;
    for (int i = 0; i < DiskCount; ++i) {
        if (!Present(i) || !checked[i]) continue;
        if (!list.empty()) list += ",";
        list += std::to_string(i);
        devices += "\n" + std::string(1, static_cast<char>('A' + i)) + ":  " + DevicePath(i) + "  " +
                   std::to_string(DiskSize[i] / 1'048'576) + " MBytes";
        ++selected;
    }
    if (s->WritesPerPortion != 0 && !list.empty() &&
        !shared_->Dialogs->AskYesNo(kWarningCaption,
                                    "Данные на дисках " + list + " будут уничтожены. Продолжим?\n" + devices))
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
    const uint64_t run = shared_->CurrentRun.load(std::memory_order_relaxed) + 1;
    AssignWorkers(run);

    StopCaption = true;
    StartTestTime = platform::TickCountMs();
    // Settings and assignments first, then the run number and Testing, then the events: a released worker
    // sees its settings, and a worker not assigned to this run sees that it is not.
    shared_->CurrentRun.store(run, std::memory_order_release);
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

std::string Engine::BlockSizeRefusal(int32_t blockSize, const std::array<bool, kDiskCount>& checked) const {
    for (int i = 0; i < DiskCount; ++i) {
        if (!Present(i) || !checked[i]) continue;
        const std::string volume = std::string(1, static_cast<char>('A' + i)) + ": (" + DevicePath(i) + ")";
        const std::string head = "'" + std::to_string(blockSize) + "' is not allowed for the block size: ";
        if (Alignment[i] > 1 && blockSize % Alignment[i] != 0)
            return head + "it must be a multiple of " + std::to_string(Alignment[i]) + " bytes, the transfer unit of " +
                   volume;
        if (blockSize > DiskSize[i])
            return head + "it is larger than " + volume + ", which holds " + std::to_string(DiskSize[i]) + " bytes";
    }
    return {};
}

void Engine::AssignWorkers(uint64_t run) {
    WorkerCount = 0;
    for (int i = 0; i < DiskCount; ++i) {
        if (!Present(i) || !shared_->Volumes[i]->Selected) continue;
        for (int t = 0; t < ThreadsPerDisk; ++t) {
            const int n = ++WorkerCount;
            if (!workers_[n]) {
                workerEvents_[n] = std::make_shared<platform::ManualResetEvent>("ThreadManage" + std::to_string(n), true);
                shared_->BusyFlags[n].store(0, std::memory_order_release);
                workers_[n] = std::make_unique<TDiskTest>(shared_, n, workerEvents_[n]);
                createdWorkers_ = n;
            }
            workers_[n]->Assign(i, run);
        }
    }
}

std::optional<uint32_t> Engine::Timer1Timer() { return Timer1TimerAt(platform::TickCountMs()); }

std::optional<uint32_t> Engine::Timer1TimerAt(uint32_t nowTicks) {
    std::optional<uint32_t> shown;
    if (Testing()) {
        const uint32_t elapsed = nowTicks - StartTestTime;  // right across one wrap of the tick count
        shown = elapsed;
        if (static_cast<int64_t>(elapsed) > TestEndTime) shared_->EndRun();
    }
    if (StopCaption) {
        bool anySignalled = false;
        for (int n = 1; n <= WorkerCount && !anySignalled; ++n) anySignalled = workerEvents_[n]->IsSet();
        if (!anySignalled) StopCaption = false;
    }
    return shown;
}

void Engine::FormHide(int32_t waitMs) {
    shared_->EndRun();
    // Bounded: returns as soon as every worker has left its run, at the latest after waitMs.
    for (int32_t waited = 0; waited < waitMs && AnyWorkerBusy(); waited += 10) platform::SleepMs(10);
}

bool Engine::Shutdown(std::chrono::milliseconds timeout) {
    shared_->EndRun();
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

#include "engine/engine.h"

#include "engine/pending.h"
#include "platform/clock.h"
#include "platform/error_codes.h"
#include "platform/memory.h"

namespace engine {

Engine::Engine(std::shared_ptr<platform::IVolumeSystem> volumeSystem, IDialogs& dialogs, uint32_t logCapacity,
               TickSource ticks)
    : shared_(std::make_shared<SharedState>(std::move(volumeSystem), dialogs, logCapacity)),
      volumes_(shared_),
      pool_(shared_),
      ticks_(ticks ? std::move(ticks) : TickSource(platform::TickCountMs)),
      timerFreq_(platform::CounterFrequency()) {
    // What the window holds from when it is shown until the first start.
    settings_.method = Method::None;
    settings_.threadsPerVolume = 10;
    settings_.testMs = 0;
    startTick_ = ticks_();
}

Engine::~Engine() {
    pool_.Shutdown(std::chrono::seconds(3));
}

StartResult Engine::Start(const RunSettings& s, const std::array<bool, kDiskCount>& selected,
                          const ConfirmDestruction& confirm) {
    StartResult result = Prepare(s, selected, confirm);
    if (result.outcome == StartOutcome::Prepared) {
        Release();
        result.outcome = StartOutcome::Started;
    }
    return result;
}

StartResult Engine::Prepare(const RunSettings& s, const std::array<bool, kDiskCount>& selected,
                            const ConfirmDestruction& confirm) {
    // Everything is checked and asked before anything changes, so a start that does not happen keeps the
    // last run's statistics and log.
    StartResult result;
    if (pool_.AnyBusy()) {
        result.outcome = StartOutcome::Busy;
        return result;
    }
    std::vector<int> chosen;
    StartFacts facts;
    for (int i = 0; i < volumes_.Count(); ++i)
        if (volumes_.Present(i) && selected[i]) {
            chosen.push_back(i);
            facts.volumes.push_back({i, volumes_.Size(i), volumes_.Alignment(i)});
        }
    facts.memoryBytes = platform::PhysicalMemoryBytes();
    facts.logBytes = static_cast<int64_t>(shared_->Log.Capacity()) * static_cast<int64_t>(sizeof(LogEntry));
    // Refused before the destructive question: an operator is never asked to agree to a run that will not be.
    result.refusal = ValidateStart(s, facts);
    if (result.refusal) return result;
    if (s.writesPerPortion != 0 && !chosen.empty() && !(confirm && confirm(chosen))) {
        result.outcome = StartOutcome::Declined;
        return result;
    }

    // What this run wrote where, when it verifies.
    std::shared_ptr<Verifier> verifier;
    if (s.verify && s.writesPerPortion > 0) {
        std::array<int64_t, kDiskCount> blocks{};
        for (int i : chosen) blocks[static_cast<size_t>(i)] = volumes_.Size(i) / s.blockSize;
        try {
            verifier = std::make_shared<Verifier>((static_cast<uint64_t>(platform::CounterNow()) << 16) ^
                                                      shared_->CurrentRun.load(std::memory_order_relaxed),
                                                  blocks);
        } catch (const std::bad_alloc&) {
            std::vector<int64_t> list;
            for (int i : chosen) list.push_back(blocks[static_cast<size_t>(i)]);
            result.refusal.why = Refusal::Why::VerifyMemory;
            result.refusal.field = SettingField::Verify;
            result.refusal.requested = Verifier::BytesNeeded(list);
            result.refusal.limit = platform::PhysicalMemoryBytes() / 2;
            return result;
        }
    }

    shared_->Log.Reset(s.streamLog);
    const Method kept = settings_.method;
    settings_ = s;
    if (s.method == Method::None) settings_.method = kept;
    periodSeconds_ = StatisticPeriodOf(s);
    PrepareVolumes(selected);
    std::vector<int> volumeOf;
    for (int i : chosen)
        for (int t = 0; t < s.threadsPerVolume; ++t) volumeOf.push_back(i);
    const uint64_t run = shared_->CurrentRun.load(std::memory_order_relaxed) + 1;
    pool_.Assign(volumeOf, run);
    verifier_ = verifier;
    shared_->Verify = std::move(verifier);
    preparedRun_ = run;
    result.outcome = StartOutcome::Prepared;
    return result;
}

void Engine::Release() {
    if (preparedRun_ == 0) return;
    startTick_ = ticks_();
    shared_->GoRun.store(preparedRun_, std::memory_order_release);
    ReleaseHeld();
    heldRun_ = 0;
}

void Engine::ReleaseHeld() {
    if (preparedRun_ == 0) return;
    // Settings and assignments first, then the run number and Testing, then the events: a released worker
    // sees its settings, and a worker not assigned to this run sees that it is not.
    shared_->Ready.store(0, std::memory_order_relaxed);
    shared_->CurrentRun.store(preparedRun_, std::memory_order_release);
    shared_->Testing.store(true, std::memory_order_seq_cst);
    pool_.Release();
    heldRun_ = preparedRun_;
    preparedRun_ = 0;
}

bool Engine::WorkersReady() const {
    return shared_->Ready.load(std::memory_order_acquire) >= pool_.Count();
}

void Engine::Go() {
    if (heldRun_ == 0) return;
    startTick_ = ticks_();
    {
        std::lock_guard lock(shared_->SleepMutex);
        shared_->GoRun.store(heldRun_, std::memory_order_release);
    }
    shared_->SleepWake.notify_all();
    heldRun_ = 0;
}

void Engine::PrepareVolumes(const std::array<bool, kDiskCount>& selected) {
    const RunSettings& s = settings_;
    for (int i = 0; i < volumes_.Count(); ++i) {
        if (!volumes_.Present(i)) continue;
        VolumeStats& v = *volumes_.Record(i);
        std::lock_guard lock(v.Lock);  // no worker runs now; intervals still change only under the lock
        v.ClearIntervals();
        v.Selected = selected[i];
        if (!v.Selected) continue;
        v.PauseMs = s.pauseMs;
        v.PauseFixed = s.pauseType == PauseType::Fixed;
        v.ReadsPerPortion = s.readsPerPortion;
        v.WritesPerPortion = s.writesPerPortion;
        v.IOsPerPortion = static_cast<int32_t>(static_cast<uint32_t>(s.readsPerPortion) +
                                               static_cast<uint32_t>(s.writesPerPortion));
        v.IOsPerPortionFixed = s.ioCountType == IOCountType::Fixed;
        v.BlockSize = s.blockSize;
        v.BlockCount = volumes_.Size(i) / v.BlockSize;
        v.TestMethod = static_cast<int32_t>(s.method);
        v.QueueDepth = s.queueDepth;
        v.SubmitBatch = s.submitBatch;
        v.PollUs = s.pollUs;
        v.OperationsPerWorker = s.passesPerWorker > 0 ? v.BlockCount * s.passesPerWorker : 0;
        v.RatePerWorker = s.rate > 0 && s.threadsPerVolume > 0 ? s.rate / s.threadsPerVolume : 0;
        v.Poisson = s.poisson;
        v.LateTicks = v.RatePerWorker > 0 ? static_cast<int64_t>(timerFreq_ / v.RatePerWorker) : 0;
        v.RegisterFile = s.registerFile;
        v.RegisterBuffers = s.registerBuffers;
        v.RatePerVolume = v.RatePerWorker > 0 ? s.rate : 0;
        if (v.RatePerWorker > 0 && s.liveSeconds > 0) {
            if (!v.LiveOpenLoop)
                v.LiveOpenLoop = std::make_unique<std::array<OpenLoopTally, VolumeStats::kLiveKept>>();
        } else {
            v.LiveOpenLoop.reset();
        }
        v.ClearCounters();
        v.PeriodTicks = static_cast<int64_t>(periodSeconds_) * timerFreq_;
        v.LivePeriodTicks = static_cast<int64_t>(s.liveSeconds) * timerFreq_;
    }
}

VerifyResults Engine::ReadBack(int volume, const std::function<bool()>& stop, uint32_t& openError) {
    VerifyResults results;
    openError = 0;
    BlockStates* states = verifier_ ? verifier_->States(volume) : nullptr;
    if (!states || pool_.AnyBusy()) return results;
    std::unique_ptr<platform::IVolumeDevice> device =
        shared_->VolumeSystem->OpenDevice(volume, false, openError);
    if (!device) return results;
    const uint32_t size = static_cast<uint32_t>(settings_.blockSize);
    void* buffer = device->AllocateBuffer(size);
    if (!buffer) {
        openError = platform::OutOfMemoryErrorCode();
        return results;
    }
    for (int64_t b = 0; b < states->Blocks() && !stop(); ++b) {
        const uint64_t expected = states->Acknowledged(b);
        if (expected == 0 || expected == BlockStates::kOpen) continue;
        const int64_t offset = b * settings_.blockSize;
        const uint32_t error = device->ReadAt(buffer, size, offset);
        if (error != 0) {
            ++results.readErrors;
            continue;
        }
        verifier_->Check(volume, buffer, size, offset, expected, platform::CounterNow(), results);
    }
    device->FreeBuffer(buffer);
    return results;
}

void Engine::Stop() {
    pool_.ResetEvents();
    shared_->EndRun();
}

std::optional<uint32_t> Engine::Tick() {
    if (!Running()) return std::nullopt;
    const uint32_t elapsed = ticks_() - startTick_;  // right across one wrap of the tick count
    if (static_cast<int64_t>(elapsed) > settings_.testMs) shared_->EndRun();
    return elapsed;
}

void Engine::EndRunAndWait(int32_t waitMs) {
    shared_->EndRun();
    // Bounded: returns as soon as every worker has left its run, at the latest after waitMs.
    for (int32_t waited = 0; waited < waitMs && pool_.AnyBusy(); waited += 10) platform::SleepMs(10);
    // Workers still in a device call hold finished operations: recorded now, so the log written next and
    // the totals agree.
    for (int i = 0; i < volumes_.Count(); ++i)
        if (volumes_.Present(i)) LockUpToDate(*volumes_.Record(i));
}

}  // namespace engine

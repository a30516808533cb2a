#include "engine/worker.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>

#include "engine/loop.h"
#include "engine/pending.h"
#include "engine/random.h"
#include "engine/system_error.h"
#include "engine/walker.h"
#include "platform/clock.h"
#include "platform/error_codes.h"

namespace engine {

struct TDiskTest::Core {
    std::shared_ptr<SharedState> shared;
    int32_t number;
    std::shared_ptr<platform::ManualResetEvent> hEvent;
    std::atomic<int32_t> testedDisk{0};
    std::atomic<uint64_t> assignedRun{0};
    std::atomic<bool> terminated{false};
    uint64_t arrivedRun = 0;  // the run this worker last counted itself ready for
    std::mutex exitMutex;
    std::condition_variable exitWake;
    bool exited = false;
    WorkerRandom random;

    bool Terminated() const { return terminated.load(std::memory_order_acquire); }
    bool InMyRun() const { return shared->InRun(assignedRun.load(std::memory_order_acquire)); }
    // Counts this worker as prepared for run `run`, once, whether it can go on or not (a volume that did not
    // open must not hold the others back).
    void Arrive(uint64_t run) {
        if (arrivedRun == run) return;
        arrivedRun = run;
        shared->Ready.fetch_add(1, std::memory_order_acq_rel);
        shared->WakeSleepers();
    }
    void Execute();
    void RunTest();
};

namespace {

// What a run's buffers are, for the operator told they could not be had.
std::string BuffersNeeded(int64_t count, uint32_t size) {
    return (count == 3 ? std::string("Three") : std::to_string(count)) + " buffers of " +
           std::to_string(size) + " bytes are needed.";
}

// The run's write data: every byte from 0 to 254, four bytes from each 64-bit draw (a 16-bit share of 255
// each, so that a 1 GiB block is made in a fraction of a second). False when stop() turned true meanwhile.
template <class Stop>
bool FillRandomData(WorkerRandom& random, unsigned char* bytes, uint32_t size, const Stop& stop) {
    for (uint32_t i = 0; i < size;) {
        if ((i & ((1u << 20) - 1)) == 0 && i > 0 && stop()) return false;
        uint64_t x = random.Next64();
        for (int k = 0; k < 4 && i < size; ++k, x >>= 16)
            bytes[i++] = static_cast<unsigned char>(((x & 0xFFFF) * 255) >> 16);
    }
    return true;
}

}  // namespace

void TDiskTest::Core::Execute() {
    SharedState& sh = *shared;
    while (!Terminated()) {
        if (!InMyRun()) {
            if (hEvent->IsSet()) {
                // Released for a run that ended before this worker entered it: the signal is stale, and left
                // set it would keep the window's caption at "Стоп" for good. A Start that assigns this worker
                // sets its run before signalling, so the check after the reset cannot miss it.
                hEvent->Reset();
                if (InMyRun()) continue;
            }
            if (sh.SleepUnless(10, [this] { return Terminated(); })) break;
            if (!InMyRun()) hEvent->Wait();
            continue;
        }
        // seq_cst pairs with the window's busy check: a worker that saw its run going here is seen busy.
        sh.BusyFlags[number].store(1, std::memory_order_seq_cst);
        RunTest();
        hEvent->Reset();
        sh.BusyFlags[number].store(0, std::memory_order_release);
    }
    std::lock_guard lock(exitMutex);
    exited = true;
    exitWake.notify_all();
}

void TDiskTest::Core::RunTest() {
    SharedState& sh = *shared;
    if (!InMyRun()) return;
    const int32_t disk = testedDisk.load(std::memory_order_relaxed);
    VolumeStats* vp = disk >= 0 && disk < kDiskCount ? sh.Volumes[disk].get() : nullptr;
    if (!vp) {
        // Only present volumes are ever assigned; do not spin should that ever break.
        sh.SleepUnless(10, [this] { return Terminated(); });
        return;
    }
    VolumeStats& v = *vp;
    const uint32_t s = static_cast<uint32_t>(v.BlockSize);
    random.Seed(static_cast<uint64_t>(platform::CounterNow()) ^ (static_cast<uint64_t>(number) << 48) ^
                std::hash<std::thread::id>{}(std::this_thread::get_id()));
    const bool readOnly = v.WritesPerPortion == 0;
    const std::string path = sh.VolumeSystem->DevicePath(disk);
    const auto Fail = [&](WorkerFailure::Kind kind, uint32_t code, std::string detail = {}) {
        sh.Dialogs->WorkerFailed(
            {kind, disk, static_cast<int>(number), path, !readOnly, code, std::move(detail)});
    };

    const uint64_t run = assignedRun.load(std::memory_order_acquire);
    const auto over = [this, run] { return Terminated() || !shared->InRun(run); };
    uint32_t error = 0;
    std::unique_ptr<platform::IVolumeDevice> device = sh.VolumeSystem->OpenDevice(disk, !readOnly, error);
    if (!device) {
        Arrive(run);
        if (!Terminated()) Fail(WorkerFailure::Kind::Open, error);
        return;
    }
    // The run's write data and block 0's zeros, shared by its streams; each stream has its own read buffer
    // (and, when writes are verified, a buffer for its stamped writes).
    const uint32_t depth = static_cast<uint32_t>(std::max(v.QueueDepth, 1));
    const std::shared_ptr<Verifier> verifier = readOnly ? nullptr : sh.Verify;
    const int64_t needed = 2 + int64_t{depth} * (verifier ? 2 : 1);
    void* randomBuffer = device->AllocateBuffer(s);
    void* zeroBuffer = device->AllocateBuffer(s);
    const auto noBuffers = [&] {
        if (!Terminated())
            Fail(WorkerFailure::Kind::Buffers, platform::OutOfMemoryErrorCode(), BuffersNeeded(needed, s));
    };
    const auto leave = [&] {
        for (void* b : {randomBuffer, zeroBuffer})
            if (b) device->FreeBuffer(b);
        Arrive(run);
    };
    if (!randomBuffer || !zeroBuffer) {
        leave();
        device.reset();
        noBuffers();
        return;
    }
    std::memset(zeroBuffer, 0, s);
    if (!FillRandomData(random, static_cast<unsigned char*>(randomBuffer), s, over)) return leave();

    // Depth 1 is the synchronous worker: the same loop over a queue whose submission makes the call. Which
    // queue is the platform's to say.
    platform::QueueOptions options;
    options.registerFile = v.RegisterFile;
    options.registerBuffers = v.RegisterBuffers;
    options.pollNs = int64_t{v.PollUs} * 1000;
    std::unique_ptr<platform::IIoQueue> queue = platform::OpenQueue(*device, depth, options, error);
    if (queue) {
        LoopRun loop{sh,
                     v,
                     disk,
                     *device,
                     *queue,
                     depth,
                     readOnly,
                     randomBuffer,
                     zeroBuffer,
                     random.Next64(),
                     over,
                     verifier.get(),
                     static_cast<uint32_t>(number)};
        loop.prepared = [&] {
            Arrive(run);
            return shared->AwaitGo(run, over);
        };
        const LoopResult result = RunOperations(loop);
        Arrive(run);
        if (result.outcome == LoopOutcome::NoBuffers) noBuffers();
        if (result.outcome == LoopOutcome::NotRegistered && !Terminated())
            Fail(WorkerFailure::Kind::RegisterBuffers, result.error,
                 BuffersNeeded(needed, s) + " They are pinned in memory (RLIMIT_MEMLOCK).");
        queue.reset();
    } else {
        Arrive(run);
        if (!Terminated()) Fail(WorkerFailure::Kind::Queue, error);
    }
    leave();
}

TDiskTest::TDiskTest(std::shared_ptr<SharedState> shared, int32_t number,
                     std::shared_ptr<platform::ManualResetEvent> event)
    : core_(std::make_shared<Core>()) {
    core_->shared = std::move(shared);
    core_->number = number;
    core_->hEvent = std::move(event);
    thread_ = std::thread([core = core_] { core->Execute(); });
}

TDiskTest::~TDiskTest() {
    RequestTerminate();
    Finish(std::chrono::steady_clock::now() + std::chrono::seconds(3));
}

void TDiskTest::Assign(int32_t index, uint64_t run) {
    core_->testedDisk.store(index, std::memory_order_relaxed);
    core_->assignedRun.store(run, std::memory_order_release);
}
int32_t TDiskTest::TestedDisk() const {
    return core_->testedDisk.load(std::memory_order_relaxed);
}

void TDiskTest::RequestTerminate() {
    core_->terminated.store(true, std::memory_order_release);
    core_->shared->WakeSleepers();
    core_->hEvent->Set();
}

bool TDiskTest::Finish(std::chrono::steady_clock::time_point deadline) {
    if (!thread_.joinable()) return true;
    bool done;
    {
        std::unique_lock lock(core_->exitMutex);
        done = core_->exitWake.wait_until(lock, deadline, [this] { return core_->exited; });
    }
    if (done)
        thread_.join();
    else
        thread_.detach();
    return done;
}

}  // namespace engine

#include "engine/worker.h"

#include <cstring>
#include <functional>

#include "engine/pending.h"
#include "engine/random.h"
#include "engine/streams.h"
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
    std::mutex exitMutex;
    std::condition_variable exitWake;
    bool exited = false;
    WorkerRandom random;
    // After `shared`: it leaves its volume's list before the records could go.
    PendingRecords pending;

    bool Terminated() const { return terminated.load(std::memory_order_acquire); }
    bool InMyRun() const { return shared->InRun(assignedRun.load(std::memory_order_acquire)); }
    void Execute();
    void RunTest();
    void Loop(VolumeStats& v, platform::IVolumeDevice& device, bool readOnly, void* readBuffer,
              const void* randomBuffer, const void* zeroBuffer, StreamVerification& check);
};

namespace {

int32_t WrappingSum(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
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

    uint32_t error = 0;
    std::unique_ptr<platform::IVolumeDevice> device = sh.VolumeSystem->OpenDevice(disk, !readOnly, error);
    if (!device) {
        if (!Terminated()) ShowSystemError(*sh.Dialogs, CannotOpenText(path, !readOnly), error);
        return;
    }
    void* readBuffer = device->AllocateBuffer(s);
    void* randomBuffer = device->AllocateBuffer(s);
    void* zeroBuffer = device->AllocateBuffer(s);
    if (!readBuffer || !randomBuffer || !zeroBuffer) {
        for (void* b : {readBuffer, randomBuffer, zeroBuffer})
            if (b) device->FreeBuffer(b);
        device.reset();
        if (!Terminated())
            ShowSystemError(*sh.Dialogs, "Cannot allocate I/O buffers for " + path,
                            "Three buffers of " + std::to_string(s) + " bytes are needed.",
                            platform::OutOfMemoryErrorCode());
        return;
    }
    std::memset(zeroBuffer, 0, s);
    auto* bytes = static_cast<unsigned char*>(randomBuffer);
    for (uint32_t i = 0; i < s; ++i) bytes[i] = static_cast<unsigned char>(random.Random(255));

    if (v.QueueDepth <= 1) {
        // With verification every write carries its own header: a fourth buffer holds it.
        const std::shared_ptr<Verifier> verifier = readOnly ? nullptr : sh.Verify;
        void* stamped = verifier ? device->AllocateBuffer(s) : nullptr;
        StreamVerification check(stamped ? verifier.get() : nullptr, disk, static_cast<uint32_t>(number), 0,
                                 stamped, randomBuffer, s);
        Loop(v, *device, readOnly, readBuffer, randomBuffer, zeroBuffer, check);
        if (stamped) device->FreeBuffer(stamped);
    } else if (std::unique_ptr<platform::IAsyncQueue> queue =
                   device->OpenQueue(static_cast<uint32_t>(v.QueueDepth), error)) {
        const uint64_t run = assignedRun.load(std::memory_order_acquire);
        const StreamRun streams{sh,
                                v,
                                disk,
                                *device,
                                *queue,
                                static_cast<uint32_t>(v.QueueDepth),
                                readOnly,
                                randomBuffer,
                                zeroBuffer,
                                random.Next64(),
                                [this, run] { return Terminated() || !shared->InRun(run); },
                                readOnly ? nullptr : sh.Verify.get(),
                                static_cast<uint32_t>(number)};
        if (!RunStreams(streams) && !Terminated())
            ShowSystemError(*sh.Dialogs, "Cannot allocate I/O buffers for " + path,
                            std::to_string(v.QueueDepth) + " stream buffers of " + std::to_string(s) +
                                " bytes are needed.",
                            platform::OutOfMemoryErrorCode());
    } else if (!Terminated()) {
        ShowSystemError(*sh.Dialogs, "Cannot set up an I/O queue for " + path, error);
    }

    device->FreeBuffer(readBuffer);
    device->FreeBuffer(randomBuffer);
    device->FreeBuffer(zeroBuffer);
}

void TDiskTest::Core::Loop(VolumeStats& v, platform::IVolumeDevice& device, bool readOnly, void* readBuffer,
                           const void* randomBuffer, const void* zeroBuffer, StreamVerification& check) {
    SharedState& sh = *shared;
    const int32_t disk = testedDisk.load(std::memory_order_relaxed);
    const uint32_t s = static_cast<uint32_t>(v.BlockSize);
    Walker walker{v.TestMethod, v.BlockCount};
    walker.Start(random);
    const int64_t f = platform::CounterFrequency();
    int32_t readsLeft = v.ReadsPerPortion;
    int32_t writesLeft = v.WritesPerPortion;
    // The result of the last call; a pass without a call keeps it, and before any call it is a failure.
    uint32_t error = platform::kNoCall;

    const uint64_t run = assignedRun.load(std::memory_order_acquire);
    const auto runOver = [&] { return Terminated() || !sh.InRun(run); };
    const PendingScope recording(pending, sh.Log, v, disk, s, f);
    while (!runOver()) {
        const int64_t offset = walker.p * v.BlockSize;
        const bool read = readsLeft > 0;
        const bool write = !read && !readOnly && writesLeft > 0;
        const void* data = walker.p == 0 ? zeroBuffer : randomBuffer;
        if (check.On()) {
            if (read) check.PrepareRead(walker.p);
            if (write) data = check.PrepareWrite(walker.p, offset);
        }
        const int64_t start = platform::CounterNow();
        if (read) {
            --readsLeft;
            error = device.ReadAt(readBuffer, s, offset);
        } else if (write) {
            --writesLeft;
            error = device.WriteAt(data, s, offset);
        }
        const int64_t end = platform::CounterNow();
        if (check.On()) {
            if (read) error = check.FinishRead(readBuffer, offset, error, end);
            if (write) check.FinishWrite(error);
        }

        if (WrappingSum(readsLeft, writesLeft) == 0) {
            // A negative pause is treated as none; it never reaches the sleep or the draw. The end of the
            // run cuts a pause short, so a stop never waits for it; the paused operation is still recorded.
            if (v.PauseMs > 0) {
                const int32_t t =
                    v.PauseFixed ? v.PauseMs
                                 : static_cast<int32_t>(random.Random(static_cast<uint32_t>(v.PauseMs) + 1));
                if (t > 0) {
                    pending.Flush();
                    sh.SleepUnless(t, runOver);
                }
            }
            readsLeft = v.ReadsPerPortion;
            writesLeft = v.WritesPerPortion;
        }
        pending.Add(start, end, error);
        walker.Next(random);
    }
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

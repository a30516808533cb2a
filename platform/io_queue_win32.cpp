#include "platform/io_queue_win32.h"

#include <vector>

#include "platform/clock.h"
#include "platform/error_codes.h"

namespace platform {
namespace {

// The longest one submission waits for a completion, as on Linux: the caller then reaps with its own
// deadline.
constexpr DWORD kSubmitWaitMs = 10;

// An overlapped read or write that ended before it began: EOF is reached by a read at or past an image's end,
// which the synchronous calls and Linux report as a short transfer.
uint32_t Outcome(DWORD error, DWORD bytes, uint32_t size) {
    if (error == ERROR_HANDLE_EOF) return kShortTransfer;
    if (error != 0) return error;
    return bytes == size ? 0 : kShortTransfer;
}

// One port per queue (a worker's), one OVERLAPPED per request slot: the slot's address comes back with its
// completion. A call that completes at once is timed and reaped without a trip through the port when the
// handle skips the port on success; every other completion is taken from the port in batches.
class OverlappedQueue final : public IIoQueue {
  public:
    OverlappedQueue(HANDLE h, bool own, int64_t writeLimit, uint32_t depth)
        : h_(h), own_(own), limit_(writeLimit), slots_(depth), entries_(depth) {
        for (uint32_t k = depth; k > 0; --k) free_.push_back(k - 1);
        queued_.reserve(depth);
        done_.reserve(2 * static_cast<size_t>(depth));
    }
    ~OverlappedQueue() override {
        // The system writes into a slot and its buffer until the request completes: neither may go before.
        if (inFlight_ > 0) CancelAll();
        while (port_ && inFlight_ > 0) Fetch(1000);
        if (port_) CloseHandle(port_);
        if (own_) CloseHandle(h_);
    }

    uint32_t Init() {
        port_ = CreateIoCompletionPort(h_, nullptr, 0, 1);
        if (!port_) {
            const DWORD e = GetLastError();
            // The handle's file is tied to another port already: a volume locked for writing, whose one
            // handle every worker shares.
            return e == ERROR_INVALID_PARAMETER ? kQueueHandleTaken : e;
        }
        // Where the device allows it, a call that completes at once posts nothing and sets no event.
        skipOnSuccess_ = SetFileCompletionNotificationModes(
                             h_, FILE_SKIP_COMPLETION_PORT_ON_SUCCESS | FILE_SKIP_SET_EVENT_ON_HANDLE) != 0;
        return 0;
    }

    bool Queue(const IoRequest& q) override {
        if (q.tag >= kMaxTags || free_.empty()) return false;
        if (q.write && PastImageEnd(q.offset, q.size, limit_)) {
            const int64_t now = CounterNow();  // refused here: it took no time at the device
            done_.push_back({q.tag, ERROR_DISK_FULL, now, now});
            return true;
        }
        const uint32_t k = free_.back();
        free_.pop_back();
        Slot& s = slots_[k];
        s.ov = {};
        s.ov.Offset = static_cast<DWORD>(static_cast<uint64_t>(q.offset) & 0xffffffffu);
        s.ov.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(q.offset) >> 32);
        s.tag = q.tag;
        s.size = q.size;
        s.buffer = q.buffer;
        s.write = q.write;
        queued_.push_back(k);
        return true;
    }

    // Each request is its own call: one the system refuses completes at once with its code, and the others
    // still go. So a submission as a whole never fails.
    uint32_t Submit(bool waitForOne) override {
        for (uint32_t k : queued_) {
            Slot& s = slots_[k];
            s.start = CounterNow();
            const BOOL ok = s.write ? WriteFile(h_, s.buffer, s.size, nullptr, &s.ov)
                                    : ReadFile(h_, s.buffer, s.size, nullptr, &s.ov);
            if (ok && skipOnSuccess_) {
                const int64_t end = CounterNow();
                done_.push_back(
                    {s.tag, Outcome(0, static_cast<DWORD>(s.ov.InternalHigh), s.size), s.start, end});
                free_.push_back(k);
                continue;
            }
            const DWORD e = ok ? ERROR_IO_PENDING : GetLastError();
            if (e == ERROR_IO_PENDING) {
                // In flight; a call that completed at once without the skip still posts its completion.
                s.inFlight = true;
                ++inFlight_;
                continue;
            }
            const int64_t end = CounterNow();
            done_.push_back({s.tag, Outcome(e, 0, s.size), s.start, end});
            free_.push_back(k);
        }
        queued_.clear();
        if (waitForOne && head_ == done_.size() && inFlight_ > 0) Fetch(kSubmitWaitMs);
        return 0;
    }

    bool Reap(IoCompletion& c, int64_t timeoutNs) override {
        if (head_ == done_.size() && inFlight_ > 0) {
            // Whole milliseconds, the port's unit: a wait shorter than one is one.
            const DWORD ms = timeoutNs <= 0 ? 0 : static_cast<DWORD>((timeoutNs + 999'999) / 1'000'000);
            Fetch(ms);
        }
        if (head_ == done_.size()) return false;
        c = done_[head_++];
        if (head_ == done_.size()) head_ = 0, done_.clear();
        return true;
    }

    // Only this queue's own requests: another worker may share the handle's file.
    void CancelAll() override {
        for (Slot& s : slots_)
            if (s.inFlight) CancelIoEx(h_, &s.ov);
    }

    uint32_t InFlight() const override { return inFlight_ + static_cast<uint32_t>(done_.size() - head_); }

  private:
    struct Slot {
        OVERLAPPED ov;  // first: a completion's OVERLAPPED is its slot's address
        uint32_t tag = 0;
        uint32_t size = 0;
        void* buffer = nullptr;
        bool write = false;
        bool inFlight = false;
        int64_t start = 0;
    };

    // Takes what the port holds (waiting up to ms for the first) into the done list.
    void Fetch(DWORD ms) {
        ULONG got = 0;
        if (!GetQueuedCompletionStatusEx(port_, entries_.data(), static_cast<ULONG>(entries_.size()), &got,
                                         ms, FALSE))
            return;
        const int64_t end = CounterNow();  // every result taken is in hand now
        for (ULONG i = 0; i < got; ++i) {
            const OVERLAPPED_ENTRY& entry = entries_[i];
            Slot* s = reinterpret_cast<Slot*>(entry.lpOverlapped);
            if (!s || s < slots_.data() || s >= slots_.data() + slots_.size() || !s->inFlight) continue;
            DWORD error = 0;
            // Internal is the request's status: anything but success is read back as the system's code.
            if (s->ov.Internal != 0) {
                DWORD bytes = 0;
                error = GetOverlappedResult(h_, &s->ov, &bytes, FALSE) ? 0 : GetLastError();
            }
            s->inFlight = false;
            --inFlight_;
            done_.push_back(
                {s->tag, Outcome(error, entry.dwNumberOfBytesTransferred, s->size), s->start, end});
            free_.push_back(static_cast<uint32_t>(s - slots_.data()));
        }
    }

    HANDLE h_;
    bool own_;
    int64_t limit_;
    HANDLE port_ = nullptr;
    bool skipOnSuccess_ = false;
    uint32_t inFlight_ = 0;
    std::vector<Slot> slots_;  // never resized: the system holds their addresses
    std::vector<OVERLAPPED_ENTRY> entries_;
    std::vector<uint32_t> free_, queued_;
    std::vector<IoCompletion> done_;  // completions not yet reaped, from head_ on
    size_t head_ = 0;
};

}  // namespace

std::unique_ptr<IIoQueue> MakeOverlappedQueue(HANDLE h, bool own, int64_t writeLimit, uint32_t depth,
                                              uint32_t& error) {
    auto queue = std::make_unique<OverlappedQueue>(h, own, writeLimit, depth);
    error = queue->Init();
    if (error != 0) return nullptr;
    return queue;
}

QueueEngine QueuedEngine() {
    QueueEngine e;
    e.name = "overlapped I/O";
    e.available = true;
    e.maxDepth = IIoQueue::kMaxTags;
    e.noRegistration = "each overlapped call names its own file and buffer: Windows has nothing to register";
    return e;
}

}  // namespace platform

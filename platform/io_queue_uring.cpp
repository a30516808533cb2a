#include "platform/io_queue_uring.h"

#include <errno.h>
#include <liburing.h>

#include <algorithm>
#include <deque>
#include <vector>

#include "platform/clock.h"
#include "platform/error_codes.h"

namespace platform {
namespace {

// The user data of our own cancel requests, which never complete a caller's request.
constexpr uint64_t kCancelTag = ~uint64_t{0};
// Requests whose submission failed and were turned into no-ops: their completions are dropped.
constexpr uint64_t kVoidTag = ~uint64_t{0} - 1;
// The longest one submission waits for a completion; the caller then reaps with its own deadline. 10 ms: a
// hundred times the slowest healthy device's answer, and short beside the 1 s within which a stop must end.
constexpr long kSubmitWaitNs = 10'000'000;

class UringQueue final : public IIoQueue {
  public:
    UringQueue(int fd, int64_t writeLimit, uint32_t depth, const QueueOptions& options)
        : fd_(fd), limit_(writeLimit), depth_(depth), options_(options) {
        poll_.ns = options.pollNs;
        slots_.resize(depth);
        for (uint32_t k = depth; k > 0; --k) free_.push_back(k - 1);
        queued_.reserve(depth);
    }
    ~UringQueue() override {
        if (ready_) io_uring_queue_exit(&ring_);
    }

    uint32_t Init() {
        // Room for one cancel request beside a full queue. The worker that made the ring is its only user,
        // and completions can wait for its next system call instead of interrupting it (as fio sets its rings
        // up); older kernels refuse these flags, and then the ring is made without them.
        io_uring_params params{};
        params.flags = IORING_SETUP_COOP_TASKRUN | IORING_SETUP_SINGLE_ISSUER;
        int r = io_uring_queue_init_params(depth_ + 1, &ring_, &params);
        if (r == -EINVAL) r = io_uring_queue_init(depth_ + 1, &ring_, 0);
        if (r < 0) return static_cast<uint32_t>(-r);
        ready_ = true;
        if (options_.registerFile) {
            r = io_uring_register_files(&ring_, &fd_, 1);
            if (r < 0) return static_cast<uint32_t>(-r);
            fixedFile_ = true;
        }
        return 0;
    }

    uint32_t RegisterBuffers(void* const* buffers, uint32_t count, uint32_t size) override {
        if (!options_.registerBuffers) return 0;
        std::vector<iovec> list(count);
        for (uint32_t k = 0; k < count; ++k) list[k] = {buffers[k], size};
        const int r = io_uring_register_buffers(&ring_, list.data(), count);
        return r < 0 ? static_cast<uint32_t>(-r) : 0;
    }

    bool Queue(const IoRequest& q) override {
        if (q.tag >= kMaxTags || free_.empty()) return false;
        if (q.write && PastImageEnd(q.offset, q.size, limit_)) {
            done_.push_back({q.tag, ENOSPC, 0, 0});
            return true;
        }
        io_uring_sqe* sqe = io_uring_get_sqe(&ring_);
        if (!sqe) return false;
        const uint32_t slot = free_.back();
        free_.pop_back();
        slots_[slot] = {q.tag, q.size, 0};
        // A registered file is named by its index (0) in the ring's table; a registered buffer by its own.
        const int fd = fixedFile_ ? 0 : fd_;
        const auto offset = static_cast<uint64_t>(q.offset);
        if (q.fixedBuffer >= 0 && options_.registerBuffers) {
            if (q.write)
                io_uring_prep_write_fixed(sqe, fd, q.buffer, q.size, offset, q.fixedBuffer);
            else
                io_uring_prep_read_fixed(sqe, fd, q.buffer, q.size, offset, q.fixedBuffer);
        } else if (q.write) {
            io_uring_prep_write(sqe, fd, q.buffer, q.size, offset);
        } else {
            io_uring_prep_read(sqe, fd, q.buffer, q.size, offset);
        }
        if (fixedFile_) sqe->flags |= IOSQE_FIXED_FILE;
        io_uring_sqe_set_data64(sqe, slot);
        queued_.push_back(slot);
        return true;
    }

    uint32_t Submit(bool waitForOne) override {
        if (queued_.empty()) return 0;
        int r;
        uint32_t handed;
        do {
            // What the kernel took is read off the ring: the waiting call reports its wait, not its count.
            const unsigned before = io_uring_sq_ready(&ring_);
            const int64_t start = CounterNow();
            for (uint32_t slot : queued_) slots_[slot].start = start;
            if (waitForOne && poll_.On()) {
                // Handed over at once, then the ring read for a while before the thread sleeps on it.
                r = io_uring_submit(&ring_);
                if (r >= 0 && !Poll(kSubmitWaitNs)) {
                    __kernel_timespec ts{0, kSubmitWaitNs};
                    io_uring_cqe* cqe = nullptr;
                    io_uring_wait_cqe_timeout(&ring_, &cqe, &ts);
                }
            } else if (waitForOne) {
                // Bounded: a device that never answers must not hold the worker past the end of its run.
                __kernel_timespec ts{0, kSubmitWaitNs};
                io_uring_cqe* cqe = nullptr;
                r = io_uring_submit_and_wait_timeout(&ring_, &cqe, 1, &ts, nullptr);
            } else {
                r = io_uring_submit(&ring_);
            }
            handed = before - io_uring_sq_ready(&ring_);
        } while (r == -EINTR && handed == 0);
        // No-ops left by an earlier failure sit first in the ring and go first.
        const uint32_t voids = handed < voidsQueued_ ? handed : voidsQueued_;
        voidsQueued_ -= voids;
        const uint32_t taken = handed - voids;
        inFlight_ += taken;
        queued_.erase(queued_.begin(), queued_.begin() + taken);
        if (handed > 0 || r >= 0 || r == -ETIME) return 0;
        // Nothing was taken. The requests would still go with the next call, after the caller has counted
        // them as failed and reused their tags: they become no-ops whose completions are dropped.
        const unsigned head = *ring_.sq.khead;
        for (unsigned k = head; k != ring_.sq.sqe_tail; ++k) {
            io_uring_sqe* sqe = &ring_.sq.sqes[k & *ring_.sq.kring_mask];
            io_uring_prep_nop(sqe);
            io_uring_sqe_set_data64(sqe, kVoidTag);
        }
        voidsQueued_ += static_cast<uint32_t>(queued_.size());
        for (uint32_t slot : queued_) free_.push_back(slot);
        queued_.clear();
        return static_cast<uint32_t>(-r);
    }

    bool Reap(IoCompletion& c, int64_t timeoutNs) override {
        for (;;) {
            if (!done_.empty()) {
                c = done_.front();
                done_.pop_front();
                c.start = c.end = CounterNow();  // refused here: it took no time at the device
                return true;
            }
            io_uring_cqe* cqe = nullptr;
            int r = io_uring_peek_cqe(&ring_, &cqe);
            if (r == -EAGAIN && inFlight_ > 0 && timeoutNs > 0 && poll_.On() && Poll(timeoutNs))
                r = io_uring_peek_cqe(&ring_, &cqe);
            if (r == -EAGAIN && (inFlight_ > 0 || cancelling_ > 0) && timeoutNs > 0) {
                __kernel_timespec ts{timeoutNs / 1'000'000'000, timeoutNs % 1'000'000'000};
                r = io_uring_wait_cqe_timeout(&ring_, &cqe, &ts);
            }
            if (r < 0 || !cqe) return false;
            const int64_t end = CounterNow();  // the result is in hand
            const uint64_t data = io_uring_cqe_get_data64(cqe);
            const int res = cqe->res;
            io_uring_cqe_seen(&ring_, cqe);
            if (data == kCancelTag) {
                --cancelling_;
                continue;
            }
            if (data == kVoidTag || data >= slots_.size()) continue;
            --inFlight_;
            const Slot& slot = slots_[data];
            free_.push_back(static_cast<uint32_t>(data));
            c.tag = slot.tag;
            c.start = slot.start;
            c.end = end;
            c.error = res < 0                                   ? static_cast<uint32_t>(-res)
                      : static_cast<uint32_t>(res) == slot.size ? 0
                                                                : kShortTransfer;
            return true;
        }
    }

    void CancelAll() override {
        if (inFlight_ == 0) return;
        io_uring_sqe* sqe = io_uring_get_sqe(&ring_);
        if (!sqe) return;
        io_uring_prep_cancel64(sqe, 0, IORING_ASYNC_CANCEL_ANY);
        io_uring_sqe_set_data64(sqe, kCancelTag);
        if (io_uring_submit(&ring_) > 0) ++cancelling_;
    }

    uint32_t InFlight() const override { return inFlight_ + static_cast<uint32_t>(done_.size()); }

  private:
    // A spinning CPU's hint to its sibling thread and the host; the package is built for more than x86.
    static void Relax() {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
        asm volatile("yield");
#endif
    }
    // Reads the completion ring for up to the poll time (at most limitNs): true when a completion came.
    bool Poll(int64_t limitNs) {
        const int64_t until = CounterNow() + std::min(poll_.ns, limitNs);  // the counter counts nanoseconds
        while (io_uring_cq_ready(&ring_) == 0 && CounterNow() < until) Relax();
        const bool caught = io_uring_cq_ready(&ring_) > 0;
        poll_.Waited(caught);
        return caught;
    }
    // Polling pays only while completions come within it: judged over windows of 256 waits, a window in
    // which fewer than half were caught stops it for the next 16 windows' worth of waits, then it is tried
    // again (a slow device, or one that slowed down, costs a spinning CPU at most a sixteenth of the time).
    struct PollControl {
        static constexpr uint32_t kWindow = 256, kRest = 16 * kWindow;
        int64_t ns = 0;
        uint32_t waits = 0, caught = 0, rest = 0;
        bool On() {
            if (ns <= 0) return false;
            if (rest == 0) return true;
            --rest;
            return false;
        }
        void Waited(bool hit) {
            caught += hit ? 1 : 0;
            if (++waits < kWindow) return;
            if (caught < kWindow / 2) rest = kRest;
            waits = caught = 0;
        }
    };
    PollControl poll_;
    // One request in the ring: whose it is, how many bytes it asked for (a short transfer is told from a
    // full one by it), and when the submission that carried it began.
    struct Slot {
        uint32_t tag = 0;
        uint32_t size = 0;
        int64_t start = 0;
    };

    io_uring ring_{};
    bool ready_ = false;
    int fd_;
    int64_t limit_;
    uint32_t depth_;
    QueueOptions options_;
    bool fixedFile_ = false;
    uint32_t inFlight_ = 0, cancelling_ = 0, voidsQueued_ = 0;
    std::vector<Slot> slots_;
    std::vector<uint32_t> free_;     // slots not in use
    std::vector<uint32_t> queued_;   // slots queued, not yet handed over, in ring order
    std::deque<IoCompletion> done_;  // completed without reaching the device
};

}  // namespace

std::unique_ptr<IIoQueue> MakeUringQueue(int fd, int64_t writeLimit, uint32_t depth,
                                         const QueueOptions& options, uint32_t& error) {
    auto queue = std::make_unique<UringQueue>(fd, writeLimit, depth, options);
    error = queue->Init();
    if (error != 0) return nullptr;
    return queue;
}

QueueEngine QueuedEngine() {
    QueueEngine e;
    e.name = "io_uring";
    e.maxDepth = 32768;  // the kernel's most entries a ring may have
    e.registerFile = e.registerBuffers = true;
    e.pollCompletions = true;
    io_uring ring{};
    const int r = io_uring_queue_init(2, &ring, 0);
    if (r < 0) {
        e.error = static_cast<uint32_t>(-r);
        return e;
    }
    io_uring_queue_exit(&ring);
    e.available = true;
    return e;
}

}  // namespace platform

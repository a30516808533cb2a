#pragma once
// Operations a worker has finished but not yet recorded. A worker hands each finished operation to its own
// PendingRecords without taking any shared lock; the batch is then recorded in order, log entries and
// statistics together, under the volume's Lock: by the worker when the batch is complete, its oldest
// operation ended a millisecond before the newest, or after an operation that took longer than a
// millisecond (each only if the Lock is free: otherwise at a later operation, so workers of one volume never
// sleep on each other), when the ring is full, before a pause and when the worker leaves the run; and by
// every reader (LockUpToDate) before it reads the volume.
// So the volume's Lock and the log's counter are taken once per batch instead of once per operation, while
// a reader still sees every finished operation, even one of a worker stuck in a device call. Recording stays
// a sequence of whole operations, each added to the intervals by the same rules as before; only the moment of
// recording moves, by at most the batch.
#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>

#include "engine/operation_log.h"
#include "engine/records.h"

namespace engine {

class PendingRecords {
  public:
    // 64 operations: the lock and the log's counter are taken once per 64 at full speed (their cost falls
    // from 60-90 ns to under 1 ns an operation). 64 batches in the ring, so a batch whose Lock is busy can
    // wait for it without its worker waiting, even while the holder is off the CPU for a time slice or two
    // beside other work (4 ms each at 250 ticks a second; 4,096 operations are 16 ms of a page-cache worker;
    // 128 KB, written in order). A worker that slept on the Lock was woken onto its waker's CPU, so two
    // workers shared one core while the machine's other work had the second to itself.
    static constexpr uint32_t kBatch = 64;
    static constexpr uint32_t kCapacity = 64 * kBatch;

    PendingRecords() = default;
    ~PendingRecords() { Detach(); }
    PendingRecords(const PendingRecords&) = delete;
    PendingRecords& operator=(const PendingRecords&) = delete;

    // Joins volume v's list for a run. The log entries get volumeIndex, the block size and the counter
    // frequency; batchTicks bounds how long (in counter ticks between operation ends) a batch may gather.
    void Attach(VolumeStats& v, OperationLog& log, int16_t volumeIndex, uint32_t blockSize, int64_t frequency,
                int64_t batchTicks);
    // Records what is left and leaves the list. Does nothing when not attached.
    void Detach();
    // The worker's only producer call: one finished operation (error 0 = success), a write or a read, and
    // in an open loop its intended start on the schedule (0: none).
    void Add(int64_t start, int64_t end, uint32_t error, bool write, int64_t intended = 0) {
        const uint32_t head = head_.load(std::memory_order_relaxed);
        ops_[head % kCapacity] = Op{start, end, intended, error, write};
        head_.store(head + 1, std::memory_order_release);
        if (!gathering_) {
            gathering_ = true;
            batchEnd_ = end + batchTicks_;
        }
        const uint32_t pending = head + 1 - tail_.load(std::memory_order_acquire);
        // A slow operation is recorded at once if it can be: on a slow device the next one, which would carry
        // it, is far (a reader records it anyway). Only a full ring waits for the Lock.
        if (pending >= kCapacity)
            Flush();
        else if (pending >= kBatch || end > batchEnd_ || end - start > batchTicks_)
            TryFlush();
    }
    // Records everything pending now, taking the volume's Lock once.
    void Flush();
    // The same if the Lock is free at once; otherwise the batch goes on gathering.
    void TryFlush();

    // Records everything every worker of v has pending; the caller holds v.Lock.
    static void RecordAllLocked(VolumeStats& v);

  private:
    struct Op {
        int64_t start;
        int64_t end;
        int64_t intended;
        uint32_t error;
        bool write;  // in the padding after error
    };
    void RecordLocked();

    std::array<Op, kCapacity> ops_{};
    // head_ is written by the worker alone; tail_ only under the volume's Lock. Apart, so the worker's
    // stores do not invalidate a reader's line and the other way round.
    alignas(64) std::atomic<uint32_t> head_{0};
    alignas(64) std::atomic<uint32_t> tail_{0};
    // Set at Attach, read by whoever records.
    VolumeStats* volume_ = nullptr;
    OperationLog* log_ = nullptr;
    PendingRecords* next_ = nullptr;
    int16_t volumeIndex_ = 0;
    uint32_t blockSize_ = 0;
    int64_t frequency_ = 0;
    // The worker's own: when its current batch must be recorded at the latest.
    int64_t batchTicks_ = 0;
    int64_t batchEnd_ = 0;
    bool gathering_ = false;
};

// A worker's stay in one run on one volume: attached at the start, and its last batch recorded on leaving.
class PendingScope {
  public:
    // A batch gathers at most this long (and, if the Lock is busy then, until it is free), so interval
    // boundaries move by little more than that.
    static constexpr int64_t kBatchMs = 1;
    PendingScope(PendingRecords& p, OperationLog& log, VolumeStats& v, int32_t disk, uint32_t blockSize,
                 int64_t frequency)
        : p_(p) {
        p.Attach(v, log, static_cast<int16_t>(disk), blockSize, frequency, frequency * kBatchMs / 1000);
    }
    ~PendingScope() { p_.Detach(); }
    PendingScope(const PendingScope&) = delete;
    PendingScope& operator=(const PendingScope&) = delete;

  private:
    PendingRecords& p_;
};

// Takes v's Lock with every operation its workers have finished recorded first: what the holder reads is
// as current as the workers themselves.
std::unique_lock<std::mutex> LockUpToDate(VolumeStats& v);

}  // namespace engine

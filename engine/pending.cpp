#include "engine/pending.h"

namespace engine {

void PendingRecords::Attach(VolumeStats& v, OperationLog& log, int16_t volumeIndex, uint32_t blockSize,
                            int64_t frequency, int64_t batchTicks) {
    Detach();
    std::lock_guard lock(v.Lock);
    volume_ = &v;
    log_ = &log;
    volumeIndex_ = volumeIndex;
    blockSize_ = blockSize;
    frequency_ = frequency;
    batchTicks_ = batchTicks;
    gathering_ = false;
    next_ = v.Pending;
    v.Pending = this;
}

void PendingRecords::Detach() {
    if (!volume_) return;
    VolumeStats& v = *volume_;
    std::lock_guard lock(v.Lock);
    RecordLocked();
    for (PendingRecords** p = &v.Pending; *p; p = &(*p)->next_)
        if (*p == this) {
            *p = next_;
            break;
        }
    next_ = nullptr;
    volume_ = nullptr;
}

void PendingRecords::Flush() {
    gathering_ = false;
    if (!volume_) return;
    std::lock_guard lock(volume_->Lock);
    RecordLocked();
}

void PendingRecords::TryFlush() {
    if (!volume_) return;
    std::unique_lock lock(volume_->Lock, std::try_to_lock);
    if (!lock) return;
    gathering_ = false;
    RecordLocked();
}

void PendingRecords::RecordLocked() {
    const uint32_t head = head_.load(std::memory_order_acquire);
    const uint32_t tail = tail_.load(std::memory_order_relaxed);
    const uint32_t n = head - tail;
    if (n == 0) return;
    // One reservation for the batch; once the log is full the rest is counted but not logged.
    uint64_t first = 0;
    const uint32_t logged = log_->Reserve(n, first);
    for (uint32_t i = 0; i < n; ++i) {
        const Op& op = ops_[(tail + i) % kCapacity];
        if (i < logged)
            log_->Fill(first + i,
                       LogEntry{static_cast<int32_t>(blockSize_), volumeIndex_,
                                static_cast<int16_t>(op.error == 0 ? 1 : 0), op.start, op.end, frequency_});
        engine::RecordLocked(*volume_, op.start, op.end, frequency_, op.error, blockSize_, op.write);
        if (op.intended != 0) RecordScheduled(*volume_, op.start, op.end, op.intended, frequency_);
    }
    tail_.store(head, std::memory_order_release);
}

void PendingRecords::RecordAllLocked(VolumeStats& v) {
    for (PendingRecords* p = v.Pending; p; p = p->next_) p->RecordLocked();
}

std::unique_lock<std::mutex> LockUpToDate(VolumeStats& v) {
    std::unique_lock lock(v.Lock);
    PendingRecords::RecordAllLocked(v);
    return lock;
}

}  // namespace engine

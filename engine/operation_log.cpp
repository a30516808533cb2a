#include "engine/operation_log.h"

#include <new>

#include "platform/memory.h"

namespace engine {

OperationLog::OperationLog(uint32_t capacity) : capacity_(capacity) {
    // Zero pages committed as the log fills: 360 MB reserved costs nothing until used, and in huge pages a
    // worker's appends fault once per 2 MiB instead of once per 4 KiB (2% of a page-cache worker's time).
    entries_ = static_cast<LogEntry*>(platform::AllocateRegion(EntriesBytes()));
    ready_ = static_cast<std::atomic<uint32_t>*>(platform::AllocateRegion(ReadyBytes()));
    static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));
    if (!entries_ || !ready_) {
        platform::FreeRegion(entries_, EntriesBytes());
        platform::FreeRegion(ready_, ReadyBytes());
        throw std::bad_alloc();
    }
}

OperationLog::~OperationLog() {
    platform::FreeRegion(entries_, EntriesBytes());
    platform::FreeRegion(ready_, ReadyBytes());
}

void OperationLog::Reset(bool ring) {
    const uint64_t c = count_.load(std::memory_order_acquire);
    const uint64_t cap = capacity_ ? capacity_ : 1;
    const uint64_t base = (c + cap - 1) / cap * cap;
    ring_ = ring;
    base_.store(base, std::memory_order_release);
    released_.store(base, std::memory_order_release);
    refused_.store(0, std::memory_order_release);
    count_.store(base, std::memory_order_release);
}

bool OperationLog::Append(const LogEntry& entry) {
    uint64_t position;
    if (Reserve(1, position) == 0) return false;
    Fill(position, entry);
    return true;
}

uint32_t OperationLog::Reserve(uint32_t n, uint64_t& first) {
    if (n == 0) return 0;
    uint64_t have = count_.load(std::memory_order_relaxed);
    uint32_t granted;
    do {
        // Kept whole, the run's slots end at the capacity; as a ring, at the oldest not yet drained.
        const uint64_t limit =
            (ring_ ? released_.load(std::memory_order_acquire) : base_.load(std::memory_order_relaxed)) +
            capacity_;
        const uint64_t room = limit > have ? limit - have : 0;
        granted = room < n ? static_cast<uint32_t>(room) : n;
        if (granted == 0) break;
    } while (!count_.compare_exchange_weak(have, have + granted, std::memory_order_acq_rel,
                                           std::memory_order_relaxed));
    if (granted < n) refused_.fetch_add(n - granted, std::memory_order_acq_rel);
    first = have;
    return granted;
}

void OperationLog::Fill(uint64_t position, const LogEntry& entry) {
    const size_t slot = static_cast<size_t>(position % capacity_);
    entries_[slot] = entry;
    ready_[slot].store(Mark(position), std::memory_order_release);
}

uint64_t OperationLog::CompleteFrom(uint64_t position, uint64_t end) const {
    while (position < end && ready_[position % capacity_].load(std::memory_order_acquire) == Mark(position))
        ++position;
    return position;
}

uint64_t OperationLog::CompleteCount() const {
    const uint64_t from = released_.load(std::memory_order_acquire);
    return CompleteFrom(from, count_.load(std::memory_order_acquire)) - base_.load(std::memory_order_acquire);
}

}  // namespace engine

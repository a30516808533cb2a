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

void OperationLog::Reset() {
    count_.store(0, std::memory_order_release);
    epoch_.fetch_add(1, std::memory_order_acq_rel);
}

bool OperationLog::Append(const LogEntry& entry) {
    uint32_t slot;
    if (Reserve(1, slot) == 0) return false;
    Fill(slot, entry);
    return true;
}

uint32_t OperationLog::Reserve(uint32_t n, uint32_t& first) {
    uint32_t have = count_.load(std::memory_order_relaxed);
    uint32_t granted;
    do {
        if (have >= capacity_ || n == 0) return 0;
        granted = n < capacity_ - have ? n : capacity_ - have;
    } while (!count_.compare_exchange_weak(have, have + granted, std::memory_order_acq_rel,
                                           std::memory_order_relaxed));
    first = have;
    return granted;
}

void OperationLog::Fill(uint32_t slot, const LogEntry& entry) {
    entries_[slot] = entry;
    ready_[slot].store(epoch_.load(std::memory_order_relaxed), std::memory_order_release);
}

uint32_t OperationLog::CompleteCount() const {
    const uint32_t n = Count();
    const uint32_t epoch = epoch_.load(std::memory_order_acquire);
    uint32_t k = 0;
    while (k < n && ready_[k].load(std::memory_order_acquire) == epoch) ++k;
    return k;
}

}  // namespace engine

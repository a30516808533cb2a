#include "engine/operation_log.h"

#include <cstdlib>
#include <new>

namespace engine {

OperationLog::OperationLog(uint32_t capacity) : capacity_(capacity) {
    // calloc hands out lazily committed zero pages: 320 MB reserved costs nothing until used.
    entries_ = static_cast<LogEntry*>(std::calloc(capacity ? capacity : 1, sizeof(LogEntry)));
    ready_ = static_cast<std::atomic<uint32_t>*>(
        std::calloc(capacity ? capacity : 1, sizeof(std::atomic<uint32_t>)));
    static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));
    if (!entries_ || !ready_) {
        std::free(entries_);
        std::free(ready_);
        throw std::bad_alloc();
    }
}

OperationLog::~OperationLog() {
    std::free(entries_);
    std::free(ready_);
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

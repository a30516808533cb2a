#pragma once
// The preallocated log of every operation of the current run, appended to by all workers at once.
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "engine/records.h"

namespace engine {

// Append without locks: a worker reserves slot n by one capacity-checked compare-and-swap on LogCount,
// fills the entry, then stamps the slot's ready mark with the current run's epoch (release). A reader
// takes LogCount and then the longest prefix of slots stamped with this epoch (acquire), so it never
// counts a reserved but unfilled slot, and no worker ever waits for another to finish its entry.
// A new run bumps the epoch instead of clearing ten million marks.
class OperationLog {
  public:
    explicit OperationLog(uint32_t capacity = kLogCapacity);
    ~OperationLog();
    OperationLog(const OperationLog&) = delete;
    OperationLog& operator=(const OperationLog&) = delete;

    uint32_t Capacity() const { return capacity_; }
    // Reserved slots of the current run (LogCount), complete or not.
    uint32_t Count() const { return count_.load(std::memory_order_acquire); }
    // Forgets the current run's entries (LogCount 0). Only while no worker appends.
    void Reset();
    // Reserves and fills the next slot; false when the log is full.
    bool Append(const LogEntry& entry);
    // Reserves up to n consecutive slots in one step: the number granted (fewer once the log fills), the
    // first of them in `first`. Each granted slot must then be filled with Fill.
    uint32_t Reserve(uint32_t n, uint32_t& first);
    void Fill(uint32_t slot, const LogEntry& entry);
    // Number of leading slots that are complete; entries 1..n can be read through Entries().
    uint32_t CompleteCount() const;
    // Slot 1 is Entries()[0].
    const LogEntry* Entries() const { return entries_; }

  private:
    size_t EntriesBytes() const { return size_t{capacity_ ? capacity_ : 1} * sizeof(LogEntry); }
    size_t ReadyBytes() const { return size_t{capacity_ ? capacity_ : 1} * sizeof(uint32_t); }

    uint32_t capacity_;
    LogEntry* entries_;
    std::atomic<uint32_t>* ready_;
    std::atomic<uint32_t> epoch_{1};  // changes only at Reset
    // On a cache line of its own: reservations by every worker must not bounce the line of the fields
    // every append only reads.
    alignas(64) std::atomic<uint32_t> count_{0};
};

}  // namespace engine

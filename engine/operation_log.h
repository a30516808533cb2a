#pragma once
// The preallocated log of every operation of the current run, appended to by all workers at once.
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "engine/records.h"

namespace engine {

// Append without locks: a worker reserves the next n positions by one capacity-checked compare-and-swap on
// the position counter, fills the entries, then stamps each slot's ready mark with its position (release).
// A reader takes the counter and then the longest run of slots stamped with their positions (acquire), so it
// never counts a reserved but unfilled slot, and no worker ever waits for another to finish its entry.
// Positions only grow (64 bits); a run begins at the next multiple of the capacity, so its first entry is in
// slot 0 and a slot's mark from an earlier run never matches.
//
// Kept whole (the window's "Запись статистики"), the log holds a run's first Capacity() entries. As a ring
// (a run whose log is streamed to a file), Drain hands the oldest complete entries over and frees their
// slots: memory stays the capacity however long the run, and entries that find the ring full (a writer that
// fell behind) are counted as refused, never waited for.
class OperationLog {
  public:
    explicit OperationLog(uint32_t capacity = kLogCapacity);
    ~OperationLog();
    OperationLog(const OperationLog&) = delete;
    OperationLog& operator=(const OperationLog&) = delete;

    uint32_t Capacity() const { return capacity_; }
    // Entries reserved in the current run, complete or not.
    uint64_t Count() const {
        return count_.load(std::memory_order_acquire) - base_.load(std::memory_order_acquire);
    }
    // Forgets the current run's entries. Only while no worker appends. ring: entries are drained, not kept.
    void Reset(bool ring = false);
    bool Ring() const { return ring_; }
    // Reserves and fills the next slot; false when the log is full.
    bool Append(const LogEntry& entry);
    // Reserves up to n consecutive positions in one step: the number granted (fewer once the log is full),
    // the first of them in `first`. Each granted position must then be filled with Fill.
    uint32_t Reserve(uint32_t n, uint64_t& first);
    void Fill(uint64_t position, const LogEntry& entry);
    // Entries of the run complete from its first on (drained ones included).
    uint64_t CompleteCount() const;
    // Entries the log had no room for.
    uint64_t Refused() const { return refused_.load(std::memory_order_acquire); }
    // Kept whole: entry 1 of the run is Entries()[0].
    const LogEntry* Entries() const { return entries_; }
    // As a ring: hands the complete entries not yet drained to `take` (in at most two contiguous pieces, in
    // order), then frees their slots. The number handed over.
    template <class Take>
    uint64_t Drain(Take&& take);

  private:
    size_t EntriesBytes() const { return size_t{capacity_ ? capacity_ : 1} * sizeof(LogEntry); }
    size_t ReadyBytes() const { return size_t{capacity_ ? capacity_ : 1} * sizeof(uint32_t); }
    static uint32_t Mark(uint64_t position) { return static_cast<uint32_t>(position) + 1; }
    uint64_t CompleteFrom(uint64_t position, uint64_t end) const;

    uint32_t capacity_;
    LogEntry* entries_;
    std::atomic<uint32_t>* ready_;
    bool ring_ = false;
    std::atomic<uint64_t> base_{0};      // the run's first position
    std::atomic<uint64_t> released_{0};  // positions below this are free for reuse (a ring) or the run's
    std::atomic<uint64_t> refused_{0};
    // On a cache line of its own: reservations by every worker must not bounce the line of the fields
    // every append only reads.
    alignas(64) std::atomic<uint64_t> count_{0};
};

template <class Take>
uint64_t OperationLog::Drain(Take&& take) {
    const uint64_t from = released_.load(std::memory_order_relaxed);
    const uint64_t end = CompleteFrom(from, count_.load(std::memory_order_acquire));
    if (end == from || capacity_ == 0) return 0;
    const size_t at = static_cast<size_t>(from % capacity_);
    const uint64_t first = end - from < capacity_ - at ? end - from : capacity_ - at;
    take(entries_ + at, static_cast<size_t>(first));
    if (end - from > first) take(entries_, static_cast<size_t>(end - from - first));
    released_.store(end, std::memory_order_release);
    return end - from;
}

}  // namespace engine

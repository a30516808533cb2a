#pragma once
// An operation log ("SrcStats.dat", as the window or the command line writes it, plain or as zstd frames)
// read back record by record in bounded memory, every record checked for what cannot be: a plain file that
// is not a whole number of 32-byte records, a zstd file cut short or damaged (read up to its last whole
// frame, then refused), a counter frequency of 0 or less, an end before its start, a volume index outside A:
// to Z:, a request size of 0 or less, a success flag other than 0 or 1. Each refusal names the file, the
// entry (its slot, from 1) and what is wrong.
#include <cstdint>
#include <istream>
#include <memory>
#include <string>
#include <vector>

#include "engine/records.h"

namespace stats {

class LogReader {
  public:
    LogReader();
    ~LogReader();
    // Opens a file. False with the reason when it cannot be read or cannot be a log.
    bool Open(const std::string& path, std::string& error);
    // Reads `size` bytes from a stream instead; name is what messages call it.
    bool Open(std::unique_ptr<std::istream> in, uint64_t size, const std::string& name, std::string& error);
    // The next record. False at the end (error left empty) or at a record that cannot be (error says why).
    bool Next(engine::LogEntry& entry, std::string& error);
    // Records in a plain log; 0 for a compressed one, whose count is known only once it is read.
    uint64_t Records() const { return records_; }
    // Slot of the record Next returned last.
    uint64_t Slot() const { return slot_; }
    bool Compressed() const { return zstd_; }

  private:
    bool Refill(std::string& error);
    bool RefillFrame(std::string& error);

    std::unique_ptr<std::istream> in_;
    std::string name_;
    uint64_t records_ = 0, slot_ = 0;
    std::vector<engine::LogEntry> buffer_;
    size_t at_ = 0;
    bool zstd_ = false;
    bool ended_ = false;
    bool mid_ = false;  // a zstd frame has begun and not ended
    struct Zstd;
    std::unique_ptr<Zstd> z_;
};

}  // namespace stats

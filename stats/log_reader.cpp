#include "stats/log_reader.h"

#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/arithmetic.h"

namespace stats {

namespace {

// Read in chunks of 128 KiB: the memory the reader holds, whatever the file's size.
constexpr size_t kChunk = 4096;

}  // namespace

bool LogReader::Open(const std::string& path, std::string& error) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    auto in = std::make_unique<std::ifstream>(path, std::ios::binary);
    if (ec || !*in) {
        error = "cannot open " + path + (ec ? ": " + ec.message() : std::string());
        return false;
    }
    return Open(std::move(in), size, path, error);
}

bool LogReader::Open(std::unique_ptr<std::istream> in, uint64_t size, const std::string& name,
                     std::string& error) {
    in_ = std::move(in);
    name_ = name;
    slot_ = 0;
    at_ = 0;
    buffer_.clear();
    if (size % sizeof(engine::LogEntry) != 0) {
        error = name + " is not an operation log: its size (" + std::to_string(size) +
                " bytes) is not a multiple of 32 bytes";
        return false;
    }
    records_ = size / sizeof(engine::LogEntry);
    if (records_ > engine::kLogCapacity) {
        error = name + " is not an operation log: it holds " + std::to_string(records_) +
                " records, more than the " + std::to_string(engine::kLogCapacity) + " a log ever holds";
        return false;
    }
    return true;
}

bool LogReader::Next(engine::LogEntry& e, std::string& error) {
    error.clear();
    if (slot_ >= records_ || !in_) return false;
    if (at_ == buffer_.size()) {
        buffer_.resize(static_cast<size_t>(std::min<uint64_t>(kChunk, records_ - slot_)));
        in_->read(reinterpret_cast<char*>(buffer_.data()),
                  static_cast<std::streamsize>(buffer_.size() * sizeof(engine::LogEntry)));
        if (static_cast<size_t>(in_->gcount()) != buffer_.size() * sizeof(engine::LogEntry)) {
            error = name_ + ": cannot read entry " + std::to_string(slot_ + 1) + " (the file ended early)";
            return false;
        }
        at_ = 0;
    }
    e = buffer_[at_++];
    ++slot_;
    const std::string head = name_ + " is not an operation log: entry " + std::to_string(slot_) + " has ";
    int64_t ns = 0;
    if (e.Frequency <= 0)
        error = head + "a counter frequency of " + std::to_string(e.Frequency);
    else if (e.StartTicks < 0)
        error = head + "a start of " + std::to_string(e.StartTicks) +
                " ticks (a counter reading is never below 0)";
    else if (e.EndTicks < e.StartTicks)
        error = head + "an end before its start";
    // Every time the log tells must be nanoseconds that fit 64 bits, so that spans and seconds computed
    // from any two of them do too.
    else if (!platform::MulDivFits(e.EndTicks, 1'000'000'000, e.Frequency, ns))
        error = head + "an end of " + std::to_string(e.EndTicks) + " ticks at " +
                std::to_string(e.Frequency) + " a second, beyond what nanoseconds in 64 bits describe";
    else if (e.VolumeIndex < 0 || e.VolumeIndex >= engine::kDiskCount)
        error = head + "a volume index of " + std::to_string(e.VolumeIndex) + " (A: to Z: are 0 to 25)";
    else if (e.RequestSize <= 0)
        error = head + "a request size of " + std::to_string(e.RequestSize);
    else if (e.Success != 0 && e.Success != 1)
        error = head + "a success flag of " + std::to_string(e.Success);
    return error.empty();
}

}  // namespace stats

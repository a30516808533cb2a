#include "stats/log_reader.h"

#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/arithmetic.h"

#ifdef VOLSTRESS_HAVE_ZSTD
#include <zstd.h>
#endif

namespace stats {

namespace {

// Read in chunks of 128 KiB: the memory the reader holds, whatever the file's size.
constexpr size_t kChunk = 4096;
// A frame of our writer holds one drain of the log (100 ms of records); far more is not ours.
constexpr size_t kMaxFrameBytes = size_t{256} << 20;
constexpr unsigned char kZstdMagic[4] = {0x28, 0xB5, 0x2F, 0xFD};

}  // namespace

struct LogReader::Zstd {
#ifdef VOLSTRESS_HAVE_ZSTD
    ZSTD_DStream* stream = ZSTD_createDStream();
    ~Zstd() {
        ZSTD_freeDStream(stream);
    }
#endif
    std::vector<char> in;
    size_t inAt = 0;
    std::vector<char> frame;
};

LogReader::LogReader() = default;
LogReader::~LogReader() = default;

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
    ended_ = false;
    mid_ = false;
    unsigned char head[4] = {};
    in_->read(reinterpret_cast<char*>(head), sizeof head);
    const auto got = static_cast<size_t>(in_->gcount());
    in_->clear();
    in_->seekg(0);
    zstd_ = got == sizeof head && std::memcmp(head, kZstdMagic, sizeof head) == 0;
    if (zstd_) {
#ifdef VOLSTRESS_HAVE_ZSTD
        records_ = 0;
        z_ = std::make_unique<Zstd>();
        return true;
#else
        error = name + " is a zstd-compressed log, and this build of the program reads plain logs only";
        return false;
#endif
    }
    if (size % sizeof(engine::LogEntry) != 0) {
        error = name + " is not an operation log: its size (" + std::to_string(size) +
                " bytes) is not a multiple of 32 bytes";
        return false;
    }
    records_ = size / sizeof(engine::LogEntry);
    return true;
}

bool LogReader::Refill(std::string& error) {
    if (zstd_) return RefillFrame(error);
    if (slot_ >= records_) return false;
    buffer_.resize(static_cast<size_t>(std::min<uint64_t>(kChunk, records_ - slot_)));
    in_->read(reinterpret_cast<char*>(buffer_.data()),
              static_cast<std::streamsize>(buffer_.size() * sizeof(engine::LogEntry)));
    if (static_cast<size_t>(in_->gcount()) != buffer_.size() * sizeof(engine::LogEntry)) {
        error = name_ + ": cannot read entry " + std::to_string(slot_ + 1) + " (the file ended early)";
        return false;
    }
    at_ = 0;
    return true;
}

// One whole frame's records at a time: a frame cut short or damaged gives none of its records.
bool LogReader::RefillFrame(std::string& error) {
#ifdef VOLSTRESS_HAVE_ZSTD
    Zstd& z = *z_;
    z.frame.clear();
    const auto damaged = [&](const std::string& why) {
        error = name_ + " is damaged after entry " + std::to_string(slot_) + ": " + why +
                " (the entries before it are whole)";
        return false;
    };
    for (;;) {
        if (z.inAt == z.in.size() && !ended_) {
            z.in.resize(ZSTD_DStreamInSize());
            in_->read(z.in.data(), static_cast<std::streamsize>(z.in.size()));
            z.in.resize(static_cast<size_t>(in_->gcount()));
            z.inAt = 0;
            ended_ = z.in.empty();
        }
        if (z.inAt == z.in.size()) {
            // The end of the file between two frames is the end of the log; within one, damage.
            if (mid_) return damaged("its last zstd frame is cut short");
            return false;
        }
        ZSTD_inBuffer input{z.in.data(), z.in.size(), z.inAt};
        const size_t at = z.frame.size();
        z.frame.resize(at + ZSTD_DStreamOutSize());
        ZSTD_outBuffer output{z.frame.data() + at, ZSTD_DStreamOutSize(), 0};
        const size_t r = ZSTD_decompressStream(z.stream, &output, &input);
        z.frame.resize(at + output.pos);
        if (input.pos > z.inAt || output.pos > 0) mid_ = true;
        z.inAt = input.pos;
        if (ZSTD_isError(r)) return damaged(std::string("zstd: ") + ZSTD_getErrorName(r));
        if (z.frame.size() > kMaxFrameBytes)
            return damaged("a zstd frame holds more than a drain of the log");
        if (r != 0) continue;
        mid_ = false;
        if (z.frame.size() % sizeof(engine::LogEntry) != 0)
            return damaged("a zstd frame holds part of a record");
        if (z.frame.empty()) continue;
        buffer_.resize(z.frame.size() / sizeof(engine::LogEntry));
        std::memcpy(buffer_.data(), z.frame.data(), z.frame.size());
        at_ = 0;
        return true;
    }
#else
    (void)error;
    return false;
#endif
}

bool LogReader::Next(engine::LogEntry& e, std::string& error) {
    error.clear();
    if (!in_) return false;
    if (at_ == buffer_.size() && !Refill(error)) return false;
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

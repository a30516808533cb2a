#include "stats/log_stream.h"

#include <chrono>

#include "engine/system_error.h"

#ifdef VOLSTRESS_HAVE_ZSTD
#include <zstd.h>
#endif

namespace stats {

namespace {

constexpr auto kDrainEvery = std::chrono::milliseconds(100);

}  // namespace

LogStreamer::LogStreamer(engine::OperationLog& log, std::string path,
                         std::function<void(const std::string&)> say)
    : log_(log), path_(std::move(path)), say_(std::move(say)), zstd_(WantsZstd(path_)) {}

LogStreamer::~LogStreamer() {
    Finish();
#ifdef VOLSTRESS_HAVE_ZSTD
    ZSTD_freeCCtx(static_cast<ZSTD_CCtx*>(cctx_));
#endif
}

bool LogStreamer::ZstdAvailable() {
#ifdef VOLSTRESS_HAVE_ZSTD
    return true;
#else
    return false;
#endif
}

bool LogStreamer::WantsZstd(const std::string& path) {
    return path.size() > 4 && path.compare(path.size() - 4, 4, ".zst") == 0;
}

bool LogStreamer::Open() {
    uint32_t code = 0;
    if (out_.Open(path_, code)) return true;
    say_("--log: cannot write " + path_ + ":" + engine::SystemErrorText(code));
    return false;
}

void LogStreamer::Start() {
    thread_ = std::thread([this] { Loop(); });
}

void LogStreamer::Loop() {
    std::unique_lock lock(mutex_);
    while (!stop_) {
        wake_.wait_for(lock, kDrainEvery, [this] { return stop_; });
        lock.unlock();
        DrainOnce();
        lock.lock();
    }
}

void LogStreamer::DrainOnce() {
    chunk_.clear();
    log_.Drain([this](const engine::LogEntry* e, size_t n) {
        const auto* bytes = reinterpret_cast<const char*>(e);
        chunk_.insert(chunk_.end(), bytes, bytes + n * sizeof(engine::LogEntry));
    });
    if (chunk_.empty()) return;
    Put(reinterpret_cast<const engine::LogEntry*>(chunk_.data()), chunk_.size() / sizeof(engine::LogEntry));
}

void LogStreamer::Put(const engine::LogEntry* entries, size_t n) {
    if (failed_) {
        notWritten_.fetch_add(n, std::memory_order_acq_rel);
        return;
    }
    const char* data = reinterpret_cast<const char*>(entries);
    size_t size = n * sizeof(engine::LogEntry);
#ifdef VOLSTRESS_HAVE_ZSTD
    if (zstd_) {
        // Each frame carries its own checksum, so a reader tells a changed byte from a record.
        if (!cctx_) {
            cctx_ = ZSTD_createCCtx();
            ZSTD_CCtx_setParameter(static_cast<ZSTD_CCtx*>(cctx_), ZSTD_c_compressionLevel, 1);
            ZSTD_CCtx_setParameter(static_cast<ZSTD_CCtx*>(cctx_), ZSTD_c_checksumFlag, 1);
        }
        frame_.resize(ZSTD_compressBound(size));
        const size_t made =
            ZSTD_compress2(static_cast<ZSTD_CCtx*>(cctx_), frame_.data(), frame_.size(), data, size);
        if (ZSTD_isError(made)) {
            notWritten_.fetch_add(n, std::memory_order_acq_rel);
            Fail(12);  // ENOMEM: zstd's only failure with a bound-sized output
            return;
        }
        data = frame_.data();
        size = made;
    }
#endif
    uint32_t code = 0;
    if (out_.Write(data, size, code)) {
        written_.fetch_add(n, std::memory_order_acq_rel);
        return;
    }
    notWritten_.fetch_add(n, std::memory_order_acq_rel);
    Fail(code);
}

void LogStreamer::Fail(uint32_t code) {
    failed_ = true;
    say_("--log: cannot write " + path_ + ":" + engine::SystemErrorText(code) +
         "; the run goes on, and the records not written are counted");
}

bool LogStreamer::Finish() {
    if (thread_.joinable()) {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    DrainOnce();
    uint32_t code = 0;
    if (!out_.Close(code) && !failed_) Fail(code);
    return !failed_ && NotWritten() == 0;
}

}  // namespace stats

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
    // Written straight from the ring's slots, which stay the writer's until the drain returns: a plain log
    // in one write per contiguous piece, a zstd one as one frame over both pieces.
    size_t pieces = 0, records = 0;
    log_.Drain([&](const engine::LogEntry* e, size_t n) {
        if (!zstd_) return Put(e, n);
        pieces += Compress(e, n, pieces == 0);
        records += n;
    });
    if (zstd_ && records > 0) EndFrame(records);
}

void LogStreamer::Put(const engine::LogEntry* entries, size_t n) {
    if (failed_) {
        notWritten_.fetch_add(n, std::memory_order_acq_rel);
        return;
    }
    uint32_t code = 0;
    if (out_.Write(entries, n * sizeof(engine::LogEntry), code)) {
        written_.fetch_add(n, std::memory_order_acq_rel);
        return;
    }
    notWritten_.fetch_add(n, std::memory_order_acq_rel);
    Fail(code);
}

size_t LogStreamer::Compress(const engine::LogEntry* entries, size_t n, bool first) {
#ifdef VOLSTRESS_HAVE_ZSTD
    // Each frame carries its own checksum, so a reader tells a changed byte from a record.
    auto* cctx = static_cast<ZSTD_CCtx*>(cctx_);
    if (!cctx) {
        cctx_ = cctx = ZSTD_createCCtx();
        ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, 1);
        ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1);
    }
    if (first) frame_.clear();
    const size_t size = n * sizeof(engine::LogEntry);
    ZSTD_inBuffer in{entries, size, 0};
    while (in.pos < in.size) {
        const size_t at = frame_.size();
        frame_.resize(at + ZSTD_compressBound(in.size - in.pos) + ZSTD_CStreamOutSize());
        ZSTD_outBuffer out{frame_.data() + at, frame_.size() - at, 0};
        const size_t r = ZSTD_compressStream2(cctx, &out, &in, ZSTD_e_continue);
        frame_.resize(at + out.pos);
        if (ZSTD_isError(r)) break;
    }
#else
    (void)entries, (void)n, (void)first;
#endif
    return 1;
}

void LogStreamer::EndFrame(size_t records) {
#ifdef VOLSTRESS_HAVE_ZSTD
    auto* cctx = static_cast<ZSTD_CCtx*>(cctx_);
    ZSTD_inBuffer in{nullptr, 0, 0};
    size_t left = 1;
    while (left != 0) {
        const size_t at = frame_.size();
        frame_.resize(at + ZSTD_CStreamOutSize());
        ZSTD_outBuffer out{frame_.data() + at, ZSTD_CStreamOutSize(), 0};
        left = ZSTD_compressStream2(cctx, &out, &in, ZSTD_e_end);
        frame_.resize(at + out.pos);
        if (ZSTD_isError(left)) {
            ZSTD_CCtx_reset(cctx, ZSTD_reset_session_only);
            notWritten_.fetch_add(records, std::memory_order_acq_rel);
            if (!failed_) Fail(12);  // ENOMEM: zstd's only failure with room enough for its output
            return;
        }
    }
    if (failed_) {
        notWritten_.fetch_add(records, std::memory_order_acq_rel);
        return;
    }
    uint32_t code = 0;
    if (out_.Write(frame_.data(), frame_.size(), code)) {
        written_.fetch_add(records, std::memory_order_acq_rel);
        return;
    }
    notWritten_.fetch_add(records, std::memory_order_acq_rel);
    Fail(code);
#else
    (void)records;
#endif
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

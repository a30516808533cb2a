#pragma once
// The operation log written to a file while the run goes (--log): whole 32-byte records drained from the
// log's ring by a thread of its own every 100 ms, so memory stays the ring's however long the run, and after
// the program is killed the file holds whole records up to the last drain. A name ending in ".zst" makes
// each drain one zstd frame of whole records: a crash loses at most the last frame. A write that fails (a
// full disk) is said once; the records it held, and all that follow, are counted as not written while the
// run goes on; the log's ring never waits for the file.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/operation_log.h"
#include "platform/file.h"

namespace stats {

class LogStreamer {
  public:
    // say: where the first failure's reason goes.
    LogStreamer(engine::OperationLog& log, std::string path, std::function<void(const std::string&)> say);
    ~LogStreamer();
    LogStreamer(const LogStreamer&) = delete;
    LogStreamer& operator=(const LogStreamer&) = delete;

    // Whether this build writes zstd (libzstd); a ".zst" name is refused before the run where it does not.
    static bool ZstdAvailable();
    static bool WantsZstd(const std::string& path);

    // Opens the file; false with the system's reason said.
    bool Open();
    // Starts draining (the log must be a ring for the run).
    void Start();
    // A last drain, then the file flushed and closed; false when any record was not written.
    bool Finish();

    uint64_t Written() const { return written_.load(std::memory_order_acquire); }
    uint64_t NotWritten() const { return notWritten_.load(std::memory_order_acquire); }

  private:
    void Loop();
    void DrainOnce();
    void Put(const engine::LogEntry* entries, size_t n);
    // zstd: adds records to the frame being made (the first piece starts it); EndFrame writes it whole.
    size_t Compress(const engine::LogEntry* entries, size_t n, bool first);
    void EndFrame(size_t records);
    void Fail(uint32_t code);

    engine::OperationLog& log_;
    std::string path_;
    std::function<void(const std::string&)> say_;
    platform::StreamFile out_;
    bool zstd_ = false;
    bool failed_ = false;
    std::vector<char> frame_;
    void* cctx_ = nullptr;  // zstd's compression context, made at the first frame
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::atomic<uint64_t> written_{0}, notWritten_{0};
};

}  // namespace stats

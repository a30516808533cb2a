#include "tests/test_support.h"

#include <errno.h>

#include "platform/clock.h"
#ifdef __linux__
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <random>

namespace testing_support {

namespace fs = std::filesystem;

TempDir::TempDir() {
    std::random_device seed;
    for (int attempt = 0; attempt < 100; ++attempt) {
        path_ = fs::temp_directory_path() / ("volstress-test-" + std::to_string(seed()));
        std::error_code ec;
        if (fs::create_directory(path_, ec)) return;
    }
    std::abort();
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
}

std::string TempDir::MakeImage(const std::string& name, size_t size, unsigned char fill) const {
    const std::string p = (path_ / name).string();
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    std::vector<char> block(65536, static_cast<char>(fill));
    for (size_t left = size; left > 0;) {
        const size_t n = left < block.size() ? left : block.size();
        out.write(block.data(), static_cast<std::streamsize>(n));
        left -= n;
    }
    return p;
}

LoopDevice::LoopDevice([[maybe_unused]] const std::string& image) {
#ifdef __linux__
    if (geteuid() != 0) return;
    const std::string cmd = "losetup -f --show '" + image + "' 2>/dev/null";
    if (FILE* p = popen(cmd.c_str(), "r")) {
        char buf[256] = {};
        if (fgets(buf, sizeof buf, p)) path = std::string(buf, strcspn(buf, "\n"));
        pclose(p);
    }
#endif
}

LoopDevice::~LoopDevice() {
    // A test may have made the device read-only; the flag would outlive the attachment.
    if (!path.empty() &&
        std::system(
            ("blockdev --setrw " + path + " 2>/dev/null; losetup -d " + path + " 2>/dev/null").c_str()) !=
            0) {
        // Nothing more to do: the device goes when the last opener closes it.
    }
}

void FakeDialogs::SystemError(const std::string& caption, const std::string& body) {
    {
        std::lock_guard lock(mutex_);
        boxes_.push_back({"error", caption, body});
    }
    if (onSystemError) onSystemError();
}

bool FakeDialogs::AskYesNo(const std::string& caption, const std::string& body) {
    std::lock_guard lock(mutex_);
    boxes_.push_back({"yesno", caption, body});
    return answerYes.load();
}

void FakeDialogs::Inform(const std::string& caption, const std::string& body) {
    std::lock_guard lock(mutex_);
    boxes_.push_back({"inform", caption, body});
}

std::vector<FakeDialogs::Box> FakeDialogs::Boxes() const {
    std::lock_guard lock(mutex_);
    return boxes_;
}

size_t FakeDialogs::Count() const {
    std::lock_guard lock(mutex_);
    return boxes_.size();
}

namespace {

class FakeProbe : public platform::IVolumeProbe {
  public:
    explicit FakeProbe(const FakeVolumeSystem::Volume& v) : v_(v) {}
    bool DeviceSize(int64_t& bytes) override {
        bytes = v_.deviceSize;
        return v_.deviceAnswers;
    }
    bool FileSystemSize(int64_t& bytes) override {
        bytes = v_.fsSize;
        return v_.fsAnswers;
    }
    int64_t TransferAlignment() override { return v_.alignment; }
    std::string WhyNoSize() override { return "reports no size (fake)"; }

  private:
    FakeVolumeSystem::Volume v_;
};

class FakeDevice : public platform::IVolumeDevice {
  public:
    FakeDevice(FakeVolumeSystem& sys, int index, const FakeVolumeSystem::Volume& v)
        : sys_(sys), index_(index), v_(v) {}
    uint32_t ReadAt(void*, uint32_t size, int64_t offset) override { return Call('R', size, offset, 0); }
    uint32_t WriteAt(const void* buffer, uint32_t size, int64_t offset) override {
        return Call('W', size, offset, *static_cast<const unsigned char*>(buffer));
    }
    void* AllocateBuffer(size_t bytes) override {
        return v_.failAlloc ? nullptr : std::malloc(bytes ? bytes : 1);
    }
    void FreeBuffer(void* buffer) override { std::free(buffer); }
    std::unique_ptr<platform::IIoQueue> OpenQueue(uint32_t depth, const platform::QueueOptions& options,
                                                  uint32_t& error) override;

  private:
    uint32_t Call(char kind, uint32_t size, int64_t offset, unsigned char first) {
        if (v_.callDelayUs > 0) std::this_thread::sleep_for(std::chrono::microseconds(v_.callDelayUs));
        if (v_.stallAtCall >= 0 && stallCalls_++ == v_.stallAtCall)
            std::this_thread::sleep_for(std::chrono::microseconds(v_.stallUs));
        if (kind == 'W' && v_.slowWritesAfter >= 0 && (written_ += size) > v_.slowWritesAfter)
            std::this_thread::sleep_for(std::chrono::microseconds(v_.slowWriteUs));
        if (v_.hang || (v_.hangAfter >= 0 && calls_++ >= v_.hangAfter)) sys_.WaitWhileHung();
        sys_.Record(index_, {kind, offset, first});
        return offset >= 0 && offset + static_cast<int64_t>(size) <= v_.deviceSize ? 0 : EINVAL;
    }
    FakeVolumeSystem& sys_;
    int index_;
    FakeVolumeSystem::Volume v_;
    int calls_ = 0;
    int64_t written_ = 0;
    int stallCalls_ = 0;
};

// Completes queued requests in the order they were submitted, as soon as they are reaped; on a hanging
// volume they stay in flight until cancelled.
class FakeQueue : public platform::IIoQueue {
  public:
    FakeQueue(FakeVolumeSystem& sys, int index, const FakeVolumeSystem::Volume& v, uint32_t depth)
        : sys_(sys), index_(index), v_(v), depth_(depth) {}
    bool Queue(const platform::IoRequest& q) override {
        if (queued_.size() + inFlight_.size() >= depth_) return false;
        queued_.push_back(q);
        return true;
    }
    uint32_t Submit(bool) override {
        sys_.RecordSubmission(index_, queued_.size());
        const int64_t start = platform::CounterNow();
        for (const auto& q : queued_) inFlight_.push_back({q, false, start});
        queued_.clear();
        return 0;
    }
    bool Reap(platform::IoCompletion& c, int64_t timeoutNs) override {
        if (inFlight_.empty() || (v_.hang && !inFlight_.front().cancelled)) {
            if (timeoutNs > 0)
                std::this_thread::sleep_for(
                    std::chrono::nanoseconds(std::min<int64_t>(timeoutNs, 1'000'000)));
            return false;
        }
        const Flight f = inFlight_.front();
        inFlight_.pop_front();
        c.tag = f.request.tag;
        c.start = f.start;
        c.end = platform::CounterNow();
        if (f.cancelled) {
            c.error = ECANCELED;
            return true;
        }
        const platform::IoRequest& q = f.request;
        sys_.Record(
            index_,
            {q.write ? 'W' : 'R', q.offset,
             q.write ? *static_cast<const unsigned char*>(q.buffer) : static_cast<unsigned char>(0), q.tag});
        c.error = q.offset >= 0 && q.offset + static_cast<int64_t>(q.size) <= v_.deviceSize ? 0 : EINVAL;
        return true;
    }
    void CancelAll() override {
        for (auto& f : inFlight_) f.cancelled = true;
    }
    uint32_t InFlight() const override { return static_cast<uint32_t>(inFlight_.size()); }

  private:
    struct Flight {
        platform::IoRequest request;
        bool cancelled;
        int64_t start;
    };
    FakeVolumeSystem& sys_;
    int index_;
    FakeVolumeSystem::Volume v_;
    uint32_t depth_;
    std::vector<platform::IoRequest> queued_;
    std::deque<Flight> inFlight_;
};

std::unique_ptr<platform::IIoQueue> FakeDevice::OpenQueue(uint32_t depth, const platform::QueueOptions&,
                                                          uint32_t& error) {
    if (v_.queueFails) {
        error = ENOSYS;
        return nullptr;
    }
    return std::make_unique<FakeQueue>(sys_, index_, v_, depth);
}

}  // namespace

std::string FakeVolumeSystem::DevicePath(int index) const {
    if (index < 0 || index >= platform::kVolumeSlots || !volumes[index].present) return {};
    return "/dev/fake" + std::string(1, static_cast<char>('a' + index));
}

std::unique_ptr<platform::IVolumeProbe> FakeVolumeSystem::OpenProbe(int index, uint32_t& error) {
    const Volume& v = volumes[index];
    if (!v.present || v.openFails) {
        error = v.openError;
        return nullptr;
    }
    return std::make_unique<FakeProbe>(v);
}

std::unique_ptr<platform::IVolumeDevice> FakeVolumeSystem::OpenDevice(int index, bool write,
                                                                      uint32_t& error) {
    const Volume& v = volumes[index];
    if (!v.present || v.openFails) {
        error = v.openError;
        return nullptr;
    }
    if (write && v.refuseWrite) {
        error = EACCES;
        return nullptr;
    }
    {
        std::lock_guard lock(mutex_);
        opens_[index].push_back(write);
    }
    return std::make_unique<FakeDevice>(*this, index, v);
}

void FakeVolumeSystem::Record(int index, const FakeOp& op) {
    std::lock_guard lock(mutex_);
    if (ops_[index].size() < 100'000) ops_[index].push_back(op);
}

void FakeVolumeSystem::RecordSubmission(int index, size_t requests) {
    std::lock_guard lock(mutex_);
    if (submissions_[index].size() < 100'000) submissions_[index].push_back(requests);
}

std::vector<size_t> FakeVolumeSystem::Submissions(int index) const {
    std::lock_guard lock(mutex_);
    return submissions_[index];
}

std::vector<FakeOp> FakeVolumeSystem::Ops(int index) const {
    std::lock_guard lock(mutex_);
    return ops_[index];
}

void FakeVolumeSystem::WaitWhileHung() {
    std::unique_lock lock(mutex_);
    ++hungCalls_;
    hungChanged_.notify_all();
    hungChanged_.wait(lock, [this] { return hungReleased_; });
    --hungCalls_;
}

void FakeVolumeSystem::ReleaseHungCalls() {
    {
        std::lock_guard lock(mutex_);
        hungReleased_ = true;
    }
    hungChanged_.notify_all();
}

int FakeVolumeSystem::HungCalls() const {
    std::lock_guard lock(mutex_);
    return hungCalls_;
}

std::vector<bool> FakeVolumeSystem::OpenModes(int index) const {
    std::lock_guard lock(mutex_);
    return opens_[index];
}

bool WaitFor(const std::function<bool()>& cond, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline) return cond();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace testing_support

#pragma once
// Shared test fixtures: temporary directories with image files, fake volumes and answering dialogs.
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/volume_device.h"
#include "ui/boxes.h"

namespace testing_support {

class TempDir {
  public:
    TempDir();
    ~TempDir();
    const std::filesystem::path& path() const { return path_; }
    // A file of `size` bytes filled with `fill`.
    std::string MakeImage(const std::string& name, size_t size, unsigned char fill = 0xAB) const;

  private:
    std::filesystem::path path_;
};

// A loop device over an image file, for the kernel's own block-device rules; path is empty when none can
// be attached here (it needs root and losetup).
struct LoopDevice {
    std::string path;
    explicit LoopDevice(const std::string& image);
    ~LoopDevice();
    LoopDevice(const LoopDevice&) = delete;
    LoopDevice& operator=(const LoopDevice&) = delete;
};

// Records every box and answers at once.
class FakeDialogs : public ui::IWindowDialogs {
  public:
    struct Box {
        std::string kind, caption, body;
    };
    void SystemError(const std::string& caption, const std::string& body) override;
    bool AskYesNo(const std::string& caption, const std::string& body) override;
    void Inform(const std::string& caption, const std::string& body) override;
    std::vector<Box> Boxes() const;
    size_t Count() const;

    std::atomic<bool> answerYes{true};
    // Called on the worker's thread for each system-error box, before it is answered.
    std::function<void()> onSystemError;

  private:
    mutable std::mutex mutex_;
    std::vector<Box> boxes_;
};

struct FakeOp {
    char kind;  // 'R' or 'W'
    int64_t offset;
    unsigned char firstByte;  // of the written data
    uint32_t tag = 0;         // the stream's tag, for queued requests
};

// Volumes defined by the test: probe answers, open failures, and a device that records its calls.
class FakeVolumeSystem : public platform::IVolumeSystem {
  public:
    struct Volume {
        bool present = false;
        bool openFails = false;  // both probe and device opens fail
        uint32_t openError = 2;
        bool deviceAnswers = true;
        int64_t deviceSize = 0;
        bool fsAnswers = false;
        int64_t fsSize = 0;
        bool refuseWrite = false;  // read-write opens fail with EACCES
        bool failAlloc = false;    // buffers cannot be allocated
        int64_t callDelayUs = 0;   // each read or write takes at least this long
        int64_t alignment = 1;     // transfer unit the probe reports
        bool hang = false;        // reads and writes block until ReleaseHungCalls; queued ones never complete
                                  // until cancelled
        bool queueFails = false;  // no asynchronous queue can be set up (ENOSYS)
        int hangAfter = -1;  // when 0 or more: each opened device's calls past this many hang like `hang`
        // When 0 or more: each opened device's writes past this many bytes written take slowWriteUs more.
        int64_t slowWritesAfter = -1;
        int64_t slowWriteUs = 0;
        // When 0 or more: that call (counted from 0 on each opened device) takes stallUs more.
        int stallAtCall = -1;
        int64_t stallUs = 0;
    };
    std::array<Volume, platform::kVolumeSlots> volumes{};

    std::string DevicePath(int index) const override;
    std::unique_ptr<platform::IVolumeProbe> OpenProbe(int index, uint32_t& error) override;
    std::unique_ptr<platform::IVolumeDevice> OpenDevice(int index, bool write, uint32_t& error) override;

    std::vector<FakeOp> Ops(int index) const;
    // How many queued requests each submission to the volume's queues carried, in order.
    std::vector<size_t> Submissions(int index) const;
    // Lets every call blocked on a hanging volume return (failed), and later ones return at once.
    void ReleaseHungCalls();
    int HungCalls() const;
    void WaitWhileHung();
    std::vector<bool> OpenModes(int index) const;  // write flag of each successful open
    void Record(int index, const FakeOp& op);
    void RecordSubmission(int index, size_t requests);

  private:
    mutable std::mutex mutex_;
    std::array<std::vector<FakeOp>, platform::kVolumeSlots> ops_;
    std::array<std::vector<size_t>, platform::kVolumeSlots> submissions_;
    std::array<std::vector<bool>, platform::kVolumeSlots> opens_;
    std::condition_variable hungChanged_;
    bool hungReleased_ = false;
    int hungCalls_ = 0;
};

// Polls cond every millisecond until it holds or the timeout passes; returns cond().
bool WaitFor(const std::function<bool()>& cond, std::chrono::milliseconds timeout = std::chrono::seconds(20));

}  // namespace testing_support

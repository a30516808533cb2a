#include "platform/io_queue.h"

#include "platform/clock.h"
#include "platform/volume_device.h"

namespace platform {

namespace {

class SyncQueue final : public IIoQueue {
  public:
    explicit SyncQueue(IVolumeDevice& device) : device_(device) {}

    bool Queue(const IoRequest& request) override {
        if (queued_ || done_) return false;
        request_ = request;
        queued_ = true;
        return true;
    }

    uint32_t Submit(bool) override {
        if (!queued_) return 0;
        queued_ = false;
        // Nothing between the two counter readings but the call.
        const int64_t start = CounterNow();
        const uint32_t error = request_.write
                                   ? device_.WriteAt(request_.buffer, request_.size, request_.offset)
                                   : device_.ReadAt(request_.buffer, request_.size, request_.offset);
        const int64_t end = CounterNow();
        completion_ = {request_.tag, error, start, end};
        done_ = true;
        return 0;
    }

    bool Reap(IoCompletion& completion, int64_t) override {
        if (!done_) return false;
        completion = completion_;
        done_ = false;
        return true;
    }

    void CancelAll() override {}  // nothing is ever in flight past Submit
    uint32_t InFlight() const override { return done_ ? 1 : 0; }

  private:
    IVolumeDevice& device_;
    IoRequest request_;
    IoCompletion completion_;
    bool queued_ = false, done_ = false;
};

}  // namespace

std::unique_ptr<IIoQueue> MakeSyncQueue(IVolumeDevice& device) {
    return std::make_unique<SyncQueue>(device);
}

std::unique_ptr<IIoQueue> OpenQueue(IVolumeDevice& device, uint32_t depth, const QueueOptions& options,
                                    uint32_t& error) {
    return depth <= 1 ? MakeSyncQueue(device) : device.OpenQueue(depth, options, error);
}

}  // namespace platform

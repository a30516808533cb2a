#include <condition_variable>
#include <mutex>

#include "platform/event.h"

namespace platform {

// Linux has no named kernel events; the name is kept for the operator-facing identity only.
struct ManualResetEvent::Impl {
    std::string name;
    mutable std::mutex mutex;
    std::condition_variable changed;
    bool set = false;
};

ManualResetEvent::ManualResetEvent(std::string name, bool initiallySet) : impl_(std::make_unique<Impl>()) {
    impl_->name = std::move(name);
    impl_->set = initiallySet;
}

ManualResetEvent::~ManualResetEvent() = default;

void ManualResetEvent::Set() {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->set = true;
    }
    impl_->changed.notify_all();
}

void ManualResetEvent::Reset() {
    std::lock_guard lock(impl_->mutex);
    impl_->set = false;
}

void ManualResetEvent::Wait() {
    std::unique_lock lock(impl_->mutex);
    impl_->changed.wait(lock, [this] { return impl_->set; });
}

bool ManualResetEvent::IsSet() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->set;
}

const std::string& ManualResetEvent::Name() const {
    return impl_->name;
}

}  // namespace platform

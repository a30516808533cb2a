#include <windows.h>

#include "platform/event.h"
#include "platform/win32_text.h"

namespace platform {

// A named kernel event, as the window's workers have always had ("ThreadManage" + n).
struct ManualResetEvent::Impl {
    std::string name;
    HANDLE handle = nullptr;
};

ManualResetEvent::ManualResetEvent(std::string name, bool initiallySet) : impl_(std::make_unique<Impl>()) {
    impl_->name = std::move(name);
    impl_->handle = CreateEventW(nullptr, TRUE, initiallySet ? TRUE : FALSE, Wide(impl_->name).c_str());
}

ManualResetEvent::~ManualResetEvent() {
    if (impl_->handle) CloseHandle(impl_->handle);
}

void ManualResetEvent::Set() {
    SetEvent(impl_->handle);
}

void ManualResetEvent::Reset() {
    ResetEvent(impl_->handle);
}

void ManualResetEvent::Wait() {
    WaitForSingleObject(impl_->handle, INFINITE);
}

bool ManualResetEvent::IsSet() const {
    return WaitForSingleObject(impl_->handle, 0) == WAIT_OBJECT_0;
}

const std::string& ManualResetEvent::Name() const {
    return impl_->name;
}

}  // namespace platform

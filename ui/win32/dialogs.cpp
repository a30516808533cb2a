#include "ui/win32/dialogs.h"

#include <algorithm>

#include "platform/win32_text.h"

namespace ui::win32 {

namespace {

BOOL CALLBACK CancelBox(HWND hwnd, LPARAM) {
    wchar_t cls[16] = {};
    GetClassNameW(hwnd, cls, 16);
    if (std::wstring(cls) == L"#32770") PostMessageW(hwnd, WM_COMMAND, IDCANCEL, 0);
    return TRUE;
}

}  // namespace

void Win32Dialogs::SystemError(const std::string& caption, const std::string& body) {
    const DWORD thread = GetCurrentThreadId();
    {
        std::lock_guard lock(mutex_);
        if (cancelled_) return;
        open_.push_back(thread);
    }
    // Without an owner: modal for this thread only. The answer is not used; OK and Cancel both close it.
    const HWND owner = owner_ && GetWindowThreadProcessId(owner_, nullptr) == thread ? owner_ : nullptr;
    MessageBoxW(owner, platform::Wide(body).c_str(), platform::Wide(caption).c_str(), MB_OKCANCEL);
    std::lock_guard lock(mutex_);
    open_.erase(std::find(open_.begin(), open_.end(), thread));
}

bool Win32Dialogs::AskYesNo(const std::string& caption, const std::string& body) {
    return MessageBoxW(owner_, platform::Wide(body).c_str(), platform::Wide(caption).c_str(),
                       MB_YESNO | MB_DEFBUTTON2) == IDYES;
}

void Win32Dialogs::Inform(const std::string& caption, const std::string& body) {
    MessageBoxW(owner_, platform::Wide(body).c_str(), platform::Wide(caption).c_str(), MB_OK);
}

void Win32Dialogs::CancelAll() {
    std::vector<DWORD> threads;
    {
        std::lock_guard lock(mutex_);
        cancelled_ = true;
        threads = open_;
    }
    for (DWORD t : threads) EnumThreadWindows(t, CancelBox, 0);
}

int Win32Dialogs::OpenSystemErrorBoxes() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(open_.size());
}

}  // namespace ui::win32

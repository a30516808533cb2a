#pragma once
// The boxes as Win32 message boxes. A worker's system-error box is shown on the worker's own thread without
// an owner window, so the window and the other workers go on while it waits for its answer; the window's
// own question and notices are owned by the window, which keeps a second Start from beginning meanwhile.
#include <windows.h>

#include <mutex>
#include <vector>

#include "ui/boxes.h"

namespace ui::win32 {

class Win32Dialogs : public IWindowDialogs {
  public:
    void SetOwner(HWND owner) { owner_ = owner; }

    void SystemError(const std::string& caption, const std::string& body) override;
    bool AskYesNo(const std::string& caption, const std::string& body) override;
    void Inform(const std::string& caption, const std::string& body) override;

    // The program is ending: closes every open system-error box, so its worker goes on, and makes later
    // ones return at once. Any thread.
    void CancelAll();
    int OpenSystemErrorBoxes() const;

  private:
    HWND owner_ = nullptr;
    mutable std::mutex mutex_;
    std::vector<DWORD> open_;  // threads whose box is open
    bool cancelled_ = false;
};

}  // namespace ui::win32

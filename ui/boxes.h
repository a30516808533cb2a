#pragma once
// Every box the window shows: the engine's system-error box and the window's own question and notice.
// No Qt here, so tests can answer the boxes without a display.
#include <string>

#include "engine/dialogs.h"

namespace ui {

class IWindowDialogs : public engine::IDialogs {
  public:
    // A Yes/No question owned by the main window; true for Yes. Window thread only.
    virtual bool AskYesNo(const std::string& caption, const std::string& body) = 0;
    // A box with OK owned by the main window. Window thread only.
    virtual void Inform(const std::string& caption, const std::string& body) = 0;
};

}  // namespace ui

#pragma once
// The message boxes the engine needs. The window implements them; tests answer them at once.
#include <string>

namespace engine {

class IDialogs {
public:
    virtual ~IDialogs() = default;
    // A system-error box with OK and Cancel. Called from worker threads; blocks the caller until the
    // operator has closed it (or the program is ending), never the window thread.
    virtual void SystemError(const std::string& caption, const std::string& body) = 0;
    // A Yes/No question owned by the main window; true for Yes. Window thread only.
    virtual bool AskYesNo(const std::string& caption, const std::string& body) = 0;
    // A box with OK owned by the main window. Window thread only.
    virtual void Inform(const std::string& caption, const std::string& body) = 0;
};

}  // namespace engine

#pragma once
// The one box the engine itself raises: a worker's system-error box. The window shows it; the command line
// prints it; tests answer it at once.
#include <string>

namespace engine {

class IDialogs {
  public:
    virtual ~IDialogs() = default;
    // A system-error box with OK and Cancel. Called from worker threads; blocks the caller until the
    // operator has closed it (or the program is ending), never the window thread.
    virtual void SystemError(const std::string& caption, const std::string& body) = 0;
};

}  // namespace engine

#include "engine/system_error.h"

#include "platform/error_text.h"

namespace engine {

std::string CannotOpenText(const std::string& path, bool write) {
    return "Cannot open " + path + (write ? " for write" : " for read");
}

std::string SystemErrorText(uint32_t code) {
    std::string description = platform::SystemErrorDescription(code);
    while (!description.empty() && (description.back() == '\n' || description.back() == '\r'))
        description.pop_back();
    return " Error Code = " + std::to_string(code) + " " + description;
}

void ShowSystemError(IDialogs& dialogs, const std::string& text, const std::string& detail, uint32_t code) {
    dialogs.SystemError("System error " + text, detail + " " + SystemErrorText(code));
}

void ShowSystemError(IDialogs& dialogs, const std::string& text, uint32_t code) {
    ShowSystemError(dialogs, text, std::string(), code);
}

}  // namespace engine

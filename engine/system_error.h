#pragma once
#include <cstdint>
#include <string>

#include "engine/dialogs.h"

namespace engine {

// "Cannot open " + path + " for read" or " for write": what a worker reports, and the command line too.
std::string CannotOpenText(const std::string& path, bool write);
// " Error Code = " + code (unsigned decimal) + " " + the system's description without its line break.
std::string SystemErrorText(uint32_t code);
// A box that is not a worker's: caption "System error " + text; body detail + " " + SystemErrorText(code).
void ShowSystemError(IDialogs& dialogs, const std::string& text, const std::string& detail, uint32_t code);

}  // namespace engine

#pragma once
// The user's number separators, for grouped numbers on screen.
#include <string>

namespace platform {

struct NumberSeparators {
    std::string thousands;  // may be empty: the locale does not group
    std::string decimal;
};

// Separators of the user's locale (LC_NUMERIC from the environment); does not change the process locale.
NumberSeparators UserNumberSeparators();

}  // namespace platform

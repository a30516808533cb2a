#pragma once
// The command line's names for what the engine numbers: volume letters and methods, in one place.
#include <string>

#include "engine/settings.h"

namespace cli {

// "C" for index 2; "?" outside A to Z.
std::string VolumeLetter(int index);
// "random", "butterfly", "forward", "backward"; "unknown" for none.
const char* MethodName(engine::Method method);
// The method a name gives; false when it names none.
bool MethodFromName(const std::string& name, engine::Method& method);

}  // namespace cli

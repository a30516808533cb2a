#include "cli/names.h"

namespace cli {

namespace {

constexpr const char* kMethods[] = {"unknown", "random", "butterfly", "forward", "backward"};

}  // namespace

std::string VolumeLetter(int index) {
    return index >= 0 && index < 26 ? std::string(1, static_cast<char>('A' + index)) : std::string("?");
}

const char* MethodName(engine::Method method) {
    const int m = static_cast<int>(method);
    return kMethods[m >= 1 && m <= 4 ? m : 0];
}

bool MethodFromName(const std::string& name, engine::Method& method) {
    for (int m = 1; m <= 4; ++m)
        if (name == kMethods[m]) {
            method = static_cast<engine::Method>(m);
            return true;
        }
    return false;
}

}  // namespace cli

#pragma once
// The machine's name, for results gathered from many machines.
#include <string>

namespace platform {

std::string HostName();

}  // namespace platform

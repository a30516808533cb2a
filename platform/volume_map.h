#pragma once
// Which device stands behind each volume letter A: to Z:.
#include <array>
#include <string>

namespace platform {

constexpr int kVolumeSlots = 26;

struct VolumeMap {
    // Device path per letter slot (0 = A:); empty when no device has that letter.
    std::array<std::string, kVolumeSlots> devicePath;
};

// Natural order of kernel device names: digit runs compare by value ("loop2" < "loop10").
bool NaturalLess(const std::string& a, const std::string& b);

// The system's volumes: block devices that hold no partitions of their own and have a non-zero size,
// lettered from C: upward in natural order of their kernel names. A: and B: stay free, as on Windows.
VolumeMap SystemVolumeMap(const std::string& sysClassBlock = "/sys/class/block",
                          const std::string& devDir = "/dev");

}  // namespace platform

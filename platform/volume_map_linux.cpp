#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <vector>

#include "platform/volume_map.h"

namespace fs = std::filesystem;

namespace platform {

namespace {

bool HoldsPartitions(const fs::path& dev) {
    std::error_code ec;
    for (fs::directory_iterator it(dev, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code ec2;
        if (it->is_directory(ec2) && fs::exists(it->path() / "partition", ec2)) return true;
    }
    return false;
}

unsigned long long SectorCount(const fs::path& dev) {
    std::ifstream in(dev / "size");
    unsigned long long sectors = 0;
    if (!(in >> sectors)) return 0;
    return sectors;
}

}  // namespace

VolumeMap SystemVolumeMap(const std::string& sysClassBlock, const std::string& devDir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(sysClassBlock, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path dev = it->path();
        if (SectorCount(dev) == 0 || HoldsPartitions(dev)) continue;
        names.push_back(dev.filename().string());
    }
    std::sort(names.begin(), names.end(), NaturalLess);
    VolumeMap map;
    int slot = 2;  // C:
    for (const auto& name : names) {
        if (slot >= kVolumeSlots) break;
        map.devicePath[slot++] = (fs::path(devDir) / name).string();
    }
    return map;
}

}  // namespace platform

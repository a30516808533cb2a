#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <vector>

#include "platform/volume_map.h"

namespace fs = std::filesystem;

namespace platform {

bool NaturalLess(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const bool da = std::isdigit(static_cast<unsigned char>(a[i])) != 0;
        const bool db = std::isdigit(static_cast<unsigned char>(b[j])) != 0;
        if (da && db) {
            size_t ei = i, ej = j;
            while (ei < a.size() && std::isdigit(static_cast<unsigned char>(a[ei]))) ++ei;
            while (ej < b.size() && std::isdigit(static_cast<unsigned char>(b[ej]))) ++ej;
            // Compare by value without overflow: strip leading zeros, then length, then digits.
            size_t si = i, sj = j;
            while (si + 1 < ei && a[si] == '0') ++si;
            while (sj + 1 < ej && b[sj] == '0') ++sj;
            if (ei - si != ej - sj) return ei - si < ej - sj;
            const int c = a.compare(si, ei - si, b, sj, ej - sj);
            if (c != 0) return c < 0;
            i = ei;
            j = ej;
        } else {
            if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

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

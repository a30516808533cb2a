#include <errno.h>
#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "platform/file.h"
#include "platform/path_identity.h"

namespace platform {
namespace {

// "8:17" in a sysfs dev file.
bool ReadDevNumber(const std::filesystem::path& file, uint64_t& device) {
    std::ifstream in(file);
    unsigned maj = 0, min = 0;
    char colon = 0;
    if (!(in >> maj >> colon >> min) || colon != ':') return false;
    device = makedev(maj, min);
    return true;
}

std::filesystem::path SysfsOf(uint64_t device) {
    return "/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
}

// The disk of a partition, and every device a mapping (dm, md) is made of with their disks, to a few levels.
void AddBeneath(uint64_t device, std::vector<uint64_t>& beneath, int depth) {
    std::error_code ec;
    const std::filesystem::path dir = std::filesystem::canonical(SysfsOf(device), ec);
    if (ec || depth > 8) return;
    uint64_t disk = 0;
    if (std::filesystem::exists(dir / "partition", ec) && ReadDevNumber(dir.parent_path() / "dev", disk) &&
        std::find(beneath.begin(), beneath.end(), disk) == beneath.end())
        beneath.push_back(disk);
    for (const auto& slave : std::filesystem::directory_iterator(dir / "slaves", ec)) {
        uint64_t under = 0;
        if (!ReadDevNumber(slave.path() / "dev", under) ||
            std::find(beneath.begin(), beneath.end(), under) != beneath.end())
            continue;
        beneath.push_back(under);
        AddBeneath(under, beneath, depth + 1);
    }
}

void FromStat(const struct stat& st, PathIdentity& id) {
    using K = PathIdentity::Kind;
    if (S_ISREG(st.st_mode)) {
        id.kind = K::File;
        id.device = st.st_dev;
        id.inode = st.st_ino;
    } else if (S_ISDIR(st.st_mode)) {
        id.kind = K::Directory;
        id.device = st.st_dev;
        id.inode = st.st_ino;
    } else if (S_ISBLK(st.st_mode)) {
        id.kind = K::BlockDevice;
        id.device = st.st_rdev;
        AddBeneath(st.st_rdev, id.beneath, 0);
    } else {
        id.kind = K::Stream;
    }
}

// A loop device's backing file, from the device itself (a sysfs name may be stale once the file moved).
void AddBacking(const std::string& path, PathIdentity& id) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    struct loop_info64 info {};
    if (::ioctl(fd, LOOP_GET_STATUS64, &info) == 0) {
        id.backingDevice = info.lo_device;
        id.backingInode = info.lo_inode;
    }
    ::close(fd);
}

}  // namespace

bool IdentifyPath(const std::string& path, PathIdentity& id, uint32_t& error) {
    id = {};
    std::string target;
    if (!ResolveLinks(path, target, error)) return false;
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0) {
        FromStat(st, id);
        if (id.kind == PathIdentity::Kind::BlockDevice) AddBacking(target, id);
        return true;
    }
    if (errno != ENOENT) {
        error = static_cast<uint32_t>(errno);
        return false;
    }
    // Not there yet: the same directory and name are the same file to be.
    if (::stat(DirectoryOf(target).c_str(), &st) != 0) {
        error = static_cast<uint32_t>(errno);
        return false;
    }
    id.kind = PathIdentity::Kind::ToBeMade;
    id.device = st.st_dev;
    id.inode = st.st_ino;
    const size_t slash = target.rfind('/');
    id.name = slash == std::string::npos ? target : target.substr(slash + 1);
    return true;
}

bool IdentifyDescriptor(int fd, PathIdentity& id) {
    id = {};
    struct stat st {};
    if (::fstat(fd, &st) != 0) return false;
    FromStat(st, id);
    if (id.kind == PathIdentity::Kind::BlockDevice) AddBacking("/proc/self/fd/" + std::to_string(fd), id);
    return true;
}

}  // namespace platform

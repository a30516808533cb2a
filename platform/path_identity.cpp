#include "platform/path_identity.h"

#include <algorithm>

namespace platform {

bool Overlap(const PathIdentity& a, const PathIdentity& b) {
    using K = PathIdentity::Kind;
    const auto on = [](const PathIdentity& x, uint64_t device) {
        return std::find(x.beneath.begin(), x.beneath.end(), device) != x.beneath.end();
    };
    const auto backs = [](const PathIdentity& device, const PathIdentity& file) {
        return device.backingInode != 0 && device.backingDevice == file.device &&
               device.backingInode == file.inode;
    };
    if (a.kind == K::File && b.kind == K::File) return a.device == b.device && a.inode == b.inode;
    if (a.kind == K::ToBeMade && b.kind == K::ToBeMade)
        return a.device == b.device && a.inode == b.inode && a.name == b.name;
    if (a.kind == K::BlockDevice && b.kind == K::BlockDevice)
        return a.device == b.device || on(a, b.device) || on(b, a.device) ||
               (a.backingInode != 0 && a.backingDevice == b.backingDevice &&
                a.backingInode == b.backingInode);
    if (a.kind == K::BlockDevice && b.kind == K::File) return backs(a, b);
    if (a.kind == K::File && b.kind == K::BlockDevice) return backs(b, a);
    return false;
}

}  // namespace platform

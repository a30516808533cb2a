#pragma once
// What a path names, told apart before anything is opened for writing: two paths that name one file or one
// device (through links, other names, a partition and its disk, a loop device and its backing file, a
// device-mapper device and what it is made of) are seen to be one, so that no output of a run lands on a
// volume it tests or on another output.
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

struct PathIdentity {
    enum class Kind {
        File,         // a regular file: device and inode
        BlockDevice,  // its device number, and what it lies on
        Stream,       // a character device, FIFO or socket: written through, never replaced
        Directory,
        ToBeMade,  // no such file yet: its directory (device and inode) and its name there
    };
    Kind kind = Kind::ToBeMade;
    uint64_t device = 0, inode = 0;  // File, Directory, ToBeMade (the directory); BlockDevice: device number
    std::string name;                // ToBeMade: the name in the directory
    // BlockDevice: the devices whose blocks it holds or lies on (the disk of a partition, the devices a
    // mapping is made of and their disks), and a loop device's backing file (device and inode; 0 if none).
    std::vector<uint64_t> beneath;
    uint64_t backingDevice = 0, backingInode = 0;
};

// Follows links; false with the system's error code when the path (or, for a file yet to be made, its
// directory) cannot be looked at.
bool IdentifyPath(const std::string& path, PathIdentity& identity, uint32_t& error);
// The identity of an open descriptor (standard output, say); false when it cannot be told.
bool IdentifyDescriptor(int fd, PathIdentity& identity);
// True when writing through one could change what the other holds. Streams and directories overlap nothing.
bool Overlap(const PathIdentity& a, const PathIdentity& b);

}  // namespace platform

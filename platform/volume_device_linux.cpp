#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

#include "platform/error_codes.h"
#include "platform/io_queue_uring.h"
#include "platform/memory.h"
#include "platform/volume_device.h"

namespace platform {
namespace {

// Buffers for uncached (O_DIRECT) transfers: 4096 is a multiple of every logical sector size in use (512 and
// 4096) and of the page size, so one alignment serves every device and image file.
constexpr size_t kIoAlignment = 4096;

// Never blocks: a FIFO or a device that waits for its other end opens at once (O_NONBLOCK), and is then
// told from a volume by its type. Regular files and block devices get blocking transfers back.
int OpenRetryingEintr(const char* path, int flags) {
    int fd;
    do {
        fd = ::open(path, flags | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return fd;
    struct stat st {};
    if (fstat(fd, &st) == 0 && (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)))
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

// mountinfo escapes blanks and the like as \ooo.
std::string UnescapeMountPath(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size()) {
            const std::string oct = s.substr(i + 1, 3);
            if (oct.size() == 3 && oct.find_first_not_of("01234567") == std::string::npos) {
                out.push_back(static_cast<char>(std::stoi(oct, nullptr, 8)));
                i += 3;
                continue;
            }
        }
        out.push_back(s[i]);
    }
    return out;
}

// Mount point of a file system whose source device is dev, from the process's mount table.
bool FindMountPoint(dev_t dev, std::string& mountPoint) {
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string id, parent, majmin, root, point;
        if (!(fields >> id >> parent >> majmin >> root >> point)) continue;
        unsigned maj = 0, min = 0;
        char colon = 0;
        std::istringstream mm(majmin);
        if (!(mm >> maj >> colon >> min) || colon != ':') continue;
        if (makedev(maj, min) == dev) {
            mountPoint = UnescapeMountPath(point);
            return true;
        }
    }
    return false;
}

// The offset alignment uncached I/O needs on a regular file: what the kernel reports, else the logical
// sector size of the device that holds the file system, else the common 512.
int64_t DirectIoAlignment(int fd, const struct stat& st) {
    struct statx sx {};
    if (statx(fd, "", AT_EMPTY_PATH, STATX_DIOALIGN, &sx) == 0 && (sx.stx_mask & STATX_DIOALIGN) != 0)
        return sx.stx_dio_offset_align > 0 ? sx.stx_dio_offset_align : 1;  // 0: no direct I/O at all
    for (const char* queue : {"/queue/logical_block_size", "/../queue/logical_block_size"}) {
        std::ifstream in("/sys/dev/block/" + std::to_string(major(st.st_dev)) + ":" +
                         std::to_string(minor(st.st_dev)) + queue);
        int64_t bytes = 0;
        if (in >> bytes && bytes > 0) return bytes;
    }
    return 512;
}

// Opens a device or image the way a test does: uncached like a raw volume handle. Some file systems
// (tmpfs, some FUSE ones) refuse O_DIRECT for regular files; unless uncached is required, those are used
// through the cache, and direct tells which. Only block devices and regular files are volumes (ENOTBLK).
int OpenForTransfers(const std::string& path, int access, bool block, bool requireDirect, bool& direct) {
    direct = true;
    int fd = OpenRetryingEintr(path.c_str(), access | O_CLOEXEC | O_DIRECT);
    if (fd < 0 && errno == EINVAL && !block && !requireDirect) {
        direct = false;
        fd = OpenRetryingEintr(path.c_str(), access | O_CLOEXEC);
    }
    struct stat st {};
    if (fd >= 0 && fstat(fd, &st) == 0 && !S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
        ::close(fd);
        errno = ENOTBLK;
        return -1;
    }
    return fd;
}

class FileProbe final : public IVolumeProbe {
  public:
    FileProbe(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
    ~FileProbe() override { ::close(fd_); }

    bool DeviceSize(int64_t& bytes) override {
        struct stat st {};
        if (fstat(fd_, &st) != 0) return false;
        if (S_ISBLK(st.st_mode)) {
            uint64_t size = 0;
            if (ioctl(fd_, BLKGETSIZE64, &size) != 0) return false;
            bytes = static_cast<int64_t>(size);
            return true;
        }
        if (S_ISREG(st.st_mode)) {
            bytes = st.st_size;
            return true;
        }
        return false;
    }

    bool FileSystemSize(int64_t& bytes) override {
        struct stat st {};
        if (fstat(fd_, &st) != 0 || !S_ISBLK(st.st_mode)) return false;
        std::string point;
        if (!FindMountPoint(st.st_rdev, point)) return false;
        struct statvfs vfs {};
        if (statvfs(point.c_str(), &vfs) != 0) return false;
        bytes = static_cast<int64_t>(vfs.f_blocks) * static_cast<int64_t>(vfs.f_frsize);
        return true;
    }

    int64_t TransferAlignment() override {
        struct stat st {};
        if (fstat(fd_, &st) != 0) return 1;
        if (S_ISBLK(st.st_mode)) {
            int sector = 0;
            return ioctl(fd_, BLKSSZGET, &sector) == 0 && sector > 0 ? sector : 512;
        }
        if (!S_ISREG(st.st_mode)) return 1;
        bool direct = false;
        const int fd = OpenForTransfers(path_, O_RDONLY, false, false, direct);
        if (fd < 0) return 1;
        const int64_t alignment = direct ? DirectIoAlignment(fd, st) : 1;
        ::close(fd);
        return alignment;
    }

    bool Uncached() override {
        struct stat st {};
        if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) return true;  // a block device never falls back
        bool direct = false;
        const int fd = OpenForTransfers(path_, O_RDONLY, false, false, direct);
        if (fd >= 0) ::close(fd);
        return direct;
    }

    std::string WhyNoSize() override {
        struct stat st {};
        if (fstat(fd_, &st) != 0) return {};
        if (S_ISDIR(st.st_mode)) return "is a directory, not a block device or image file";
        if (S_ISCHR(st.st_mode)) return "is a character device, not a block device or image file";
        if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))
            return "is a pipe or socket, not a block device or image file";
        if (S_ISREG(st.st_mode) && st.st_size == 0) return "is an empty image file (0 bytes)";
        if (S_ISBLK(st.st_mode)) return "is a block device that reports no size (no medium?)";
        return {};
    }

  private:
    int fd_;
    std::string path_;
};

// Who else holds a lock on the file behind fd: open file description locks carry no owner, so the process is
// found by the lock line among the open files' fdinfo (Linux 4.x and later). Empty when none can be seen.
std::string LockHolder(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return {};
    char key[64];
    std::snprintf(key, sizeof key, "%02x:%02x:%llu ", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    const std::string self = std::to_string(getpid());
    std::error_code ec;
    for (const auto& proc : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string pid = proc.path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos || pid == self) continue;
        std::error_code fdEc;
        for (const auto& info : std::filesystem::directory_iterator(proc.path() / "fdinfo", fdEc)) {
            std::ifstream in(info.path());
            for (std::string line; std::getline(in, line);)
                if (line.rfind("lock:", 0) == 0 && line.find("OFDLCK") != std::string::npos &&
                    line.find(key) != std::string::npos) {
                    std::string comm;
                    std::getline(std::ifstream(proc.path() / "comm"), comm);
                    return "process " + pid + (comm.empty() ? "" : " (" + comm + ")");
                }
        }
    }
    return {};
}

// A run's hold on each of its volumes, shared by the run's workers (one count per open):
// - a block device written to is opened exclusively, which the kernel refuses while it is mounted or
//   otherwise claimed;
// - every volume carries an open file description lock on its file for as long as any of our handles is
//   open, shared while reading and exclusive while writing: another process's run that would write while we
//   read or write, or read while we write, is refused with EBUSY, and the holder is named where the system
//   tells. The lock belongs to one open of the file, so our own workers' opens and closes never drop it.
class VolumeClaims {
  public:
    // 0 on success, else the errno of the refusal (EBUSY: another process holds the volume; holder says who).
    uint32_t Acquire(int index, const std::string& path, bool block, bool write, std::string& holder) {
        std::lock_guard lock(mutex_);
        Claim& c = claims_[index];
        if (c.refs > 0) {
            // A write cannot join a read hold without giving it up first; that never happens within one run.
            if (write && !c.write) return EBUSY;
            ++c.refs;
            return 0;
        }
        if (block && write) {
            c.exclusive = OpenRetryingEintr(path.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
            if (c.exclusive < 0) return static_cast<uint32_t>(errno);
        }
        c.lock = OpenRetryingEintr(path.c_str(), (write ? O_RDWR : O_RDONLY) | O_CLOEXEC);
        if (c.lock < 0) {
            const uint32_t e = static_cast<uint32_t>(errno);
            Close(c);
            return e;
        }
        struct flock fl {};
        fl.l_type = write ? F_WRLCK : F_RDLCK;
        fl.l_whence = SEEK_SET;
        if (fcntl(c.lock, F_OFD_SETLK, &fl) != 0) {
            const int e = errno;
            if (e == EAGAIN || e == EACCES) {
                holder = LockHolder(c.lock);
                if (holder.empty()) holder = "another process";
            }
            Close(c);
            return e == EAGAIN || e == EACCES ? EBUSY : static_cast<uint32_t>(e);
        }
        c.write = write;
        c.refs = 1;
        return 0;
    }
    void Release(int index) {
        std::lock_guard lock(mutex_);
        Claim& c = claims_[index];
        if (c.refs > 0 && --c.refs == 0) Close(c);
    }

  private:
    struct Claim {
        int exclusive = -1;
        int lock = -1;
        bool write = false;
        int refs = 0;
    };
    static void Close(Claim& c) {
        for (int* fd : {&c.exclusive, &c.lock})
            if (*fd >= 0) {
                ::close(*fd);
                *fd = -1;
            }
    }
    std::mutex mutex_;
    std::array<Claim, kVolumeSlots> claims_{};
};

// One count of a volume's claim, given back when it ends.
class HeldClaim final : public IVolumeClaim {
  public:
    HeldClaim(VolumeClaims& claims, int index) : claims_(claims), index_(index) {}
    ~HeldClaim() override { claims_.Release(index_); }

  private:
    VolumeClaims& claims_;
    int index_;
};

class FileDevice final : public IVolumeDevice {
  public:
    // limit: bytes a write may reach (an image file's size at open); -1 for a block device, whose end
    // the kernel enforces. A write past an image's end would silently grow the file.
    FileDevice(int fd, int64_t limit, std::unique_ptr<IVolumeClaim> claim)
        : fd_(fd), limit_(limit), claim_(std::move(claim)) {}
    ~FileDevice() override { ::close(fd_); }

    uint32_t ReadAt(void* buffer, uint32_t size, int64_t offset) override {
        ssize_t r;
        do {
            r = ::pread(fd_, buffer, size, offset);
        } while (r < 0 && errno == EINTR);
        return Outcome(r, size);
    }

    uint32_t WriteAt(const void* buffer, uint32_t size, int64_t offset) override {
        if (PastImageEnd(offset, size, limit_)) return ENOSPC;
        ssize_t r;
        do {
            r = ::pwrite(fd_, buffer, size, offset);
        } while (r < 0 && errno == EINTR);
        return Outcome(r, size);
    }

    void* AllocateBuffer(size_t bytes) override {
        const size_t rounded = (bytes == 0 ? 1 : (bytes + kIoAlignment - 1) / kIoAlignment) * kIoAlignment;
        if (rounded < bytes) return nullptr;
        void* buffer =
            rounded >= kLargeBuffer ? AllocateHuge(rounded) : std::aligned_alloc(kIoAlignment, rounded);
        // Touched now, so that no operation's time includes faulting in its buffer.
        if (buffer) std::memset(buffer, 0, rounded);
        return buffer;
    }

    void FreeBuffer(void* buffer) override {
        {
            std::lock_guard lock(hugeMutex_);
            for (size_t k = 0; k < huge_.size(); ++k)
                if (huge_[k].first == buffer) {
                    FreeRegion(buffer, huge_[k].second);
                    huge_.erase(huge_.begin() + static_cast<std::ptrdiff_t>(k));
                    return;
                }
        }
        std::free(buffer);
    }

    std::unique_ptr<IIoQueue> OpenQueue(uint32_t depth, const QueueOptions& options,
                                        uint32_t& error) override {
        return MakeUringQueue(fd_, limit_, depth, options, error);
    }

  private:
    // A large operation's buffer in whole huge pages where the system gives them: physically contiguous, so
    // the kernel and a virtual disk's host hand over a few segments per operation instead of one per 4 KiB
    // page (1 MiB sequential reads on a virtual disk went from about 2,000 to 5,000-7,800 MB/s). At most
    // twice the memory asked, and plain pages where huge ones are off.
    static constexpr size_t kLargeBuffer = size_t{1} << 20;  // half a huge page: at most twice the memory
    void* AllocateHuge(size_t bytes) {
        void* buffer = AllocateRegion(bytes);
        if (!buffer) return nullptr;
        std::lock_guard lock(hugeMutex_);
        huge_.emplace_back(buffer, bytes);
        return buffer;
    }

    static uint32_t Outcome(ssize_t r, uint32_t size) {
        if (r < 0) return static_cast<uint32_t>(errno);
        return static_cast<size_t>(r) == size ? 0 : kShortTransfer;
    }

    std::mutex hugeMutex_;
    std::vector<std::pair<void*, size_t>> huge_;  // huge-page buffers handed out, and their lengths
    int fd_;
    int64_t limit_;
    std::unique_ptr<IVolumeClaim> claim_;  // given back after the close
};

class FileVolumeSystem final : public IVolumeSystem {
  public:
    FileVolumeSystem(const VolumeMap& map, const VolumeOptions& options) : map_(map), options_(options) {}

    std::string DevicePath(int index) const override {
        return index >= 0 && index < kVolumeSlots ? map_.devicePath[index] : std::string();
    }

    std::unique_ptr<IVolumeProbe> OpenProbe(int index, uint32_t& error) override {
        const std::string path = DevicePath(index);
        if (path.empty()) {
            error = ENOENT;
            return nullptr;
        }
        const int fd = OpenRetryingEintr(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            error = static_cast<uint32_t>(errno);
            return nullptr;
        }
        return std::make_unique<FileProbe>(fd, path);
    }

    std::unique_ptr<IVolumeDevice> OpenDevice(int index, bool write, uint32_t& error) override {
        const std::string path = DevicePath(index);
        if (path.empty()) {
            error = ENOENT;
            return nullptr;
        }
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) {
            error = static_cast<uint32_t>(errno);
            return nullptr;
        }
        std::string holder;
        std::unique_ptr<IVolumeClaim> claim = Claim(index, write, error, holder);
        if (!claim) return nullptr;
        bool direct = false;
        const int fd = OpenForTransfers(path, write ? O_RDWR : O_RDONLY, S_ISBLK(st.st_mode),
                                        options_.requireUncached, direct);
        if (fd < 0) {
            error = static_cast<uint32_t>(errno);
            return nullptr;
        }
        return std::make_unique<FileDevice>(fd, S_ISBLK(st.st_mode) ? -1 : static_cast<int64_t>(st.st_size),
                                            std::move(claim));
    }

    std::unique_ptr<IVolumeClaim> Claim(int index, bool write, uint32_t& error,
                                        std::string& holder) override {
        const std::string path = DevicePath(index);
        struct stat st {};
        if (path.empty() || ::stat(path.c_str(), &st) != 0) {
            error = path.empty() ? ENOENT : static_cast<uint32_t>(errno);
            return nullptr;
        }
        error = claims_.Acquire(index, path, S_ISBLK(st.st_mode), write, holder);
        if (error != 0) return nullptr;
        return std::make_unique<HeldClaim>(claims_, index);
    }

  private:
    VolumeMap map_;
    VolumeOptions options_;
    VolumeClaims claims_;
};

}  // namespace

std::unique_ptr<IVolumeSystem> MakeVolumeSystem(const VolumeMap& map, const VolumeOptions& options) {
    return std::make_unique<FileVolumeSystem>(map, options);
}

}  // namespace platform

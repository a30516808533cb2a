#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <cstring>
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

// One exclusive open per block device while any of our write handles is open: the kernel refuses
// O_EXCL on a mounted or otherwise claimed device, and our own workers share the claim.
class WriteClaims {
  public:
    // 0 on success, else the errno of the refused claim.
    uint32_t Acquire(int index, const std::string& path) {
        std::lock_guard lock(mutex_);
        Claim& c = claims_[index];
        if (c.refs == 0) {
            const int fd = OpenRetryingEintr(path.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
            if (fd < 0) return static_cast<uint32_t>(errno);
            c.fd = fd;
        }
        ++c.refs;
        return 0;
    }
    void Release(int index) {
        std::lock_guard lock(mutex_);
        Claim& c = claims_[index];
        if (c.refs > 0 && --c.refs == 0) {
            ::close(c.fd);
            c.fd = -1;
        }
    }

  private:
    struct Claim {
        int fd = -1;
        int refs = 0;
    };
    std::mutex mutex_;
    std::array<Claim, kVolumeSlots> claims_{};
};

class FileDevice final : public IVolumeDevice {
  public:
    // limit: bytes a write may reach (an image file's size at open); -1 for a block device, whose end
    // the kernel enforces. A write past an image's end would silently grow the file.
    FileDevice(int fd, int64_t limit, WriteClaims* claims, int index)
        : fd_(fd), limit_(limit), claims_(claims), index_(index) {}
    ~FileDevice() override {
        ::close(fd_);
        if (claims_) claims_->Release(index_);
    }

    uint32_t ReadAt(void* buffer, uint32_t size, int64_t offset) override {
        ssize_t r;
        do {
            r = ::pread(fd_, buffer, size, offset);
        } while (r < 0 && errno == EINTR);
        return Outcome(r, size);
    }

    uint32_t WriteAt(const void* buffer, uint32_t size, int64_t offset) override {
        if (limit_ >= 0 && offset >= 0 && offset + static_cast<int64_t>(size) > limit_) return ENOSPC;
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
    WriteClaims* claims_;
    int index_;
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
        const bool block = S_ISBLK(st.st_mode);
        WriteClaims* claims = nullptr;
        if (write && block) {
            if (const uint32_t e = claims_.Acquire(index, path); e != 0) {
                error = e;
                return nullptr;
            }
            claims = &claims_;
        }
        bool direct = false;
        const int fd =
            OpenForTransfers(path, write ? O_RDWR : O_RDONLY, block, options_.requireUncached, direct);
        if (fd < 0) {
            error = static_cast<uint32_t>(errno);
            if (claims) claims->Release(index);
            return nullptr;
        }
        return std::make_unique<FileDevice>(fd, block ? -1 : static_cast<int64_t>(st.st_size), claims, index);
    }

  private:
    VolumeMap map_;
    VolumeOptions options_;
    WriteClaims claims_;
};

}  // namespace

std::unique_ptr<IVolumeSystem> MakeVolumeSystem(const VolumeMap& map, const VolumeOptions& options) {
    return std::make_unique<FileVolumeSystem>(map, options);
}

}  // namespace platform

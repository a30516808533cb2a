#include <windows.h>
#include <winioctl.h>

#include <array>
#include <mutex>

#include "platform/error_codes.h"
#include "platform/io_queue_win32.h"
#include "platform/volume_device.h"
#include "platform/win32_text.h"

namespace platform {
namespace {

// A raw volume (\\.\X:) rather than an image file.
bool IsVolumePath(const std::string& path) {
    return path.size() == 6 && path.compare(0, 4, "\\\\.\\") == 0 && path[5] == ':';
}

// Opened raw like the window's volumes: no cache, writes through; overlapped for a queue.
HANDLE OpenRaw(const std::string& path, bool write, bool overlapped = false) {
    return CreateFileW(Wide(path).c_str(), GENERIC_READ | (write ? GENERIC_WRITE : 0),
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_NO_BUFFERING | FILE_FLAG_WRITE_THROUGH |
                           (overlapped ? FILE_FLAG_OVERLAPPED : 0),
                       nullptr);
}

// The sector size of the volume that holds path (a raw volume, or the file system of an image file).
int64_t SectorSize(const std::string& path) {
    std::wstring root;
    if (IsVolumePath(path)) {
        root = {static_cast<wchar_t>(path[4]), L':', L'\\'};
    } else {
        wchar_t full[MAX_PATH], volume[MAX_PATH];
        if (!GetFullPathNameW(Wide(path).c_str(), MAX_PATH, full, nullptr) ||
            !GetVolumePathNameW(full, volume, MAX_PATH))
            return 512;
        root = volume;
    }
    DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, clusters = 0;
    if (!GetDiskFreeSpaceW(root.c_str(), &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters) ||
        bytesPerSector == 0)
        return 512;
    return bytesPerSector;
}

class Probe final : public IVolumeProbe {
  public:
    Probe(HANDLE h, std::string path) : h_(h), path_(std::move(path)) {}
    ~Probe() override { CloseHandle(h_); }

    bool DeviceSize(int64_t& bytes) override {
        if (IsVolumePath(path_)) {
            GET_LENGTH_INFORMATION info{};
            DWORD returned = 0;
            if (!DeviceIoControl(h_, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &info, sizeof info, &returned,
                                 nullptr))
                return false;
            bytes = info.Length.QuadPart;
            return true;
        }
        LARGE_INTEGER size{};
        if (!GetFileSizeEx(h_, &size)) return false;
        bytes = size.QuadPart;
        return true;
    }

    bool FileSystemSize(int64_t& bytes) override {
        if (!IsVolumePath(path_)) return false;
        const wchar_t root[] = {static_cast<wchar_t>(path_[4]), L':', L'\\', 0};
        ULARGE_INTEGER available{}, total{}, free{};
        if (!GetDiskFreeSpaceExW(root, &available, &total, &free)) return false;
        bytes = static_cast<int64_t>(total.QuadPart);
        return true;
    }

    // Unbuffered transfers need whole sectors; Wine does not insist, so the rule is ours to keep.
    int64_t TransferAlignment() override { return SectorSize(path_); }

    std::string WhyNoSize() override {
        const DWORD attributes = GetFileAttributesW(Wide(path_).c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
            return "is a directory, not a volume or image file";
        int64_t size = 0;
        if (!IsVolumePath(path_) && DeviceSize(size) && size == 0) return "is an empty image file (0 bytes)";
        return {};
    }

  private:
    HANDLE h_;
    std::string path_;
};

// One lock per volume while any of our write handles is open: a volume that holds a mounted file system
// cannot be locked, and the lock belongs to the handle, so the run's workers write through duplicates of it
// (which share its file, and so its one completion port).
class WriteClaims {
  public:
    // The locked handle's duplicate, or nullptr with the system's reason.
    HANDLE Acquire(int index, const std::string& path, uint32_t& error) {
        std::lock_guard lock(mutex_);
        Claim& c = claims_[static_cast<size_t>(index)];
        if (c.refs == 0) {
            // Overlapped, so that a worker's queue can drive it: the lock belongs to this handle, and no
            // other handle of ours may write the volume.
            HANDLE h = OpenRaw(path, true, true);
            if (h == INVALID_HANDLE_VALUE) {
                error = GetLastError();
                return nullptr;
            }
            DWORD returned = 0;
            if (!DeviceIoControl(h, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr)) {
                error = GetLastError();
                CloseHandle(h);
                return nullptr;
            }
            c.handle = h;
        }
        HANDLE dup = nullptr;
        if (!DuplicateHandle(GetCurrentProcess(), c.handle, GetCurrentProcess(), &dup, 0, FALSE,
                             DUPLICATE_SAME_ACCESS)) {
            error = GetLastError();
            if (c.refs == 0) {
                CloseHandle(c.handle);
                c.handle = nullptr;
            }
            return nullptr;
        }
        ++c.refs;
        return dup;
    }
    void Release(int index) {
        std::lock_guard lock(mutex_);
        Claim& c = claims_[static_cast<size_t>(index)];
        if (c.refs > 0 && --c.refs == 0) {
            DWORD returned = 0;
            DeviceIoControl(c.handle, FSCTL_UNLOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr);
            CloseHandle(c.handle);
            c.handle = nullptr;
        }
    }

  private:
    struct Claim {
        HANDLE handle = nullptr;
        int refs = 0;
    };
    std::mutex mutex_;
    std::array<Claim, kVolumeSlots> claims_{};
};

// An image file's hold for a run, shared by its workers: a lock on one byte far past the file's end, shared
// to read and exclusive to write. No transfer ever reaches that byte, so the lock stops no operation of ours;
// another process's run that would write while we read or write, or read while we write, fails to take it.
class ImageClaims {
  public:
    static constexpr DWORD kMarkHigh = 0x40000000;  // offset 2^62

    uint32_t Acquire(int index, const std::string& path, bool write, std::string& holder) {
        std::lock_guard lock(mutex_);
        Claim& c = claims_[static_cast<size_t>(index)];
        if (c.refs > 0) {
            if (write && !c.write) return ERROR_BUSY;
            ++c.refs;
            return 0;
        }
        HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) return GetLastError();
        OVERLAPPED at{};
        at.OffsetHigh = kMarkHigh;
        const DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (write ? LOCKFILE_EXCLUSIVE_LOCK : 0);
        if (!LockFileEx(h, flags, 0, 1, 0, &at)) {
            const DWORD e = GetLastError();
            CloseHandle(h);
            if (e != ERROR_LOCK_VIOLATION && e != ERROR_IO_PENDING) return e;
            holder = "another process";  // the system does not name a lock's owner
            return ERROR_BUSY;
        }
        c.handle = h;
        c.write = write;
        c.refs = 1;
        return 0;
    }
    void Release(int index) {
        std::lock_guard lock(mutex_);
        Claim& c = claims_[static_cast<size_t>(index)];
        if (c.refs > 0 && --c.refs == 0) {
            CloseHandle(c.handle);  // ends the lock
            c.handle = nullptr;
        }
    }

  private:
    struct Claim {
        HANDLE handle = nullptr;
        bool write = false;
        int refs = 0;
    };
    std::mutex mutex_;
    std::array<Claim, kVolumeSlots> claims_{};
};

class HeldImage final : public IVolumeClaim {
  public:
    HeldImage(ImageClaims& claims, int index) : claims_(claims), index_(index) {}
    ~HeldImage() override { claims_.Release(index_); }

  private:
    ImageClaims& claims_;
    int index_;
};

class Device final : public IVolumeDevice {
  public:
    // overlapped: h is the locked volume's overlapped handle (its synchronous calls then wait on an event of
    // their own); otherwise a queue opens a handle of its own on path.
    Device(HANDLE h, std::string path, bool write, int64_t limit, WriteClaims* claims, int index,
           std::unique_ptr<IVolumeClaim> image = {})
        : h_(h),
          path_(std::move(path)),
          write_(write),
          limit_(limit),
          claims_(claims),
          index_(index),
          image_(std::move(image)) {
        if (claims_) event_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    ~Device() override {
        CloseHandle(h_);
        if (event_) CloseHandle(event_);
        if (claims_) claims_->Release(index_);
    }

    uint32_t ReadAt(void* buffer, uint32_t size, int64_t offset) override {
        if (offset < 0) return ERROR_NEGATIVE_SEEK;
        return Transfer(false, buffer, size, offset);
    }

    uint32_t WriteAt(const void* buffer, uint32_t size, int64_t offset) override {
        if (offset < 0) return ERROR_NEGATIVE_SEEK;
        if (PastImageEnd(offset, size, limit_)) return ERROR_DISK_FULL;
        return Transfer(true, const_cast<void*>(buffer), size, offset);
    }

    void* AllocateBuffer(size_t bytes) override {
        // Page-aligned, which every sector size divides.
        return VirtualAlloc(nullptr, bytes ? bytes : 1, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    }
    void FreeBuffer(void* buffer) override { VirtualFree(buffer, 0, MEM_RELEASE); }

    // Registration is refused before a run (QueuedEngine says there is none); the options are unused here.
    std::unique_ptr<IIoQueue> OpenQueue(uint32_t depth, const QueueOptions&, uint32_t& error) override {
        if (claims_) {
            // The locked volume's handle, duplicated: it is the only one that may write.
            HANDLE dup = nullptr;
            if (!DuplicateHandle(GetCurrentProcess(), h_, GetCurrentProcess(), &dup, 0, FALSE,
                                 DUPLICATE_SAME_ACCESS)) {
                error = GetLastError();
                return nullptr;
            }
            return MakeOverlappedQueue(dup, true, limit_, depth, error);
        }
        HANDLE h = OpenRaw(path_, write_, true);
        if (h == INVALID_HANDLE_VALUE) {
            error = GetLastError();
            return nullptr;
        }
        return MakeOverlappedQueue(h, true, limit_, depth, error);
    }

  private:
    uint32_t Transfer(bool write, void* buffer, uint32_t size, int64_t offset) {
        OVERLAPPED o{};
        o.Offset = static_cast<DWORD>(static_cast<uint64_t>(offset) & 0xffffffffu);
        o.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
        // On the overlapped handle: the low bit keeps the completion off any port a queue tied to the file.
        if (event_) o.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<uintptr_t>(event_) | 1);
        DWORD done = 0;
        const BOOL ok =
            write ? WriteFile(h_, buffer, size, &done, &o) : ReadFile(h_, buffer, size, &done, &o);
        if (!ok) {
            DWORD e = GetLastError();
            if (e == ERROR_IO_PENDING && event_)
                e = GetOverlappedResult(h_, &o, &done, TRUE) ? 0 : GetLastError();
            if (e == ERROR_HANDLE_EOF) return kShortTransfer;
            if (e != 0) return e;
        }
        return done == size ? 0 : kShortTransfer;
    }

    HANDLE h_;
    std::string path_;
    bool write_;
    int64_t limit_;
    WriteClaims* claims_;
    int index_;
    std::unique_ptr<IVolumeClaim> image_;  // given back after the close
    HANDLE event_ = nullptr;
};

class VolumeSystem final : public IVolumeSystem {
  public:
    explicit VolumeSystem(const VolumeMap& map) : map_(map) {}

    std::string DevicePath(int index) const override {
        return index >= 0 && index < kVolumeSlots ? map_.devicePath[static_cast<size_t>(index)]
                                                  : std::string();
    }

    std::unique_ptr<IVolumeProbe> OpenProbe(int index, uint32_t& error) override {
        const std::string path = DevicePath(index);
        if (path.empty()) {
            error = ERROR_FILE_NOT_FOUND;
            return nullptr;
        }
        // Directories open only with backup semantics; they are then found to have no size.
        HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            error = GetLastError();
            return nullptr;
        }
        return std::make_unique<Probe>(h, path);
    }

    std::unique_ptr<IVolumeDevice> OpenDevice(int index, bool write, uint32_t& error) override {
        const std::string path = DevicePath(index);
        if (path.empty()) {
            error = ERROR_FILE_NOT_FOUND;
            return nullptr;
        }
        if (write && IsVolumePath(path)) {
            HANDLE h = claims_.Acquire(index, path, error);
            return h ? std::make_unique<Device>(h, path, true, -1, &claims_, index) : nullptr;
        }
        std::string holder;
        std::unique_ptr<IVolumeClaim> image;
        if (!IsVolumePath(path) && !(image = Claim(index, write, error, holder))) return nullptr;
        HANDLE h = OpenRaw(path, write);
        if (h == INVALID_HANDLE_VALUE) {
            error = GetLastError();
            return nullptr;
        }
        int64_t limit = -1;
        LARGE_INTEGER size{};
        if (!IsVolumePath(path) && GetFileSizeEx(h, &size)) limit = size.QuadPart;
        return std::make_unique<Device>(h, path, write, limit, nullptr, index, std::move(image));
    }

    // Image files are held by a lock; a volume written to is locked by the system while written (above).
    std::unique_ptr<IVolumeClaim> Claim(int index, bool write, uint32_t& error,
                                        std::string& holder) override {
        const std::string path = DevicePath(index);
        if (path.empty()) {
            error = ERROR_FILE_NOT_FOUND;
            return nullptr;
        }
        if (IsVolumePath(path)) return std::make_unique<IVolumeClaim>();
        error = images_.Acquire(index, path, write, holder);
        if (error != 0) return nullptr;
        return std::make_unique<HeldImage>(images_, index);
    }

  private:
    VolumeMap map_;
    WriteClaims claims_;
    ImageClaims images_;
};

}  // namespace

std::unique_ptr<IVolumeSystem> MakeVolumeSystem(const VolumeMap& map, const VolumeOptions&) {
    return std::make_unique<VolumeSystem>(map);
}

}  // namespace platform

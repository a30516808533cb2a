#pragma once
// Raw access to volumes. The engine sees volumes only through these interfaces, so tests can put
// image files or fakes behind the letters.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/io_queue.h"
#include "platform/volume_map.h"

namespace platform {

// An open volume for a test run. Calls are synchronous: each returns when the transfer is complete.
class IVolumeDevice {
  public:
    virtual ~IVolumeDevice() = default;
    // 0 when all `size` bytes were transferred; otherwise the system's error code, or kShortTransfer
    // (platform/error_codes.h) when the call moved fewer bytes than asked.
    virtual uint32_t ReadAt(void* buffer, uint32_t size, int64_t offset) = 0;
    virtual uint32_t WriteAt(const void* buffer, uint32_t size, int64_t offset) = 0;
    // A buffer this device can transfer from and to (aligned for uncached I/O); nullptr when none.
    virtual void* AllocateBuffer(size_t bytes) = 0;
    virtual void FreeBuffer(void* buffer) = 0;
    // An asynchronous queue of `depth` requests on this device; nullptr with the system's error code when
    // none can be set up (or what options ask for cannot be registered).
    virtual std::unique_ptr<IIoQueue> OpenQueue(uint32_t depth, const QueueOptions& options,
                                                uint32_t& error) = 0;
};

// A volume opened only to learn its size, from two sources in turn.
class IVolumeProbe {
  public:
    virtual ~IVolumeProbe() = default;
    // The device's own size; false when the device cannot tell.
    virtual bool DeviceSize(int64_t& bytes) = 0;
    // Total bytes of the file system mounted from the device; false when there is none or it cannot tell.
    virtual bool FileSystemSize(int64_t& bytes) = 0;
    // Every transfer's size and offset must be a multiple of this (the logical sector size, or what
    // uncached I/O on an image file needs); 1 when anything goes.
    virtual int64_t TransferAlignment() = 0;
    // Why neither size source answers, in the operator's words ("is a directory"); empty when unknown.
    virtual std::string WhyNoSize() = 0;
    // True when a test's transfers bypass the system's cache, as a raw volume's do; false for an image file
    // on a file system that refuses uncached transfers (they would then go through its cache).
    virtual bool Uncached() { return true; }
};

// A run's hold on a volume: while it lives, no other process's run may write the volume, nor read it while
// this one writes (see IVolumeSystem::Claim).
class IVolumeClaim {
  public:
    virtual ~IVolumeClaim() = default;
};

class IVolumeSystem {
  public:
    virtual ~IVolumeSystem() = default;
    // What the operator knows the volume by ("/dev/sdb1"); empty when the slot has no device.
    virtual std::string DevicePath(int index) const = 0;
    // nullptr with the system's error code when the volume cannot be opened.
    virtual std::unique_ptr<IVolumeProbe> OpenProbe(int index, uint32_t& error) = 0;
    // Read-only, or read-write for destructive tests. A volume that is mounted or claimed by the system
    // is refused for writing. Safe to call from several threads at once.
    virtual std::unique_ptr<IVolumeDevice> OpenDevice(int index, bool write, uint32_t& error) = 0;
    // Holds the volume for reading, or for writing, until the claim ends; every device this system opens
    // holds one too, so the run's workers share it. nullptr with the system's code when another process
    // holds it so that the two cannot go on together (EBUSY, and holder names the holder: "process 1234
    // (volstress-cli)" where the system tells, else "another process"), or when a written block device is
    // mounted or claimed (holder empty). Volumes no other process can reach
    // (fakes) need no claim.
    virtual std::unique_ptr<IVolumeClaim> Claim(int index, bool write, uint32_t& error, std::string& holder) {
        (void)index, (void)write, (void)error, (void)holder;
        return std::make_unique<IVolumeClaim>();
    }
};

struct VolumeOptions {
    // Refuse a volume whose transfers would go through the cache, instead of using it so.
    bool requireUncached = false;
};

// Volumes backed by the paths of a map: block devices or regular (image) files.
std::unique_ptr<IVolumeSystem> MakeVolumeSystem(const VolumeMap& map, const VolumeOptions& options = {});

}  // namespace platform

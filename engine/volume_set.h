#pragma once
// The volumes A: to Z.: probed once, each present one with its size, transfer unit and statistics record.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "engine/shared_state.h"

namespace engine {

class VolumeSet {
  public:
    explicit VolumeSet(std::shared_ptr<SharedState> shared);

    // Size of volume index in bytes; -2 when it cannot be opened, -3 when no source gives a size.
    int64_t QueryVolumeSize(int index);
    // Probes A: to Z: once, in letter order; calls onPresent(i) for each present volume once its record
    // exists. A record that cannot be allocated leaves its volume absent.
    void EnumerateVolumes(const std::function<void(int)>& onPresent = {});

    // Slots probed: 0 before discovery, 26 after. Every loop over volumes runs over 0 to Count() - 1.
    int32_t Count() const { return count_; }
    bool Present(int i) const { return i >= 0 && i < count_ && size_[i] >= 0; }
    // Bytes; -1 for an absent volume.
    int64_t Size(int i) const { return i >= 0 && i < kDiskCount ? size_[i] : -1; }
    // The multiple every transfer must be (1 when anything goes).
    int64_t Alignment(int i) const { return i >= 0 && i < kDiskCount ? alignment_[i] : 1; }
    // False when the volume's transfers go through the system's cache (an image file on a file system that
    // refuses uncached I/O): its rates are then the cache's, not the device's.
    bool Uncached(int i) const { return i < 0 || i >= kDiskCount || uncached_[static_cast<size_t>(i)]; }
    // Why a volume that opened reports no size, in the operator's words; empty when the system cannot say.
    const std::string& NoSizeReason(int i) const { return noSizeReason_.at(static_cast<size_t>(i)); }
    // The system's code when volume i has a device that could not be opened; 0 otherwise.
    uint32_t OpenError(int i) const {
        return i >= 0 && i < kDiskCount ? openError_[static_cast<size_t>(i)] : 0;
    }
    std::string DevicePath(int i) const { return shared_->VolumeSystem->DevicePath(i); }
    VolumeStats* Record(int i) const {
        return i >= 0 && i < kDiskCount ? shared_->Volumes[i].get() : nullptr;
    }

  private:
    std::shared_ptr<SharedState> shared_;
    int32_t count_ = 0;
    std::array<int64_t, kDiskCount> size_{};
    std::array<int64_t, kDiskCount> alignment_{};
    std::array<bool, kDiskCount> uncached_{};
    std::array<std::string, kDiskCount> noSizeReason_{};
    std::array<uint32_t, kDiskCount> openError_{};
};

}  // namespace engine

#include "engine/volume_set.h"

#include <new>

namespace engine {

VolumeSet::VolumeSet(std::shared_ptr<SharedState> shared) : shared_(std::move(shared)) {
    size_.fill(-1);
    alignment_.fill(1);
    uncached_.fill(true);
}

int64_t VolumeSet::QueryVolumeSize(int index) {
    uint32_t error = 0;
    std::unique_ptr<platform::IVolumeProbe> probe = shared_->VolumeSystem->OpenProbe(index, error);
    const bool slot = index >= 0 && index < kDiskCount;
    if (slot) openError_[static_cast<size_t>(index)] = probe || DevicePath(index).empty() ? 0 : error;
    if (!probe) return -2;
    if (slot) {
        alignment_[index] = probe->TransferAlignment();
        uncached_[static_cast<size_t>(index)] = probe->Uncached();
        noSizeReason_[index].clear();
    }
    int64_t size = 0;
    if (probe->DeviceSize(size) && size != 0) return size;
    if (probe->FileSystemSize(size)) return size;
    if (slot) noSizeReason_[index] = probe->WhyNoSize();
    return -3;
}

void VolumeSet::EnumerateVolumes(const std::function<void(int)>& onPresent) {
    count_ = kDiskCount;
    for (int i = 0; i < kDiskCount; ++i) {
        size_[i] = -1;
        const int64_t r = QueryVolumeSize(i);
        if (r < 0) continue;
        auto& record = shared_->Volumes[i];
        if (!record) record.reset(new (std::nothrow) VolumeStats());
        if (!record) continue;
        size_[i] = r;
        if (onPresent) onPresent(i);
    }
}

}  // namespace engine

#include <sys/mman.h>
#include <unistd.h>

#include "platform/memory.h"

namespace platform {

namespace {
constexpr size_t kHugePage = size_t{2} << 20;

// Whole huge pages; 0 when the rounding wraps.
size_t Span(size_t bytes) {
    return (bytes == 0 ? 1 : (bytes + kHugePage - 1) / kHugePage) * kHugePage;
}
}  // namespace

int64_t PhysicalMemoryBytes() {
    const long pages = sysconf(_SC_PHYS_PAGES), size = sysconf(_SC_PAGESIZE);
    return pages > 0 && size > 0 ? static_cast<int64_t>(pages) * size : 0;
}

void* AllocateRegion(size_t bytes) {
    // The mapping is one huge page longer than the region, so that an aligned region fits in it.
    const size_t span = Span(bytes);
    if (span == 0 || span + kHugePage < span) return nullptr;
    void* mapped =
        ::mmap(nullptr, span + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return nullptr;
    // Aligned to a huge page; the unaligned ends go back at once.
    const auto base = reinterpret_cast<uintptr_t>(mapped);
    const uintptr_t aligned = (base + kHugePage - 1) / kHugePage * kHugePage;
    if (aligned > base) ::munmap(mapped, aligned - base);
    if (base + kHugePage > aligned)
        ::munmap(reinterpret_cast<void*>(aligned + span), base + kHugePage - aligned);
    void* region = reinterpret_cast<void*>(aligned);
    // Advice only: where huge pages are off, the region is ordinary pages.
    ::madvise(region, span, MADV_HUGEPAGE);
    return region;
}

void FreeRegion(void* region, size_t bytes) {
    if (region) ::munmap(region, Span(bytes));
}

}  // namespace platform

#pragma once
// Memory from the system: how much the machine has, for refusing a run whose bookkeeping would not fit, and
// large regions for buffers and logs.
#include <cstddef>
#include <cstdint>

namespace platform {

// Physical memory in bytes; 0 when the system does not say.
int64_t PhysicalMemoryBytes();

// A zeroed region of at least `bytes`, committed page by page as it is first touched, in huge pages where the
// system gives them (Linux: 2 MiB aligned, MADV_HUGEPAGE): a region written through once, like the operation
// log, then costs one page fault per 2 MiB instead of one per 4 KiB (each several microseconds in a virtual
// machine). nullptr when the system refuses. Released with FreeRegion and the same `bytes`.
void* AllocateRegion(size_t bytes);
void FreeRegion(void* region, size_t bytes);

}  // namespace platform

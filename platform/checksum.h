#pragma once
// CRC32C (Castagnoli, as iSCSI and ext4 use it), hardware-accelerated where the processor has it.
#include <cstddef>
#include <cstdint>

namespace platform {

// The standard CRC32C of size bytes: "123456789" gives 0xE3069283.
uint32_t Crc32c(const void* data, size_t size);
// The CRC32C of a concatenation, from the CRC32C of its first part (0 for none) and the next part.
uint32_t Crc32cExtend(uint32_t crc, const void* data, size_t size);

}  // namespace platform

#include <array>

#include "platform/checksum.h"

namespace platform {

namespace {

// CRC32C, reflected polynomial 0x82F63B78, a byte at a time: where no accelerated library is at hand.
const std::array<uint32_t, 256> kTable = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ ((c & 1) ? 0x82F63B78u : 0);
        t[i] = c;
    }
    return t;
}();

}  // namespace

uint32_t Crc32c(const void* data, size_t size) {
    return Crc32cExtend(0, data, size);
}

uint32_t Crc32cExtend(uint32_t previous, const void* data, size_t size) {
    uint32_t crc = ~previous;
    const auto* p = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < size; ++i) crc = kTable[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

}  // namespace platform

#include <isa-l/crc.h>

#include "platform/checksum.h"

namespace platform {

uint32_t Crc32c(const void* data, size_t size) {
    return Crc32cExtend(0, data, size);
}

uint32_t Crc32cExtend(uint32_t previous, const void* data, size_t size) {
    // ISA-L picks the fastest implementation for the processor at run time; it takes an int length, so
    // larger buffers go in pieces, each continuing the last one's value.
    unsigned int crc = ~previous;
    auto* p = static_cast<unsigned char*>(const_cast<void*>(data));
    while (size > 0) {
        const int piece = size > (1u << 30) ? (1 << 30) : static_cast<int>(size);
        crc = crc32_iscsi(p, piece, crc);
        p += piece;
        size -= static_cast<size_t>(piece);
    }
    return ~crc;
}

}  // namespace platform

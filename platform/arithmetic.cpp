#include "platform/arithmetic.h"

namespace platform {

int64_t MulDiv(int64_t a, int64_t b, int64_t c) {
#if defined(__SIZEOF_INT128__)
    return static_cast<int64_t>(static_cast<__int128>(a) * b / c);
#else
    // Without a 128-bit type: whole quotient and remainder of a / c first, so no step overflows while the
    // result fits.
    const int64_t q = a / c, r = a % c;
    return q * b + r * b / c;
#endif
}

}  // namespace platform

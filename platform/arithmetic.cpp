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

bool MulDivFits(int64_t a, int64_t b, int64_t c, int64_t& result) {
#if defined(__SIZEOF_INT128__)
    const __int128 r = static_cast<__int128>(a) * b / c;
    if (r > INT64_MAX || r < INT64_MIN) return false;
    result = static_cast<int64_t>(r);
    return true;
#else
    const int64_t q = a / c, rem = a % c;
    int64_t hi = 0, lo = 0;
    if (__builtin_mul_overflow(q, b, &hi) || __builtin_mul_overflow(rem, b, &lo)) return false;
    return !__builtin_add_overflow(hi, lo / c, &result);
#endif
}

}  // namespace platform

#pragma once
// Integer arithmetic that needs more than 64 bits in between.
#include <cstdint>

namespace platform {

// (a * b) / c, truncating toward zero, without overflow in the product; c > 0.
int64_t MulDiv(int64_t a, int64_t b, int64_t c);
// The same, false when the result does not fit in 64 bits (figures read from elsewhere).
bool MulDivFits(int64_t a, int64_t b, int64_t c, int64_t& result);

}  // namespace platform

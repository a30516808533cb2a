#pragma once
// Integer arithmetic that needs more than 64 bits in between.
#include <cstdint>

namespace platform {

// (a * b) / c, truncating toward zero, without overflow in the product; c > 0.
int64_t MulDiv(int64_t a, int64_t b, int64_t c);

}  // namespace platform

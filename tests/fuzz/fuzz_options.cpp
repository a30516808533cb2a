// A whole command line (arguments separated by NUL bytes), as scripts give it: parsed, validated and every
// refusal worded, without a crash or a sanitizer report.
#include "tests/fuzz/bodies.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzz::FuzzOptions(data, size);
}

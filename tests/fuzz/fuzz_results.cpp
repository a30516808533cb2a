// Results files from other machines, as merge reads them: any bytes are refused by name or read, and what is
// read merges (with itself, doubling every sum) without a crash, a sanitizer report or a wrapped figure.
#include "tests/fuzz/bodies.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzz::FuzzResults(data, size);
}

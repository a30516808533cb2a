// The small parsers of the command line: sizes, integers and UTC times. A time that is read writes back as
// one that reads again to the same instant; a size or integer that is read is within range.
#include "tests/fuzz/bodies.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzz::FuzzParsers(data, size);
}

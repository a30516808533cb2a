// Operation logs from other machines, as analyze and log2csv read them: any bytes are refused naming the
// entry, or analysed without a crash or a sanitizer report.
#include "tests/fuzz/bodies.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzz::FuzzLog(data, size);
}

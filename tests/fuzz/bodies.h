#pragma once
// What each fuzz target does with one input, apart from libFuzzer: the fuzz build calls them with generated
// inputs, the command line's tests with every kept seed and regression (tests/fuzz/corpus, regressions).
// A fault traps; otherwise they return 0.
#include <cstddef>
#include <cstdint>

namespace fuzz {

int FuzzResults(const uint8_t* data, size_t size);
int FuzzLog(const uint8_t* data, size_t size);
int FuzzOptions(const uint8_t* data, size_t size);
int FuzzParsers(const uint8_t* data, size_t size);

}  // namespace fuzz

// Every input the fuzzers keep, run again through the same code in every build: the seed corpora from the
// program's own outputs, and each input that once found a fault (tests/fuzz/regressions/TARGET/).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

#include "tests/fuzz/bodies.h"

namespace fs = std::filesystem;

TEST(FuzzInputs, EveryKeptInputRunsClean) {
    const std::map<std::string, int (*)(const uint8_t*, size_t)> targets = {
        {"fuzz_results", fuzz::FuzzResults},
        {"fuzz_log", fuzz::FuzzLog},
        {"fuzz_options", fuzz::FuzzOptions},
        {"fuzz_parsers", fuzz::FuzzParsers}};
    int inputs = 0;
    for (const char* kind : {"corpus", "regressions"})
        for (const auto& [target, run] : targets) {
            const fs::path dir = fs::path(VOLSTRESS_FUZZ_INPUTS) / kind / target;
            if (!fs::is_directory(dir)) continue;
            for (const auto& file : fs::directory_iterator(dir)) {
                std::ifstream in(file.path(), std::ios::binary);
                const std::string data{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
                EXPECT_EQ(run(reinterpret_cast<const uint8_t*>(data.data()), data.size()), 0) << file.path();
                ++inputs;
            }
        }
    EXPECT_GE(inputs, 10);
}

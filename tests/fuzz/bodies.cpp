#include "tests/fuzz/bodies.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "cli/analyze.h"
#include "cli/merge.h"
#include "cli/options.h"
#include "cli/report_output.h"
#include "cli/results_reader.h"
#include "engine/settings.h"
#include "stats/log_reader.h"

namespace fuzz {

// Results files from other machines, as merge reads them: any bytes are refused by name or read, and what is
// read merges (with itself, doubling every sum) without a crash, a sanitizer report or a wrapped figure.
int FuzzResults(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    cli::Results results;
    std::string error;
    if (!cli::ReadResults(text, "fuzz.json", results, error)) {
        if (error.rfind("fuzz.json: ", 0) != 0) __builtin_trap();  // every refusal names the file
        return 0;
    }
    std::ostringstream report;
    std::string json;
    cli::MergeOutcome outcome;
    cli::MergeRead({results, results}, {"a.json", "b.json"}, report, json, outcome, error);
    return 0;
}

// Operation logs from other machines, as analyze and log2csv read them: any bytes are refused naming the
// entry, or analysed without a crash or a sanitizer report.
int FuzzLog(const uint8_t* data, size_t size) {
    stats::LogReader reader;
    std::string error;
    auto in = std::make_unique<std::istringstream>(std::string(reinterpret_cast<const char*>(data), size));
    if (!reader.Open(std::move(in), size, "fuzz.dat", error)) return 0;
    cli::LogAnalysis analysis;
    if (!cli::AnalyzeLog(reader, analysis, error)) {
        if (error.find("fuzz.dat") == std::string::npos) __builtin_trap();
        return 0;
    }
    std::ostringstream text, json;
    cli::WriteAnalysisText(text, analysis);
    cli::WriteAnalysisJson(json, analysis);
    return 0;
}

// A whole command line (arguments separated by NUL bytes), as scripts give it: parsed, validated and every
// refusal worded, without a crash or a sanitizer report.
int FuzzOptions(const uint8_t* data, size_t size) {
    std::vector<std::string> args{"volstress-cli"};
    std::string arg;
    for (size_t k = 0; k < size; ++k) {
        if (data[k] == 0) {
            args.push_back(arg);
            arg.clear();
        } else {
            arg.push_back(static_cast<char>(data[k]));
        }
    }
    args.push_back(arg);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    cli::Options options;
    std::string error;
    if (!cli::ParseOptions(static_cast<int>(args.size()), argv.data(), options, error)) {
        if (error.empty()) __builtin_trap();  // a refusal always says why
        return 0;
    }
    if (const engine::Refusal refusal = engine::Validate(options.settings))
        if (cli::RefusalText(refusal, options).empty()) __builtin_trap();
    cli::CommandLineRefusal(options);
    return 0;
}

// The small parsers of the command line: sizes, integers and UTC times. A time that is read writes back as
// one that reads again to the same instant; a size or integer that is read is within range.
int FuzzParsers(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (cli::ParseSize(text) < 0) __builtin_trap();
    int32_t value = 0;
    engine::ParseInt32(text, value);
    int64_t ms = 0;
    if (cli::ParseIsoUtc(text, ms)) {
        int64_t again = 0;
        if (!cli::ParseIsoUtc(cli::IsoUtc(ms), again) || again != ms) __builtin_trap();
    }
    return 0;
}

}  // namespace fuzz

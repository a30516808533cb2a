#pragma once
// volstress-cli's command line: one table of commands and options, read by CLI11 straight into the engine's
// typed settings. The same table gives --help and is what the man page and the bash completion are checked
// against.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "engine/settings.h"
#include "stats/load_models.h"

namespace cli {

struct VolumeArg {
    int index = -1;    // 0 = A:
    std::string path;  // empty: the system's device for that letter
};

struct Options {
    enum class Mode { Run, List, Log2Csv, Analyze, Merge, Help, Version } mode = Mode::Run;
    engine::RunSettings settings;
    // The text given for each setting, for messages that quote the operator's own words.
    std::map<engine::SettingField, std::string> given;
    std::string timeOption = "--minutes";  // the option the test time came from
    std::vector<VolumeArg> volumes;
    std::vector<std::string> mergePaths;  // merge: the results files
    bool destroyData = false;
    bool direct = false;  // --direct: a volume whose transfers would go through the cache is refused
    bool verifyAfter = false;
    bool startAtGiven = false;  // --start-at: the run begins at startAtMs (wall clock, ms since 1970, UTC)
    int64_t startAtMs = 0;
    int64_t createSize = 0;                      // bytes; 0: do not create
    std::string logPath, jsonPath, log2csvPath;  // log2csvPath: the log that log2csv or analyze reads
    std::string livePath;                        // --live: one line per interval while the run goes
    std::string metricsListen;                   // --metrics-listen ADDR:PORT
    int metricsLinger = 0;                       // seconds /metrics is served after the run
    bool metricsLingerGiven = false;
    // The load models: steady state in rounds (--steady-state, --round), and the cliffs a run with writes is
    // watched for (--cliff-*).
    bool steadyGiven = false;
    stats::SteadyFigure steadyFigure = stats::SteadyFigure::Iops;
    int roundSeconds = 60;
    bool roundGiven = false;
    stats::CliffRule cliffRule;
    int preconditionPasses = 0;
    // --latency-target: the highest queue depth whose percentile stays within the bound.
    bool latencyTargetGiven = false;
    stats::LatencyTarget latencyTarget;
    int targetStepSeconds = 10;
    bool targetStepGiven = false;
    bool arrivalGiven = false;  // --arrival, which needs --rate  // --precondition: every volume written this
                                // many times over before the run
    std::vector<std::string> cliffOptions;  // those given, for the refusal of a run without writes
    // The run writes its volumes: with --writes, or to precondition them.
    bool Writes() const { return settings.writesPerPortion > 0 || preconditionPasses > 0; }
    // The run's outputs by option, as given ("--json", path), for the checks every output passes.
    std::vector<std::pair<const char*, std::string>> Outputs() const {
        return {{"--json", jsonPath}, {"--log", logPath}, {"--live", livePath}};
    }
};

// The commands: the run itself (no name), and the tools that read what runs wrote.
struct CommandDef {
    Options::Mode mode;
    const char* name;       // "" for the run
    const char* arguments;  // what follows the options, for --help: "VOLUME...", "SrcStats.dat"
    int least, most;        // how many such arguments (-1: no limit)
    const char* help;
};
const std::vector<CommandDef>& Commands();

// One option, declared once.
struct OptionDef {
    const char* name;   // "--block-size"
    const char* value;  // what it takes, for --help ("N", "FILE|-"); nullptr for a flag, which takes none
    const char* help;
    std::vector<Options::Mode> commands;  // where it may be given
    const char* words;                    // the values it may take, for completion ("fixed random"); or ""
    // Reads the value (nullptr for a flag) into the options; false with the refusal in error.
    bool (*apply)(Options& options, const char* value, std::string& error);
};
const std::vector<OptionDef>& OptionTable();

// Parses argv. A mistake comes back as a message that names the option (and, for a setting, in refusal).
bool ParseOptions(int argc, char** argv, Options& options, std::string& error);
// "64M", "4096", "2G": binary multiples; 0 when the text is not a size.
int64_t ParseSize(const std::string& text);
// A refusal of the settings, in the command line's words: the option, the value given, and why.
std::string RefusalText(const engine::Refusal& refusal, const Options& options,
                        const std::string& volumeName = std::string());
// What the command line refuses beyond the engine's own rules, since a script would read such a run as a
// result: no operation per portion, --verify without writes, and writes to a volume named by a bare letter
// (letters shift whenever a device is attached). Empty when the options are fine.
std::string CommandLineRefusal(const Options& options);

// --help, from the tables.
std::string HelpText();

}  // namespace cli

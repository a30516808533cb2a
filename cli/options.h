#pragma once
// volstress-cli's command line.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/settings.h"

namespace cli {

struct VolumeArg {
    int index = -1;    // 0 = A:
    std::string path;  // empty: the system's device for that letter
};

struct Options {
    enum class Mode { Run, List, Log2Csv, Help, Version } mode = Mode::Run;
    engine::RunSettingsText settings;
    std::vector<VolumeArg> volumes;
    bool destroyData = false;
    int64_t createSize = 0;  // bytes; 0: do not create
    std::string logPath, jsonPath, log2csvPath;
    bool minutesGiven = false;
};

// Parses argv; on a mistake returns false with a message that names the option.
bool ParseOptions(int argc, char** argv, Options& options, std::string& error);
// "64M", "4096", "2G": binary multiples; 0 when the text is not a size.
int64_t ParseSize(const std::string& text);
// The option a settings field comes from, for messages.
const char* OptionFor(engine::SettingField field);
// What the command line refuses beyond the window's own rules, since a script would read such a run as a
// result: fewer than 1 worker, no operation per portion, a negative test time, and writes to a volume named
// by a bare letter (letters shift whenever a device is attached). Empty when the options are fine.
std::string CommandLineRefusal(const Options& options, const engine::RunSettings& settings);

extern const char* const kHelp;

}  // namespace cli

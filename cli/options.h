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
};

// Parses argv; on a mistake returns false with a message that names the option.
bool ParseOptions(int argc, char** argv, Options& options, std::string& error);
// "64M", "4096", "2G": binary multiples; 0 when the text is not a size.
int64_t ParseSize(const std::string& text);
// The option a settings field comes from, for messages.
const char* OptionFor(engine::SettingField field);

extern const char* const kHelp;

}  // namespace cli

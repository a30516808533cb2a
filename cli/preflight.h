#pragma once
// Everything the command line can refuse before anything is created, opened or written: the settings, the
// letters and paths of the volumes, writes without --destroy-data, the output paths, queued operations
// where io_uring cannot be had, and a start time already past.
#include <cstdint>
#include <string>
#include <vector>

#include "cli/options.h"
#include "platform/volume_map.h"

namespace cli {

struct Preflight {
    int status = 0;           // 0: the run may go on; else the exit status
    std::string message;      // why not, in the operator's words
    platform::VolumeMap map;  // the devices behind the letters the run uses (every letter for --list)
};

// system: the letters the system gives; nowUtcMs: the wall clock, for --start-at.
Preflight CheckBeforeRun(const Options& options, const platform::VolumeMap& system, int64_t nowUtcMs);

// Why a run's paths cannot be used as given: two volumes that are one device (or overlap), an output (the
// log, the JSON, a file behind standard output or error) that is a volume of the run, or two outputs that
// are one file. Empty when none is.
std::string PathClash(const Options& options, const platform::VolumeMap& map);
// The same for a tool that reads files: an input given twice, or the JSON output naming an input.
std::string InputClash(const std::vector<std::string>& inputs, const std::string& jsonPath);

// Why a path cannot be a volume ("is a FIFO, not a block device or image file"); empty when it can be one,
// or does not exist yet.
std::string NotAVolume(const std::string& path);

}  // namespace cli

#include "cli/options.h"

#include <cctype>
#include <map>

#include "cli/names.h"
#include "cli/report_output.h"

namespace cli {

const char* const kHelp =
    "Usage: volstress-cli [options] VOLUME...\n"
    "       volstress-cli --list\n"
    "       volstress-cli log2csv SrcStats.dat > ops.csv\n"
    "       volstress-cli analyze SrcStats.dat [--json FILE|-]\n"
    "       volstress-cli merge A.json B.json ... [--json FILE|-]\n"
    "\n"
    "Loads volumes with timed reads (and, with --writes, destructive writes) and reports totals, rates\n"
    "and latency percentiles. VOLUME is a letter from --list (C or C:) or LETTER=PATH for a block device\n"
    "or an image file, e.g. D=/dev/sdb1 or T=/tmp/test.img.\n"
    "\n"
    "  --block-size N      bytes per operation (4096);  --direct: uncached (O_DIRECT) volumes only\n"
    "  --method M          random, butterfly, forward or backward (random)\n"
    "  --threads N         workers per volume (2)\n"
    "  --minutes N | --seconds N   test time (30 minutes)\n"
    "  --reads N --writes N        operations per portion (1 read, 0 writes)\n"
    "  --pause MS --pause-type fixed|random   pause after each portion (0; random)\n"
    "  --period S          statistics interval in seconds (follows the test time)\n"
    "  --queue-depth Q [--submit-batch B] [--register-files] [--register-buffers]   io_uring streams\n"
    "                      per worker (1: synchronous), B per call (Q), file and buffers registered\n"
    "  --verify [--verify-after]   check written blocks on every read (and read them back after the run)\n"
    "  --start-at TIME     wait until TIME (UTC, e.g. 2026-12-09T03:00:00Z) before the first operation\n"
    "  --destroy-data      allow writes to LETTER=PATH volumes: THEY DESTROY THE DATA ON THEM\n"
    "  --create SIZE       create missing LETTER=PATH image files of SIZE (e.g. 256M), random data\n"
    "  --log FILE          write the operation log (SrcStats.dat format)\n"
    "  --json FILE|-       write the results as JSON (schema_version 2); with -, the report goes to stderr\n"
    "  --list [--json FILE|-]   show the volume letters and exit;  --help, --version\n"
    "Ctrl-C ends the run and still reports; a second Ctrl-C aborts.\n"
    "Exit status: 0 all operations succeeded, 1 some failed, 2 bad usage, 3 a volume cannot be opened,\n"
    "4 results could not be written, 5 an operation never completed (4 before 3 before 5 before 1).\n";

int64_t ParseSize(const std::string& text) {
    size_t i = 0;
    int64_t value = 0;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
        if (value > (INT64_MAX - 9) / 10) return 0;
        value = value * 10 + (text[i++] - '0');
    }
    if (i == 0) return 0;
    int shift = 0;
    if (i < text.size()) {
        switch (std::toupper(static_cast<unsigned char>(text[i++]))) {
            case 'K':
                shift = 10;
                break;
            case 'M':
                shift = 20;
                break;
            case 'G':
                shift = 30;
                break;
            case 'T':
                shift = 40;
                break;
            default:
                return 0;
        }
        if (i != text.size()) return 0;
    }
    if (value > (INT64_MAX >> shift)) return 0;
    return value << shift;
}

namespace {

const char* OptionFor(engine::SettingField field, const Options& o) {
    using engine::SettingField;
    switch (field) {
        case SettingField::BlockSize:
            return "--block-size";
        case SettingField::Method:
            return "--method";
        case SettingField::TestTime:
            return o.timeOption.c_str();
        case SettingField::ThreadCount:
            return "--threads";
        case SettingField::Period:
            return "--period";
        case SettingField::PauseMs:
            return "--pause";
        case SettingField::PauseType:
            return "--pause-type";
        case SettingField::ReadsPerPortion:
            return "--reads";
        case SettingField::WritesPerPortion:
            return "--writes";
        case SettingField::QueueDepth:
            return "--queue-depth";
        case SettingField::SubmitBatch:
            return "--submit-batch";
        case SettingField::RegisterFile:
            return "--register-files";
        case SettingField::RegisterBuffers:
            return "--register-buffers";
        default:
            return "";
    }
}

const char* WhatFor(engine::SettingField field, const Options& o) {
    using engine::SettingField;
    switch (field) {
        case SettingField::BlockSize:
            return "the block size";
        case SettingField::TestTime:
            return o.timeOption == "--seconds" ? "the test time in seconds" : "the test time";
        case SettingField::ThreadCount:
            return "the thread count";
        case SettingField::Period:
            return "the statistics interval";
        case SettingField::PauseMs:
            return "the pause between portions";
        case SettingField::ReadsPerPortion:
            return "the reads per portion";
        case SettingField::WritesPerPortion:
            return "the writes per portion";
        case SettingField::QueueDepth:
            return "the queue depth";
        case SettingField::SubmitBatch:
            return "the operations per submission";
        default:
            return "the setting";
    }
}

}  // namespace

std::string RefusalText(const engine::Refusal& r, const Options& o, const std::string& volumeName) {
    using Why = engine::Refusal::Why;
    const auto given = o.given.find(r.field);
    const std::string value = given != o.given.end() ? given->second : r.value;
    const std::string head = std::string(OptionFor(r.field, o)) + ": '" + value + "' ";
    const std::string what = WhatFor(r.field, o);
    switch (r.why) {
        case Why::NotAnInteger:
            return head + "is not a valid integer value for " + what;
        case Why::Unknown:
            return head + "is not one of the choices (see --help)";
        case Why::BelowMinimum:
            if (r.field == engine::SettingField::BlockSize)
                return head + "is not allowed for " + what + ": it must be at least 1 byte";
            return head + "is not allowed for " + what + ": it must be " +
                   (r.limit == 0 ? std::string("0 or more") : "at least " + std::to_string(r.limit));
        case Why::OutOfRange:
            if (r.field != engine::SettingField::TestTime)
                return head + "is not allowed for " + what + ": it must be at most " +
                       std::to_string(r.limit);
            return head + "is not allowed for " + what + ": it must be within " +
                   (o.timeOption == "--seconds" ? std::to_string(r.limit / 1000) + " seconds"
                                                : std::to_string(r.limit / 60'000) + " minutes");
        case Why::TooManyIntervals:
            return head + "is not allowed for " + what + ": a " + std::to_string(o.settings.testMs / 1000) +
                   "-second test would need more than the 1000 intervals a run keeps (" +
                   std::to_string(r.limit) + " s or more)";
        case Why::NotMultiple:
            return head + "is not allowed for " + what + ": it must be a multiple of " +
                   std::to_string(r.limit) + " bytes, the transfer unit of " + volumeName;
        case Why::LargerThanVolume:
            return head + "is not allowed for " + what + ": it is larger than " + volumeName +
                   ", which holds " + std::to_string(r.limit) + " bytes";
        case Why::TooManyInFlight:
            return head + "asks for " + std::to_string(r.requested) +
                   " operations in flight in all (workers x queue "
                   "depth); the limit is " +
                   std::to_string(r.limit);
        case Why::BlockTooSmallToVerify:
            return head + "is too small for --verify: each written block carries a " +
                   std::to_string(r.limit) + "-byte header";
        case Why::VerifyMemory:
            return "--verify: remembering the written blocks of these volumes needs " +
                   std::to_string(r.requested) + " bytes (16 per block), more than the " +
                   std::to_string(r.limit) +
                   " bytes (half the memory) it may use; use a larger --block-size or fewer volumes";
        case Why::TooManyWorkers:
            return head + "asks for " + std::to_string(r.requested) + " workers in all; the limit is " +
                   std::to_string(r.limit);
        case Why::NeedsQueue:
            return std::string(OptionFor(r.field, o)) +
                   " applies to queued operations (io_uring): give --queue-depth 2 or more";
        case Why::None:
            break;
    }
    return {};
}

std::string CommandLineRefusal(const Options& o) {
    const engine::RunSettings& s = o.settings;
    if (s.threadsPerVolume < 1)
        return "--threads: '" + std::to_string(s.threadsPerVolume) +
               "' is not allowed: at least 1 worker per volume is needed";
    if (s.readsPerPortion == 0 && s.writesPerPortion == 0)
        return "--reads 0 --writes 0: a portion must hold at least one read or write";
    if (s.testMs < 0)
        return o.timeOption + ": '" + o.given.at(engine::SettingField::TestTime) +
               "' is not allowed: the test time must be 0 or more";
    if (s.verify && s.writesPerPortion <= 0)
        return "--verify checks what the run writes: give --writes N (and --destroy-data)";
    if (s.writesPerPortion > 0)
        for (const auto& v : o.volumes)
            if (v.path.empty())
                return "refusing to write to " + VolumeLetter(v.index) +
                       ": by its letter alone, which moves whenever a device is attached. Name the device: " +
                       VolumeLetter(v.index) + "=/dev/...";
    return {};
}

namespace {

bool ParseVolume(const std::string& arg, VolumeArg& v, std::string& error) {
    const size_t eq = arg.find('=');
    std::string letter = eq == std::string::npos ? arg : arg.substr(0, eq);
    if (letter.size() == 2 && letter[1] == ':') letter.pop_back();
    if (letter.size() != 1 || !std::isalpha(static_cast<unsigned char>(letter[0]))) {
        error = "'" + arg + "' is not a volume: give a letter (C or C:) or LETTER=PATH";
        return false;
    }
    v.index = std::toupper(static_cast<unsigned char>(letter[0])) - 'A';
    if (eq != std::string::npos) {
        v.path = arg.substr(eq + 1);
        if (v.path.empty()) {
            error = "'" + arg + "' names no path after '='";
            return false;
        }
    }
    return true;
}

}  // namespace

bool ParseOptions(int argc, char** argv, Options& o, std::string& error) {
    using engine::SettingField;
    engine::RunSettings& rs = o.settings;
    int32_t minutes = 0, seconds = 0;
    // Integer options: the setting each fills, and its field for messages.
    const std::map<std::string, std::pair<SettingField, int32_t*>> integers = {
        {"--block-size", {SettingField::BlockSize, &rs.blockSize}},
        {"--threads", {SettingField::ThreadCount, &rs.threadsPerVolume}},
        {"--minutes", {SettingField::TestTime, &minutes}},
        {"--seconds", {SettingField::TestTime, &seconds}},
        {"--reads", {SettingField::ReadsPerPortion, &rs.readsPerPortion}},
        {"--writes", {SettingField::WritesPerPortion, &rs.writesPerPortion}},
        {"--pause", {SettingField::PauseMs, &rs.pauseMs}},
        {"--period", {SettingField::Period, &rs.periodSeconds}},
        {"--queue-depth", {SettingField::QueueDepth, &rs.queueDepth}},
        {"--submit-batch", {SettingField::SubmitBatch, &rs.submitBatch}}};
    const std::map<std::string, std::string*> texts = {{"--log", &o.logPath}, {"--json", &o.jsonPath}};
    std::string method, pauseType, create;
    bool minutesGiven = false, secondsGiven = false;
    if (argc > 1 && std::string(argv[1]) == "merge") {
        o.mode = Options::Mode::Merge;
        for (int i = 2; i < argc; ++i) {
            const std::string arg = argv[i];
            if (arg == "--json" && i + 1 < argc)
                o.jsonPath = argv[++i];
            else if (arg.rfind("--json=", 0) == 0)
                o.jsonPath = arg.substr(7);
            else if (arg.rfind("-", 0) != 0)
                o.mergePaths.push_back(arg);
            else {
                error =
                    "merge takes results files and an optional --json FILE|-: volstress-cli merge A.json "
                    "B.json";
                return false;
            }
        }
        if (o.mergePaths.empty()) {
            error = "merge needs the results files: volstress-cli merge A.json B.json ...";
            return false;
        }
        return true;
    }
    if (argc > 1 && std::string(argv[1]) == "analyze") {
        o.mode = Options::Mode::Analyze;
        for (int i = 2; i < argc; ++i) {
            const std::string arg = argv[i];
            if (arg == "--json" && i + 1 < argc) {
                o.jsonPath = argv[++i];
            } else if (arg.rfind("--json=", 0) == 0) {
                o.jsonPath = arg.substr(7);
            } else if (o.log2csvPath.empty() && arg.rfind("-", 0) != 0) {
                o.log2csvPath = arg;
            } else {
                error =
                    "analyze takes one log and an optional --json FILE|-: volstress-cli analyze SrcStats.dat";
                return false;
            }
        }
        if (o.log2csvPath.empty()) {
            error = "analyze needs the log to read: volstress-cli analyze SrcStats.dat";
            return false;
        }
        return true;
    }
    if (argc > 1 && std::string(argv[1]) == "log2csv") {
        if (argc != 3) {
            error = "log2csv takes one file: volstress-cli log2csv SrcStats.dat";
            return false;
        }
        o.mode = Options::Mode::Log2Csv;
        o.log2csvPath = argv[2];
        return true;
    }
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool hasValue = false;
        if (arg.rfind("--", 0) == 0) {
            if (const size_t eq = arg.find('='); eq != std::string::npos) {
                value = arg.substr(eq + 1);
                arg.resize(eq);
                hasValue = true;
            }
        }
        auto takeValue = [&](std::string& into) {
            if (!hasValue) {
                if (i + 1 >= argc) {
                    error = arg + " needs a value";
                    return false;
                }
                value = argv[++i];
            }
            into = value;
            return true;
        };
        if (arg == "--help" || arg == "-h") {
            o.mode = Options::Mode::Help;
            return true;
        }
        if (arg == "--version") {
            o.mode = Options::Mode::Version;
            return true;
        }
        if (arg == "--list") {
            o.mode = Options::Mode::List;
        } else if (arg == "--destroy-data") {
            o.destroyData = true;
        } else if (arg == "--direct") {
            o.direct = true;
        } else if (arg == "--verify") {
            rs.verify = true;
        } else if (arg == "--register-files") {
            rs.registerFile = true;
        } else if (arg == "--register-buffers") {
            rs.registerBuffers = true;
        } else if (arg == "--verify-after") {
            rs.verify = o.verifyAfter = true;
        } else if (arg == "--method") {
            if (!takeValue(method)) return false;
        } else if (arg == "--pause-type") {
            if (!takeValue(pauseType)) return false;
        } else if (arg == "--create") {
            if (!takeValue(create)) return false;
        } else if (arg == "--start-at") {
            std::string when;
            if (!takeValue(when)) return false;
            if (!ParseIsoUtc(when, o.startAtMs)) {
                error =
                    "--start-at: '" + when + "' is not a UTC time that exists, such as 2026-12-09T03:00:00Z";
                return false;
            }
            // The program's clock starts in 1970; a time before it would be taken as "at once".
            if (o.startAtMs <= 0) {
                error = "--start-at: '" + when + "' is not after 1970-01-01T00:00:00Z";
                return false;
            }
            o.startAtGiven = true;
        } else if (auto t = texts.find(arg); t != texts.end()) {
            if (!takeValue(*t->second)) return false;
        } else if (auto it = integers.find(arg); it != integers.end()) {
            std::string text;
            if (!takeValue(text)) return false;
            const auto [field, into] = it->second;
            if (field == SettingField::TestTime) o.timeOption = arg;
            o.given[field] = text;
            if (!engine::ParseInt32(text, *into)) {
                engine::Refusal r;
                r.why = engine::Refusal::Why::NotAnInteger;
                r.field = field;
                error = RefusalText(r, o);
                return false;
            }
            minutesGiven |= arg == "--minutes";
            secondsGiven |= arg == "--seconds";
        } else if (arg.rfind("-", 0) == 0 && arg.size() > 1) {
            error = "unknown option " + arg + " (see --help)";
            return false;
        } else {
            VolumeArg v;
            if (!ParseVolume(arg, v, error)) return false;
            for (const auto& other : o.volumes)
                if (other.index == v.index) {
                    error = "volume " + VolumeLetter(v.index) + ": is given twice";
                    return false;
                }
            o.volumes.push_back(v);
        }
    }
    if (minutesGiven && secondsGiven) {
        error = "--minutes and --seconds cannot be given together";
        return false;
    }
    if (minutesGiven) rs.testMs = int64_t{minutes} * 60'000;
    if (secondsGiven) rs.testMs = int64_t{seconds} * 1000;
    // Unless asked otherwise, a pass's operations go to the system in one call: one wake-up of the device's
    // queue instead of one per operation (at depth 32 twice fio's IO/s on a loop device, beside other work
    // too). A depth that is not a count is refused later, by its own rule.
    if (!o.given.count(SettingField::SubmitBatch) && rs.queueDepth >= 1) rs.submitBatch = rs.queueDepth;
    if (!method.empty() && !MethodFromName(method, rs.method)) {
        error = "--method: '" + method + "' is not random, butterfly, forward or backward";
        return false;
    }
    if (!pauseType.empty()) {
        if (pauseType != "fixed" && pauseType != "random") {
            error = "--pause-type: '" + pauseType + "' is not fixed or random";
            return false;
        }
        rs.pauseType = pauseType == "fixed" ? engine::PauseType::Fixed : engine::PauseType::Random;
    }
    if (!create.empty()) {
        o.createSize = ParseSize(create);
        if (o.createSize <= 0) {
            error = "--create: '" + create + "' is not a size (for example 4096, 64M or 2G)";
            return false;
        }
        for (const auto& v : o.volumes)
            if (v.path.empty()) {
                error = "--create needs LETTER=PATH volumes; " + VolumeLetter(v.index) +
                        ": names a system volume";
                return false;
            }
    }
    if (o.mode == Options::Mode::Run && o.volumes.empty()) {
        error = "no volume given (see --help; --list shows the letters)";
        return false;
    }
    return true;
}

}  // namespace cli

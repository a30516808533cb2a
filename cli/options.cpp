#include "cli/options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <map>

#include "cli/names.h"
#include "cli/report_output.h"
#include "platform/io_queue.h"
#include "stats/log_stream.h"

namespace cli {

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
        case SettingField::LiveInterval:
            return "--live-interval";
        case SettingField::PollUs:
            return "--poll-us";
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
        case SettingField::LiveInterval:
            return "the interval of the live lines";
        case SettingField::PollUs:
            return "the time a worker polls its completions";
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
        case Why::RunMemory:
            return "the run needs " + std::to_string(r.requested) + " bytes of memory (" +
                   std::to_string(r.parts[0]) + " for the workers' buffers, " + std::to_string(r.parts[1]) +
                   " for the verify map, " + std::to_string(r.parts[2]) +
                   " for the operation log), more than the " + std::to_string(r.limit) +
                   " bytes (three quarters of this machine's memory) it may hold; use a smaller "
                   "--block-size, "
                   "fewer --threads or a lower --queue-depth";
        case Why::NeedsQueue:
            return std::string(OptionFor(r.field, o)) + " applies to queued operations (" +
                   platform::QueuedEngine().name + "): give --queue-depth 2 or more";
        case Why::None:
            break;
    }
    return {};
}

namespace {
std::string Figure(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}
}  // namespace

std::string CommandLineRefusal(const Options& o) {
    const engine::RunSettings& s = o.settings;
    if (s.readsPerPortion == 0 && s.writesPerPortion == 0)
        return "--reads 0 --writes 0: a portion must hold at least one read or write";
    if (s.verify && s.writesPerPortion <= 0)
        return "--verify checks what the run writes: give --writes N (and --destroy-data)";
    if (o.Writes())
        for (const auto& v : o.volumes)
            if (v.path.empty())
                return "refusing to write to " + VolumeLetter(v.index) +
                       ": by its letter alone, which moves whenever a device is attached. Name the device: " +
                       VolumeLetter(v.index) + "=/dev/...";
    if (o.given.count(engine::SettingField::LiveInterval) && o.livePath.empty() && o.metricsListen.empty() &&
        s.writesPerPortion <= 0 && !o.steadyGiven)
        return "--live-interval sets the interval of --live and the metrics: give --live or --metrics-listen";
    if (o.roundGiven && !o.steadyGiven)
        return "--round is the length of a --steady-state round: give --steady-state";
    if (o.steadyGiven) {
        const stats::SteadyRule rule;
        const std::string round = std::to_string(o.roundSeconds);
        if (o.given.count(engine::SettingField::LiveInterval) && s.liveSeconds != o.roundSeconds)
            return "--live-interval " + std::to_string(s.liveSeconds) +
                   " with --steady-state: the intervals are the "
                   "rounds (--round " +
                   round + "); leave --live-interval out";
        const int64_t rounds = s.testMs / (int64_t{o.roundSeconds} * 1000);
        if (rounds < rule.window || rounds > rule.maxRounds)
            return "--steady-state judges " + std::to_string(rule.window) + " to " +
                   std::to_string(rule.maxRounds) + " rounds of --round " + round + " s, and " +
                   o.timeOption + " " +
                   (o.given.count(engine::SettingField::TestTime) ? o.given.at(engine::SettingField::TestTime)
                                                                  : "") +
                   " holds " + std::to_string(rounds) + ": leave the time out (" +
                   std::to_string(rule.maxRounds) + " rounds) or give one that holds 5 to 25";
        const int32_t period = engine::StatisticPeriodOf(s);
        if (o.roundSeconds < 2 * period)
            return "--round " + round + ": a round must hold at least two statistics intervals (" +
                   std::to_string(period) + " s each); give a longer --round or a shorter --period";
    }
    if (o.arrivalGiven && s.rate <= 0) return "--arrival is the schedule of --rate: give --rate N";
    if (o.latencyTargetGiven && s.rate > 0) {
        // The rate given is the most the search tries; its steps are multiples of the lowest that fills one.
        const double lowest =
            stats::LowestStepRate(o.latencyTarget, o.targetStepSeconds, static_cast<int>(o.volumes.size()));
        if (s.rate < lowest)
            return "--rate " + Figure(s.rate) + " with --latency-target " + o.latencyTarget.name +
                   ": the rate is the highest the search tries, and a step of " +
                   std::to_string(o.targetStepSeconds) + " s holds the " +
                   std::to_string(stats::StepOperations(o.latencyTarget)) + " operations " +
                   o.latencyTarget.name + " needs only from " + Figure(lowest) +
                   " a second per volume: give at least that, or a longer --target-step";
    }
    if (o.targetStepGiven && !o.latencyTargetGiven)
        return "--target-step is the length of a --latency-target step: give --latency-target";
    if (o.latencyTargetGiven) {
        // Each step is a run of its own: what follows one run would hold the last step only.
        const std::pair<bool, const char*> alone[] = {
            {o.steadyGiven, "--steady-state"},
            {!o.logPath.empty(), "--log"},
            {!o.livePath.empty(), "--live"},
            {!o.metricsListen.empty(), "--metrics-listen"},
            {s.verify, "--verify"},
            {o.given.count(engine::SettingField::TestTime) > 0, o.timeOption.c_str()}};
        for (const auto& [given, name] : alone)
            if (given)
                return std::string(name) +
                       " with --latency-target: each step of the search is a run of its own (of "
                       "--target-step seconds), so it would hold the last step only; leave it out";
    }
    if (!o.cliffOptions.empty() && s.writesPerPortion <= 0)
        return o.cliffOptions.front() + ": only a run with writes is watched for cliffs: give --writes N";
    if (o.metricsLingerGiven && o.metricsListen.empty()) return "--metrics-linger needs --metrics-listen";
    if (stats::LogStreamer::WantsZstd(o.logPath) && !stats::LogStreamer::ZstdAvailable())
        return "--log " + o.logPath +
               ": this build writes plain logs only (it has no zstd); name it without .zst";
    if (o.logPath == "-") return "--log - : the log is binary records; name a file";
    if (o.livePath == "-" && o.jsonPath == "-")
        return "--live - and --json - would both write to standard output: send one of them to a file";
    return {};
}

namespace {

using Mode = Options::Mode;

bool Refused(std::string& error, std::string text) {
    error = std::move(text);
    return false;
}

// An integer setting, parsed once into its field with the range the command line allows; a refusal is
// worded as the engine's own for that field.
template <auto Member, engine::SettingField Field, int64_t Least, int64_t Most>
bool IntegerSetting(Options& o, const char* value, std::string& error) {
    o.given[Field] = value;
    int32_t v = 0;
    engine::Refusal r;
    r.field = Field;
    r.value = value;
    if (!engine::ParseInt32(value, v)) {
        r.why = engine::Refusal::Why::NotAnInteger;
    } else if (v < Least) {
        r.why = engine::Refusal::Why::BelowMinimum;
        r.limit = Least;
    } else if (v > Most) {
        r.why = engine::Refusal::Why::OutOfRange;
        r.limit = Most;
    } else {
        o.settings.*Member = v;
        return true;
    }
    return Refused(error, RefusalText(r, o));
}

// The test time in minutes or seconds, 0 up to what a signed 32-bit count of milliseconds holds.
template <int64_t MsPerUnit>
bool TestTime(Options& o, const char* value, std::string& error) {
    const std::string option = MsPerUnit == 60'000 ? "--minutes" : "--seconds";
    if (o.given.count(engine::SettingField::TestTime) && o.timeOption != option)
        return Refused(error, "--minutes and --seconds cannot be given together");
    o.timeOption = option;
    o.given[engine::SettingField::TestTime] = value;
    int32_t v = 0;
    engine::Refusal r;
    r.field = engine::SettingField::TestTime;
    r.value = value;
    if (!engine::ParseInt32(value, v)) {
        r.why = engine::Refusal::Why::NotAnInteger;
    } else if (v < 0) {
        r.why = engine::Refusal::Why::BelowMinimum;
    } else if (int64_t{v} * MsPerUnit > engine::kMaxTestMs) {
        r.why = engine::Refusal::Why::OutOfRange;
        r.limit = engine::kMaxTestMs;
    } else {
        o.settings.testMs = int64_t{v} * MsPerUnit;
        return true;
    }
    return Refused(error, RefusalText(r, o));
}

template <bool Options::*Member>
bool Flag(Options& o, const char*, std::string&) {
    o.*Member = true;
    return true;
}

template <bool engine::RunSettings::*Member>
bool SettingFlag(Options& o, const char*, std::string&) {
    o.settings.*Member = true;
    return true;
}

template <Mode M>
bool ModeFlag(Options& o, const char*, std::string&) {
    // --help and --version win over everything else on the line.
    if (o.mode != Mode::Help && o.mode != Mode::Version) o.mode = M;
    return true;
}

template <std::string Options::*Member>
bool Path(Options& o, const char* value, std::string&) {
    o.*Member = value;
    return true;
}

// A decimal number from least to most (both included); a refusal names the option and the range.
bool DecimalIn(const char* name, const char* value, double least, double most, double& out,
               std::string& error) {
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(value, &end);
    if (errno != 0 || end == value || *end != '\0' || !(v >= least && v <= most)) {
        char range[64];
        std::snprintf(range, sizeof range, "%g to %g", least, most);
        return Refused(error, std::string(name) + ": '" + value + "' is not a number from " + range);
    }
    out = v;
    return true;
}

// A whole number from least to most; a refusal names the option and what the number counts.
bool WholeIn(const char* name, const char* value, long least, long most, const char* what, int& out,
             std::string& error) {
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(value, &end, 10);
    if (errno != 0 || *end != '\0' || end == value || n < least || n > most)
        return Refused(error, std::string(name) + ": '" + value + "' is not a number of " + what + " from " +
                                  std::to_string(least) + " to " + std::to_string(most));
    out = static_cast<int>(n);
    return true;
}

// A threshold of the cliff rule (clang 14, which builds the fuzzers, takes no floating template arguments).
template <double stats::CliffRule::*Member>
bool CliffNumber(Options& o, const char* name, const char* value, double least, double most,
                 std::string& error) {
    o.cliffOptions.push_back(name);
    return DecimalIn(name, value, least, most, o.cliffRule.*Member, error);
}

constexpr int64_t kInt32Max = INT32_MAX;
using F = engine::SettingField;
using S = engine::RunSettings;
const std::vector<Mode> kRun = {Mode::Run};

}  // namespace

const std::vector<CommandDef>& Commands() {
    static const std::vector<CommandDef> commands = {
        {Mode::Run, "", "VOLUME...", 1, -1,
         "Loads volumes with timed reads (and, with --writes, destructive writes) and reports totals, rates\n"
         "and latency percentiles. VOLUME is a letter from --list (C or C:) or LETTER=PATH for a block "
         "device\n"
         "or an image file, e.g. D=/dev/sdb1 or T=/tmp/test.img."},
        {Mode::Log2Csv, "log2csv", "SrcStats.dat", 1, 1, "the operation log as CSV, one row per operation"},
        {Mode::Analyze, "analyze", "SrcStats.dat", 1, 1,
         "exact figures and percentiles from an operation log"},
        {Mode::Merge, "merge", "RESULTS.json...", 1, -1, "results of several runs or machines made one"},
    };
    return commands;
}

const std::vector<OptionDef>& OptionTable() {
    static const std::vector<OptionDef> table = {
        {"--block-size", "N", "bytes per operation (4096)", kRun,
         "512 1024 2048 4096 8192 16384 32768 65536 131072 262144",
         IntegerSetting<&S::blockSize, F::BlockSize, 1, kInt32Max>},
        {"--method", "M", "random, butterfly, forward or backward (random)", kRun,
         "random butterfly forward backward",
         [](Options& o, const char* v, std::string& error) {
             return MethodFromName(v, o.settings.method) ||
                    Refused(error, "--method: '" + std::string(v) +
                                       "' is not random, butterfly, forward or backward");
         }},
        {"--threads", "N", "workers per volume (2)", kRun, "",
         IntegerSetting<&S::threadsPerVolume, F::ThreadCount, 1, kInt32Max>},
        {"--minutes", "N", "test time in minutes (30)", kRun, "", TestTime<60'000>},
        {"--seconds", "N", "test time in seconds", kRun, "", TestTime<1000>},
        {"--reads", "N", "reads per portion (1)", kRun, "",
         IntegerSetting<&S::readsPerPortion, F::ReadsPerPortion, 0, kInt32Max>},
        {"--writes", "N", "writes per portion (0); they destroy the data, see --destroy-data", kRun, "",
         IntegerSetting<&S::writesPerPortion, F::WritesPerPortion, 0, kInt32Max>},
        {"--pause", "MS", "pause after each portion (0)", kRun, "",
         IntegerSetting<&S::pauseMs, F::PauseMs, 0, kInt32Max>},
        {"--pause-type", "T", "fixed: exactly MS; random: 0 to MS (random)", kRun, "fixed random",
         [](Options& o, const char* v, std::string& error) {
             const std::string t = v;
             if (t != "fixed" && t != "random")
                 return Refused(error, "--pause-type: '" + t + "' is not fixed or random");
             o.settings.pauseType = t == "fixed" ? engine::PauseType::Fixed : engine::PauseType::Random;
             return true;
         }},
        {"--period", "S", "statistics interval in seconds (0: follows the test time)", kRun, "",
         IntegerSetting<&S::periodSeconds, F::Period, 0, kInt32Max>},
        {"--queue-depth", "Q",
         "operation streams per worker through one queue (io_uring; Windows: overlapped I/O; 1: synchronous)",
         kRun, "", IntegerSetting<&S::queueDepth, F::QueueDepth, 1, engine::kMaxQueueDepth>},
        {"--submit-batch", "B|auto",
         "queued operations handed over per call, 1 to Q (auto: found as it runs)", kRun, "auto 1",
         [](Options& o, const char* v, std::string& error) {
             if (std::string(v) != "auto")
                 return IntegerSetting<&S::submitBatch, F::SubmitBatch, 1, engine::kMaxQueueDepth>(o, v,
                                                                                                   error);
             o.given[F::SubmitBatch] = v;
             o.settings.submitBatch = 0;
             return true;
         }},
        {"--poll-us", "N",
         "microseconds a queued worker reads its completions before sleeping on them (0, the default)", kRun,
         "0 50", IntegerSetting<&S::pollUs, F::PollUs, 0, engine::kMaxPollUs>},
        {"--register-files", nullptr, "register the volume's file with each worker's queue", kRun, "",
         SettingFlag<&S::registerFile>},
        {"--register-buffers", nullptr, "register the streams' buffers with each worker's queue", kRun, "",
         SettingFlag<&S::registerBuffers>},
        {"--verify", nullptr, "check written blocks on every read", kRun, "", SettingFlag<&S::verify>},
        {"--verify-after", nullptr, "--verify, and read every written block back after the run", kRun, "",
         [](Options& o, const char*, std::string&) { return o.settings.verify = o.verifyAfter = true; }},
        {"--direct", nullptr, "refuse a volume whose transfers would go through the page cache", kRun, "",
         Flag<&Options::direct>},
        {"--start-at", "TIME", "wait until TIME (UTC, e.g. 2026-12-09T03:00:00Z) before the first operation",
         kRun, "",
         [](Options& o, const char* v, std::string& error) {
             const std::string when = v;
             if (!ParseIsoUtc(when, o.startAtMs))
                 return Refused(error, "--start-at: '" + when +
                                           "' is not a UTC time that exists, such as 2026-12-09T03:00:00Z");
             // The program's clock starts in 1970; a time before it would be taken as "at once".
             if (o.startAtMs <= 0)
                 return Refused(error, "--start-at: '" + when + "' is not after 1970-01-01T00:00:00Z");
             return o.startAtGiven = true;
         }},
        {"--destroy-data", nullptr, "allow writes to LETTER=PATH volumes: THEY DESTROY THE DATA ON THEM",
         kRun, "", Flag<&Options::destroyData>},
        {"--create", "SIZE", "create missing LETTER=PATH image files of SIZE (e.g. 256M), random data", kRun,
         "64M 256M 1G 4G",
         [](Options& o, const char* v, std::string& error) {
             o.createSize = ParseSize(v);
             return o.createSize > 0 || Refused(error, "--create: '" + std::string(v) +
                                                           "' is not a size (for example 4096, 64M or 2G)");
         }},
        {"--log", "FILE", "stream the operation log (SrcStats.dat records; FILE.zst: zstd frames)", kRun,
         "FILE", Path<&Options::logPath>},
        {"--live", "FILE|-", "one JSON line per interval while the run goes, then the run's summary", kRun,
         "FILE -", Path<&Options::livePath>},
        {"--live-interval", "S", "seconds per --live line and metrics interval (the statistics interval)",
         kRun, "", IntegerSetting<&S::liveSeconds, F::LiveInterval, 1, kInt32Max>},
        {"--metrics-listen", "ADDR:PORT", "serve /metrics (OpenMetrics) there while the run goes", kRun, "",
         Path<&Options::metricsListen>},
        {"--metrics-linger", "S", "keep serving /metrics S seconds after the run (0)", kRun, "",
         [](Options& o, const char* v, std::string& error) {
             return WholeIn("--metrics-linger", v, 0, 86'400, "seconds", o.metricsLinger, error) &&
                    (o.metricsLingerGiven = true);
         }},
        {"--steady-state", "FIGURE",
         "run in rounds until FIGURE (iops, mbps or p99) is steady over five of them, at most 25", kRun,
         "iops mbps p99",
         [](Options& o, const char* v, std::string& error) {
             if (!stats::ParseSteadyFigure(v, o.steadyFigure))
                 return Refused(error, "--steady-state: '" + std::string(v) + "' is not iops, mbps or p99");
             return o.steadyGiven = true;
         }},
        {"--round", "S", "seconds per round of --steady-state (60)", kRun, "",
         [](Options& o, const char* v, std::string& error) {
             return WholeIn("--round", v, 1, 3600, "seconds", o.roundSeconds, error) && (o.roundGiven = true);
         }},
        {"--precondition", "N",
         "first write every block of each volume N times, in order, 128 KiB at a time (destroys the data)",
         kRun, "",
         [](Options& o, const char* v, std::string& error) {
             return WholeIn("--precondition", v, 1, 100, "passes", o.preconditionPasses, error);
         }},
        {"--rate", "N",
         "open loop: N operations a second per volume, started on a schedule, not on completion", kRun, "",
         [](Options& o, const char* v, std::string& error) {
             return DecimalIn("--rate", v, 0.001, 1e8, o.settings.rate, error);
         }},
        {"--arrival", "A", "fixed or poisson: the gaps between the scheduled starts of --rate (fixed)", kRun,
         "fixed poisson",
         [](Options& o, const char* v, std::string& error) {
             const std::string a = v;
             if (a != "fixed" && a != "poisson")
                 return Refused(error, "--arrival: '" + a + "' is not fixed or poisson");
             o.settings.poisson = a == "poisson";
             return o.arrivalGiven = true;
         }},
        {"--latency-target", "P=T",
         "the highest --queue-depth whose P (p50, p90, p99, p99.9) stays within T (e.g. p99=2ms), searched",
         kRun, "",
         [](Options& o, const char* v, std::string& error) {
             std::string why;
             if (!stats::ParseLatencyTarget(v, o.latencyTarget, why))
                 return Refused(error, "--latency-target: '" + std::string(v) + "' " + why);
             return o.latencyTargetGiven = true;
         }},
        {"--target-step", "S", "seconds per step of --latency-target (10; longer until it holds enough)",
         kRun, "",
         [](Options& o, const char* v, std::string& error) {
             return WholeIn("--target-step", v, 1, 3600, "seconds", o.targetStepSeconds, error) &&
                    (o.targetStepGiven = true);
         }},
        {"--cliff-fall", "F", "a write rate below F of the first minute's median is a cliff (0.5)", kRun, "",
         [](Options& o, const char* v, std::string& error) {
             return CliffNumber<&stats::CliffRule::fallShare>(o, "--cliff-fall", v, 0.01, 0.99, error);
         }},
        {"--cliff-rise", "F", "a p99 above F times the first minute's median is a cliff (3)", kRun, "",
         [](Options& o, const char* v, std::string& error) {
             return CliffNumber<&stats::CliffRule::riseFactor>(o, "--cliff-rise", v, 1.01, 1e6, error);
         }},
        {"--cliff-intervals", "N", "intervals in a row past the threshold that make a cliff (3)", kRun, "",
         [](Options& o, const char* v, std::string& error) {
             double n = 0;
             o.cliffOptions.push_back("--cliff-intervals");
             if (!DecimalIn("--cliff-intervals", v, 1, 1000, n, error)) return false;
             if (n != static_cast<int>(n))
                 return Refused(error, "--cliff-intervals: '" + std::string(v) + "' is not a whole number");
             o.cliffRule.intervals = static_cast<int>(n);
             return true;
         }},
        {"--cliff-baseline", "S", "seconds from the start whose intervals are the baseline (60)", kRun, "",
         [](Options& o, const char* v, std::string& error) {
             return CliffNumber<&stats::CliffRule::baselineSeconds>(o, "--cliff-baseline", v, 1.0, 86'400.0,
                                                                    error);
         }},
        {"--json",
         "FILE|-",
         "write the results as JSON; with -, the text goes to stderr",
         {Mode::Run, Mode::Analyze, Mode::Merge},
         "FILE -",
         Path<&Options::jsonPath>},
        {"--list", nullptr, "show the volume letters (with --json, as JSON) and exit", kRun, "",
         ModeFlag<Mode::List>},
        {"--help",
         nullptr,
         "this text",
         {Mode::Run, Mode::Log2Csv, Mode::Analyze, Mode::Merge},
         "",
         [](Options& o, const char*, std::string&) {
             o.mode = Mode::Help;
             return true;
         }},
        {"--version", nullptr, "the program's version", kRun, "",
         [](Options& o, const char*, std::string&) {
             if (o.mode != Mode::Help) o.mode = Mode::Version;
             return true;
         }},
    };
    return table;
}

std::string HelpText() {
    std::string text =
        "Usage: volstress-cli [options] VOLUME...\n       volstress-cli --list [--json FILE|-]\n";
    for (const CommandDef& c : Commands())
        if (c.name[0] != '\0')
            text += std::string("       volstress-cli ") + c.name + " " + c.arguments +
                    (c.mode == Mode::Log2Csv ? "" : " [--json FILE|-]") + "\n";
    text += std::string("\n") + Commands()[0].help + "\n";
    for (const CommandDef& c : Commands())
        if (c.name[0] != '\0') text += std::string(c.name) + ": " + c.help + ".\n";
    text += "\n";
    for (const OptionDef& o : OptionTable()) {
        std::string head =
            std::string("  ") + o.name + (o.value ? std::string(" ") + o.value : std::string());
        head.resize(std::max<size_t>(head.size() + 1, 22), ' ');
        text += head + o.help + "\n";
    }
    text +=
        "Ctrl-C, SIGTERM and SIGHUP end the run and still report; a second one aborts.\n"
        "Exit status: 0 all operations succeeded, 1 some failed, 2 bad usage, 3 a volume cannot be opened,\n"
        "4 results could not be written, 5 an operation never completed (4 before 3 before 5 before 1).\n";
    return text;
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

const OptionDef* FindOption(const std::string& name) {
    for (const OptionDef& o : OptionTable())
        if (name == o.name) return &o;
    return nullptr;
}

bool TakesOption(const OptionDef& o, Mode m) {
    return std::find(o.commands.begin(), o.commands.end(), m) != o.commands.end();
}

std::string Usage(const CommandDef& c) {
    return std::string("volstress-cli ") + (c.name[0] ? std::string(c.name) + " " : std::string()) +
           c.arguments;
}

}  // namespace

bool ParseOptions(int argc, char** argv, Options& o, std::string& error) {
    // A flag is on when given and off when not: a value after it ("--destroy-data=no") is refused rather
    // than read either way.
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") break;
        const size_t eq = arg.find('=');
        if (arg.rfind("--", 0) != 0 || eq == std::string::npos) continue;
        const OptionDef* def = FindOption(arg.substr(0, eq));
        if (def && !def->value)
            return Refused(error, def->name + std::string(" takes no value: '") + arg +
                                      "' is refused (leave the flag out to say no)");
        // CLI11 would take the next word as the value of "--log=": an empty value is refused here instead.
        if (def && eq + 1 == arg.size())
            return Refused(error,
                           def->name + std::string(" needs a value (") + def->value + "), and '' is none");
    }

    CLI::App app;
    app.set_help_flag();
    app.allow_extras();
    struct Bound {
        CLI::App* app;
        const CommandDef* command;
        std::vector<std::pair<CLI::Option*, const OptionDef*>> options;
        std::vector<std::string> arguments;
    };
    std::vector<Bound> bound;
    bound.reserve(Commands().size());
    for (const CommandDef& c : Commands()) {
        // Bound in place: the options write into the entry itself.
        bound.push_back(Bound{c.name[0] ? app.add_subcommand(c.name) : &app, &c, {}, {}});
        Bound& b = bound.back();
        b.app->set_help_flag();
        b.app->allow_extras();
        for (const OptionDef& def : OptionTable()) {
            if (!TakesOption(def, c.mode)) continue;
            // Every value and every repetition is kept, so that each is checked here rather than
            // quietly taken or dropped.
            CLI::Option* opt = def.value
                                   ? b.app->add_option(def.name)->expected(0, 1)->allow_extra_args(false)
                                   : b.app->add_flag(def.name);
            opt->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
            b.options.emplace_back(opt, &def);
        }
        if (c.mode == Mode::Run) b.app->add_flag("-h")->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
        b.app->add_option("arguments", b.arguments)->expected(0, -1);
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return Refused(error, std::string(e.what()) + " (see --help)");
    }

    Bound* active = &bound[0];
    for (Bound& b : bound)
        if (b.app != &app && b.app->parsed()) active = &b;
    const CommandDef& command = *active->command;
    if (command.mode != Mode::Run) {
        o.mode = command.mode;
        for (const auto& [opt, def] : bound[0].options)
            if (opt->count() > 0)
                return Refused(error, std::string(def->name) + " is not an option of " + command.name +
                                          ": give it after the command, if " + command.name + " takes it");
        if (!bound[0].arguments.empty())
            return Refused(error, "'" + bound[0].arguments[0] + "' comes before " + command.name +
                                      ": the command is the first word");
    }
    for (const std::string& extra : active->app->remaining())
        return Refused(error, extra.rfind("-", 0) == 0 && extra.size() > 1
                                  ? "unknown option " + extra + " (see --help)"
                                  : "'" + extra + "' is not expected here (see --help)");
    if (command.mode == Mode::Run && bound[0].app->get_option("-h")->count() > 0) o.mode = Mode::Help;

    // In the order given, so the first mistake on the line is the one said.
    for (CLI::Option* opt : active->app->parse_order()) {
        const auto it = std::find_if(active->options.begin(), active->options.end(),
                                     [&](const auto& p) { return p.first == opt; });
        if (it == active->options.end()) continue;
        const OptionDef& def = *it->second;
        if (!def.value) {
            if (!def.apply(o, nullptr, error)) return false;
            continue;
        }
        const std::vector<std::string>& values = opt->results();
        if (values.size() > 1)
            return Refused(error, std::string(def.name) + " is given twice ('" + values[0] + "' and '" +
                                      values[1] + "'): give it once");
        // An empty value is never taken as "not given": a script whose variable is empty hears of it.
        if (values.empty() || values[0].empty())
            return Refused(error,
                           std::string(def.name) + " needs a value (" + def.value + "), and '' is none");
        if (!def.apply(o, values[0].c_str(), error)) return false;
    }
    if (o.mode == Mode::Help || o.mode == Mode::Version) return true;

    const std::vector<std::string>& args = active->arguments;
    if (command.mode == Mode::Run) {
        for (const std::string& arg : args) {
            VolumeArg v;
            if (!ParseVolume(arg, v, error)) return false;
            for (const auto& other : o.volumes)
                if (other.index == v.index)
                    return Refused(error, "volume " + VolumeLetter(v.index) + ": is given twice");
            o.volumes.push_back(v);
        }
    } else {
        if (static_cast<int>(args.size()) < command.least)
            return Refused(error,
                           std::string(command.name) + " needs " + command.arguments + ": " + Usage(command));
        if (command.most >= 0 && static_cast<int>(args.size()) > command.most)
            return Refused(error, std::string(command.name) + " takes one file: " + Usage(command));
        if (command.mode == Mode::Merge)
            o.mergePaths = args;
        else
            o.log2csvPath = args[0];
        return true;
    }
    // Unless asked otherwise, the hand-over of queued operations is found while the run goes: the device
    // decides whether one at a time or all of a pass at once gives it more (engine/hand_over.h).
    if (!o.given.count(F::SubmitBatch)) o.settings.submitBatch = 0;
    o.settings.streamLog = !o.logPath.empty();
    // Steady state is judged on rounds: the test time is 25 of them unless given, and the live intervals are
    // the rounds.
    if (o.steadyGiven) {
        if (!o.given.count(F::TestTime))
            o.settings.testMs = int64_t{o.roundSeconds} * 1000 * stats::SteadyRule{}.maxRounds;
        if (!o.given.count(F::LiveInterval)) o.settings.liveSeconds = o.roundSeconds;
    }
    // The live lines, and the watch for cliffs of a run with writes, follow the statistics interval unless
    // given their own.
    if ((!o.livePath.empty() || !o.metricsListen.empty() || o.settings.writesPerPortion > 0) &&
        o.settings.liveSeconds == 0)
        o.settings.liveSeconds = engine::StatisticPeriodOf(o.settings);
    if (o.createSize > 0)
        for (const auto& v : o.volumes)
            if (v.path.empty())
                return Refused(error, "--create needs LETTER=PATH volumes; " + VolumeLetter(v.index) +
                                          ": names a system volume");
    if (o.mode == Mode::Run && o.volumes.empty())
        return Refused(error, "no volume given (see --help; --list shows the letters)");
    return true;
}

}  // namespace cli

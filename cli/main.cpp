// volstress-cli: the window's engine and statistics driven from the command line.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <optional>
#include <sstream>
#include <thread>

#include "cli/analyze.h"
#include "cli/exit_status.h"
#include "cli/image.h"
#include "cli/live.h"
#include "cli/log2csv.h"
#include "cli/merge.h"
#include "cli/metrics_server.h"
#include "cli/names.h"
#include "cli/options.h"
#include "cli/preflight.h"
#include "cli/report_output.h"
#include "cli/run_driver.h"
#include "engine/engine.h"
#include "engine/system_error.h"
#include "platform/console.h"
#include "platform/file.h"
#include "platform/host.h"
#include "stats/format.h"
#include "stats/log_file.h"
#include "stats/log_stream.h"
#include "stats/report.h"

namespace {

// Records a streamed log holds between two drains: 2,097,152 (64 MiB), some five seconds of the fastest
// device we have met.
constexpr uint32_t kStreamedLogRing = uint32_t{1} << 21;

using namespace cli;

void Fail(const std::string& message) {
    std::cerr << "volstress-cli: " << message << "\n" << std::flush;
}

// Standard output is a file like any other: a write that fails (a full disk, a reader that went away) is
// reported with the system's reason.
bool FlushStdout(const std::string& what) {
    errno = 0;
    std::cout.flush();
    if (std::cout && std::fflush(stdout) == 0 && !std::ferror(stdout)) return true;
    const int code = errno;
    Fail(what + ": cannot write to standard output" +
         (code != 0 ? ":" + engine::SystemErrorText(static_cast<uint32_t>(code)) : std::string()));
    return false;
}

int64_t NowUtcMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// --json PATH: standard output for "-", else the file, replaced whole. A failure is said; then false.
bool EmitJson(const std::string& path, const std::string& doc) {
    if (path == "-") {
        std::cout << doc;
        return true;
    }
    uint32_t code = 0;
    if (platform::WriteWholeFile(path, doc.data(), doc.size(), code)) return true;
    Fail("--json: cannot write " + path + ":" + engine::SystemErrorText(code) +
         " (an earlier file there is unchanged)");
    return false;
}

int RunLog2Csv(const Options& opt) {
    std::string error;
    if (!Log2Csv(opt.log2csvPath, std::cout, error)) {
        Fail(error);
        return kUsage;
    }
    return FlushStdout("log2csv") ? kAllSucceeded : kCannotWrite;
}

int RunAnalyze(const Options& opt) {
    std::string error = InputClash({opt.log2csvPath}, opt.jsonPath);
    if (!error.empty()) {
        Fail("analyze: " + error);
        return kUsage;
    }
    LogAnalysis analysis;
    if (!AnalyzeLog(opt.log2csvPath, analysis, error)) {
        Fail(error);
        return kUsage;
    }
    WriteAnalysisText(opt.jsonPath == "-" ? std::cerr : std::cout, analysis);
    if (!opt.jsonPath.empty()) {
        std::ostringstream json;
        WriteAnalysisJson(json, analysis);
        if (!EmitJson(opt.jsonPath, json.str())) return kCannotWrite;
    }
    return FlushStdout("analyze") ? kAllSucceeded : kCannotWrite;
}

int RunMerge(const Options& opt) {
    std::string error = InputClash(opt.mergePaths, opt.jsonPath), json;
    if (!error.empty()) {
        Fail("merge: " + error);
        return kUsage;
    }
    MergeOutcome outcome;
    std::ostringstream text;
    if (!MergeResults(opt.mergePaths, text, json, outcome, error)) {
        Fail(error);
        return kUsage;
    }
    (opt.jsonPath == "-" ? std::cerr : std::cout) << text.str();
    if (!opt.jsonPath.empty() && !EmitJson(opt.jsonPath, json)) return kCannotWrite;
    if (!FlushStdout("merge")) return kCannotWrite;
    return outcome.failures ? kSomeFailed : kAllSucceeded;
}

// The image files --create made for this run; removed again unless the run went ahead.
class CreatedImages {
  public:
    ~CreatedImages() {
        std::error_code ec;
        if (!kept_)
            for (const auto& path : paths_) std::filesystem::remove(path, ec);
    }
    // 0, or the exit status when one could not be made.
    int Create(const Options& opt) {
        const bool tty = platform::StderrIsTerminal();
        for (const auto& v : opt.volumes) {
            std::error_code ec;
            if (opt.createSize == 0 || std::filesystem::exists(v.path, ec)) continue;
            std::string error;
            const bool made = CreateImage(
                v.path, opt.createSize, [] { return platform::InterruptCount() > 0; },
                [&](int pct) {
                    if (tty)
                        platform::ShowProgressLine("Creating " + v.path + " [" + std::string(pct / 5, '#') +
                                                   std::string(20 - pct / 5, ' ') + "] " +
                                                   std::to_string(pct) + "%");
                },
                error);
            if (tty) platform::FinishProgressLine();
            if (!made) {
                Fail(error);
                return platform::InterruptCount() > 0 ? kInterrupted : kCannotWrite;
            }
            paths_.push_back(v.path);
        }
        return 0;
    }
    void Keep() { kept_ = true; }

  private:
    std::vector<std::string> paths_;
    bool kept_ = false;
};

// --list: the letters, as text or JSON.
int ListVolumes(const Options& opt, const platform::VolumeMap& map, const engine::VolumeSet& found) {
    if (!opt.jsonPath.empty()) {
        std::ostringstream json;
        WriteVolumeListJson(json, map, found);
        if (!EmitJson(opt.jsonPath, json.str())) return kCannotWrite;
    } else {
        WriteVolumeList(std::cout, map, found);
    }
    return FlushStdout("--list") ? kAllSucceeded : kCannotWrite;
}

// Every named volume present, and uncached when --direct asks: else why not, and exit status 3.
int CheckVolumes(const Options& opt, const platform::VolumeMap& map, platform::IVolumeSystem& volumes,
                 const engine::VolumeSet& found, std::array<bool, engine::kDiskCount>& selected) {
    for (const auto& v : opt.volumes) {
        const std::string& path = map.devicePath[v.index];
        if (!found.Present(v.index)) {
            uint32_t code = 0;
            const std::string why =
                volumes.OpenProbe(v.index, code)
                    ? " " + path + " " +
                          (found.NoSizeReason(v.index).empty() ? "reports no size"
                                                               : found.NoSizeReason(v.index))
                    : engine::SystemErrorText(code);
            Fail("System error " + engine::CannotOpenText(path, false) + ":" + why);
            return kCannotOpen;
        }
        if (opt.direct && !found.Uncached(v.index)) {
            Fail(VolumeLetter(v.index) + ": " + path +
                 " cannot be read uncached: its file system refuses O_DIRECT, and --direct refuses the page "
                 "cache");
            return kCannotOpen;
        }
        selected[v.index] = true;
    }
    return 0;
}

RunOptions Driving(const Options& opt, engine::Engine& eng) {
    RunOptions run;
    if (opt.startAtGiven)
        // Volumes, settings and workers are ready; hosts started seconds apart begin together.
        run.beforeRelease = [&opt] {
            std::cerr << "volstress-cli: waiting until " << IsoUtc(opt.startAtMs) << "\n" << std::flush;
            while (NowUtcMs() < opt.startAtMs && platform::InterruptCount() == 0)
                std::this_thread::sleep_for(
                    std::chrono::milliseconds(std::min<int64_t>(50, opt.startAtMs - NowUtcMs())));
            return platform::InterruptCount() == 0;
        };
    run.interrupted = [] { return platform::InterruptCount() > 0; };
    if (platform::StderrIsTerminal())
        run.progress = [&opt, &eng](uint32_t elapsed) {
            std::string line =
                stats::FormatMilliseconds(elapsed) + " / " +
                stats::FormatMilliseconds(static_cast<uint32_t>(std::max<int64_t>(eng.Settings().testMs, 0)));
            for (const auto& v : opt.volumes) {
                const engine::IntervalStats t = stats::LiveTotals(*eng.Volume(v.index));
                const stats::Rates r = stats::RatesOf(t, eng.TimerFreq());
                line += "  " + VolumeLetter(v.index) + ": " + stats::FormatGrouped(r.ioPerSec, 14, 0) +
                        " IO/s " + stats::FormatGrouped(r.mbytesPerSec, 16, 1) + " MB/s " +
                        stats::FormatCount(t.Errors) + " err";
            }
            platform::ShowProgressLine(line);
        };
    return run;
}

// The verify findings of the run and, with --verify-after, of the read-back after it.
stats::VerifyFindings Verification(const Options& opt, const platform::VolumeMap& map, engine::Engine& eng,
                                   const RunOutcome& outcome, bool& interrupted) {
    stats::VerifyFindings v;
    const std::shared_ptr<engine::Verifier> verifier = opt.settings.verify ? eng.Verification() : nullptr;
    v.verified = verifier != nullptr;
    if (!verifier) return v;
    const engine::Verifier::Written written = verifier->BlocksWritten();
    v.blocksWritten = written.known;
    v.blocksOpen = written.open;
    v.timed = verifier->Timed();
    if (!opt.verifyAfter || outcome.workersNotReturned > 0) return v;
    // The read-back after the test time stands apart: its reads are in none of the run's figures. It can take
    // hours on a large volume: an interrupted run skips it, and Ctrl-C ends it as it ends a run.
    v.readBack = true;
    if (outcome.interrupted) {
        v.readBackSkipped = true;
        return v;
    }
    for (const auto& vol : opt.volumes) {
        uint32_t code = 0;
        const engine::VerifyResults r = eng.ReadBack(
            vol.index, [] { return platform::InterruptCount() > 0; }, code);
        if (platform::InterruptCount() > 0) interrupted = v.readBackInterrupted = true;
        if (code != 0)
            Fail("--verify-after: " + engine::CannotOpenText(map.devicePath[vol.index], false) + ":" +
                 engine::SystemErrorText(code));
        v.readBackChecks.blocksChecked += r.blocksChecked;
        v.readBackChecks.readErrors += r.readErrors;
        for (size_t k = 0; k < 3; ++k) v.readBackChecks.byKind[k] += r.byKind[k];
        for (const auto& m : r.first)
            if (v.readBackChecks.first.size() < engine::VerifyResults::kKept)
                v.readBackChecks.first.push_back(m);
    }
    return v;
}

// The run's one result: its figures from the records, and what the driver and verification know beside them.
stats::RunResult Result(const Options& opt, const platform::VolumeMap& map, engine::Engine& eng,
                        const RunOutcome& outcome, const std::array<bool, engine::kDiskCount>& selected,
                        const CliDialogs& dialogs, const stats::LogStreamer* log, bool final = true,
                        stats::ResultScratch* scratch = nullptr) {
    stats::RunEcho echo;
    echo.settings = opt.settings;
    echo.periodSeconds = engine::StatisticPeriodOf(opt.settings);
    echo.host = platform::HostName();
    echo.clock = {outcome.startedUtcMs, outcome.startedCounter, eng.TimerFreq()};
    echo.interrupted = outcome.interrupted;
    for (const auto& s : outcome.stuck) echo.stuck.push_back({s.worker, s.volume});
    echo.failures = dialogs.Failures();
    echo.logEntries = log ? log->Written() : eng.Log().CompleteCount();
    echo.logStreamed = log != nullptr;
    if (log) echo.logNotWritten = log->NotWritten() + eng.Log().Refused();
    echo.devices.resize(engine::kDiskCount);
    for (int i = 0; i < engine::kDiskCount; ++i)
        echo.devices[static_cast<size_t>(i)] = {map.devicePath[i], eng.Volumes().Uncached(i)};
    stats::RunResult result = scratch ? stats::TakeResult(eng.Volumes(), selected, echo, *scratch)
                                      : stats::TakeResult(eng.Volumes(), selected, echo);
    if (final) result.verify = Verification(opt, map, eng, outcome, result.interrupted);
    return result;
}

// --precondition N: before the run, every selected volume written N times over in order, 128 KiB a call, by
// one worker each: the sustained sequential writes that bring a solid-state device to its working state, so
// the run measures that state and not a fresh one. 0, or the exit status of a precondition that failed.
constexpr int32_t kPreconditionBlock = 128 * 1024;

int Precondition(const Options& opt, const platform::VolumeMap& map, engine::Engine& eng, CliDialogs& dialogs,
                 const std::array<bool, engine::kDiskCount>& selected, stats::Preconditioning& done) {
    engine::RunSettings s;
    s.method = engine::Method::LinearForward;
    s.blockSize = kPreconditionBlock;
    s.testMs = engine::kMaxTestMs;  // ended by the bytes written, below
    s.threadsPerVolume = 1;
    s.pauseMs = 0;
    s.readsPerPortion = 0;
    s.writesPerPortion = 1;
    done.passes = opt.preconditionPasses;
    std::vector<std::pair<int, int64_t>> targets;  // volume, operations that write it N times over
    for (const auto& v : opt.volumes)
        targets.push_back(
            {v.index, eng.Volumes().Size(v.index) / kPreconditionBlock * opt.preconditionPasses});
    // One worker a volume, which stops at exactly its volume's count and waits for the others.
    s.passesPerWorker = opt.preconditionPasses;
    RunOptions run;
    run.interrupted = [] { return platform::InterruptCount() > 0; };
    const bool terminal = platform::StderrIsTerminal();
    auto nextProgress = std::chrono::steady_clock::now();
    bool complete = false;
    run.tick = [&](bool ended) {
        if (ended) return;
        bool all = true;
        std::string line = "preconditioning, " + std::to_string(opt.preconditionPasses) + " passes:";
        for (const auto& [index, target] : targets) {
            const engine::IntervalStats t = stats::LiveTotals(*eng.Volume(index));
            all = all && t.IOCount >= target;
            line += "  " + VolumeLetter(index) + ": " +
                    stats::FormatGrouped(100.0L * t.IOCount / std::max<int64_t>(target, 1), 5, 1) + "% " +
                    stats::FormatGrouped(stats::RatesOf(t, eng.TimerFreq()).mbytesPerSec, 16, 1) + " MB/s";
        }
        if (all && !complete) {
            complete = true;
            eng.Stop();
        }
        if (terminal && std::chrono::steady_clock::now() >= nextProgress) {
            nextProgress += std::chrono::seconds(1);
            platform::ShowProgressLine(line);
        }
    };
    const auto t0 = std::chrono::steady_clock::now();
    const RunOutcome outcome = DriveRun(eng, dialogs, s, selected, run);
    done.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (terminal && outcome.started) platform::FinishProgressLine();
    if (!outcome.started) {
        const int i = outcome.refusal.volume;
        Fail(outcome.interrupted
                 ? "interrupted before the first operation of --precondition"
                 : "--precondition: " +
                       RefusalText(outcome.refusal, opt,
                                   i >= 0 ? VolumeLetter(i) + ": (" + map.devicePath[i] + ")" : ""));
        return outcome.interrupted ? kInterrupted : kUsage;
    }
    for (const auto& [index, target] : targets) {
        const engine::IntervalStats t = stats::LiveTotals(*eng.Volume(index));
        done.volumes.push_back({index, t.WriteBytes, t.Errors,
                                static_cast<double>(stats::RatesOf(t, eng.TimerFreq()).mbytesPerSec)});
    }
    if (outcome.cannotOpen) return kCannotOpen;  // the workers' failure is said already
    if (outcome.workersNotReturned > 0) {
        Fail("--precondition: a worker did not return from a device call; no test was run");
        std::cerr.flush();
        std::_Exit(kIncomplete);
    }
    if (outcome.interrupted || !complete) {
        Fail("interrupted while preconditioning: no test was run");
        return kInterrupted;
    }
    dialogs.Rearm();
    return 0;
}

int Emit(const Options& opt, engine::Engine& eng, const RunOutcome& outcome, const stats::RunResult& result,
         LiveWriter* live, const stats::LogStreamer* log);

// The report, the JSON, the log and the live summary written out; the exit status of the whole run.
int Report(const Options& opt, const platform::VolumeMap& map, engine::Engine& eng, const RunOutcome& outcome,
           const std::array<bool, engine::kDiskCount>& selected, CliDialogs& dialogs, LiveWriter* live,
           const stats::LogStreamer* log, const stats::ModelWatch* watch, bool endedSteady,
           const stats::Preconditioning& preconditioned) {
    stats::RunResult result = Result(opt, map, eng, outcome, selected, dialogs, log);
    result.precondition = preconditioned;
    if (watch) watch->Fill(result);
    result.endedSteady = endedSteady && !result.interrupted;
    return Emit(opt, eng, outcome, result, live, log);
}

// --latency-target: steps of --target-step seconds (longer, up to ten times, until a step holds the
// operations its percentile needs), each a run of its own at one load, found by doubling and then bisection:
// the queue depth, or with --rate the rate (in steps of the lowest whose step holds those operations, up to
// the rate given, judged from the intended starts: what a client at that rate sees). The report is the
// search's table and the best step's run (the first's, when none met the bound).
int SearchLatencyTarget(const Options& opt, const platform::VolumeMap& map, engine::Engine& eng,
                        CliDialogs& dialogs, const std::array<bool, engine::kDiskCount>& selected,
                        const stats::Preconditioning& preconditioned, CreatedImages& created) {
    stats::LatencySearch found;
    found.asked = true;
    found.target = opt.latencyTarget;
    found.stepSeconds = opt.targetStepSeconds;
    found.minOperations = stats::StepOperations(opt.latencyTarget);
    const bool overRate = opt.settings.rate > 0;
    const int volumes = static_cast<int>(opt.volumes.size());
    int most = opt.given.count(engine::SettingField::QueueDepth) ? opt.settings.queueDepth : 256;
    if (overRate) {
        found.rateUnit = stats::LowestStepRate(opt.latencyTarget, opt.targetStepSeconds, volumes);
        most = static_cast<int>(std::min(opt.settings.rate / found.rateUnit, 1e6));
    }
    // A rate is found within 5% (bisection to the unit would take a step for each doubling of the rate).
    stats::LoadSearch search(most, overRate ? 0.05 : 0);
    const auto loadText = [&](int load) {
        return overRate ? "rate " + stats::FormatCount(static_cast<int64_t>(load * found.rateUnit)) + "/s"
                        : "depth " + std::to_string(load);
    };
    std::optional<stats::RunResult> best, first;
    RunOutcome bestOutcome, firstOutcome;
    const bool terminal = platform::StderrIsTerminal();
    for (int load; (load = search.Next()) != 0;) {
        engine::RunSettings s = opt.settings;
        if (overRate) {
            s.rate = load * found.rateUnit;
        } else {
            s.queueDepth = load;
            s.submitBatch = std::min(s.submitBatch, load);
        }
        s.testMs = engine::kMaxTestMs;  // ended below, by the step's time and operations
        RunOptions run;
        run.interrupted = [] { return platform::InterruptCount() > 0; };
        std::chrono::steady_clock::time_point began;
        run.started = [&](int64_t, int64_t) { began = std::chrono::steady_clock::now(); };
        const auto step = std::chrono::seconds(opt.targetStepSeconds);
        run.tick = [&](bool ended) {
            if (ended) return;
            const auto elapsed = std::chrono::steady_clock::now() - began;
            int64_t ops = 0;
            for (const auto& v : opt.volumes) ops += stats::LiveTotals(*eng.Volume(v.index)).IOCount;
            if ((elapsed >= step && ops >= found.minOperations) || elapsed >= 10 * step) eng.Stop();
            if (terminal)
                platform::ShowProgressLine("--latency-target " + found.target.name + ": " + loadText(load) +
                                           ", " + stats::FormatCount(ops) + " operations");
        };
        const RunOutcome outcome = DriveRun(eng, dialogs, s, selected, run);
        if (terminal && outcome.started) platform::FinishProgressLine();
        if (!outcome.started) {
            const int i = outcome.refusal.volume;
            Fail(outcome.interrupted
                     ? "interrupted before the first operation"
                     : "--latency-target, " + loadText(load) + ": " +
                           RefusalText(outcome.refusal, opt,
                                       i >= 0 ? VolumeLetter(i) + ": (" + map.devicePath[i] + ")" : ""));
            if (!first) return outcome.interrupted ? kInterrupted : kUsage;
            break;
        }
        created.Keep();
        stats::RunResult result = Result(opt, map, eng, outcome, selected, dialogs, nullptr);
        stats::LatencySearch::Step judged;
        judged.depth = s.queueDepth;
        judged.ioPerSec = static_cast<double>(result.all.rates.ioPerSec);
        judged.mbytesPerSec = static_cast<double>(result.all.rates.mbytesPerSec);
        judged.operations = result.all.total.IOCount;
        judged.percentiles = overRate ? result.all.openLoop.fromIntended : result.all.percentiles;
        if (overRate) {
            judged.rate = s.rate;
            judged.reached = judged.ioPerSec / std::max(volumes, 1);
        }
        const stats::Percentiles& p = judged.percentiles;
        judged.valueUs = found.target.name == "p50"   ? p.p50
                         : found.target.name == "p90" ? p.p90
                         : found.target.name == "p99" ? p.p99
                                                      : p.p999;
        // A step that could not gather the operations its percentile needs, or that failed, meets nothing.
        judged.met = p.any && judged.operations >= found.minOperations && !result.AnyFailed() &&
                     stats::TargetMet(judged.valueUs, stats::kPercentileRelativeError, found.target);
        found.steps.push_back(judged);
        if (!first) {
            first = result;
            firstOutcome = outcome;
        }
        if (judged.met && load >= search.Best()) {
            best = result;
            bestOutcome = outcome;
        }
        const bool over = outcome.interrupted || outcome.cannotOpen || outcome.workersNotReturned > 0;
        if (over) {
            // Nothing more can be measured: the search ends with what it has.
            if (!judged.met) {
                first = result;
                firstOutcome = outcome;
                best.reset();
            }
            break;
        }
        search.Judged(load, judged.met);
        dialogs.Rearm();
    }
    found.best = best ? search.Best() : 0;
    stats::RunResult result = best ? *best : *first;
    const RunOutcome& outcome = best ? bestOutcome : firstOutcome;
    result.search = found;
    result.precondition = preconditioned;
    if (found.best == 0)
        Fail("--latency-target " + found.target.name + ": the lowest load, " + loadText(1) +
             ", already misses it");
    const int status = Emit(opt, eng, outcome, result, nullptr, nullptr);
    // A bound that no load met is a failed test, as a failed operation is.
    return status == kAllSucceeded && found.best == 0 ? kSomeFailed : status;
}

// The report and the results file of a run's result, the log's and the live lines' tallies; the exit status.
int Emit(const Options& opt, engine::Engine& eng, const RunOutcome& outcome, const stats::RunResult& result,
         LiveWriter* live, const stats::LogStreamer* log) {
    if (!result.logComplete && !result.logStreamed)
        Fail("the operation log is full: it holds the first " + std::to_string(result.logEntries) +
             " operations of the run, not all of them");
    if (result.verify.Unchecked())
        Fail(
            "--verify: no read met a block the run had written, so nothing was checked during the run; "
            "--verify-after reads them back after it");
    RunVerdict verdict;
    verdict.cannotOpen = outcome.cannotOpen;
    verdict.incomplete = outcome.workersNotReturned > 0;
    verdict.someFailed = result.AnyFailed();
    // With --json - standard output carries the JSON alone, so the text report goes to standard error.
    WriteTextReport(opt.jsonPath == "-" || opt.livePath == "-" ? std::cerr : std::cout, result);
    bool written = true;
    if (!opt.jsonPath.empty()) {
        std::ostringstream json;
        WriteJsonReport(json, result);
        written = EmitJson(opt.jsonPath, json.str());
    }
    if (log && result.logNotWritten > 0) {
        Fail("--log: " + std::to_string(result.logNotWritten) + " of " +
             std::to_string(result.all.total.IOCount) + " records were not written to " + opt.logPath +
             (eng.Log().Refused() > 0 ? " (the file fell behind the run)" : ""));
        written = false;
    }
    if (live) {
        live->Finish(result);
        if (live->LinesNotWritten() > 0) {
            Fail("--live: " + std::to_string(live->LinesNotWritten()) + " of " +
                 std::to_string(live->LinesNotWritten() + live->LinesWritten()) +
                 " lines were not written to " + opt.livePath);
            written = false;
        }
    }
    verdict.cannotWrite = !(FlushStdout("the report") && written);
    return ExitStatus(verdict);
}

}  // namespace

int main(int argc, char** argv) {
    platform::IgnoreBrokenPipes();
    Options opt;
    std::string error;
    if (!ParseOptions(argc, argv, opt, error)) {
        Fail(error);
        return kUsage;
    }
    switch (opt.mode) {
        case Options::Mode::Help:
            std::cout << HelpText();
            return FlushStdout("--help") ? kAllSucceeded : kCannotWrite;
        case Options::Mode::Version:
            std::cout << "volstress-cli " << VOLSTRESS_VERSION << "\n";
            return FlushStdout("--version") ? kAllSucceeded : kCannotWrite;
        case Options::Mode::Log2Csv:
            return RunLog2Csv(opt);
        case Options::Mode::Analyze:
            return RunAnalyze(opt);
        case Options::Mode::Merge:
            return RunMerge(opt);
        default:
            break;
    }
    // Everything that can be refused is refused before anything is created, opened or written.
    const Preflight pre = CheckBeforeRun(opt, platform::SystemVolumeMap(), NowUtcMs());
    if (pre.status != 0) {
        Fail(pre.message);
        return pre.status;
    }
    platform::InstallInterruptHandler();
    CreatedImages created;
    if (const int status = created.Create(opt); status != 0) return status;

    CliDialogs dialogs([](const std::string& line) { Fail(line); });
    platform::VolumeOptions volumeOptions;
    volumeOptions.requireUncached = opt.direct;
    std::shared_ptr<platform::IVolumeSystem> volumes = platform::MakeVolumeSystem(pre.map, volumeOptions);
    // A streamed log needs only a ring of a few seconds of records; a run without one keeps the window's.
    engine::Engine eng(volumes, dialogs, opt.logPath.empty() ? engine::kLogCapacity : kStreamedLogRing);
    eng.Volumes().EnumerateVolumes();
    if (opt.mode == Options::Mode::List) return ListVolumes(opt, pre.map, eng.Volumes());
    std::array<bool, engine::kDiskCount> selected{};
    if (const int status = CheckVolumes(opt, pre.map, *volumes, eng.Volumes(), selected); status != 0)
        return status;

    // Held from now until the program ends (the read-back included), so that no other run writes these
    // volumes meanwhile, nor reads one this run writes. A volume that cannot be held for another reason (a
    // mounted device) is left to the workers, which report it with the run's results.
    std::vector<std::unique_ptr<platform::IVolumeClaim>> claims;
    for (const auto& v : opt.volumes) {
        const bool write = opt.Writes();
        uint32_t code = 0;
        std::string holder;
        std::unique_ptr<platform::IVolumeClaim> claim = volumes->Claim(v.index, write, code, holder);
        if (!claim && !holder.empty()) {
            Fail(std::string("refusing to ") + (write ? "write " : "read ") + VolumeLetter(v.index) + ": (" +
                 pre.map.devicePath[v.index] + "): another run holds it, " + holder + ", " +
                 (write ? "reading or writing it" : "writing it") +
                 "; two runs on one volume would each see the other's operations as their own");
            return kCannotOpen;
        }
        claims.push_back(std::move(claim));
    }

    stats::Preconditioning preconditioned;
    if (opt.preconditionPasses > 0)
        if (const int status = Precondition(opt, pre.map, eng, dialogs, selected, preconditioned);
            status != 0)
            return status;

    if (opt.latencyTargetGiven)
        return SearchLatencyTarget(opt, pre.map, eng, dialogs, selected, preconditioned, created);

    std::unique_ptr<LiveWriter> live;
    std::unique_ptr<stats::LogStreamer> log;
    RunOptions driving = Driving(opt, eng);
    const auto say = [](const std::string& line) { Fail(line); };
    if (!opt.logPath.empty()) {
        log = std::make_unique<stats::LogStreamer>(eng.Log(), opt.logPath, say);
        if (!log->Open()) return kCannotWrite;
    }
    MetricsServer metrics;
    if (!opt.metricsListen.empty()) {
        std::string why;
        if (!metrics.Start(opt.metricsListen, why)) {
            Fail(why);
            return kUsage;
        }
    }
    // The intervals are followed for the live lines, the metrics' last interval and the load models.
    const bool writes = opt.settings.writesPerPortion > 0;
    if (!opt.livePath.empty() || !opt.metricsListen.empty() || writes || opt.steadyGiven) {
        live = std::make_unique<LiveWriter>(opt.livePath, say);
        if (!live->Open()) return kCannotWrite;
    }
    std::unique_ptr<stats::ModelWatch> watch;
    bool endedSteady = false;
    const int volumeCount = static_cast<int>(std::count(selected.begin(), selected.end(), true));
    stats::RunClock clock;
    auto nextPublish = std::chrono::steady_clock::now();
    stats::ResultScratch scratch;
    // The figures a scrape sees: taken once a second from the records, as the final ones are.
    const auto publish = [&] {
        RunOutcome sofar;
        sofar.startedUtcMs = clock.startedUtcMs;
        sofar.startedCounter = clock.startedCounter;
        const MetricsTexts texts = MetricsText(
            Result(opt, pre.map, eng, sofar, selected, dialogs, log.get(), false, &scratch), live->Last());
        metrics.Publish(texts.openMetrics, texts.classic);
    };
    driving.tick = [&](bool ended) {
        if (live) live->Poll(eng.Volumes(), ended);
        // Steady state on every volume ends the run: the rounds after it would say nothing more.
        if (!ended && !endedSteady && watch && watch->AllSteady(volumeCount)) {
            endedSteady = true;
            eng.Stop();
        }
        if (!opt.metricsListen.empty() && std::chrono::steady_clock::now() >= nextPublish) {
            nextPublish = std::chrono::steady_clock::now() + std::chrono::seconds(1);
            publish();
        }
    };
    driving.started = [&](int64_t utcMs, int64_t counter) {
        clock = {utcMs, counter, eng.TimerFreq()};
        if (log) log->Start();
        if (live) {
            live->Begin(selected, clock);
            std::optional<stats::SteadyFigure> steady;
            if (opt.steadyGiven) steady = opt.steadyFigure;
            watch =
                std::make_unique<stats::ModelWatch>(clock, opt.cliffRule, writes, steady, opt.roundSeconds);
            live->Watch(watch.get());
        }
    };
    RunOutcome outcome = DriveRun(eng, dialogs, opt.settings, selected, driving);
    if (log) log->Finish();
    if (platform::StderrIsTerminal() && outcome.started) platform::FinishProgressLine();
    if (!outcome.started) {
        const int i = outcome.refusal.volume;
        Fail(outcome.interrupted
                 ? (opt.startAtGiven ? "interrupted before --start-at"
                                     : "interrupted before the first operation")
                 : RefusalText(outcome.refusal, opt,
                               i >= 0 ? VolumeLetter(i) + ": (" + pre.map.devicePath[i] + ")" : ""));
        return outcome.interrupted ? kInterrupted : kUsage;
    }
    created.Keep();
    const int status =
        Report(opt, pre.map, eng, outcome, selected, dialogs, opt.livePath.empty() ? nullptr : live.get(),
               log.get(), watch.get(), endedSteady, preconditioned);
    if (!opt.metricsListen.empty()) {
        // The final figures, served for as long as asked (a scraper's last look at the run), or until Ctrl-C.
        publish();
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(opt.metricsLinger);
        while (std::chrono::steady_clock::now() < until && platform::InterruptCount() == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        metrics.Stop();
    }
    if (outcome.workersNotReturned > 0) {
        // A worker stuck in a device call cannot be joined; the results are out, so end without it.
        std::cerr.flush();
        std::_Exit(status);
    }
    return status;
}

// volstress-cli: the window's engine and statistics driven from the command line.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <thread>

#include "cli/analyze.h"
#include "cli/image.h"
#include "cli/json.h"
#include "cli/log2csv.h"
#include "cli/merge.h"
#include "cli/options.h"
#include "cli/report_output.h"
#include "cli/run_driver.h"
#include "engine/engine.h"
#include "engine/system_error.h"
#include "platform/console.h"
#include "platform/file.h"
#include "platform/host.h"
#include "platform/io_queue.h"
#include "stats/format.h"
#include "stats/log_file.h"
#include "stats/report.h"

namespace {

constexpr int kSomeFailed = 1;
constexpr int kUsage = 2;
constexpr int kCannotOpen = 3;
constexpr int kCannotWrite = 4;

void Fail(const std::string& message) {
    std::cerr << "volstress-cli: " << message << "\n" << std::flush;
}

std::string Letter(int index) {
    return std::string(1, static_cast<char>('A' + index));
}

// Standard output is a file like any other: a write that fails (a full disk, a closed pipe) is reported.
bool FlushStdout(const std::string& what) {
    std::cout.flush();
    if (std::cout && std::fflush(stdout) == 0 && !std::ferror(stdout)) return true;
    Fail(what + ": cannot write to standard output");
    return false;
}

int RunLog2Csv(const std::string& path) {
    std::string error;
    if (!cli::Log2Csv(path, std::cout, error)) {
        Fail(error);
        return kUsage;
    }
    return FlushStdout("log2csv") ? 0 : kCannotWrite;
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

int RunAnalyze(const cli::Options& opt) {
    std::string error;
    cli::LogAnalysis analysis;
    if (!cli::AnalyzeLog(opt.log2csvPath, analysis, error)) {
        Fail(error);
        return kUsage;
    }
    cli::WriteAnalysisText(opt.jsonPath == "-" ? std::cerr : std::cout, analysis);
    if (!opt.jsonPath.empty()) {
        std::ostringstream json;
        cli::WriteAnalysisJson(json, analysis);
        if (!EmitJson(opt.jsonPath, json.str())) return kCannotWrite;
    }
    return FlushStdout("analyze") ? 0 : kCannotWrite;
}

int RunMerge(const cli::Options& opt) {
    std::string error, json;
    cli::MergeOutcome outcome;
    std::ostringstream text;
    if (!cli::MergeResults(opt.mergePaths, text, json, outcome, error)) {
        Fail(error);
        return kUsage;
    }
    (opt.jsonPath == "-" ? std::cerr : std::cout) << text.str();
    if (!opt.jsonPath.empty() && !EmitJson(opt.jsonPath, json)) return kCannotWrite;
    if (!FlushStdout("merge")) return kCannotWrite;
    return outcome.failures ? kSomeFailed : 0;
}

// Output paths are checked before the run, so that a long run does not end in "cannot write".
bool CheckOutputs(const cli::Options& opt) {
    for (const auto& [option, path] : {std::pair{"--json", opt.jsonPath}, std::pair{"--log", opt.logPath}}) {
        if (path.empty() || (path == "-" && std::string(option) == "--json")) continue;
        uint32_t code = 0;
        if (!platform::CheckOutputPath(path, code)) {
            Fail(std::string(option) + ": cannot write " + path + ":" + engine::SystemErrorText(code));
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    cli::Options opt;
    std::string error;
    if (!cli::ParseOptions(argc, argv, opt, error)) {
        Fail(error);
        return kUsage;
    }
    switch (opt.mode) {
        case cli::Options::Mode::Help:
            std::cout << cli::kHelp;
            return FlushStdout("--help") ? 0 : kCannotWrite;
        case cli::Options::Mode::Version:
            std::cout << "volstress-cli " << VOLSTRESS_VERSION << "\n";
            return FlushStdout("--version") ? 0 : kCannotWrite;
        case cli::Options::Mode::Log2Csv:
            return RunLog2Csv(opt.log2csvPath);
        case cli::Options::Mode::Analyze:
            return RunAnalyze(opt);
        case cli::Options::Mode::Merge:
            return RunMerge(opt);
        default:
            break;
    }

    // Everything that can be refused is refused before anything is created, opened or written.
    const bool running = opt.mode == cli::Options::Mode::Run;
    if (running) {
        if (const engine::Refusal refusal = engine::Validate(opt.settings)) {
            Fail(cli::RefusalText(refusal, opt));
            return kUsage;
        }
        if (const std::string refusal = cli::CommandLineRefusal(opt); !refusal.empty()) {
            Fail(refusal);
            return kUsage;
        }
    }

    // Letters come from the system map; LETTER=PATH adds or replaces one. Only named volumes are probed.
    const platform::VolumeMap system = platform::SystemVolumeMap();
    platform::VolumeMap map;
    if (opt.mode == cli::Options::Mode::List) map = system;
    for (const auto& v : opt.volumes) {
        map.devicePath[v.index] = v.path.empty() ? system.devicePath[v.index] : v.path;
        if (map.devicePath[v.index].empty()) {
            Fail("no volume has the letter " + Letter(v.index) + ": (see --list)");
            return kUsage;
        }
    }
    for (size_t a = 0; a < opt.volumes.size(); ++a)
        for (size_t b = a + 1; b < opt.volumes.size(); ++b) {
            const int i = opt.volumes[a].index, j = opt.volumes[b].index;
            if (platform::SameFile(map.devicePath[i], map.devicePath[j])) {
                Fail(Letter(i) + ": and " + Letter(j) + ": name the same device (" + map.devicePath[i] +
                     "); give each device once");
                return kUsage;
            }
        }
    if (running && opt.settings.writesPerPortion > 0 && !opt.destroyData) {
        std::string names;
        for (const auto& v : opt.volumes)
            names += (names.empty() ? "" : ", ") + Letter(v.index) + ": (" + map.devicePath[v.index] + ")";
        Fail("refusing to write: this test destroys the data on " + names +
             ". Add --destroy-data if that data may be lost.");
        return kUsage;
    }
    if (!CheckOutputs(opt)) return kCannotWrite;
    if (running && opt.settings.queueDepth > 1) {
        // Never a silent fall-back to the synchronous path: the operator asked for queued operations.
        uint32_t code = 0;
        if (!platform::AsyncQueuesAvailable(code)) {
            Fail("--queue-depth " + std::to_string(opt.settings.queueDepth) +
                 ": this system cannot set up io_uring queues:" + engine::SystemErrorText(code) +
                 " (an old kernel, or a container or sandbox that forbids io_uring); use --queue-depth 1");
            return kUsage;
        }
    }

    platform::InstallInterruptHandler();
    const bool tty = platform::StderrIsTerminal();
    if (opt.createSize > 0)
        for (const auto& v : opt.volumes) {
            if (std::filesystem::exists(v.path)) continue;
            const bool made = cli::CreateImage(
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
                return platform::InterruptCount() > 0 ? 130 : kCannotWrite;
            }
        }

    cli::CliDialogs dialogs([](const std::string& line) { Fail(line); });
    std::shared_ptr<platform::IVolumeSystem> volumes = platform::MakeVolumeSystem(map);
    engine::Engine eng(volumes, dialogs);
    eng.Volumes().EnumerateVolumes();
    const engine::VolumeSet& found = eng.Volumes();

    if (opt.mode == cli::Options::Mode::List && !opt.jsonPath.empty()) {
        // For scripts: the same list as JSON, to standard output or a file.
        std::ostringstream json;
        json << "[";
        bool first = true;
        for (int i = 0; i < engine::kDiskCount; ++i) {
            if (map.devicePath[i].empty()) continue;
            json << (first ? "\n" : ",\n") << "  {\"letter\": " << cli::JsonString(Letter(i))
                 << ", \"device\": " << cli::JsonString(map.devicePath[i]) << ", \"size_bytes\": "
                 << (found.Present(i) ? std::to_string(found.Size(i)) : std::string("null"))
                 << ", \"present\": " << (found.Present(i) ? "true" : "false") << "}";
            first = false;
        }
        json << (first ? "]\n" : "\n]\n");
        if (!EmitJson(opt.jsonPath, json.str())) return kCannotWrite;
        return FlushStdout("--list") ? 0 : kCannotWrite;
    }
    if (opt.mode == cli::Options::Mode::List) {
        for (int i = 0; i < engine::kDiskCount; ++i) {
            if (map.devicePath[i].empty()) continue;
            std::cout << Letter(i) << ":  " << map.devicePath[i] << "  "
                      << (found.Present(i) ? stats::FormatCount(found.Size(i) / 1'048'576) + " MBytes"
                                           : std::string("cannot be opened"))
                      << "\n";
        }
        return FlushStdout("--list") ? 0 : kCannotWrite;
    }

    std::array<bool, engine::kDiskCount> selected{};
    for (const auto& v : opt.volumes) {
        if (!found.Present(v.index)) {
            uint32_t code = 0;
            std::string why;
            if (volumes->OpenProbe(v.index, code))
                why = " " + map.devicePath[v.index] + " " +
                      (found.NoSizeReason(v.index).empty() ? "reports no size" : found.NoSizeReason(v.index));
            else
                why = engine::SystemErrorText(code);
            Fail("System error " + engine::CannotOpenText(map.devicePath[v.index], false) + ":" + why);
            return kCannotOpen;
        }
        selected[v.index] = true;
    }

    if (opt.startAtMs > 0 && opt.startAtMs <= NowUtcMs()) {
        Fail("--start-at: " + cli::IsoUtc(opt.startAtMs) + " is already past (it is " +
             cli::IsoUtc(NowUtcMs()) + ")");
        return kUsage;
    }

    cli::RunOptions run;
    if (opt.startAtMs > 0)
        // Volumes, settings and workers are ready; hosts started seconds apart begin together.
        run.beforeRelease = [&] {
            std::cerr << "volstress-cli: waiting until " << cli::IsoUtc(opt.startAtMs) << "\n" << std::flush;
            while (NowUtcMs() < opt.startAtMs && platform::InterruptCount() == 0)
                std::this_thread::sleep_for(
                    std::chrono::milliseconds(std::min<int64_t>(50, opt.startAtMs - NowUtcMs())));
            return platform::InterruptCount() == 0;
        };
    run.interrupted = [] { return platform::InterruptCount() > 0; };
    if (tty)
        run.progress = [&](uint32_t elapsed) {
            std::string line =
                stats::FormatMilliseconds(elapsed) + " / " +
                stats::FormatMilliseconds(static_cast<uint32_t>(std::max<int64_t>(eng.Settings().testMs, 0)));
            for (const auto& v : opt.volumes) {
                const engine::IntervalStats t = stats::LiveTotals(*eng.Volume(v.index));
                const stats::Rates r = stats::RatesOf(t, eng.TimerFreq());
                line += "  " + Letter(v.index) + ": " + stats::FormatGrouped(r.ioPerSec, 14, 0) + " IO/s " +
                        stats::FormatGrouped(r.mbytesPerSec, 16, 1) + " MB/s " +
                        stats::FormatCount(t.Errors) + " err";
            }
            platform::ShowProgressLine(line);
        };
    const cli::RunOutcome outcome = cli::DriveRun(eng, dialogs, opt.settings, selected, run);
    if (tty && outcome.started) platform::FinishProgressLine();
    if (!outcome.started && outcome.interrupted) {
        Fail("interrupted before --start-at");
        return 130;
    }
    if (!outcome.started) {
        const int i = outcome.refusal.volume;
        Fail(cli::RefusalText(outcome.refusal, opt,
                              i >= 0 ? Letter(i) + ": (" + map.devicePath[i] + ")" : ""));
        return kUsage;
    }

    const stats::RunReport report =
        stats::BuildFinalReport(found, eng.TimerFreq(), selected, stats::UserSeparators());
    cli::RunFacts facts;
    facts.settings = opt.settings;
    facts.interrupted = outcome.interrupted;
    facts.timerFreq = eng.TimerFreq();
    facts.host = platform::HostName();
    facts.startedUtcMs = outcome.startedUtcMs;
    facts.startedCounter = outcome.startedCounter;
    for (const auto& v : report.volumes) {
        facts.devicePaths.push_back(map.devicePath[v.index]);
        facts.sizes.push_back(found.Size(v.index));
    }
    facts.logEntries = eng.Log().CompleteCount();
    facts.logComplete = static_cast<int64_t>(facts.logEntries) >= report.all.record->Total().IOCount;
    facts.workersNotReturned = outcome.workersNotReturned;
    facts.openFailures = dialogs.Failures();
    if (opt.settings.verify) {
        // The read-back after the test time stands apart: its reads are in none of the run's figures.
        const std::shared_ptr<engine::Verifier> verifier = eng.Verification();
        facts.verified = verifier != nullptr;
        if (verifier) {
            facts.blocksWritten = verifier->BlocksWritten();
            facts.timedChecks = verifier->Timed();
        }
        if (verifier && opt.verifyAfter && outcome.workersNotReturned == 0) {
            facts.readBack = true;
            for (const auto& v : opt.volumes) {
                uint32_t code = 0;
                const engine::VerifyResults r = eng.ReadBack(
                    v.index, [] { return platform::InterruptCount() > 1; }, code);
                if (code != 0)
                    Fail("--verify-after: " + engine::CannotOpenText(map.devicePath[v.index], false) + ":" +
                         engine::SystemErrorText(code));
                facts.readBackChecks.blocksChecked += r.blocksChecked;
                facts.readBackChecks.readErrors += r.readErrors;
                for (size_t k = 0; k < 3; ++k) facts.readBackChecks.byKind[k] += r.byKind[k];
                for (const auto& m : r.first)
                    if (facts.readBackChecks.first.size() < engine::VerifyResults::kKept)
                        facts.readBackChecks.first.push_back(m);
            }
        }
    }
    if (!facts.logComplete)
        Fail("the operation log is full: it holds the first " + std::to_string(facts.logEntries) +
             " operations of the run, not all of them");

    const bool mismatched = facts.timedChecks.Mismatches() > 0 || facts.readBackChecks.Mismatches() > 0 ||
                            facts.readBackChecks.readErrors > 0;
    int status = outcome.cannotOpen                                    ? kCannotOpen
                 : report.all.record->Total().Errors > 0 || mismatched ? kSomeFailed
                                                                       : 0;
    bool written = true;
    // With --json - standard output carries the JSON alone, so the text report goes to standard error.
    cli::WriteTextReport(opt.jsonPath == "-" ? std::cerr : std::cout, report, facts);
    if (!opt.jsonPath.empty()) {
        std::ostringstream json;
        cli::WriteJsonReport(json, report, facts);
        written = EmitJson(opt.jsonPath, json.str());
    }
    if (!opt.logPath.empty()) {
        uint32_t records = 0, code = 0;
        if (stats::WriteOperationLog(eng.Log(), opt.logPath, records, code) == stats::LogWrite::Failed) {
            Fail("--log: cannot write " + opt.logPath + ":" + engine::SystemErrorText(code) +
                 " (an earlier file there is unchanged)");
            written = false;
        }
    }
    written = FlushStdout("the report") && written;
    if (!written) status = kCannotWrite;
    if (outcome.workersNotReturned > 0) {
        // A worker stuck in a device call cannot be joined; the results are out, so end without it.
        std::cerr.flush();
        std::_Exit(status);
    }
    return status;
}

// volstress-cli: the window's engine and statistics driven from the command line.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <thread>

#include "cli/options.h"
#include "cli/report_output.h"
#include "engine/engine.h"
#include "engine/random.h"
#include "engine/system_error.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "stats/format.h"
#include "stats/log_file.h"
#include "stats/report.h"

namespace {

constexpr int kUsage = 2;
constexpr int kCannotOpen = 3;

void Fail(const std::string& message) { std::cerr << "volstress-cli: " << message << "\n"; }

// Boxes become lines on stderr. A worker's error box is shown once; every worker that reports waits until
// the run has been stopped, so none retries in a loop meanwhile.
class CliDialogs : public engine::IDialogs {
public:
    void SystemError(const std::string& caption, const std::string& body) override {
        std::unique_lock lock(mutex_);
        if (!failed_) {
            failed_ = true;
            Fail(caption + ":" + body);
        }
        released_.wait(lock, [this] { return release_; });
    }
    bool AskYesNo(const std::string&, const std::string&) override { return true; }  // --destroy-data said yes
    void Inform(const std::string&, const std::string& body) override { Fail(body); }
    bool Failed() {
        std::lock_guard lock(mutex_);
        return failed_;
    }
    void Release() {
        {
            std::lock_guard lock(mutex_);
            release_ = true;
        }
        released_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable released_;
    bool failed_ = false;
    bool release_ = false;
};

void Progress(const std::string& line) { std::cerr << "\r" << line << "\033[K" << std::flush; }

// Random contents: a sparse or zero-filled image is read from memory and measures nothing.
bool CreateImage(const std::string& path, int64_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
        Fail("--create: cannot create " + path);
        return false;
    }
    engine::WorkerRandom rnd;
    rnd.Seed(static_cast<uint64_t>(platform::CounterNow()));
    std::vector<uint32_t> chunk(1 << 18);  // 1 MiB
    const bool tty = platform::StderrIsTerminal();
    for (int64_t done = 0; done < size;) {
        for (auto& w : chunk) w = rnd.Next32();
        const int64_t n = std::min<int64_t>(size - done, static_cast<int64_t>(chunk.size() * 4));
        out.write(reinterpret_cast<const char*>(chunk.data()), n);
        done += n;
        if (tty) {
            const int pct = static_cast<int>(done * 100 / size);
            Progress("Creating " + path + " [" + std::string(pct / 5, '#') + std::string(20 - pct / 5, ' ') + "] " +
                     std::to_string(pct) + "%");
        }
    }
    if (tty) std::cerr << "\n";
    out.close();
    if (!out) {
        Fail("--create: writing " + path + " failed");
        return false;
    }
    return true;
}

int Log2Csv(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        Fail("log2csv: cannot open " + path);
        return kUsage;
    }
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    if (ec || size % sizeof(engine::LogEntry) != 0) {
        Fail("log2csv: " + path + " is not an operation log: its size is not a multiple of 32 bytes");
        return kUsage;
    }
    std::cout << "slot,volume,request_size,success,start_ticks,end_ticks,frequency,latency_us\n";
    engine::LogEntry e;
    for (uint64_t slot = 1; in.read(reinterpret_cast<char*>(&e), sizeof e); ++slot) {
        const double us = e.Frequency > 0 ? static_cast<double>(e.EndTicks - e.StartTicks) * 1e6 /
                                                static_cast<double>(e.Frequency)
                                          : 0;
        char latency[64];
        std::snprintf(latency, sizeof latency, "%.3f", us);
        const char letter = e.VolumeIndex >= 0 && e.VolumeIndex < 26 ? static_cast<char>('A' + e.VolumeIndex) : '?';
        std::cout << slot << ',' << letter << ',' << e.RequestSize << ',' << e.Success << ',' << e.StartTicks << ','
                  << e.EndTicks << ',' << e.Frequency << ',' << latency << '\n';
    }
    return 0;
}

std::string VolumeName(int index, const std::string& path) {
    return std::string(1, static_cast<char>('A' + index)) + ": (" + path + ")";
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
        case cli::Options::Mode::Help: std::cout << cli::kHelp; return 0;
        case cli::Options::Mode::Version: std::cout << "volstress-cli " << VOLSTRESS_VERSION << "\n"; return 0;
        case cli::Options::Mode::Log2Csv: return Log2Csv(opt.log2csvPath);
        default: break;
    }

    // Letters come from the system map; LETTER=PATH adds or replaces one. Only named volumes are probed.
    const platform::VolumeMap system = platform::SystemVolumeMap();
    platform::VolumeMap map;
    if (opt.mode == cli::Options::Mode::List) map = system;
    for (const auto& v : opt.volumes) {
        map.devicePath[v.index] = v.path.empty() ? system.devicePath[v.index] : v.path;
        if (map.devicePath[v.index].empty()) {
            Fail("no volume has the letter " + std::string(1, static_cast<char>('A' + v.index)) + ": (see --list)");
            return kUsage;
        }
        if (opt.createSize > 0 && !std::filesystem::exists(v.path) && !CreateImage(v.path, opt.createSize))
            return kUsage;
    }

    CliDialogs dialogs;
    std::shared_ptr<platform::IVolumeSystem> volumes = platform::MakeVolumeSystem(map);
    engine::Engine eng(volumes, dialogs);
    eng.EnumerateVolumes();
    eng.ShowDefaults();

    if (opt.mode == cli::Options::Mode::List) {
        for (int i = 0; i < engine::kDiskCount; ++i) {
            if (map.devicePath[i].empty()) continue;
            std::cout << static_cast<char>('A' + i) << ":  " << map.devicePath[i] << "  "
                      << (eng.Present(i) ? stats::FormatCount(eng.DiskSize[i] / 1'048'576) + " MBytes"
                                         : std::string("cannot be opened"))
                      << "\n";
        }
        return 0;
    }

    std::array<bool, engine::kDiskCount> selected{};
    for (const auto& v : opt.volumes) {
        if (!eng.Present(v.index)) {
            uint32_t code = 0;
            volumes->OpenProbe(v.index, code);
            Fail("System error Cannot open " + map.devicePath[v.index] + " for read:" + engine::SystemErrorText(code));
            return kCannotOpen;
        }
        selected[v.index] = true;
    }
    engine::SettingField field;
    const auto settings = engine::ValidateRunSettings(opt.settings, error, &field);
    if (!settings) {
        Fail(std::string(cli::OptionFor(field)) + ": " + error);
        return kUsage;
    }
    if (settings->WritesPerPortion > 0 && !opt.destroyData) {
        std::string names;
        for (const auto& v : opt.volumes) names += (names.empty() ? "" : ", ") + VolumeName(v.index, map.devicePath[v.index]);
        Fail("refusing to write: this test destroys the data on " + names +
             ". Add --destroy-data if that data may be lost.");
        return kUsage;
    }

    platform::InstallInterruptHandler();
    if (eng.Start(opt.settings, selected) != engine::StartOutcome::Started) return kUsage;
    const bool tty = platform::StderrIsTerminal();
    bool interrupted = false;
    auto nextTick = std::chrono::steady_clock::now();
    while (eng.Testing() || eng.AnyWorkerBusy()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (eng.Testing() && (platform::InterruptCount() > 0 || dialogs.Failed())) {
            interrupted = platform::InterruptCount() > 0;
            eng.Stop();
        }
        // The window's tick, run often so the test ends on time; the progress line once a second.
        const auto elapsed = eng.Timer1Timer();
        if (std::chrono::steady_clock::now() < nextTick) continue;
        nextTick += std::chrono::seconds(1);
        if (tty && elapsed) {
            std::string line = stats::FormatMilliseconds(*elapsed) + " / " +
                               stats::FormatMilliseconds(static_cast<uint32_t>(eng.TestEndTime));
            for (const auto& v : opt.volumes) {
                const engine::IntervalStats t = stats::LiveTotals(*eng.Volume(v.index));
                const stats::Rates r = stats::RatesOf(t, eng.TimerFreq);
                line += "  " + std::string(1, static_cast<char>('A' + v.index)) + ": " +
                        stats::FormatGrouped(r.ioPerSec, 14, 0) + " IO/s " + stats::FormatGrouped(r.mbytesPerSec, 16, 1) +
                        " MB/s " + stats::FormatCount(t.Errors) + " err";
            }
            Progress(line);
        }
    }
    if (tty) std::cerr << "\n";
    dialogs.Release();
    if (dialogs.Failed()) return kCannotOpen;

    const stats::RunReport report = stats::BuildFinalReport(eng, selected, stats::UserSeparators());
    cli::RunFacts facts{*settings, {}, {}, interrupted, eng.TimerFreq};
    for (const auto& v : report.volumes) {
        facts.devicePaths.push_back(map.devicePath[v.index]);
        facts.sizes.push_back(eng.DiskSize[v.index]);
    }
    cli::WriteTextReport(std::cout, report, facts);
    int status = report.all.record->Total().Errors > 0 ? 1 : 0;
    if (!opt.jsonPath.empty()) {
        if (opt.jsonPath == "-") {
            cli::WriteJsonReport(std::cout, report, facts);
        } else {
            std::ofstream json(opt.jsonPath);
            cli::WriteJsonReport(json, report, facts);
            if (!json) {
                Fail("--json: cannot write " + opt.jsonPath);
                status = kUsage;
            }
        }
    }
    if (!opt.logPath.empty()) {
        uint32_t records = 0, code = 0;
        if (stats::WriteOperationLog(eng.Log(), opt.logPath, records, code) == stats::LogWrite::Failed) {
            Fail("--log: cannot write " + opt.logPath + ":" + engine::SystemErrorText(code));
            status = kUsage;
        }
    }
    return status;
}

#include "cli/preflight.h"

#include <sys/stat.h>

#include "cli/exit_status.h"
#include "cli/names.h"
#include "cli/report_output.h"
#include "engine/system_error.h"
#include "platform/file.h"
#include "platform/io_queue.h"

namespace cli {

namespace {

Preflight Refuse(int status, std::string message) {
    Preflight p;
    p.status = status;
    p.message = std::move(message);
    return p;
}

}  // namespace

std::string NotAVolume(const std::string& path) {
#ifdef _WIN32
    (void)path;  // \\.\X: volumes and image files are told apart by the system's own calls there
    return {};
#else
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {};
    if (S_ISBLK(st.st_mode) || S_ISREG(st.st_mode)) return {};
    const char* kind = S_ISDIR(st.st_mode)    ? "a directory"
                       : S_ISFIFO(st.st_mode) ? "a FIFO"
                       : S_ISSOCK(st.st_mode) ? "a socket"
                       : S_ISCHR(st.st_mode)  ? "a character device"
                                              : "not a file";
    return path + " is " + kind + ", not a block device or image file";
#endif
}

Preflight CheckBeforeRun(const Options& o, const platform::VolumeMap& system, int64_t nowUtcMs) {
    const bool running = o.mode == Options::Mode::Run;
    if (running) {
        if (const engine::Refusal refusal = engine::Validate(o.settings))
            return Refuse(kUsage, RefusalText(refusal, o));
        if (const std::string refusal = CommandLineRefusal(o); !refusal.empty())
            return Refuse(kUsage, refusal);
    }

    // Letters come from the system map; LETTER=PATH adds or replaces one. Only named volumes are probed.
    Preflight p;
    if (o.mode == Options::Mode::List) p.map = system;
    for (const auto& v : o.volumes) {
        const std::string path = v.path.empty() ? system.devicePath[v.index] : v.path;
        if (path.empty())
            return Refuse(kUsage, "no volume has the letter " + VolumeLetter(v.index) + ": (see --list)");
        // Told apart before anything opens it: the open of a FIFO would wait for a writer.
        if (const std::string why = NotAVolume(path); !why.empty())
            return Refuse(kCannotOpen, "System error " + engine::CannotOpenText(path, false) + ": " + why);
        p.map.devicePath[v.index] = path;
    }
    for (size_t a = 0; a < o.volumes.size(); ++a)
        for (size_t b = a + 1; b < o.volumes.size(); ++b) {
            const int i = o.volumes[a].index, j = o.volumes[b].index;
            if (platform::SameFile(p.map.devicePath[i], p.map.devicePath[j]))
                return Refuse(kUsage, VolumeLetter(i) + ": and " + VolumeLetter(j) +
                                          ": name the same device (" + p.map.devicePath[i] +
                                          "); give each device once");
        }
    if (!running) return p;

    if (o.settings.writesPerPortion > 0 && !o.destroyData) {
        std::string names;
        for (const auto& v : o.volumes)
            names +=
                (names.empty() ? "" : ", ") + VolumeLetter(v.index) + ": (" + p.map.devicePath[v.index] + ")";
        return Refuse(kUsage, "refusing to write: this test destroys the data on " + names +
                                  ". Add --destroy-data if that data may be lost.");
    }
    if (o.createSize > 0)
        for (const auto& v : o.volumes) {
            uint32_t code = 0;
            struct stat st {};
            if (::stat(v.path.c_str(), &st) == 0) continue;  // it exists: not created
            if (!platform::CheckOutputPath(v.path, code))
                return Refuse(kUsage,
                              "--create: cannot create " + v.path + ":" + engine::SystemErrorText(code));
            // What Start would refuse of the image, refused before it is made (its transfer unit is known
            // only once it exists).
            engine::StartFacts facts;
            facts.volumes.push_back({v.index, o.createSize, 1});
            if (const engine::Refusal r = engine::ValidateStart(o.settings, facts))
                return Refuse(kUsage, RefusalText(r, o, VolumeLetter(v.index) + ": (" + v.path + ")"));
        }
    for (const auto& [option, path] : {std::pair{"--json", o.jsonPath}, std::pair{"--log", o.logPath}}) {
        if (path.empty() || (path == "-" && std::string(option) == "--json")) continue;
        uint32_t code = 0;
        if (!platform::CheckOutputPath(path, code))
            return Refuse(kCannotWrite, std::string(option) + ": cannot write " + path + ":" +
                                            engine::SystemErrorText(code));
    }
    if (o.settings.queueDepth > 1) {
        // Never a silent fall-back to the synchronous path: the operator asked for queued operations.
        uint32_t code = 0;
        if (!platform::AsyncQueuesAvailable(code))
            return Refuse(kUsage,
                          "--queue-depth " + std::to_string(o.settings.queueDepth) +
                              ": this system cannot set up io_uring queues:" + engine::SystemErrorText(code) +
                              " (an old kernel, or a container or sandbox that forbids io_uring); use "
                              "--queue-depth 1");
    }
    if (o.startAtGiven && o.startAtMs <= nowUtcMs)
        return Refuse(kUsage, "--start-at: " + IsoUtc(o.startAtMs) + " is already past (it is " +
                                  IsoUtc(nowUtcMs) + ")");
    return p;
}

}  // namespace cli

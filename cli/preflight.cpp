#include "cli/preflight.h"

#include <sys/stat.h>

#include "cli/exit_status.h"
#include "cli/names.h"
#include "cli/report_output.h"
#include "engine/system_error.h"
#include "platform/file.h"
#include "platform/io_queue.h"
#include "platform/path_identity.h"

namespace cli {

namespace {

Preflight Refuse(int status, std::string message) {
    Preflight p;
    p.status = status;
    p.message = std::move(message);
    return p;
}

// One named thing a run reads or writes, and what it names.
struct Named {
    std::string what;  // "T: (/tmp/t.img)", "--log /tmp/x"
    platform::PathIdentity id;
};

}  // namespace

std::string PathClash(const Options& o, const platform::VolumeMap& map) {
    using K = platform::PathIdentity::Kind;
    std::vector<Named> volumes, outputs;
    for (const auto& v : o.volumes) {
        Named n{VolumeLetter(v.index) + ": (" + map.devicePath[v.index] + ")", {}};
        uint32_t code = 0;
        if (platform::IdentifyPath(map.devicePath[v.index], n.id, code)) volumes.push_back(n);
    }
    for (size_t a = 0; a < volumes.size(); ++a)
        for (size_t b = a + 1; b < volumes.size(); ++b)
            if (platform::Overlap(volumes[a].id, volumes[b].id))
                return volumes[a].what + " and " + volumes[b].what +
                       (volumes[a].id.device == volumes[b].id.device
                            ? " name the same device or file"
                            : " overlap: one holds the other's blocks") +
                       "; give each once";
    for (const auto& [option, path] : o.Outputs()) {
        if (path.empty() || path == "-") continue;
        Named n{std::string(option) + " " + path, {}};
        uint32_t code = 0;
        if (platform::IdentifyPath(path, n.id, code)) outputs.push_back(n);
    }
    // The report and messages go where the shell sent them; a file there is an output too.
    for (const auto& [fd, name] : {std::pair{1, "standard output"}, std::pair{2, "standard error"}}) {
        Named n{name, {}};
        if (platform::IdentifyDescriptor(fd, n.id) && (n.id.kind == K::File || n.id.kind == K::BlockDevice))
            outputs.push_back(n);
    }
    for (const Named& out : outputs)
        for (const Named& v : volumes)
            if (platform::Overlap(out.id, v.id))
                return out.what + " is the volume " + v.what +
                       " of this run: writing it there would destroy what the run tests; name another file";
    for (size_t a = 0; a < outputs.size(); ++a)
        for (size_t b = a + 1; b < outputs.size(); ++b) {
            // Both standard streams in one file (2>&1) is the shell's doing and replaces nothing.
            if (outputs[a].what == "standard output" && outputs[b].what == "standard error") continue;
            if (platform::Overlap(outputs[a].id, outputs[b].id))
                return outputs[a].what + " and " + outputs[b].what +
                       " are the same file: one would replace the other; give each output its own";
        }
    return {};
}

std::string InputClash(const std::vector<std::string>& inputs, const std::string& json) {
    std::vector<platform::PathIdentity> ids(inputs.size());
    for (size_t a = 0; a < inputs.size(); ++a) {
        uint32_t code = 0;
        if (!platform::IdentifyPath(inputs[a], ids[a], code)) continue;
        for (size_t b = 0; b < a; ++b)
            if (platform::Overlap(ids[a], ids[b]))
                return inputs[b] + " and " + inputs[a] + " are the same file: each would be counted twice";
        platform::PathIdentity out;
        if (!json.empty() && json != "-" && platform::IdentifyPath(json, out, code) &&
            platform::Overlap(out, ids[a]))
            return "--json " + json + " is the input " + inputs[a] +
                   ": the results would replace what they are read from";
    }
    return {};
}

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
    if (const std::string clash = PathClash(o, p.map); !clash.empty()) return Refuse(kUsage, clash);
    if (!running) return p;

    if (o.Writes() && !o.destroyData) {
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
    for (const auto& [option, path] : o.Outputs()) {
        if (path.empty() || (path == "-" && std::string(option) != "--log")) continue;
        uint32_t code = 0;
        if (!platform::CheckOutputPath(path, code))
            return Refuse(kCannotWrite, std::string(option) + ": cannot write " + path + ":" +
                                            engine::SystemErrorText(code));
    }
    // What the system's queue can do, asked of it by capability; never a silent fall-back to the
    // synchronous path: the operator asked for queued operations.
    const platform::QueueEngine queues = platform::QueuedEngine();
    const std::string name = queues.name;
    if (o.latencyTargetGiven && o.settings.rate <= 0 && !queues.available)
        return Refuse(kUsage, "--latency-target searches the queue depth, and this system cannot set up " +
                                  name + " queues:" + engine::SystemErrorText(queues.error));
    if (o.settings.queueDepth > 1 && !queues.available)
        return Refuse(kUsage, "--queue-depth " + std::to_string(o.settings.queueDepth) +
                                  ": this system cannot set up " + name +
                                  " queues:" + engine::SystemErrorText(queues.error) +
                                  " (an old kernel, or a container or " + "sandbox that forbids " + name +
                                  "); use --queue-depth 1");
    if (o.settings.queueDepth > 1 && static_cast<uint32_t>(o.settings.queueDepth) > queues.maxDepth)
        return Refuse(kUsage, "--queue-depth " + std::to_string(o.settings.queueDepth) + ": " + name +
                                  " takes at most " + std::to_string(queues.maxDepth) + " requests a queue");
    for (const auto& [asked, can, option] :
         {std::tuple{o.settings.registerFile, queues.registerFile, "--register-files"},
          std::tuple{o.settings.registerBuffers, queues.registerBuffers, "--register-buffers"}})
        if (asked && !can)
            return Refuse(kUsage,
                          std::string(option) + ": " + name + " cannot register: " + queues.noRegistration);
    if (o.startAtGiven && o.startAtMs <= nowUtcMs)
        return Refuse(kUsage, "--start-at: " + IsoUtc(o.startAtMs) + " is already past (it is " +
                                  IsoUtc(nowUtcMs) + ")");
    return p;
}

}  // namespace cli

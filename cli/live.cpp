#include "cli/live.h"

#include <algorithm>

#include "cli/report_output.h"
#include "engine/system_error.h"

namespace cli {

LiveWriter::LiveWriter(std::string path, std::function<void(const std::string&)> say)
    : path_(std::move(path)), say_(std::move(say)) {}

bool LiveWriter::Open() {
    if (path_.empty()) return true;
    uint32_t code = 0;
    open_ = out_.Open(path_, code);
    if (!open_) say_("--live: cannot write " + path_ + ":" + engine::SystemErrorText(code));
    return open_;
}

void LiveWriter::Begin(const std::array<bool, engine::kDiskCount>& selected, const stats::RunClock& clock) {
    clock_ = clock;
    follower_ = std::make_unique<stats::LiveFollower>(selected, clock);
}

void LiveWriter::Line(const std::string& text) {
    if (path_.empty()) return;
    const std::string line = text + "\n";
    uint32_t code = 0;
    if (open_ && out_.Write(line.data(), line.size(), code)) {
        ++written_;
        return;
    }
    ++notWritten_;
    if (!said_ && open_) {
        said_ = true;
        say_("--live: cannot write " + path_ + ":" + engine::SystemErrorText(code) +
             "; the run goes on, and the lines not written are counted");
    }
}

void LiveWriter::Poll(const engine::VolumeSet& volumes, bool runEnded) {
    if (!follower_) return;
    const stats::LiveFollower::Taken taken = follower_->Take(volumes, runEnded);
    int64_t missed = taken.missed;
    for (const stats::LiveFigures& f : taken.volumes) {
        auto at = std::find_if(last_.begin(), last_.end(),
                               [&](const stats::LiveFigures& l) { return l.index == f.index; });
        if (at == last_.end())
            last_.push_back(f);
        else
            *at = f;
    }
    const std::vector<stats::ModelWatch::Found> found =
        watch_ ? watch_->Add(taken.volumes) : std::vector<stats::ModelWatch::Found>{};
    if (path_.empty()) return;
    for (const auto* list : {&taken.volumes, &taken.all})
        for (const stats::LiveFigures& f : *list) {
            Line(LiveLine(clock_, f, missed));
            missed = 0;
        }
    for (const stats::ModelWatch::Found& f : found) Line(LiveEventLine(clock_, *watch_, f));
}

void LiveWriter::Finish(const stats::RunResult& result) {
    if (path_.empty()) return;
    // The summary counts itself among the lines written or not.
    Line(LiveSummaryLine(result, notWritten_));
    uint32_t code = 0;
    if (open_ && !out_.Close(code)) {
        ++notWritten_;
        if (!said_) say_("--live: cannot write " + path_ + ":" + engine::SystemErrorText(code));
    }
}

}  // namespace cli

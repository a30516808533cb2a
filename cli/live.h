#pragma once
// --live: one JSON line per closed interval of each volume and of all volumes while the run goes, and the
// run's summary last. Each line goes out whole in one write; one that cannot be written is counted, its
// reason said once, and the run goes on.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/volume_set.h"
#include "platform/file.h"
#include "stats/model_watch.h"
#include "stats/result.h"

namespace cli {

class LiveWriter {
  public:
    // say: where the first failure's reason goes (standard error). An empty path writes no lines and only
    // follows the intervals (for the metrics' last-interval gauges).
    LiveWriter(std::string path, std::function<void(const std::string&)> say);
    // Opens the stream; false with the system's reason said.
    bool Open();
    // The run's clock is known once it starts; lines before it are not written.
    void Begin(const std::array<bool, engine::kDiskCount>& selected, const stats::RunClock& clock);
    // The load models' watch, fed every volume's closed intervals; what it finds becomes a line too.
    void Watch(stats::ModelWatch* watch) { watch_ = watch; }
    // The lines of the intervals closed since the last call (with runEnded, of those still open too).
    void Poll(const engine::VolumeSet& volumes, bool runEnded);
    // The run's summary line, then the stream is closed.
    void Finish(const stats::RunResult& result);
    int64_t LinesNotWritten() const { return notWritten_; }
    // The last closed interval of each volume.
    const std::vector<stats::LiveFigures>& Last() const { return last_; }
    int64_t LinesWritten() const { return written_; }

  private:
    void Line(const std::string& text);

    std::string path_;
    std::function<void(const std::string&)> say_;
    platform::StreamFile out_;
    bool open_ = false;
    stats::RunClock clock_;
    std::unique_ptr<stats::LiveFollower> follower_;
    stats::ModelWatch* watch_ = nullptr;
    int64_t written_ = 0, notWritten_ = 0;
    bool said_ = false;
    std::vector<stats::LiveFigures> last_;
};

}  // namespace cli

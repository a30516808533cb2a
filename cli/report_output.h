#pragma once
// The final report as text for people and as JSON for programs.
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "platform/volume_map.h"
#include "stats/model_watch.h"
#include "stats/report.h"
#include "stats/result.h"

namespace cli {

// The text report for people and the results file (schema in cli/results_schema.h, its fields described in
// the README's "Command line" section), each written from the run's one result.
void WriteTextReport(std::ostream& out, const stats::RunResult& result);
void WriteJsonReport(std::ostream& out, const stats::RunResult& result);
// One --live line: an interval of a volume (or of all, index -1), whole, without its line break.
std::string LiveLine(const stats::RunClock& clock, const stats::LiveFigures& interval, int64_t missed);
// A --live line for what the load models found when it was found: a cliff, or steady state reached.
std::string LiveEventLine(const stats::RunClock& clock, const stats::ModelWatch& watch,
                          const stats::ModelWatch::Found& found);
// The last --live line: the run's summary.
std::string LiveSummaryLine(const stats::RunResult& run, int64_t linesNotWritten);
// /metrics: the run's counters, latency histogram and the last interval's gauges per volume, in the
// OpenMetrics text format and in the classic Prometheus one.
struct MetricsTexts {
    std::string openMetrics, classic;
};
MetricsTexts MetricsText(const stats::RunResult& run, const std::vector<stats::LiveFigures>& lastIntervals);
// --list: one line per letter with its device and size, or "cannot be opened"; as JSON, an array of
// {letter, device, size_bytes (null when absent), present}.
void WriteVolumeList(std::ostream& out, const platform::VolumeMap& map, const engine::VolumeSet& found);
void WriteVolumeListJson(std::ostream& out, const platform::VolumeMap& map, const engine::VolumeSet& found);
// "2026-12-09T03:00:00.000Z"
std::string IsoUtc(int64_t msSinceEpoch);
// The same form, with one to three decimals of seconds or none; false when the text is not one, or names a
// date or time that does not exist.
bool ParseIsoUtc(const std::string& text, int64_t& msSinceEpoch);

}  // namespace cli

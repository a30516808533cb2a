#pragma once
// One statistics record turned into the eight label texts and the three chart point lists.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/records.h"
#include "stats/format.h"

namespace stats {

struct ChartPoint {
    double x;
    double y;
};

enum LabelIndex {
    kIOTotal,
    kMBytesTotal,
    kTimesTotal,
    kMaxTime,
    kMinTime,
    kErrorsTotal,
    kIOPerSec,
    kMBytesPerSec
};

struct StatsView {
    std::array<std::string, 8> labels;  // in LabelIndex order
    std::vector<ChartPoint> ioPerSec;   // one point per interval: x = start in s, y = whole I/O per second
    std::vector<ChartPoint> mbytesPerSec;
    std::vector<ChartPoint> latency;  // x = bin start in ms (0, 1, ... 3276), y = operations
    std::string errorCauses;          // one line per cause of failure, for the Errors label's tooltip
};

// One cause of failure: its code's name and the system's text, how often, and when first (seconds from the
// run's first operation). `other` gathers the causes past the record's table.
struct CauseLine {
    bool other = false;
    uint32_t code = 0;
    std::string name, text;
    int64_t count = 0;
    double firstSeconds = 0;
    int64_t writes = 0;  // of count, failed writes
};
std::vector<CauseLine> CauseLines(const engine::ErrorCauses& causes, int64_t originTicks, int64_t timerFreq);
// "EIO Input/output error: 1,234, first at 12.5 s", one line each.
std::string CausesText(const std::vector<CauseLine>& lines, const Separators& sep);

// Span from first start to last end in seconds and the rates over it; all 0 when the span is 0 (or the
// frequency unknown), so no caller ever divides by zero.
struct Rates {
    long double seconds = 0;
    long double ioPerSec = 0;
    long double mbytesPerSec = 0;
    // Operations in flight on average over the span: their summed durations over its length (Little's
    // law), so a user sees whether the depth asked for was reached.
    long double meanInFlight = 0;
};
Rates RatesOf(const engine::IntervalStats& s, int64_t timerFreq);

// The eight label texts of a total and its rates.
std::array<std::string, 8> LabelTexts(const engine::IntervalStats& total, const Rates& rates,
                                      int64_t timerFreq, const Separators& sep);
// Start of interval j in seconds from the start of interval 1.
double IntervalStartSeconds(const engine::VolumeStats& rec, int32_t j, int64_t timerFreq);
// Latency of a duration in ms, truncated to whole 10-microsecond units first.
long double LatencyMs(int64_t ticks, int64_t timerFreq);
// Fills view from rec's Total, intervals 1..CurInterval and histogram. The vectors keep their capacity.
// An interval whose span is 0 gives no point: its rate would divide by zero.
void ComputeStats(const engine::VolumeStats& rec, int64_t timerFreq, StatsView& view, const Separators& sep);
void ComputeStats(const engine::VolumeStats& rec, int64_t timerFreq, StatsView& view);

}  // namespace stats

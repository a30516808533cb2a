#pragma once
// What a chart shows, worked out without a toolkit: the series' points as drawn, each axis's range, its
// ticks and their labels in the user's separators, and where a value falls along an axis. A front-end only
// draws it.
#include <string>
#include <vector>

#include "stats/format.h"
#include "stats/presentation.h"
#include "ui/layout.h"

namespace ui {

struct AxisTick {
    double value = 0;
    std::string label;
};

struct ChartAxis {
    double min = 0, max = 10;
    double logBase = 0;  // 0: a linear axis
    int decimals = 0;    // of the tick labels
    std::vector<AxisTick> ticks;
};

struct ChartModel {
    ChartKind kind = ChartKind::IO;
    std::string title;
    bool legendVisible = false;  // every chart of the window hides its legend
    bool storedColour = false;   // the series is drawn in kStoredSeriesRgb, else in the default colour
    std::vector<stats::ChartPoint> points;  // as drawn, ascending x
    ChartAxis x, y;
};

// Five steps, six labels per value axis: enough to read a rate off, few enough for the narrowest chart.
constexpr int kAxisSteps = 5;
// On the base-2 latency axis the 0-1 ms bin is drawn at 0.5 ms, half a step below 1 ms; every other point
// keeps its x. A point at x <= 0 has no place on a logarithmic axis.
constexpr double kFirstLatencyBinX = 0.5;

// A chart without points, its axes at their initial ranges.
ChartModel EmptyChart(ChartKind kind, const std::string& title, bool storedColour,
                      const stats::Separators& sep);
// The points of a refresh, with both axes fitted to them.
void SetChartPoints(ChartModel& chart, const std::vector<stats::ChartPoint>& points,
                    const stats::Separators& sep);
// The top of a value axis from 0 to at least max in `steps` equal steps of 1, 2 or 5 times a power of ten,
// never finer than labels with `decimals` decimals print: so no two labels read the same, whatever the data.
double FitAxisMax(double max, int steps, int decimals);
// Where value lies along the axis: 0 at its minimum, 1 at its maximum; a logarithmic axis by the logarithm.
double AxisFraction(const ChartAxis& axis, double value);

}  // namespace ui

#include "ui/chart_model.h"

#include <algorithm>
#include <cmath>

namespace ui {

namespace {

int YDecimals(ChartKind kind) {
    // MBytes/s carries two decimals ("#,##0.00"); I/O rates and operation counts are whole numbers.
    return kind == ChartKind::MBytes ? 2 : 0;
}

void LinearTicks(ChartAxis& axis, const stats::Separators& sep) {
    axis.ticks.clear();
    const double step = (axis.max - axis.min) / kAxisSteps;
    for (int k = 0; k <= kAxisSteps; ++k) {
        const double v = axis.min + step * k;
        axis.ticks.push_back({v, stats::FormatGrouped(v, 15, axis.decimals, sep)});
    }
}

void LogTicks(ChartAxis& axis, const stats::Separators& sep) {
    axis.ticks.clear();
    const int first = static_cast<int>(std::floor(std::log(axis.min) / std::log(axis.logBase) + 1e-9));
    const int last = static_cast<int>(std::ceil(std::log(axis.max) / std::log(axis.logBase) - 1e-9));
    for (int k = first; k <= last; ++k) {
        const double v = std::pow(axis.logBase, k);
        if (v < axis.min * (1 - 1e-9) || v > axis.max * (1 + 1e-9)) continue;
        axis.ticks.push_back({v, stats::FormatGrouped(v, 15, v < 1 ? 1 : 0, sep)});
    }
}

void FitLogAxis(ChartAxis& axis, double maxX) {
    axis.min = kFirstLatencyBinX;
    // Whole powers of two, so the labels fall on 1, 2, 4 ... ms.
    axis.max = std::pow(2.0, std::ceil(std::log2(std::max(maxX, 2.0))));
}

}  // namespace

double FitAxisMax(double max, int steps, int decimals) {
    steps = std::max(steps, 1);
    const double finest = std::pow(10.0, -decimals);
    const double raw = std::max(max / steps, finest);
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    double step = power * 10;
    for (const double m : {1.0, 2.0, 5.0, 10.0})
        if (m * power >= raw * (1 - 1e-9)) {
            step = m * power;
            break;
        }
    return step * steps;
}

ChartModel EmptyChart(ChartKind kind, const std::string& title, bool storedColour,
                      const stats::Separators& sep) {
    ChartModel chart;
    chart.kind = kind;
    chart.title = title;
    chart.storedColour = storedColour;
    SetChartPoints(chart, {}, sep);
    return chart;
}

void SetChartPoints(ChartModel& chart, const std::vector<stats::ChartPoint>& points,
                    const stats::Separators& sep) {
    chart.points.clear();
    chart.points.reserve(points.size());
    double maxX = 1, maxY = 1;
    const bool log = chart.kind == ChartKind::Time;
    for (const stats::ChartPoint& p : points) {
        const double x = log && p.x <= 0 ? kFirstLatencyBinX : p.x;
        chart.points.push_back({x, p.y});
        maxX = std::max(maxX, x);
        maxY = std::max(maxY, p.y);
    }
    chart.x = {};
    chart.y = {};
    if (log) {
        chart.x.logBase = 2.0;
        FitLogAxis(chart.x, maxX);
        LogTicks(chart.x, sep);
    } else {
        chart.x.max = FitAxisMax(maxX, kAxisSteps, 0);
        LinearTicks(chart.x, sep);
    }
    chart.y.decimals = YDecimals(chart.kind);
    // A little headroom, so the highest point does not run along the frame.
    chart.y.max = FitAxisMax(maxY * 1.05, kAxisSteps, chart.y.decimals);
    LinearTicks(chart.y, sep);
}

double AxisFraction(const ChartAxis& axis, double value) {
    if (axis.logBase > 0) {
        if (value <= 0 || axis.min <= 0 || axis.max <= axis.min) return 0;
        return (std::log(value) - std::log(axis.min)) / (std::log(axis.max) - std::log(axis.min));
    }
    if (axis.max == axis.min) return 0;
    return (value - axis.min) / (axis.max - axis.min);
}

}  // namespace ui

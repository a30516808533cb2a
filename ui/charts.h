#pragma once
// The three chart kinds of a tab and writing statistics into them.
#include <QLabel>
#include <QtCharts/QChartView>
#include <QtCharts/QLineSeries>
#include <QtCharts/QValueAxis>
#include <array>
#include <vector>

#include "stats/presentation.h"

namespace ui {

enum class ChartKind { IO, MBytes, Time };

// A chart control: takes any geometry the window arithmetic gives it, down to 0 x 0, and clips the
// chart view inside, which has a minimum size of its own.
class ChartBox : public QWidget {
  public:
    ChartBox(QChartView* view, QWidget* parent);
    QChart* chart() const { return view_->chart(); }
    QChartView* view() const { return view_; }

  protected:
    void resizeEvent(QResizeEvent* event) override;

  private:
    QChartView* view_;
};

// A chart with its title, hidden legend, axes and label formats; series are added by the caller.
ChartBox* MakeChart(ChartKind kind, const QString& title, QWidget* parent);
// Attaches a series to the chart's two axes.
QLineSeries* AddSeries(ChartBox* box, const QColor* colour = nullptr);
// Sets a value axis from 0 to at least max, so that its tickCount labels, printed with `decimals` decimals,
// are all different.
void FitAxis(QValueAxis* axis, double max, int decimals);
// Replaces the points in one call and fits the axes to them.
void SetPoints(QLineSeries* series, const std::vector<stats::ChartPoint>& points, ChartKind kind);
// On the base-2 latency axis the 0-1 ms bin is drawn at 0.5 ms, half a step below 1 ms; every other
// point keeps its x. A point at x <= 0 would stop the whole line from drawing there.
constexpr double kFirstLatencyBinX = 0.5;

}  // namespace ui

#pragma once
// The three chart kinds of a tab as Qt charts, drawing what the window logic worked out (ui/chart_model.h).
#include <QtCharts/QChartView>
#include <QtCharts/QLineSeries>
#include <QtCharts/QValueAxis>
#include <vector>

#include "ui/chart_model.h"

namespace ui {

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
// Sets a value axis from 0 to at least max, so that its labels, printed with `decimals` decimals, are all
// different.
void FitAxis(QValueAxis* axis, double max, int decimals);
// Replaces the points in one call and fits the axes to them.
void SetPoints(QLineSeries* series, const std::vector<stats::ChartPoint>& points, ChartKind kind);
// Draws a chart model: its points into the series, its ranges onto the axes.
void ApplyChart(QLineSeries* series, const ChartModel& model);

}  // namespace ui

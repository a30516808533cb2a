#include "ui/charts.h"

#include <QLocale>
#include <QtCharts/QLogValueAxis>
#include <QtCharts/QValueAxis>
#include <algorithm>
#include <cmath>

namespace ui {

ChartBox::ChartBox(QChartView* view, QWidget* parent) : QWidget(parent), view_(view) {
    view_->setParent(this);
    setMinimumSize(0, 0);
}

void ChartBox::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    view_->setGeometry(0, 0, width(), height());
}

ChartBox* MakeChart(ChartKind kind, const QString& title, QWidget* parent) {
    auto* chart = new QChart();
    chart->setTitle(title);
    chart->legend()->hide();
    // Grouped with the user's separators; Qt's C locale would leave thousands ungrouped.
    QLocale locale = QLocale::system();
    locale.setNumberOptions(locale.numberOptions() & ~QLocale::OmitGroupSeparator);
    chart->setLocale(locale);
    chart->setLocalizeNumbers(true);
    auto* left = new QValueAxis(chart);
    QAbstractAxis* bottom = nullptr;
    if (kind == ChartKind::Time) {
        auto* log = new QLogValueAxis(chart);
        log->setBase(2.0);
        log->setLabelFormat("%.1f");  // only %.Nf formats print on a log axis with localized numbers
        log->setRange(kFirstLatencyBinX, 8);
        bottom = log;
    } else {
        auto* lin = new QValueAxis(chart);
        lin->setLabelFormat("%.0f");
        bottom = lin;
        left->setLabelFormat(kind == ChartKind::IO ? "%.0f" : "%.2f");
        lin->setRange(0, 10);
        lin->setTickCount(6);
    }
    left->setRange(0, 10);
    left->setTickCount(6);
    chart->addAxis(bottom, Qt::AlignBottom);
    chart->addAxis(left, Qt::AlignLeft);
    auto* view = new QChartView(chart);
    view->setRenderHint(QPainter::Antialiasing);
    return new ChartBox(view, parent);
}

QLineSeries* AddSeries(ChartBox* box, const QColor* colour) {
    QChart* chart = box->chart();
    auto* series = new QLineSeries(chart);
    if (colour) {
        QPen pen = series->pen();
        pen.setColor(*colour);
        series->setPen(pen);
    }
    series->setPointsVisible(false);
    series->setPointLabelsVisible(false);
    chart->addSeries(series);
    for (QAbstractAxis* axis : chart->axes()) series->attachAxis(axis);
    return series;
}

void SetPoints(QLineSeries* series, const std::vector<stats::ChartPoint>& points, ChartKind kind) {
    QList<QPointF> list;
    list.reserve(static_cast<qsizetype>(points.size()));
    double maxX = 1, maxY = 1;
    for (const auto& p : points) {
        const double x = kind == ChartKind::Time && p.x <= 0 ? kFirstLatencyBinX : p.x;
        list.append(QPointF(x, p.y));
        maxX = std::max(maxX, x);
        maxY = std::max(maxY, p.y);
    }
    series->replace(list);
    QChart* chart = series->chart();
    if (!chart) return;
    const auto horizontal = chart->axes(Qt::Horizontal);
    const auto vertical = chart->axes(Qt::Vertical);
    if (!horizontal.isEmpty()) {
        if (kind == ChartKind::Time) {
            // Whole powers of two, so the labels fall on 1, 2, 4 ... ms.
            horizontal.first()->setRange(kFirstLatencyBinX,
                                         std::pow(2.0, std::ceil(std::log2(std::max(maxX, 2.0)))));
        } else if (auto* axis = qobject_cast<QValueAxis*>(horizontal.first())) {
            FitAxis(axis, maxX, 0);
        }
    }
    if (!vertical.isEmpty())
        if (auto* axis = qobject_cast<QValueAxis*>(vertical.first()))
            FitAxis(axis, maxY * 1.05, kind == ChartKind::MBytes ? 2 : kind == ChartKind::IO ? 0 : 1);
}

void FitAxis(QValueAxis* axis, double max, int decimals) {
    // From 0 in tickCount - 1 equal steps of 1, 2 or 5 times a power of ten, never finer than the labels
    // print: so no two labels read the same, whatever the data, none included.
    const int steps = std::max(axis->tickCount() - 1, 1);
    const double finest = std::pow(10.0, -decimals);
    const double raw = std::max(max / steps, finest);
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    double step = power;
    for (const double m : {1.0, 2.0, 5.0, 10.0})
        if (m * power >= raw * (1 - 1e-9)) {
            step = m * power;
            break;
        }
    axis->setRange(0, step * steps);
}

}  // namespace ui

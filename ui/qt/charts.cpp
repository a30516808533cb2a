#include "ui/qt/charts.h"

#include <QLocale>
#include <QtCharts/QLogValueAxis>
#include <QtCharts/QValueAxis>

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
    const ChartModel empty = EmptyChart(kind, title.toStdString(), false, stats::UserSeparators());
    auto* left = new QValueAxis(chart);
    QAbstractAxis* bottom = nullptr;
    if (kind == ChartKind::Time) {
        auto* log = new QLogValueAxis(chart);
        log->setBase(empty.x.logBase);
        log->setLabelFormat("%.1f");  // only %.Nf formats print on a log axis with localized numbers
        log->setRange(empty.x.min, empty.x.max);
        bottom = log;
    } else {
        auto* lin = new QValueAxis(chart);
        lin->setLabelFormat("%.0f");
        lin->setRange(empty.x.min, empty.x.max);
        lin->setTickCount(kAxisSteps + 1);
        bottom = lin;
    }
    left->setLabelFormat(QString("%.%1f").arg(empty.y.decimals));
    left->setRange(empty.y.min, empty.y.max);
    left->setTickCount(kAxisSteps + 1);
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

void ApplyChart(QLineSeries* series, const ChartModel& model) {
    QList<QPointF> list;
    list.reserve(static_cast<qsizetype>(model.points.size()));
    for (const auto& p : model.points) list.append(QPointF(p.x, p.y));
    series->replace(list);
    QChart* chart = series->chart();
    if (!chart) return;
    for (QAbstractAxis* axis : chart->axes(Qt::Horizontal)) axis->setRange(model.x.min, model.x.max);
    for (QAbstractAxis* axis : chart->axes(Qt::Vertical)) axis->setRange(model.y.min, model.y.max);
}

void SetPoints(QLineSeries* series, const std::vector<stats::ChartPoint>& points, ChartKind kind) {
    ChartModel model;
    model.kind = kind;
    SetChartPoints(model, points, stats::UserSeparators());
    ApplyChart(series, model);
}

void FitAxis(QValueAxis* axis, double max, int decimals) {
    axis->setRange(0, FitAxisMax(max, std::max(axis->tickCount() - 1, 1), decimals));
}

}  // namespace ui

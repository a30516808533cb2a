#pragma once
// TForm1: the one window. Its handlers read the controls, call the engine and the statistics code, and
// write the results back; the logic itself lives below ui/.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <QWidget>
#include <QtCharts/QChartView>
#include <QtCharts/QLineSeries>
#include <array>

#include "engine/engine.h"
#include "stats/aggregation.h"
#include "ui/boxes.h"
#include "ui/charts.h"
#include "ui/window_settings.h"

namespace ui {

constexpr int kSlots = engine::kDiskCount;

class TForm1 : public QWidget, private stats::RefreshSink {
    Q_OBJECT
  public:
    TForm1(engine::Engine& engine, IWindowDialogs& dialogs, QWidget* parent = nullptr);

    // Controls of the stored window description, in declared order.
    QTabWidget* PageControl1;
    QWidget* TabSheet1;
    ChartBox* ChartIO;
    ChartBox* ChartMBytes;
    ChartBox* ChartTime;
    QLineSeries* Series2;
    QLineSeries* Series3;
    QLineSeries* Series1;
    QLabel* Label1;
    QComboBox* ComboBoxBlockSize;
    QLabel* LabelBlocSize;
    QLabel* LabelTestMetod;
    QComboBox* ComboBoxTestMetod;
    QLabel* LabelThreadCount;
    QLineEdit* EditThreadCount;
    QLabel* LabelTestTime;
    QLineEdit* EditTestTime;
    QPushButton* StartButton;
    QTimer* Timer1;
    QLabel* LabelTimer;
    QTimer* TimerRefreshData;
    QLabel* LabeIOsTotal;
    QLabel* LabelBytesTotal;
    QLabel* LabelTimesTotal;
    QLabel* LabelMaxTimeTotal;
    QLabel* LabelMinTimeTotal;
    QLabel* LabelErrorsTotal;
    QLabel* LabelIOperSecTotal;
    QLabel* LabelBytesPerSecTotal;
    QLabel* LabelDebugText;
    QLabel* Label2;
    QLabel* Label3;
    QLineEdit* EditTimesMsBetweenPortion;
    QComboBox* ComboBoxTimesMsBetweenPortionCountType;
    QLabel* Label4;
    QLabel* Label5;
    QLineEdit* EditRIOsPerPortion;
    QLabel* Label6;
    QLineEdit* EditWIOsPerPortion;
    QComboBox* ComboBoxIOsPerPortionCountType;
    QPushButton* WriteStartButton;

    // Per-volume controls, slot i for volume i; empty for absent volumes.
    std::array<QWidget*, kSlots> TabSheets{};
    std::array<ChartBox*, kSlots> ChartIOs{}, ChartMBytess{}, ChartTimes{};
    std::array<QCheckBox*, kSlots> TestThisDisk{};
    std::array<QLineSeries*, kSlots> ChartIOsSeria{}, ChartMBytessSeria{}, ChartTimesSeria{};
    std::array<QLabel*, kSlots> Label1s{}, LabeIOs{}, LabelBytes{}, LabelTimes{}, LabelMaxTime{},
        LabelMinTime{}, LabelErrors{}, LabelIOperSec{}, LabelBytesPerSec{}, LabelDebug{};

    // Handlers.
    void FormShow();
    void FormResize();
    void TabSheet1Resize();
    void FormHide();
    void StartButtonClick();
    void Timer1Timer();
    void TimerRefreshDataTimer();
    void WriteStartButtonClick();
    void CreateVolumeTab(int index);

    engine::Engine& Engine() { return engine_; }

  signals:
    // The window has been closed: the program ends, whatever boxes are still open.
    void closed();

  protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void BuildSettingsArea();
    void BuildAvgTab();
    void CloneLabel(QLabel*& slot, QLabel* templ, QWidget* tab, const QString& text);
    WindowTexts Texts() const;
    std::array<bool, kSlots> Ticked() const;
    // stats::RefreshSink
    void SetDebugText(int volume, const std::string& text) override;
    void Show(int volume, const stats::StatsView& view) override;

    engine::Engine& engine_;
    IWindowDialogs& dialogs_;
    stats::StatisticsRefresher refresher_;
    bool shown_ = false;
    bool hidden_ = false;
};

}  // namespace ui

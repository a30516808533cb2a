#pragma once
// The window in Qt: makes the stored controls, forwards their events to the window logic (ui/form.h) and
// draws what it sets. Every control is also reachable by its designer's name.
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
#include <map>

#include "engine/engine.h"
#include "ui/boxes.h"
#include "ui/form.h"
#include "ui/qt/charts.h"
#include "ui/view.h"

namespace ui {

class QtForm1 : public QWidget, private IWindowView {
    Q_OBJECT
  public:
    QtForm1(engine::Engine& engine, IWindowDialogs& dialogs, QWidget* parent = nullptr);

    // Controls of the stored window description, in declared order.
    QTabWidget* PageControl1 = nullptr;
    QWidget* TabSheet1 = nullptr;
    ChartBox* ChartIO = nullptr;
    ChartBox* ChartMBytes = nullptr;
    ChartBox* ChartTime = nullptr;
    QLineSeries* Series2 = nullptr;
    QLineSeries* Series3 = nullptr;
    QLineSeries* Series1 = nullptr;
    QLabel* Label1 = nullptr;
    QComboBox* ComboBoxBlockSize = nullptr;
    QLabel* LabelBlocSize = nullptr;
    QLabel* LabelTestMetod = nullptr;
    QComboBox* ComboBoxTestMetod = nullptr;
    QLabel* LabelThreadCount = nullptr;
    QLineEdit* EditThreadCount = nullptr;
    QLabel* LabelTestTime = nullptr;
    QLineEdit* EditTestTime = nullptr;
    QPushButton* StartButton = nullptr;
    QTimer* Timer1 = nullptr;
    QLabel* LabelTimer = nullptr;
    QTimer* TimerRefreshData = nullptr;
    QLabel* LabeIOsTotal = nullptr;
    QLabel* LabelBytesTotal = nullptr;
    QLabel* LabelTimesTotal = nullptr;
    QLabel* LabelMaxTimeTotal = nullptr;
    QLabel* LabelMinTimeTotal = nullptr;
    QLabel* LabelErrorsTotal = nullptr;
    QLabel* LabelIOperSecTotal = nullptr;
    QLabel* LabelBytesPerSecTotal = nullptr;
    QLabel* LabelDebugText = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    QLineEdit* EditTimesMsBetweenPortion = nullptr;
    QComboBox* ComboBoxTimesMsBetweenPortionCountType = nullptr;
    QLabel* Label4 = nullptr;
    QLabel* Label5 = nullptr;
    QLineEdit* EditRIOsPerPortion = nullptr;
    QLabel* Label6 = nullptr;
    QLineEdit* EditWIOsPerPortion = nullptr;
    QComboBox* ComboBoxIOsPerPortionCountType = nullptr;
    QPushButton* WriteStartButton = nullptr;

    // Per-volume controls, slot i for volume i; empty for absent volumes.
    std::array<QWidget*, kSlots> TabSheets{};
    std::array<ChartBox*, kSlots> ChartIOs{}, ChartMBytess{}, ChartTimes{};
    std::array<QCheckBox*, kSlots> TestThisDisk{};
    std::array<QLineSeries*, kSlots> ChartIOsSeria{}, ChartMBytessSeria{}, ChartTimesSeria{};
    std::array<QLabel*, kSlots> Label1s{}, LabeIOs{}, LabelBytes{}, LabelTimes{}, LabelMaxTime{},
        LabelMinTime{}, LabelErrors{}, LabelIOperSec{}, LabelBytesPerSec{}, LabelDebug{};

    // The handlers, as the logic runs them.
    void FormShow() { form_.FormShow(); }
    void FormResize() { form_.FormResize(); }
    void TabSheet1Resize() { form_.TabSheet1Resize(); }
    void FormHide() { form_.FormHide(); }
    void StartButtonClick() { form_.StartButtonClick(); }
    void Timer1Timer() { form_.Timer1Timer(); }
    void TimerRefreshDataTimer() { form_.TimerRefreshDataTimer(); }
    void WriteStartButtonClick() { form_.WriteStartButtonClick(); }

    engine::Engine& Engine() { return form_.Engine(); }
    void SetRightsCheck(std::function<bool()> check) { form_.SetRightsCheck(std::move(check)); }

  signals:
    // The window has been closed: the program ends, whatever boxes are still open.
    void closed();

  protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    QWidget* Widget(int control) const;
    void Remember(const ControlDef& def, QWidget* widget);
    // IWindowView
    void Create(const ControlDef& def) override;
    void SetText(int control, const std::string& text) override;
    std::string Text(int control) const override;
    void SetBounds(int control, const Rect& bounds) override;
    Rect Bounds(int control) const override;
    Size ClientSize(int control) const override;
    void SetEnabled(int control, bool enabled) override;
    bool Checked(int control) const override;
    void SetToolTip(int control, const std::string& text) override;
    void SetActivePage(int page) override;
    void SetChart(int control, const ChartModel& chart) override;

    std::map<int, QWidget*> controls_;
    std::map<int, QLineSeries*> series_;  // each chart's one series
    TForm1 form_;
};

}  // namespace ui

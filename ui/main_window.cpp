#include "ui/main_window.h"

#include <QCloseEvent>
#include <QEvent>
#include <QTabBar>
#include <filesystem>

#include "platform/clock.h"
#include "platform/error_text.h"
#include "stats/format.h"
#include "stats/log_file.h"
#include "ui/charts.h"

namespace ui {

namespace {

const QString kStart = QStringLiteral("Старт");
const QString kStop = QStringLiteral("Стоп");
const QColor kSeriesColour(0x44, 0x66, 0xA3);

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& caption, int left, int top) {
    auto* label = new QLabel(caption, parent);
    label->setObjectName(name);
    label->move(left, top);
    label->adjustSize();  // labels size themselves to their text
    return label;
}

void SetCaption(QLabel* label, const QString& text) {
    label->setText(text);
    label->adjustSize();
}

QComboBox* MakeCombo(QWidget* parent, const char* name, const QString& text, const QStringList& items,
                     int left, int top, int width) {
    auto* combo = new QComboBox(parent);
    combo->setObjectName(name);
    combo->setEditable(true);  // the operator may type any text; Start reads the text
    combo->addItems(items);
    combo->setCurrentText(text);
    combo->setGeometry(left, top, width, 21);
    return combo;
}

QLineEdit* MakeEdit(QWidget* parent, const char* name, const QString& text, int left, int top, int width) {
    auto* edit = new QLineEdit(text, parent);
    edit->setObjectName(name);
    edit->setGeometry(left, top, width, 21);
    return edit;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const QString& caption, int left, int top,
                        int width) {
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(name);
    button->setGeometry(left, top, width, 25);
    return button;
}

void Place(QWidget* w, int left, int top, int width, int height) {
    w->setGeometry(left, top, std::max(width, 0), std::max(height, 0));
}

}  // namespace

TForm1::TForm1(engine::Engine& engine, IWindowDialogs& dialogs, QWidget* parent)
    : QWidget(parent), engine_(engine), dialogs_(dialogs) {
    setObjectName("Form1");
    setWindowTitle("Form1");
    // Tahoma is not on Linux; DejaVu Sans renders Cyrillic at the same pixel height, and its condensed face
    // keeps every settings caption inside the room the stored positions leave before the next control.
    QFont font("DejaVu Sans");
    font.setPixelSize(11);
    font.setStretch(QFont::Condensed);
    setFont(font);
    setBackgroundRole(QPalette::Button);
    setAutoFillBackground(true);
    move(0, 0);
    resize(1128, 731);

    BuildAvgTab();
    BuildSettingsArea();

    Timer1 = new QTimer(this);
    Timer1->setObjectName("Timer1");
    Timer1->setInterval(1000);
    connect(Timer1, &QTimer::timeout, this, &TForm1::Timer1Timer);
    Timer1->start();
    TimerRefreshData = new QTimer(this);
    TimerRefreshData->setObjectName("TimerRefreshData");
    TimerRefreshData->setInterval(60000);
    connect(TimerRefreshData, &QTimer::timeout, this, &TForm1::TimerRefreshDataTimer);
    TimerRefreshData->start();

    connect(StartButton, &QPushButton::clicked, this, &TForm1::StartButtonClick);
    connect(WriteStartButton, &QPushButton::clicked, this, &TForm1::WriteStartButtonClick);
    TabSheet1->installEventFilter(this);

    // Tab order as stored: the page control, then the settings by their numbers.
    QWidget* order[] = {PageControl1,
                        ComboBoxBlockSize,
                        ComboBoxTestMetod,
                        EditThreadCount,
                        EditTestTime,
                        StartButton,
                        EditTimesMsBetweenPortion,
                        ComboBoxTimesMsBetweenPortionCountType,
                        EditRIOsPerPortion,
                        EditWIOsPerPortion,
                        ComboBoxIOsPerPortionCountType,
                        WriteStartButton};
    for (size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);
}

void TForm1::BuildAvgTab() {
    PageControl1 = new QTabWidget(this);
    PageControl1->setObjectName("PageControl1");
    PageControl1->setGeometry(0, 46, 1120, 677);
    TabSheet1 = new QWidget();
    TabSheet1->setObjectName("TabSheet1");
    PageControl1->addTab(TabSheet1, "Avg");

    ChartIO = MakeChart(ChartKind::IO, "IO/s", TabSheet1);
    ChartIO->setObjectName("ChartIO");
    ChartIO->setGeometry(3, 72, 574, 289);
    ChartMBytes = MakeChart(ChartKind::MBytes, "MBytes/s", TabSheet1);
    ChartMBytes->setObjectName("ChartMBytes");
    ChartMBytes->setGeometry(583, 72, 514, 289);
    ChartTime = MakeChart(ChartKind::Time, "Time mks", TabSheet1);
    ChartTime->setObjectName("ChartTime");
    ChartTime->setGeometry(3, 367, 1094, 250);
    Series2 = AddSeries(ChartIO, &kSeriesColour);
    Series2->setObjectName("Series2");
    Series3 = AddSeries(ChartMBytes, &kSeriesColour);
    Series3->setObjectName("Series3");
    Series1 = AddSeries(ChartTime, &kSeriesColour);
    Series1->setObjectName("Series1");

    Label1 = MakeLabel(TabSheet1, "Label1", "Total", 3, 3);
    LabelDebugText = MakeLabel(TabSheet1, "LabelDebugText", "LabelDebugText", 227, 3);
    LabeIOsTotal = MakeLabel(TabSheet1, "LabeIOsTotal", "LabeIOsTotal", 3, 40);
    LabelBytesTotal = MakeLabel(TabSheet1, "LabelBytesTotal", "LabelBytesTotal", 3, 53);
    LabelIOperSecTotal = MakeLabel(TabSheet1, "LabelIOperSecTotal", "LabelIOperSecTotal", 195, 40);
    LabelBytesPerSecTotal = MakeLabel(TabSheet1, "LabelBytesPerSecTotal", "LabelBytesPerSecTotal", 196, 53);
    LabelMaxTimeTotal = MakeLabel(TabSheet1, "LabelMaxTimeTotal", "LabelMaxTimeTotal", 442, 40);
    LabelMinTimeTotal = MakeLabel(TabSheet1, "LabelMinTimeTotal", "LabelMinTimeTotal", 442, 53);
    LabelErrorsTotal = MakeLabel(TabSheet1, "LabelErrorsTotal", "LabelErrorsTotal", 807, 40);
    LabelTimesTotal = MakeLabel(TabSheet1, "LabelTimesTotal", "LabelTimesTotal", 806, 53);
}

void TForm1::BuildSettingsArea() {
    const QStringList sizes = {"512",   "1024",  "2048",  "4096",   "8192",
                               "16384", "32768", "65536", "131072", "262144"};
    LabelBlocSize = MakeLabel(this, "LabelBlocSize", "Размер блока", 8, 0);
    ComboBoxBlockSize = MakeCombo(this, "ComboBoxBlockSize", "4096", sizes, 82, -3, 71);
    LabelTestMetod = MakeLabel(this, "LabelTestMetod", "Метод тестирования", 176, 0);
    ComboBoxTestMetod = MakeCombo(this, "ComboBoxTestMetod", "Random",
                                  {"Random", "Batterfly", "Linear forward", "Linear backward"}, 289, -3, 145);
    LabelThreadCount = MakeLabel(this, "LabelThreadCount", "Количество потоков на диск", 446, 0);
    EditThreadCount = MakeEdit(this, "EditThreadCount", "2", 599, -3, 24);
    LabelTestTime = MakeLabel(this, "LabelTestTime", "Время тестирования (минут)", 641, 0);
    EditTestTime = MakeEdit(this, "EditTestTime", "30", 792, -3, 42);
    StartButton = MakeButton(this, "StartButton", kStart, 840, -7, 75);
    LabelTimer = MakeLabel(this, "LabelTimer", "Время тестирования", 944, 0);
    Label2 = MakeLabel(this, "Label2", "Количество I/O в одной порции", 8, 21);
    ComboBoxIOsPerPortionCountType =
        MakeCombo(this, "ComboBoxIOsPerPortionCountType", "Fixed", {"Random", "Fixed"}, 169, 21, 56);
    Label5 = MakeLabel(this, "Label5", "соотношение I/O R", 233, 21);
    EditRIOsPerPortion = MakeEdit(this, "EditRIOsPerPortion", "1", 335, 21, 41);
    Label6 = MakeLabel(this, "Label6", "к W", 385, 21);
    EditWIOsPerPortion = MakeEdit(this, "EditWIOsPerPortion", "0", 410, 21, 30);
    Label3 = MakeLabel(this, "Label3", "Время (ms) между порциями", 462, 21);
    ComboBoxTimesMsBetweenPortionCountType =
        MakeCombo(this, "ComboBoxTimesMsBetweenPortionCountType", "Random", {"Random", "Fixed"}, 601, 21, 86);
    Label4 = MakeLabel(this, "Label4", "максимум", 693, 21);
    EditTimesMsBetweenPortion = MakeEdit(this, "EditTimesMsBetweenPortion", "0", 746, 21, 46);
    WriteStartButton = MakeButton(this, "WriteStartButton", "Запись статистики", 944, 15, 107);
}

void TForm1::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!shown_) {
        shown_ = true;
        FormShow();
    }
}

void TForm1::FormShow() {
    WriteStartButton->setEnabled(engine::kLogCapacity >= 10);
    engine_.Volumes().EnumerateVolumes([this](int i) { CreateVolumeTab(i); });
    PageControl1->setCurrentWidget(TabSheet1);
    PageControl1->update();
    // Without the right to open block devices every volume is simply absent: say why, and the usual fix.
    bool any = false, denied = false;
    for (int i = 0; i < engine_.Volumes().Count(); ++i) {
        any = any || engine_.Volumes().Present(i);
        denied = denied || platform::IsPermissionError(engine_.Volumes().OpenError(i));
    }
    if (!any && denied)
        dialogs_.Inform("Нет доступа к томам",
                        "Ни один том не удалось открыть: нет прав на чтение блочных устройств.\n"
                        "Запустите программу от имени root или добавьте пользователя в группу disk:\n"
                        "sudo usermod -aG disk $USER, затем войдите в систему заново.");
    SetCaption(LabelTimer, "00:00:00");
    EditThreadCount->setText("2");
    const int64_t c1 = platform::CounterNow();
    const int64_t c2 = platform::CounterNow();
    SetCaption(Label1, QString::number(engine_.TimerFreq()) + " " +
                           QString::fromStdString(stats::FormatCount(c2 - c1)));
    TabSheet1Resize();
}

void TForm1::CloneLabel(QLabel*& slot, QLabel* templ, QWidget* tab, const QString& text) {
    slot = new QLabel(tab);
    slot->move(templ->x(), templ->y());
    SetCaption(slot, text);
    slot->setVisible(true);
}

void TForm1::CreateVolumeTab(int index) {
    auto* tab = new QWidget();
    tab->setObjectName(QString("TabSheet_%1").arg(QChar('A' + index)));
    TabSheets[index] = tab;
    const int at = PageControl1->addTab(tab, QString(QChar('A' + index)));
    // The letter alone does not tell an operator which Linux device it is.
    PageControl1->tabBar()->setTabToolTip(at, QString::fromStdString(engine_.Volumes().DevicePath(index)));

    const QString size =
        "Size=" + QString::fromStdString(stats::FormatCount(engine_.Volumes().Size(index) / 1'048'576)) +
        " MBytes";
    CloneLabel(Label1s[index], Label1, tab, size);
    CloneLabel(LabeIOs[index], LabeIOsTotal, tab, "I/O total ");
    CloneLabel(LabelBytes[index], LabelBytesTotal, tab, "MBytes total ");
    CloneLabel(LabelTimes[index], LabelTimesTotal, tab, "Times total");
    CloneLabel(LabelMaxTime[index], LabelMaxTimeTotal, tab, "Maximal time");
    CloneLabel(LabelMinTime[index], LabelMinTimeTotal, tab, "Minimal time");
    CloneLabel(LabelErrors[index], LabelErrorsTotal, tab, "Errors total");
    CloneLabel(LabelIOperSec[index], LabelIOperSecTotal, tab, "I/O per sec ");
    CloneLabel(LabelBytesPerSec[index], LabelBytesPerSecTotal, tab, "MBytes per sec");
    CloneLabel(LabelDebug[index], LabelDebugText, tab, "MBytes per sec");

    ChartIOs[index] = MakeChart(ChartKind::IO, ChartIO->chart()->title(), tab);
    ChartIOs[index]->setGeometry(ChartIO->geometry());
    ChartMBytess[index] = MakeChart(ChartKind::MBytes, ChartMBytes->chart()->title(), tab);
    ChartMBytess[index]->setGeometry(ChartMBytes->geometry());
    ChartTimes[index] = MakeChart(ChartKind::Time, ChartTime->chart()->title(), tab);
    ChartTimes[index]->setGeometry(ChartTime->geometry());

    auto* box = new QCheckBox("Check this disk", tab);
    box->setChecked(true);
    box->move(Label1->x(), Label1->y() + Label1->height());
    box->adjustSize();
    TestThisDisk[index] = box;

    ChartIOsSeria[index] = AddSeries(ChartIOs[index]);
    ChartMBytessSeria[index] = AddSeries(ChartMBytess[index]);
    ChartTimesSeria[index] = AddSeries(ChartTimes[index]);
    PageControl1->setCurrentWidget(tab);
}

void TForm1::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    FormResize();
}

void TForm1::FormResize() {
    Place(PageControl1, PageControl1->x(), PageControl1->y(), width() - 4 * PageControl1->x(),
          height() - PageControl1->y() + PageControl1->x());
    // A hidden page gets its resize event only when shown; the volume tabs must follow at once.
    TabSheet1Resize();
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    if (watched == TabSheet1 && event->type() == QEvent::Resize) TabSheet1Resize();
    return QWidget::eventFilter(watched, event);
}

void TForm1::TabSheet1Resize() {
    const int w = TabSheet1->width();
    const int h = TabSheet1->height();
    const int m = ChartIO->x();
    // Each step reads what the steps before it set; sizes below 0 are clamped.
    Place(ChartTime, ChartTime->x(), ChartTime->y(), w - 2 * ChartTime->x(), ChartTime->height());
    Place(ChartMBytes, (w + m) / 2 + m, ChartMBytes->y(), ChartMBytes->width(), ChartMBytes->height());
    Place(ChartMBytes, ChartMBytes->x(), ChartMBytes->y(), w - ChartMBytes->x() - m, ChartMBytes->height());
    Place(ChartIO, ChartIO->x(), ChartIO->y(), ChartMBytes->width(), ChartIO->height());
    Place(ChartTime, ChartTime->x(), ChartTime->y(), ChartTime->width(),
          (h - ChartMBytes->y()) / 2 - ChartTime->x());
    Place(ChartTime, ChartTime->x(), ChartMBytes->y() + ChartTime->height() + ChartTime->x(),
          ChartTime->width(), ChartTime->height());
    Place(ChartMBytes, ChartMBytes->x(), ChartMBytes->y(), ChartMBytes->width(), ChartTime->height());
    Place(ChartIO, ChartIO->x(), ChartIO->y(), ChartIO->width(), ChartTime->height());
    for (int i = 0; i < engine_.Volumes().Count(); ++i) {
        if (!engine_.Volumes().Present(i) || !ChartTimes[i]) continue;
        Place(ChartTimes[i], ChartTimes[i]->x(), ChartTime->y(), ChartTime->width(), ChartTime->height());
        Place(ChartIOs[i], ChartIOs[i]->x(), ChartIOs[i]->y(), ChartIO->width(), ChartIO->height());
        Place(ChartMBytess[i], ChartMBytes->x(), ChartMBytess[i]->y(), ChartMBytes->width(),
              ChartMBytes->height());
    }
}

std::array<bool, kSlots> TForm1::Ticked() const {
    std::array<bool, kSlots> ticked{};
    for (int i = 0; i < kSlots; ++i) ticked[i] = TestThisDisk[i] && TestThisDisk[i]->isChecked();
    return ticked;
}

WindowTexts TForm1::Texts() const {
    WindowTexts t;
    t.blockSize = ComboBoxBlockSize->currentText().toStdString();
    t.method = ComboBoxTestMetod->currentText().toStdString();
    t.testMinutes = EditTestTime->text().toStdString();
    t.threads = EditThreadCount->text().toStdString();
    t.pauseMs = EditTimesMsBetweenPortion->text().toStdString();
    t.pauseType = ComboBoxTimesMsBetweenPortionCountType->currentText().toStdString();
    t.reads = EditRIOsPerPortion->text().toStdString();
    t.writes = EditWIOsPerPortion->text().toStdString();
    t.ioCountType = ComboBoxIOsPerPortionCountType->currentText().toStdString();
    return t;
}

void TForm1::StartButtonClick() {
    if (engine_.Running()) {
        engine_.Stop();  // the caption turns back at the next tick, once every worker's event is reset
        return;
    }
    if (engine_.Workers().AnyBusy()) return;  // workers of the last run are still in it: silently nothing
    const WindowTexts texts = Texts();
    engine::RunSettings settings;
    engine::Refusal refusal;
    if (!ReadWindowSettings(texts, settings, refusal)) {
        dialogs_.Inform(kBadSettingsCaption, RefusalText(refusal, texts, engine_.Volumes()));
        return;
    }
    const engine::StartResult result =
        engine_.Start(settings, Ticked(), [&](const std::vector<int>& volumes) {
            return dialogs_.AskYesNo(kWarningCaption, DestructionQuestion(volumes, engine_.Volumes()));
        });
    switch (result.outcome) {
        case engine::StartOutcome::Started:
            SetCaption(LabelTimer, "00:00:00");
            StartButton->setText(kStop);
            break;
        case engine::StartOutcome::Refused:
        case engine::StartOutcome::TooManyWorkers:
            dialogs_.Inform(kBadSettingsCaption, RefusalText(result.refusal, texts, engine_.Volumes()));
            break;
        default:
            break;
    }
}

void TForm1::Timer1Timer() {
    if (const auto elapsed = engine_.Tick())
        SetCaption(LabelTimer, QString::fromStdString(stats::FormatMilliseconds(*elapsed)));
    if (StartButton->text() != kStart && !engine_.Workers().AnyReleased()) StartButton->setText(kStart);
}

void TForm1::TimerRefreshDataTimer() {
    refresher_.Refresh(engine_.Volumes(), engine_.TimerFreq(), Ticked(), *this);
}

void TForm1::SetDebugText(int volume, const std::string& text) {
    if (LabelDebug[volume]) SetCaption(LabelDebug[volume], QString::fromStdString(text));
}

void TForm1::Show(int volume, const stats::StatsView& view) {
    const bool all = volume < 0;
    QLabel* labels[8] = {all ? LabeIOsTotal : LabeIOs[volume],
                         all ? LabelBytesTotal : LabelBytes[volume],
                         all ? LabelTimesTotal : LabelTimes[volume],
                         all ? LabelMaxTimeTotal : LabelMaxTime[volume],
                         all ? LabelMinTimeTotal : LabelMinTime[volume],
                         all ? LabelErrorsTotal : LabelErrors[volume],
                         all ? LabelIOperSecTotal : LabelIOperSec[volume],
                         all ? LabelBytesPerSecTotal : LabelBytesPerSec[volume]};
    SetPoints(all ? Series2 : ChartIOsSeria[volume], view.ioPerSec, ChartKind::IO);
    SetPoints(all ? Series3 : ChartMBytessSeria[volume], view.mbytesPerSec, ChartKind::MBytes);
    SetPoints(all ? Series1 : ChartTimesSeria[volume], view.latency, ChartKind::Time);
    for (int k = 0; k < 8; ++k) SetCaption(labels[k], QString::fromStdString(view.labels[k]));
    // Why operations failed, in full, where the count alone is shown.
    if (!all) labels[stats::kErrorsTotal]->setToolTip(QString::fromStdString(view.errorCauses));
}

void TForm1::WriteStartButtonClick() {
    uint32_t records = 0;
    // Failure speaks through the system-error box; success says what was written where.
    if (stats::WriteOperationLog(engine_.Log(), dialogs_, stats::kLogFileName, &records) ==
        stats::LogWrite::Written)
        dialogs_.Inform("Запись статистики", "Записано операций: " + stats::FormatCount(records) + "\n" +
                                                 std::filesystem::absolute(stats::kLogFileName).string());
}

void TForm1::closeEvent(QCloseEvent* event) {
    FormHide();
    QWidget::closeEvent(event);
    emit closed();
}

void TForm1::FormHide() {
    if (hidden_) return;
    hidden_ = true;
    engine_.EndRunAndWait(1000);
}

}  // namespace ui

#include "ui/qt/main_window.h"

#include <QCloseEvent>
#include <QEvent>
#include <QTabBar>

namespace ui {

namespace {

template <class T>
T* As(QWidget* w) {
    return static_cast<T*>(w);
}

}  // namespace

QtForm1::QtForm1(engine::Engine& engine, IWindowDialogs& dialogs, QWidget* parent)
    : QWidget(parent), form_(engine, dialogs, *this) {
    setObjectName("Form1");
    setWindowTitle(kCaption);
    // Tahoma is not on Linux; DejaVu Sans renders Cyrillic at the same pixel height, and its condensed face
    // keeps every settings caption inside the room the stored positions leave before the next control.
    QFont font("DejaVu Sans");
    font.setPixelSize(kFontPixels);
    font.setStretch(QFont::Condensed);
    setFont(font);
    setBackgroundRole(QPalette::Button);
    setAutoFillBackground(true);
    move(0, 0);
    resize(kClientSize.width, kClientSize.height);

    for (const ControlDef& def : StoredControls()) Create(def);
    PageControl1 = As<QTabWidget>(Widget(id::PageControl1));
    TabSheet1 = Widget(id::TabSheet1);
    ChartIO = As<ChartBox>(Widget(id::ChartIO));
    ChartMBytes = As<ChartBox>(Widget(id::ChartMBytes));
    ChartTime = As<ChartBox>(Widget(id::ChartTime));
    Series2 = series_.at(id::ChartIO);
    Series3 = series_.at(id::ChartMBytes);
    Series1 = series_.at(id::ChartTime);
    Series2->setObjectName("Series2");
    Series3->setObjectName("Series3");
    Series1->setObjectName("Series1");
    Label1 = As<QLabel>(Widget(id::Label1));
    ComboBoxBlockSize = As<QComboBox>(Widget(id::ComboBoxBlockSize));
    LabelBlocSize = As<QLabel>(Widget(id::LabelBlocSize));
    LabelTestMetod = As<QLabel>(Widget(id::LabelTestMetod));
    ComboBoxTestMetod = As<QComboBox>(Widget(id::ComboBoxTestMetod));
    LabelThreadCount = As<QLabel>(Widget(id::LabelThreadCount));
    EditThreadCount = As<QLineEdit>(Widget(id::EditThreadCount));
    LabelTestTime = As<QLabel>(Widget(id::LabelTestTime));
    EditTestTime = As<QLineEdit>(Widget(id::EditTestTime));
    StartButton = As<QPushButton>(Widget(id::StartButton));
    LabelTimer = As<QLabel>(Widget(id::LabelTimer));
    LabeIOsTotal = As<QLabel>(Widget(id::LabeIOsTotal));
    LabelBytesTotal = As<QLabel>(Widget(id::LabelBytesTotal));
    LabelTimesTotal = As<QLabel>(Widget(id::LabelTimesTotal));
    LabelMaxTimeTotal = As<QLabel>(Widget(id::LabelMaxTimeTotal));
    LabelMinTimeTotal = As<QLabel>(Widget(id::LabelMinTimeTotal));
    LabelErrorsTotal = As<QLabel>(Widget(id::LabelErrorsTotal));
    LabelIOperSecTotal = As<QLabel>(Widget(id::LabelIOperSecTotal));
    LabelBytesPerSecTotal = As<QLabel>(Widget(id::LabelBytesPerSecTotal));
    LabelDebugText = As<QLabel>(Widget(id::LabelDebugText));
    Label2 = As<QLabel>(Widget(id::Label2));
    Label3 = As<QLabel>(Widget(id::Label3));
    EditTimesMsBetweenPortion = As<QLineEdit>(Widget(id::EditTimesMsBetweenPortion));
    ComboBoxTimesMsBetweenPortionCountType =
        As<QComboBox>(Widget(id::ComboBoxTimesMsBetweenPortionCountType));
    Label4 = As<QLabel>(Widget(id::Label4));
    Label5 = As<QLabel>(Widget(id::Label5));
    EditRIOsPerPortion = As<QLineEdit>(Widget(id::EditRIOsPerPortion));
    Label6 = As<QLabel>(Widget(id::Label6));
    EditWIOsPerPortion = As<QLineEdit>(Widget(id::EditWIOsPerPortion));
    ComboBoxIOsPerPortionCountType = As<QComboBox>(Widget(id::ComboBoxIOsPerPortionCountType));
    WriteStartButton = As<QPushButton>(Widget(id::WriteStartButton));

    Timer1 = new QTimer(this);
    Timer1->setObjectName("Timer1");
    Timer1->setInterval(kTimer1Ms);
    connect(Timer1, &QTimer::timeout, this, &QtForm1::Timer1Timer);
    Timer1->start();
    TimerRefreshData = new QTimer(this);
    TimerRefreshData->setObjectName("TimerRefreshData");
    TimerRefreshData->setInterval(kTimerRefreshDataMs);
    connect(TimerRefreshData, &QTimer::timeout, this, &QtForm1::TimerRefreshDataTimer);
    TimerRefreshData->start();

    connect(StartButton, &QPushButton::clicked, this, &QtForm1::StartButtonClick);
    connect(WriteStartButton, &QPushButton::clicked, this, &QtForm1::WriteStartButtonClick);
    TabSheet1->installEventFilter(this);

    // Tab order as stored: the page control, then the settings by their numbers.
    std::map<int, QWidget*> order;
    for (const ControlDef& def : StoredControls())
        if (def.tabOrder >= 0) order[def.tabOrder] = Widget(def.id);
    for (auto it = order.begin(); std::next(it) != order.end(); ++it)
        setTabOrder(it->second, std::next(it)->second);
}

QWidget* QtForm1::Widget(int control) const {
    if (control == id::Form1) return const_cast<QtForm1*>(this);
    const auto it = controls_.find(control);
    return it == controls_.end() ? nullptr : it->second;
}

void QtForm1::Remember(const ControlDef& def, QWidget* widget) {
    if (!def.name.empty()) widget->setObjectName(QString::fromStdString(def.name));
    controls_[def.id] = widget;
}

void QtForm1::Create(const ControlDef& def) {
    QWidget* parent = Widget(def.parent);
    const QString text = QString::fromStdString(def.text);
    const int volume = VolumeOf(def.id);
    const auto role = static_cast<VolumeRole>(volume < 0 ? 0 : (def.id - kVolumeIdBase) % kVolumeIdStride);
    switch (def.kind) {
        case ControlKind::PageControl: {
            auto* tabs = new QTabWidget(parent);
            Remember(def, tabs);
            SetBounds(def.id, def.bounds);
            break;
        }
        case ControlKind::Page: {
            auto* page = new QWidget();
            Remember(def, page);
            if (volume >= 0) {
                page->setObjectName(QString("TabSheet_%1").arg(QChar('A' + volume)));
                TabSheets[static_cast<size_t>(volume)] = page;
            }
            As<QTabWidget>(parent)->addTab(page, text);
            break;
        }
        case ControlKind::Label: {
            auto* label = new QLabel(text, parent);
            Remember(def, label);
            label->move(def.bounds.left, def.bounds.top);
            label->adjustSize();  // labels size themselves to their text
            label->setVisible(true);
            if (volume >= 0) {
                std::array<QLabel*, kSlots>* arrays[] = {nullptr,           &Label1s,     &LabeIOs,
                                                         &LabelBytes,       &LabelTimes,  &LabelMaxTime,
                                                         &LabelMinTime,     &LabelErrors, &LabelIOperSec,
                                                         &LabelBytesPerSec, &LabelDebug};
                const auto r = static_cast<size_t>(role);
                if (r < std::size(arrays) && arrays[r]) (*arrays[r])[static_cast<size_t>(volume)] = label;
            }
            break;
        }
        case ControlKind::Edit: {
            auto* edit = new QLineEdit(text, parent);
            Remember(def, edit);
            SetBounds(def.id, def.bounds);
            break;
        }
        case ControlKind::ComboBox: {
            auto* combo = new QComboBox(parent);
            Remember(def, combo);
            combo->setEditable(true);  // the operator may type any text; Start reads the text
            for (const std::string& item : def.items) combo->addItem(QString::fromStdString(item));
            combo->setCurrentText(text);
            SetBounds(def.id, def.bounds);
            break;
        }
        case ControlKind::Button: {
            auto* button = new QPushButton(text, parent);
            Remember(def, button);
            SetBounds(def.id, def.bounds);
            break;
        }
        case ControlKind::CheckBox: {
            auto* box = new QCheckBox(text, parent);
            Remember(def, box);
            box->setChecked(def.checked);
            box->move(def.bounds.left, def.bounds.top);
            box->adjustSize();
            box->setVisible(true);
            if (volume >= 0) TestThisDisk[static_cast<size_t>(volume)] = box;
            break;
        }
        case ControlKind::Chart: {
            ChartBox* chart = MakeChart(def.chart, text, parent);
            Remember(def, chart);
            SetBounds(def.id, def.bounds);
            const QColor stored((kStoredSeriesRgb >> 16) & 0xFF, (kStoredSeriesRgb >> 8) & 0xFF,
                                kStoredSeriesRgb & 0xFF);
            QLineSeries* series = AddSeries(chart, def.storedColour ? &stored : nullptr);
            series_[def.id] = series;
            chart->setVisible(true);
            if (volume >= 0) {
                const auto v = static_cast<size_t>(volume);
                if (role == VolumeRole::ChartIOs) ChartIOs[v] = chart, ChartIOsSeria[v] = series;
                if (role == VolumeRole::ChartMBytess) ChartMBytess[v] = chart, ChartMBytessSeria[v] = series;
                if (role == VolumeRole::ChartTimes) ChartTimes[v] = chart, ChartTimesSeria[v] = series;
            }
            break;
        }
    }
}

void QtForm1::SetText(int control, const std::string& text) {
    QWidget* w = Widget(control);
    const QString t = QString::fromStdString(text);
    if (auto* label = qobject_cast<QLabel*>(w)) {
        label->setText(t);
        label->adjustSize();
    } else if (auto* edit = qobject_cast<QLineEdit*>(w)) {
        edit->setText(t);
    } else if (auto* combo = qobject_cast<QComboBox*>(w)) {
        combo->setCurrentText(t);
    } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
        button->setText(t);
    }
}

std::string QtForm1::Text(int control) const {
    QWidget* w = Widget(control);
    if (auto* label = qobject_cast<QLabel*>(w)) return label->text().toStdString();
    if (auto* edit = qobject_cast<QLineEdit*>(w)) return edit->text().toStdString();
    if (auto* combo = qobject_cast<QComboBox*>(w)) return combo->currentText().toStdString();
    if (auto* button = qobject_cast<QAbstractButton*>(w)) return button->text().toStdString();
    return {};
}

void QtForm1::SetBounds(int control, const Rect& r) {
    if (QWidget* w = Widget(control))
        w->setGeometry(r.left, r.top, std::max(r.width, 0), std::max(r.height, 0));
}

Rect QtForm1::Bounds(int control) const {
    QWidget* w = Widget(control);
    if (!w) return {};
    const QRect g = w->geometry();
    return {g.x(), g.y(), g.width(), g.height()};
}

Size QtForm1::ClientSize(int control) const {
    QWidget* w = Widget(control);
    return w ? Size{w->width(), w->height()} : Size{};
}

void QtForm1::SetEnabled(int control, bool enabled) {
    if (QWidget* w = Widget(control)) w->setEnabled(enabled);
}

bool QtForm1::Checked(int control) const {
    auto* box = qobject_cast<QCheckBox*>(Widget(control));
    return box && box->isChecked();
}

void QtForm1::SetToolTip(int control, const std::string& text) {
    QWidget* w = Widget(control);
    if (!w) return;
    const int tab = PageControl1 ? PageControl1->indexOf(w) : -1;
    if (tab >= 0)
        PageControl1->tabBar()->setTabToolTip(tab, QString::fromStdString(text));
    else
        w->setToolTip(QString::fromStdString(text));
}

void QtForm1::SetActivePage(int page) {
    if (QWidget* w = Widget(page)) As<QTabWidget>(Widget(id::PageControl1))->setCurrentWidget(w);
}

void QtForm1::SetChart(int control, const ChartModel& chart) {
    const auto it = series_.find(control);
    if (it != series_.end()) ApplyChart(it->second, chart);
}

void QtForm1::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    FormShow();
}

void QtForm1::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (PageControl1) FormResize();
}

bool QtForm1::eventFilter(QObject* watched, QEvent* event) {
    if (watched == TabSheet1 && event->type() == QEvent::Resize) TabSheet1Resize();
    return QWidget::eventFilter(watched, event);
}

void QtForm1::closeEvent(QCloseEvent* event) {
    FormHide();
    QWidget::closeEvent(event);
    emit closed();
}

}  // namespace ui

#include "ui/form.h"

#include <algorithm>
#include <filesystem>

#include "platform/clock.h"
#include "platform/error_text.h"
#include "platform/host.h"
#include "stats/format.h"
#include "stats/log_file.h"

namespace ui {

namespace {

// A volume tab's labels and the Avg tab's, in the order of stats::LabelIndex.
constexpr VolumeRole kLabelRoles[8] = {VolumeRole::LabeIOs,       VolumeRole::LabelBytes,
                                       VolumeRole::LabelTimes,    VolumeRole::LabelMaxTime,
                                       VolumeRole::LabelMinTime,  VolumeRole::LabelErrors,
                                       VolumeRole::LabelIOperSec, VolumeRole::LabelBytesPerSec};
constexpr int kTotalLabels[8] = {id::LabeIOsTotal,       id::LabelBytesTotal,      id::LabelTimesTotal,
                                 id::LabelMaxTimeTotal,  id::LabelMinTimeTotal,    id::LabelErrorsTotal,
                                 id::LabelIOperSecTotal, id::LabelBytesPerSecTotal};

Rect Clamped(Rect r) {
    r.width = std::max(r.width, 0);
    r.height = std::max(r.height, 0);
    return r;
}

}  // namespace

TForm1::TForm1(engine::Engine& engine, IWindowDialogs& dialogs, IWindowView& view)
    : engine_(engine), dialogs_(dialogs), view_(view), hasVolumeRights_(platform::HasRawVolumeRights) {}

std::string NoAccessText(uint32_t code, bool hasRights) {
    std::string answer = platform::SystemErrorDescription(code);
    while (!answer.empty() && (answer.back() == '\n' || answer.back() == '\r' || answer.back() == '.'))
        answer.pop_back();
    std::string text =
        "Ни один том не удалось открыть. Ответ системы: " + answer + " (код " + std::to_string(code) + ").";
    if (hasRights)
        return text +
               "\nПрограмма уже запущена с правами на тома: их запрещает сама система (например, политика "
               "устройств контейнера или виртуальной машины).";
#ifdef _WIN32
    return text + "\nЗапустите программу от имени администратора.";
#else
    return text +
           "\nЗапустите программу от имени root или добавьте пользователя в группу disk:\n"
           "sudo usermod -aG disk $USER, затем войдите в систему заново.";
#endif
}

void TForm1::FormShow() {
    if (shown_) return;
    shown_ = true;
    view_.SetEnabled(id::WriteStartButton, engine::kLogCapacity >= 10);
    engine_.Volumes().EnumerateVolumes([this](int i) { CreateVolumeTab(i); });
    view_.SetActivePage(id::TabSheet1);
    // When the system refuses every volume, the window would just be empty: say what the system answered,
    // and the usual fix only where it can help (not to a process that already has those rights).
    bool any = false;
    uint32_t denied = 0;
    for (int i = 0; i < engine_.Volumes().Count(); ++i) {
        any = any || engine_.Volumes().Present(i);
        const uint32_t code = engine_.Volumes().OpenError(i);
        if (!denied && platform::IsPermissionError(code)) denied = code;
    }
    if (!any && denied) dialogs_.Inform(kNoAccessCaption, NoAccessText(denied, hasVolumeRights_()));
    view_.SetText(id::LabelTimer, "00:00:00");
    view_.SetText(id::EditThreadCount, "2");
    const int64_t c1 = platform::CounterNow();
    const int64_t c2 = platform::CounterNow();
    view_.SetText(id::Label1, std::to_string(engine_.TimerFreq()) + " " + stats::FormatCount(c2 - c1));
    TabSheet1Resize();
}

void TForm1::CloneLabel(VolumeRole slot, int index, int templ, int tab, const std::string& text) {
    const Rect t = view_.Bounds(templ);
    ControlDef def;
    def.id = VolumeControl(slot, index);
    def.kind = ControlKind::Label;
    def.parent = tab;
    def.text = text;
    def.bounds = {t.left, t.top, 0, 0};
    view_.Create(def);
}

void TForm1::MakeChart(VolumeRole slot, int index, int templ, int tab) {
    const ControlDef& t = *StoredControl(templ);
    ControlDef def;
    def.id = VolumeControl(slot, index);
    def.kind = ControlKind::Chart;
    def.parent = tab;
    def.text = t.text;  // the title; the templates' series and their colour are not copied
    def.chart = t.chart;
    def.bounds = view_.Bounds(templ);
    view_.Create(def);
}

void TForm1::CreateVolumeTab(int index) {
    if (index < 0 || index >= kSlots || hasTab_[static_cast<size_t>(index)]) return;
    const int tab = VolumeControl(VolumeRole::TabSheets, index);
    ControlDef page;
    page.id = tab;
    page.kind = ControlKind::Page;
    page.parent = id::PageControl1;
    page.text = std::string(1, static_cast<char>('A' + index));
    view_.Create(page);
    // The letter alone does not tell an operator which device it is, nor that an image file's figures would
    // be the page cache's.
    view_.SetToolTip(tab,
                     engine_.Volumes().DevicePath(index) +
                         (engine_.Volumes().Uncached(index)
                              ? ""
                              : " (через кэш: файловая система не допускает O_DIRECT, скорости будут кэша)"));

    const std::string size =
        "Size=" + stats::FormatCount(engine_.Volumes().Size(index) / 1'048'576) + " MBytes";
    CloneLabel(VolumeRole::Label1s, index, id::Label1, tab, size);
    CloneLabel(VolumeRole::LabeIOs, index, id::LabeIOsTotal, tab, "I/O total ");
    CloneLabel(VolumeRole::LabelBytes, index, id::LabelBytesTotal, tab, "MBytes total ");
    CloneLabel(VolumeRole::LabelTimes, index, id::LabelTimesTotal, tab, "Times total");
    CloneLabel(VolumeRole::LabelMaxTime, index, id::LabelMaxTimeTotal, tab, "Maximal time");
    CloneLabel(VolumeRole::LabelMinTime, index, id::LabelMinTimeTotal, tab, "Minimal time");
    CloneLabel(VolumeRole::LabelErrors, index, id::LabelErrorsTotal, tab, "Errors total");
    CloneLabel(VolumeRole::LabelIOperSec, index, id::LabelIOperSecTotal, tab, "I/O per sec ");
    CloneLabel(VolumeRole::LabelBytesPerSec, index, id::LabelBytesPerSecTotal, tab, "MBytes per sec");
    CloneLabel(VolumeRole::LabelDebug, index, id::LabelDebugText, tab, "MBytes per sec");

    MakeChart(VolumeRole::ChartIOs, index, id::ChartIO, tab);
    MakeChart(VolumeRole::ChartMBytess, index, id::ChartMBytes, tab);
    MakeChart(VolumeRole::ChartTimes, index, id::ChartTime, tab);

    const Rect label1 = view_.Bounds(id::Label1);
    ControlDef box;
    box.id = VolumeControl(VolumeRole::TestThisDisk, index);
    box.kind = ControlKind::CheckBox;
    box.parent = tab;
    box.text = "Check this disk";
    box.checked = true;
    box.bounds = {label1.left, label1.top + label1.height, 0, 0};
    view_.Create(box);

    hasTab_[static_cast<size_t>(index)] = true;
    view_.SetActivePage(tab);
}

void TForm1::FormResize() {
    const Size client = view_.ClientSize(id::Form1);
    const Rect page = view_.Bounds(id::PageControl1);
    view_.SetBounds(id::PageControl1, Clamped({page.left, page.top, client.width - 4 * page.left,
                                               client.height - page.top + page.left}));
    // A hidden page may learn its new size only when shown; the volume tabs must follow at once.
    TabSheet1Resize();
}

void TForm1::TabSheet1Resize() {
    const Size tab = view_.ClientSize(id::TabSheet1);
    const int w = tab.width, h = tab.height;
    Rect io = view_.Bounds(id::ChartIO), mb = view_.Bounds(id::ChartMBytes),
         time = view_.Bounds(id::ChartTime);
    const int m = io.left;
    // Each step reads what the steps before it set; sizes below 0 are taken as 0.
    time.width = std::max(w - 2 * time.left, 0);
    mb.left = (w + m) / 2 + m;
    mb.width = std::max(w - mb.left - m, 0);
    io.width = mb.width;
    time.height = std::max((h - mb.top) / 2 - time.left, 0);
    time.top = mb.top + time.height + time.left;
    mb.height = time.height;
    io.height = time.height;
    view_.SetBounds(id::ChartTime, time);
    view_.SetBounds(id::ChartMBytes, mb);
    view_.SetBounds(id::ChartIO, io);
    for (int i = 0; i < engine_.Volumes().Count(); ++i) {
        if (!engine_.Volumes().Present(i) || !HasTab(i)) continue;
        const int times = VolumeControl(VolumeRole::ChartTimes, i);
        const int ios = VolumeControl(VolumeRole::ChartIOs, i);
        const int mbs = VolumeControl(VolumeRole::ChartMBytess, i);
        const Rect t = view_.Bounds(times), a = view_.Bounds(ios), b = view_.Bounds(mbs);
        view_.SetBounds(times, {t.left, time.top, time.width, time.height});
        view_.SetBounds(ios, {a.left, a.top, io.width, io.height});
        view_.SetBounds(mbs, {mb.left, b.top, mb.width, mb.height});
    }
}

std::array<bool, kSlots> TForm1::Ticked() const {
    std::array<bool, kSlots> ticked{};
    for (int i = 0; i < kSlots; ++i)
        ticked[static_cast<size_t>(i)] =
            HasTab(i) && view_.Checked(VolumeControl(VolumeRole::TestThisDisk, i));
    return ticked;
}

WindowTexts TForm1::Texts() const {
    WindowTexts t;
    t.blockSize = view_.Text(id::ComboBoxBlockSize);
    t.method = view_.Text(id::ComboBoxTestMetod);
    t.testMinutes = view_.Text(id::EditTestTime);
    t.threads = view_.Text(id::EditThreadCount);
    t.pauseMs = view_.Text(id::EditTimesMsBetweenPortion);
    t.pauseType = view_.Text(id::ComboBoxTimesMsBetweenPortionCountType);
    t.reads = view_.Text(id::EditRIOsPerPortion);
    t.writes = view_.Text(id::EditWIOsPerPortion);
    t.ioCountType = view_.Text(id::ComboBoxIOsPerPortionCountType);
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
            view_.SetText(id::LabelTimer, "00:00:00");
            view_.SetText(id::StartButton, kStop);
            break;
        case engine::StartOutcome::Refused:
            dialogs_.Inform(kBadSettingsCaption, RefusalText(result.refusal, texts, engine_.Volumes()));
            break;
        default:
            break;
    }
}

void TForm1::Timer1Timer() {
    if (const auto elapsed = engine_.Tick())
        view_.SetText(id::LabelTimer, stats::FormatMilliseconds(*elapsed));
    if (view_.Text(id::StartButton) != kStart && !engine_.Workers().AnyReleased())
        view_.SetText(id::StartButton, kStart);
}

void TForm1::TimerRefreshDataTimer() {
    refresher_.Refresh(engine_.Volumes(), engine_.TimerFreq(), Ticked(), *this);
}

void TForm1::SetDebugText(int volume, const std::string& text) {
    if (HasTab(volume)) view_.SetText(VolumeControl(VolumeRole::LabelDebug, volume), text);
}

void TForm1::Show(int volume, const stats::StatsView& view) {
    const bool all = volume < 0;
    if (!all && !HasTab(volume)) return;
    const stats::Separators& sep = stats::UserSeparators();
    const auto chart = [&](int control, ChartKind kind, const std::vector<stats::ChartPoint>& points) {
        chart_.kind = kind;
        chart_.title = StoredControl(kind == ChartKind::IO       ? id::ChartIO
                                     : kind == ChartKind::MBytes ? id::ChartMBytes
                                                                 : id::ChartTime)
                           ->text;
        chart_.storedColour = all;
        SetChartPoints(chart_, points, sep);
        view_.SetChart(control, chart_);
    };
    chart(all ? id::ChartIO : VolumeControl(VolumeRole::ChartIOs, volume), ChartKind::IO, view.ioPerSec);
    chart(all ? id::ChartMBytes : VolumeControl(VolumeRole::ChartMBytess, volume), ChartKind::MBytes,
          view.mbytesPerSec);
    chart(all ? id::ChartTime : VolumeControl(VolumeRole::ChartTimes, volume), ChartKind::Time, view.latency);
    for (int k = 0; k < 8; ++k)
        view_.SetText(all ? kTotalLabels[k] : VolumeControl(kLabelRoles[k], volume),
                      view.labels[static_cast<size_t>(k)]);
    // Why operations failed, in full, where the count alone is shown.
    if (!all) view_.SetToolTip(VolumeControl(VolumeRole::LabelErrors, volume), view.errorCauses);
}

void TForm1::WriteStartButtonClick() {
    uint32_t records = 0;
    // Failure speaks through the system-error box; success says what was written where.
    if (stats::WriteOperationLog(engine_.Log(), dialogs_, stats::kLogFileName, &records) ==
        stats::LogWrite::Written)
        dialogs_.Inform("Запись статистики", "Записано операций: " + stats::FormatCount(records) + "\n" +
                                                 std::filesystem::absolute(stats::kLogFileName).string());
}

void TForm1::FormHide() {
    if (hidden_) return;
    hidden_ = true;
    engine_.EndRunAndWait(1000);
}

}  // namespace ui

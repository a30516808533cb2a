// The window's behaviour without a toolkit: handlers, texts, layout and charts on a fake view.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>

#include "engine/pending.h"
#include "tests/test_support.h"
#include "ui/form.h"

using namespace ui;
using testing_support::FakeDialogs;
using testing_support::FakeVolumeSystem;
using testing_support::WaitFor;

namespace {

// Controls as plain records. A label is 6 pixels a character and 13 high; a page's client area is its page
// control's less a 22-pixel tab row and a 2-pixel frame.
class FakeView : public IWindowView {
  public:
    struct Control {
        ControlDef def;
        std::string text, tooltip;
        Rect bounds;
        bool enabled = true, checked = false;
        ChartModel chart;
        int charts = 0;  // times drawn
    };
    std::map<int, Control> controls;
    std::vector<int> pages;  // in tab order
    int activePage = 0;
    Size client = kClientSize;

    FakeView() {
        for (const ControlDef& def : StoredControls()) Create(def);
    }
    void Create(const ControlDef& def) override {
        ASSERT_EQ(controls.count(def.id), 0u) << "control " << def.id << " made twice";
        ASSERT_TRUE(def.parent == id::Form1 || controls.count(def.parent)) << "no parent for " << def.id;
        Control& c = controls[def.id];
        c.def = def;
        c.bounds = def.bounds;
        c.checked = def.checked;
        SetText(def.id, def.text);
        if (def.kind == ControlKind::Page) pages.push_back(def.id);
        if (def.kind == ControlKind::Chart) c.chart = EmptyChart(def.chart, def.text, def.storedColour, {});
    }
    Control& At(int control) {
        EXPECT_EQ(controls.count(control), 1u) << "no control " << control;
        return controls[control];
    }
    const Control& At(int control) const { return controls.at(control); }
    void SetText(int control, const std::string& text) override {
        Control& c = At(control);
        c.text = text;
        if (c.def.kind == ControlKind::Label || c.def.kind == ControlKind::CheckBox) {
            c.bounds.width = 6 * static_cast<int>(text.size());
            c.bounds.height = 13;
        }
    }
    std::string Text(int control) const override { return At(control).text; }
    void SetBounds(int control, const Rect& r) override {
        EXPECT_GE(r.width, 0);
        EXPECT_GE(r.height, 0);
        At(control).bounds = r;
    }
    Rect Bounds(int control) const override { return At(control).bounds; }
    Size ClientSize(int control) const override {
        if (control == id::Form1) return client;
        const Rect pc = At(id::PageControl1).bounds;
        return {std::max(pc.width - 4, 0), std::max(pc.height - 24, 0)};
    }
    void SetEnabled(int control, bool enabled) override { At(control).enabled = enabled; }
    bool Checked(int control) const override { return At(control).checked; }
    void SetToolTip(int control, const std::string& text) override { At(control).tooltip = text; }
    void SetActivePage(int page) override {
        ASSERT_EQ(At(page).def.kind, ControlKind::Page);
        activePage = page;
    }
    void SetChart(int control, const ChartModel& chart) override {
        At(control).chart = chart;
        ++At(control).charts;
    }
};

int V(VolumeRole role, int index) {
    return VolumeControl(role, index);
}

struct Window : ::testing::Test {
    std::shared_ptr<FakeVolumeSystem> fake = std::make_shared<FakeVolumeSystem>();
    FakeDialogs dialogs;
    FakeView view;
    std::unique_ptr<engine::Engine> eng;
    std::unique_ptr<TForm1> form;
    uint32_t now = 1000;  // the tick count, driven by the test

    // C: of 1,048,575 bytes and E: of 64 MiB unless the test set up its own; the window shown.
    void Open(bool defaults = true) {
        if (defaults) {
            fake->volumes[2].present = true;
            fake->volumes[2].deviceSize = 1'048'575;
            fake->volumes[4].present = true;
            fake->volumes[4].deviceSize = 64 << 20;
        }
        eng = std::make_unique<engine::Engine>(fake, dialogs, 100'000, [this] { return now; });
        form = std::make_unique<TForm1>(*eng, dialogs, view);
        form->FormShow();
    }
    // Every worker out of its run, and its event reset: also one released too late to enter the run.
    void Drain() {
        ASSERT_TRUE(WaitFor([&] { return !eng->Workers().AnyBusy() && !eng->Workers().AnyReleased(); }));
    }
    void TearDown() override {
        if (eng && eng->Running()) eng->Stop();
    }
};

}  // namespace

TEST(WindowDescription, EveryStoredControlHasOneIdentifierOneNameAndTheStoredTabOrder) {
    std::set<int> ids;
    std::set<std::string> names;
    std::map<int, std::string> order;
    for (const ControlDef& c : StoredControls()) {
        EXPECT_TRUE(ids.insert(c.id).second) << c.name;
        EXPECT_TRUE(names.insert(c.name).second) << c.name;
        EXPECT_EQ(VolumeOf(c.id), -1) << c.name;
        if (c.tabOrder >= 0) {
            EXPECT_TRUE(order.emplace(c.tabOrder, c.name).second) << c.name;
        }
        if (c.parent != id::Form1) {
            EXPECT_NE(StoredControl(c.parent), nullptr) << c.name;
        }
    }
    EXPECT_EQ(ids.size(), 36u);
    const std::vector<std::string> expected = {"PageControl1",
                                               "ComboBoxBlockSize",
                                               "ComboBoxTestMetod",
                                               "EditThreadCount",
                                               "EditTestTime",
                                               "StartButton",
                                               "EditTimesMsBetweenPortion",
                                               "ComboBoxTimesMsBetweenPortionCountType",
                                               "EditRIOsPerPortion",
                                               "EditWIOsPerPortion",
                                               "ComboBoxIOsPerPortionCountType",
                                               "WriteStartButton"};
    std::vector<std::string> seen;
    for (const auto& [n, name] : order) seen.push_back(name);
    EXPECT_EQ(seen, expected);
    // Identifiers of the volume tabs never meet each other or the stored ones.
    std::set<int> volumeIds;
    for (int i = 0; i < kSlots; ++i)
        for (int r = 0; r < static_cast<int>(VolumeRole::Count); ++r) {
            const int c = V(static_cast<VolumeRole>(r), i);
            EXPECT_TRUE(volumeIds.insert(c).second);
            EXPECT_EQ(VolumeOf(c), i);
            EXPECT_EQ(StoredControl(c), nullptr);
        }
    EXPECT_EQ(StoredControl(id::StartButton)->bounds, (Rect{840, -7, 75, 25}));
    EXPECT_EQ(StoredControl(id::ComboBoxBlockSize)->items.back(), "262144");
    EXPECT_EQ(StoredControl(id::ChartTime)->chart, ChartKind::Time);
}

TEST_F(Window, ShownItProbesOnceBuildsATabPerVolumeInLetterOrderAndShowsTheAvgTab) {
    Open();
    EXPECT_EQ(view.pages,
              (std::vector<int>{id::TabSheet1, V(VolumeRole::TabSheets, 2), V(VolumeRole::TabSheets, 4)}));
    EXPECT_EQ(view.Text(V(VolumeRole::TabSheets, 2)), "C");
    EXPECT_EQ(view.At(V(VolumeRole::TabSheets, 4)).tooltip, "/dev/fakee");
    EXPECT_EQ(view.activePage, id::TabSheet1);
    EXPECT_EQ(view.Text(V(VolumeRole::Label1s, 2)),
              "Size=0 MBytes");  // 1,048,575 bytes: the division truncates
    EXPECT_EQ(view.Text(V(VolumeRole::Label1s, 4)), "Size=64 MBytes");
    EXPECT_EQ(view.Text(V(VolumeRole::LabelDebug, 2)), "MBytes per sec");
    EXPECT_EQ(view.Text(V(VolumeRole::LabeIOs, 2)), "I/O total ");
    EXPECT_EQ(view.Bounds(V(VolumeRole::LabelTimes, 4)).left, 806);
    EXPECT_EQ(view.Bounds(V(VolumeRole::LabelIOperSec, 4)).top, 40);
    const Rect box = view.Bounds(V(VolumeRole::TestThisDisk, 2));
    EXPECT_EQ(box.left, 3);
    EXPECT_EQ(box.top, 3 + 13);  // directly below the size label
    EXPECT_TRUE(view.Checked(V(VolumeRole::TestThisDisk, 4)));
    EXPECT_EQ(view.Text(V(VolumeRole::TestThisDisk, 4)), "Check this disk");
    const auto& chart = view.At(V(VolumeRole::ChartTimes, 4));
    EXPECT_EQ(chart.chart.title, "Time mks");
    EXPECT_TRUE(chart.chart.x.logBase == 2.0);
    EXPECT_FALSE(chart.def.storedColour);  // the templates' series colour is not copied
    EXPECT_TRUE(view.At(id::ChartTime).def.storedColour);
    EXPECT_EQ(view.Bounds(V(VolumeRole::ChartIOs, 2)), view.Bounds(id::ChartIO));
    EXPECT_EQ(view.controls.count(V(VolumeRole::TabSheets, 3)), 0u);
    EXPECT_EQ(view.Text(id::LabelTimer), "00:00:00");
    EXPECT_EQ(view.Text(id::EditThreadCount), "2");
    EXPECT_EQ(view.Text(id::LabelDebugText), "LabelDebugText");
    EXPECT_TRUE(view.At(id::WriteStartButton).enabled);
    // The counter calibration: frequency, a blank, the grouped ticks of one counter read.
    EXPECT_EQ(view.Text(id::Label1).rfind(std::to_string(eng->TimerFreq()) + " ", 0), 0u);
    // Shown again (restored from the task bar): nothing probed or built twice.
    form->FormShow();
    EXPECT_EQ(view.pages.size(), 3u);
}

TEST_F(Window, WithoutVolumesOnlyTheAvgTabAndANoticeWhenRightsAreMissing) {
    for (int i : {2, 3}) {
        fake->volumes[i].present = true;
        fake->volumes[i].openFails = true;
#ifdef _WIN32
        fake->volumes[i].openError = 5;  // ERROR_ACCESS_DENIED
#else
        fake->volumes[i].openError = 13;  // EACCES
#endif
    }
    eng = std::make_unique<engine::Engine>(fake, dialogs, 100'000, [this] { return now; });
    form = std::make_unique<TForm1>(*eng, dialogs, view);
    form->SetRightsCheck([] { return false; });
    form->FormShow();
    EXPECT_EQ(view.pages, std::vector<int>{id::TabSheet1});
    ASSERT_EQ(dialogs.Count(), 1u);
    EXPECT_EQ(dialogs.Boxes()[0].caption, kNoAccessCaption);
    // What the system answered, with its code, then how to get the rights.
    const std::string code = std::to_string(fake->volumes[2].openError);
    EXPECT_NE(dialogs.Boxes()[0].body.find("(код " + code + ")"), std::string::npos)
        << dialogs.Boxes()[0].body;
#ifndef _WIN32
    EXPECT_NE(dialogs.Boxes()[0].body.find("группу disk"), std::string::npos);
#endif
    // Already with those rights (root in a container whose device policy refuses the disks): no advice that
    // cannot help.
    const std::string privileged = NoAccessText(1, true);
    EXPECT_NE(privileged.find("(код 1)"), std::string::npos);
    EXPECT_EQ(privileged.find("группу disk"), std::string::npos);
    EXPECT_NE(privileged.find("уже запущена с правами"), std::string::npos);
    form->TabSheet1Resize();  // lays out the Avg charts only
    form->TimerRefreshDataTimer();
    EXPECT_EQ(view.Text(id::LabeIOsTotal), "I/O total 0");
    EXPECT_EQ(view.Text(id::LabelIOperSecTotal), "I/O per sec");
    EXPECT_TRUE(view.At(id::ChartIO).chart.points.empty());
}

TEST_F(Window, ResizeArithmeticAndEveryVolumeTabFollowsTheAvgTab) {
    Open();
    view.SetActivePage(V(VolumeRole::TabSheets, 4));       // whichever tab is active
    view.SetBounds(id::PageControl1, {0, 46, 1004, 624});  // the Avg tab's client area: 1000 x 600
    form->TabSheet1Resize();
    EXPECT_EQ(view.Bounds(id::ChartMBytes), (Rect{504, 72, 493, 261}));  // W + m odd: the half truncates
    EXPECT_EQ(view.Bounds(id::ChartIO), (Rect{3, 72, 493, 261}));
    EXPECT_EQ(view.Bounds(id::ChartTime), (Rect{3, 72 + 261 + 3, 994, (600 - 72) / 2 - 3}));
    for (int i : {2, 4}) {
        EXPECT_EQ(view.Bounds(V(VolumeRole::ChartMBytess, i)), view.Bounds(id::ChartMBytes));
        EXPECT_EQ(view.Bounds(V(VolumeRole::ChartIOs, i)), view.Bounds(id::ChartIO));
        EXPECT_EQ(view.Bounds(V(VolumeRole::ChartTimes, i)), view.Bounds(id::ChartTime));
    }
    // The window's own resize: the page control spans the client area below the settings.
    view.client = {1200, 800};
    form->FormResize();
    EXPECT_EQ(view.Bounds(id::PageControl1), (Rect{0, 46, 1200, 800 - 46}));
    EXPECT_EQ(view.Bounds(V(VolumeRole::ChartTimes, 2)).width, 1200 - 4 - 6);
    // Smaller than the margins: sizes stop at 0, places stay.
    view.client = {20, 30};
    form->FormResize();
    EXPECT_EQ(view.Bounds(id::PageControl1), (Rect{0, 46, 20, 0}));
    EXPECT_EQ(view.Bounds(id::ChartTime).width, 10);
    EXPECT_EQ(view.Bounds(id::ChartTime).height, 0);
    EXPECT_EQ(view.Bounds(id::ChartIO).left, 3);
}

TEST_F(Window, StartTimerStopAndTheCaptionBackOnceEveryWorkerHasLeft) {
    Open();
    view.SetText(id::EditTestTime, "1");
    view.At(V(VolumeRole::TestThisDisk, 4)).checked = false;
    view.SetText(id::ComboBoxTestMetod, "Linear forward");
    form->StartButtonClick();
    ASSERT_TRUE(eng->Running());
    EXPECT_EQ(view.Text(id::StartButton), kStop);
    EXPECT_EQ(eng->Settings().method, engine::Method::LinearForward);
    EXPECT_EQ(eng->Workers().Count(), 2);  // two per disk, C: only
    EXPECT_FALSE(eng->Volume(4)->Selected);
    now += 1500;
    form->Timer1Timer();
    EXPECT_EQ(view.Text(id::LabelTimer), "00:00:01.500");
    EXPECT_EQ(view.Text(id::StartButton), kStop);
    now += 60'000;  // the test time has passed: the tick ends the run
    form->Timer1Timer();
    EXPECT_FALSE(eng->Running());
    Drain();
    form->Timer1Timer();
    EXPECT_EQ(view.Text(id::StartButton), kStart);
    EXPECT_EQ(view.Text(id::LabelTimer), "00:01:01.500");  // keeps the last value shown

    // A second start, stopped with the button.
    form->StartButtonClick();
    ASSERT_TRUE(eng->Running());
    form->StartButtonClick();
    EXPECT_FALSE(eng->Running());
    Drain();
    form->Timer1Timer();
    EXPECT_EQ(view.Text(id::StartButton), kStart);
}

TEST_F(Window, ARefusedStartNamesTheFieldByItsCaptionAndStartsNothing) {
    Open();
    const std::pair<int, std::string> bad[] = {
        {id::ComboBoxBlockSize, "4k"},  {id::EditTestTime, "40000"},        {id::EditThreadCount, "two"},
        {id::EditWIOsPerPortion, "-3"}, {id::ComboBoxBlockSize, "2000000"}, {id::EditThreadCount, "600"}};
    const std::string expected[] = {
        "Размер блока: «4k» — не целое число",
        "Время тестирования (минут): «40000» — должно быть в пределах ±35791",
        "Количество потоков на диск: «two» — не целое число",
        "к W: «-3» — должно быть не меньше 0",
        "Размер блока: «2000000» больше тома C: (/dev/fakec), в котором 1048575 байт",
        "Максимальное количество потоков 1024. Запрошено 1200"};
    for (size_t k = 0; k < std::size(bad); ++k) {
        const std::string before = view.Text(bad[k].first);
        view.SetText(bad[k].first, bad[k].second);
        form->StartButtonClick();
        EXPECT_FALSE(eng->Running());
        EXPECT_EQ(view.Text(id::StartButton), kStart);
        EXPECT_EQ(dialogs.Boxes().back().caption, kBadSettingsCaption);
        EXPECT_EQ(dialogs.Boxes().back().body, expected[k]);
        view.SetText(bad[k].first, before);
    }
    EXPECT_EQ(eng->Workers().Count(), 0);
}

// A run whose buffers could not fit in this machine's memory (1,000 workers of 1 GiB blocks on a 4 TiB
// volume) is refused with the sizes before a worker is made or a buffer allocated.
TEST_F(Window, ARunThatWouldNotFitInMemoryIsRefusedWithItsSizesBeforeAnyWorker) {
    fake->volumes[3].present = true;
    fake->volumes[3].deviceSize = int64_t{1} << 42;
    Open(false);
    view.SetText(id::ComboBoxBlockSize, "1073741824");
    view.SetText(id::EditThreadCount, "1000");
    form->StartButtonClick();
    EXPECT_FALSE(eng->Running());
    EXPECT_EQ(eng->Workers().Count(), 0);
    ASSERT_FALSE(dialogs.Boxes().empty());
    const std::string body = dialogs.Boxes().back().body;
    EXPECT_EQ(dialogs.Boxes().back().caption, kBadSettingsCaption);
    EXPECT_EQ(body.rfind("Для буферов потоков, карты проверки и журнала операций нужно ", 0), 0u) << body;
    EXPECT_NE(body.find(" (три четверти памяти машины). Уменьшите размер блока или число потоков"),
              std::string::npos)
        << body;
}

TEST_F(Window, DeclinedDestructionStartsNothingAndTheQuestionNamesEachDevice) {
    Open();
    view.SetText(id::EditWIOsPerPortion, "1");
    dialogs.answerYes = false;
    form->StartButtonClick();
    const auto box = dialogs.Boxes().back();
    EXPECT_EQ(box.kind, "yesno");
    EXPECT_EQ(box.caption, kWarningCaption);
    EXPECT_EQ(box.body.rfind("Данные на дисках 2,4 будут уничтожены. Продолжим?", 0), 0u);
    EXPECT_NE(box.body.find("E:  /dev/fakee  64 MBytes"), std::string::npos);
    EXPECT_FALSE(eng->Running());
    EXPECT_EQ(view.Text(id::StartButton), kStart);
}

TEST_F(Window, RefreshShowsTickedVolumesAndTheAvgTabAndLeavesUntickedOnesAlone) {
    fake->volumes[2].present = fake->volumes[4].present = true;
    fake->volumes[2].deviceSize = fake->volumes[4].deviceSize = 4 << 20;
    fake->volumes[2].callDelayUs = 200;
    Open(false);
    view.SetText(id::EditTestTime, "1");  // one-second intervals
    view.At(V(VolumeRole::TestThisDisk, 4)).checked = false;
    form->StartButtonClick();
    ASSERT_TRUE(WaitFor([&] {
        auto lock = engine::LockUpToDate(*eng->Volume(2));
        return eng->Volume(2)->CurInterval >= 3;
    }));
    form->StartButtonClick();
    Drain();
    eng->EndRunAndWait(0);

    form->TimerRefreshDataTimer();
    const engine::VolumeStats& c = *eng->Volume(2);
    EXPECT_EQ(view.Text(V(VolumeRole::LabelDebug, 2)), "Curpos " + std::to_string(c.CurInterval));
    EXPECT_EQ(view.Text(V(VolumeRole::LabelDebug, 4)), "Curpos 0");  // present, unticked: still told
    // Completed intervals only, the one being filled left out.
    EXPECT_EQ(view.Text(V(VolumeRole::LabeIOs, 2)),
              "I/O total " + stats::FormatCount(stats::SumIntervals(c, c.CurInterval - 1).IOCount));
    EXPECT_EQ(view.Text(V(VolumeRole::LabeIOs, 4)), "I/O total ");  // unticked: untouched
    EXPECT_EQ(view.Text(id::LabeIOsTotal), view.Text(V(VolumeRole::LabeIOs, 2)));
    EXPECT_EQ(view.Text(id::LabelErrorsTotal), "Errors total 0");
    EXPECT_EQ(view.Text(V(VolumeRole::LabelIOperSec, 2)).rfind("I/O per sec ", 0), 0u);
    const ChartModel& io = view.At(V(VolumeRole::ChartIOs, 2)).chart;
    EXPECT_EQ(io.points.size(), static_cast<size_t>(c.CurInterval));
    EXPECT_EQ(io.points[0].x, 0);
    EXPECT_FALSE(io.storedColour);
    EXPECT_TRUE(view.At(id::ChartIO).chart.storedColour);
    EXPECT_EQ(view.At(id::ChartIO).chart.title, "IO/s");
    const ChartModel& time = view.At(id::ChartTime).chart;
    ASSERT_FALSE(time.points.empty());
    EXPECT_EQ(time.points[0].x, kFirstLatencyBinX);  // the 0-1 ms bin, drawable on the log axis
    EXPECT_EQ(view.At(V(VolumeRole::ChartTimes, 4)).charts, 0);
    EXPECT_EQ(view.At(V(VolumeRole::LabelErrors, 2)).tooltip, "");  // no failure, no cause

    // Ticked again: it takes part at the next refresh with what its record holds.
    view.At(V(VolumeRole::TestThisDisk, 4)).checked = true;
    form->TimerRefreshDataTimer();
    EXPECT_EQ(view.Text(V(VolumeRole::LabeIOs, 4)), "I/O total 0");
}

TEST_F(Window, TheStatisticsButtonWritesTheLogIntoTheCurrentDirectoryAndSaysSo) {
    Open();
    testing_support::TempDir dir;
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    form->WriteStartButtonClick();  // nothing logged yet: no file, no box
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "SrcStats.dat"));
    EXPECT_EQ(dialogs.Count(), 0u);
    form->StartButtonClick();
    ASSERT_TRUE(WaitFor([&] { return eng->Log().Count() > 20; }));
    form->FormHide();  // closing: the run ends and the workers are waited for
    EXPECT_FALSE(eng->Running());
    Drain();
    form->WriteStartButtonClick();
    EXPECT_EQ(std::filesystem::file_size(dir.path() / "SrcStats.dat"), uintmax_t{eng->Log().Count()} * 32);
    ASSERT_EQ(dialogs.Count(), 1u);
    EXPECT_EQ(dialogs.Boxes()[0].caption, "Запись статистики");
    EXPECT_NE(dialogs.Boxes()[0].body.find(stats::FormatCount(eng->Log().Count())), std::string::npos);
    std::filesystem::current_path(cwd);
}

TEST(WindowTexts, ReadAsTheWindowReadsThem) {
    WindowTexts t;
    engine::RunSettings s;
    engine::Refusal r;
    ASSERT_TRUE(ReadWindowSettings(t, s, r));
    EXPECT_EQ(s.blockSize, 4096);
    EXPECT_EQ(s.method, engine::Method::Random);
    EXPECT_EQ(s.testMs, 30 * 60'000);
    EXPECT_EQ(s.threadsPerVolume, 2);
    EXPECT_EQ(s.pauseType, engine::PauseType::Random);
    EXPECT_EQ(s.ioCountType, engine::IOCountType::Fixed);
    t.method = "random";  // whole and case-sensitive: names none, the last run's method stays
    t.pauseType = "Fixed";
    t.testMinutes = "-3";
    ASSERT_TRUE(ReadWindowSettings(t, s, r));
    EXPECT_EQ(s.method, engine::Method::None);
    EXPECT_EQ(s.pauseType, engine::PauseType::Fixed);
    EXPECT_EQ(s.testMs, -180'000);
    for (const char* m : {"Batterfly", "Linear forward", "Linear backward"}) {
        t.method = m;
        ASSERT_TRUE(ReadWindowSettings(t, s, r));
        EXPECT_NE(s.method, engine::Method::None);
    }
    t.reads = " 1";
    EXPECT_FALSE(ReadWindowSettings(t, s, r));
    EXPECT_EQ(r.field, engine::SettingField::ReadsPerPortion);
    EXPECT_EQ(r.value, " 1");
}

TEST(ChartModels, ValueAxesStartAtZeroHoldEveryPointAndNeverRepeatALabel) {
    const stats::Separators sep{",", "."};
    const std::vector<std::vector<stats::ChartPoint>> cases = {
        {}, {{0, 1}}, {{0, 3}, {1, 7}}, {{0, 0.004}}, {{0, 123456}, {2999, 17}}, {{0, 1e12}}};
    for (ChartKind kind : {ChartKind::IO, ChartKind::MBytes})
        for (const auto& points : cases) {
            ChartModel m = EmptyChart(kind, "t", false, sep);
            SetChartPoints(m, points, sep);
            for (const ChartAxis* axis : {&m.x, &m.y}) {
                EXPECT_EQ(axis->min, 0);
                ASSERT_EQ(axis->ticks.size(), static_cast<size_t>(kAxisSteps + 1));
                std::set<std::string> labels;
                for (const AxisTick& t : axis->ticks) EXPECT_TRUE(labels.insert(t.label).second) << t.label;
                EXPECT_EQ(axis->ticks.back().value, axis->max);
            }
            for (const auto& p : points) {
                EXPECT_GE(m.x.max, p.x);
                EXPECT_GE(m.y.max, p.y);
            }
        }
    ChartModel io = EmptyChart(ChartKind::IO, "IO/s", true, sep);
    SetChartPoints(io, {{0, 1234.0}, {1, 4321.0}}, sep);
    EXPECT_EQ(io.y.max, 5000);  // 4321 and 5% headroom, in steps of 1,000
    EXPECT_EQ(io.y.ticks[1].label, "1,000");
    ChartModel mb = EmptyChart(ChartKind::MBytes, "MBytes/s", true, {" ", ","});
    SetChartPoints(mb, {{0, 0.3}}, {" ", ","});
    EXPECT_EQ(mb.y.ticks[1].label, "0,50");  // the user's decimal separator, two decimals
}

TEST(ChartModels, TheLatencyAxisIsBaseTwoFromHalfAMillisecondToAWholePower) {
    const stats::Separators sep{".", ","};
    ChartModel m = EmptyChart(ChartKind::Time, "Time mks", false, sep);
    SetChartPoints(m, {{0, 50}, {1, 20}, {5, 1}, {1200, 1}}, sep);
    EXPECT_EQ(m.points[0].x, kFirstLatencyBinX);
    EXPECT_EQ(m.points[1].x, 1);
    EXPECT_EQ(m.x.min, 0.5);
    EXPECT_EQ(m.x.max, 2048);
    ASSERT_EQ(m.x.ticks.size(), 13u);  // 0.5, 1, 2 ... 2048
    EXPECT_EQ(m.x.ticks[0].label, "0,5");
    EXPECT_EQ(m.x.ticks[1].label, "1");
    EXPECT_EQ(m.x.ticks.back().label, "2.048");
    EXPECT_DOUBLE_EQ(AxisFraction(m.x, 0.5), 0);
    EXPECT_DOUBLE_EQ(AxisFraction(m.x, 2048), 1);
    EXPECT_DOUBLE_EQ(AxisFraction(m.x, 32), 6.0 / 12.0);  // 2^5 is six of twelve doublings from 2^-1
    EXPECT_EQ(AxisFraction(m.x, 0), 0);                   // no place on a log axis: at its start, not NaN
    EXPECT_DOUBLE_EQ(AxisFraction(m.y, m.y.max / 2), 0.5);
    ChartModel empty = EmptyChart(ChartKind::Time, "Time mks", false, sep);
    EXPECT_EQ(empty.x.max, 2);
}

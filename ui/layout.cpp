#include "ui/layout.h"

namespace ui {

namespace {

using K = ControlKind;

ControlDef Label(int i, const char* name, int parent, const char* caption, int left, int top) {
    return {i, K::Label, name, parent, caption, {}, {left, top, 0, 0}};
}
ControlDef Input(int i, K kind, const char* name, const char* text, std::vector<std::string> items, int left,
                 int top, int width, int tabOrder) {
    const int height = kind == K::Button ? kButtonHeight : kEditHeight;
    return {i, kind, name, id::Form1, text, std::move(items), {left, top, width, height}, tabOrder};
}
ControlDef Chart(int i, const char* name, ChartKind kind, const char* title, Rect bounds) {
    ControlDef c{i, K::Chart, name, id::TabSheet1, title, {}, bounds};
    c.chart = kind;
    c.storedColour = true;
    return c;
}

std::vector<ControlDef> Build() {
    const std::vector<std::string> sizes = {"512",   "1024",  "2048",  "4096",   "8192",
                                            "16384", "32768", "65536", "131072", "262144"};
    const std::vector<std::string> methods = {"Random", "Batterfly", "Linear forward", "Linear backward"};
    const std::vector<std::string> types = {"Random", "Fixed"};
    const int T = id::TabSheet1;
    return {
        {id::PageControl1, K::PageControl, "PageControl1", id::Form1, "", {}, {0, 46, 1120, 677}, 0},
        {id::TabSheet1, K::Page, "TabSheet1", id::PageControl1, "Avg", {}, {}},
        Chart(id::ChartIO, "ChartIO", ChartKind::IO, "IO/s", {3, 72, 574, 289}),
        Chart(id::ChartMBytes, "ChartMBytes", ChartKind::MBytes, "MBytes/s", {583, 72, 514, 289}),
        Chart(id::ChartTime, "ChartTime", ChartKind::Time, "Time mks", {3, 367, 1094, 250}),
        Label(id::Label1, "Label1", T, "Total", 3, 3),
        Input(id::ComboBoxBlockSize, K::ComboBox, "ComboBoxBlockSize", "4096", sizes, 82, -3, 71, 1),
        Label(id::LabelBlocSize, "LabelBlocSize", id::Form1, "Размер блока", 8, 0),
        Label(id::LabelTestMetod, "LabelTestMetod", id::Form1, "Метод тестирования", 176, 0),
        Input(id::ComboBoxTestMetod, K::ComboBox, "ComboBoxTestMetod", "Random", methods, 289, -3, 145, 2),
        Label(id::LabelThreadCount, "LabelThreadCount", id::Form1, "Количество потоков на диск", 446, 0),
        Input(id::EditThreadCount, K::Edit, "EditThreadCount", "2", {}, 599, -3, 24, 3),
        Label(id::LabelTestTime, "LabelTestTime", id::Form1, "Время тестирования (минут)", 641, 0),
        Input(id::EditTestTime, K::Edit, "EditTestTime", "30", {}, 792, -3, 42, 4),
        Input(id::StartButton, K::Button, "StartButton", kStart, {}, 840, -7, 75, 5),
        Label(id::LabelTimer, "LabelTimer", id::Form1, "Время тестирования", 944, 0),
        Label(id::LabeIOsTotal, "LabeIOsTotal", T, "LabeIOsTotal", 3, 40),
        Label(id::LabelBytesTotal, "LabelBytesTotal", T, "LabelBytesTotal", 3, 53),
        Label(id::LabelTimesTotal, "LabelTimesTotal", T, "LabelTimesTotal", 806, 53),
        Label(id::LabelMaxTimeTotal, "LabelMaxTimeTotal", T, "LabelMaxTimeTotal", 442, 40),
        Label(id::LabelMinTimeTotal, "LabelMinTimeTotal", T, "LabelMinTimeTotal", 442, 53),
        Label(id::LabelErrorsTotal, "LabelErrorsTotal", T, "LabelErrorsTotal", 807, 40),
        Label(id::LabelIOperSecTotal, "LabelIOperSecTotal", T, "LabelIOperSecTotal", 195, 40),
        Label(id::LabelBytesPerSecTotal, "LabelBytesPerSecTotal", T, "LabelBytesPerSecTotal", 196, 53),
        Label(id::LabelDebugText, "LabelDebugText", T, "LabelDebugText", 227, 3),
        Label(id::Label2, "Label2", id::Form1, "Количество I/O в одной порции", 8, 21),
        Label(id::Label3, "Label3", id::Form1, "Время (ms) между порциями", 462, 21),
        Input(id::EditTimesMsBetweenPortion, K::Edit, "EditTimesMsBetweenPortion", "0", {}, 746, 21, 46, 6),
        Input(id::ComboBoxTimesMsBetweenPortionCountType, K::ComboBox,
              "ComboBoxTimesMsBetweenPortionCountType", "Random", types, 601, 21, 86, 7),
        Label(id::Label4, "Label4", id::Form1, "максимум", 693, 21),
        Label(id::Label5, "Label5", id::Form1, "соотношение I/O R", 233, 21),
        Input(id::EditRIOsPerPortion, K::Edit, "EditRIOsPerPortion", "1", {}, 335, 21, 41, 8),
        Label(id::Label6, "Label6", id::Form1, "к W", 385, 21),
        Input(id::EditWIOsPerPortion, K::Edit, "EditWIOsPerPortion", "0", {}, 410, 21, 30, 9),
        Input(id::ComboBoxIOsPerPortionCountType, K::ComboBox, "ComboBoxIOsPerPortionCountType", "Fixed",
              types, 169, 21, 56, 10),
        Input(id::WriteStartButton, K::Button, "WriteStartButton", "Запись статистики", {}, 944, 15, 107, 11),
    };
}

// The room of each settings caption: up to the nearest input control to its right in the same row.
std::vector<ControlDef> WithRoom(std::vector<ControlDef> controls) {
    for (ControlDef& label : controls) {
        if (label.kind != K::Label || label.parent != id::Form1) continue;
        for (const ControlDef& c : controls) {
            const bool input = c.kind == K::Edit || c.kind == K::ComboBox || c.kind == K::Button;
            const bool sameRow = c.bounds.top <= label.bounds.top + kEditHeight / 2 &&
                                 c.bounds.top + c.bounds.height > label.bounds.top;
            if (c.parent != id::Form1 || !input || !sameRow || c.bounds.left <= label.bounds.left) continue;
            const int room = c.bounds.left - label.bounds.left;
            if (label.room == 0 || room < label.room) label.room = room;
        }
    }
    return controls;
}

}  // namespace

const std::vector<ControlDef>& StoredControls() {
    static const std::vector<ControlDef> controls = WithRoom(Build());
    return controls;
}

const ControlDef* StoredControl(int controlId) {
    for (const ControlDef& c : StoredControls())
        if (c.id == controlId) return &c;
    return nullptr;
}

}  // namespace ui

#pragma once
// The stored window description: every control of the main window with its kind, caption, items, place and
// size, and the stable identifier by which front-ends, tests and accessibility tools find it. Places and
// sizes are pixels at 96 dpi; a front-end scales them to the screen. The controls of a volume's tab are made
// at run time with identifiers from VolumeControl().
#include <string>
#include <vector>

#include "engine/records.h"

namespace ui {

constexpr int kSlots = engine::kDiskCount;

struct Rect {
    int left = 0, top = 0, width = 0, height = 0;
    friend bool operator==(const Rect&, const Rect&) = default;
};
struct Size {
    int width = 0, height = 0;
    friend bool operator==(const Size&, const Size&) = default;
};

enum class ControlKind { PageControl, Page, Label, Edit, ComboBox, Button, CheckBox, Chart };
enum class ChartKind { IO, MBytes, Time };

// Identifiers of the stored controls, in the window description's declared order. On Windows they are the
// child windows' control IDs.
namespace id {
enum : int {
    Form1 = 0,  // the window itself
    PageControl1 = 100,
    TabSheet1,
    ChartIO,
    ChartMBytes,
    ChartTime,
    Label1,
    ComboBoxBlockSize,
    LabelBlocSize,
    LabelTestMetod,
    ComboBoxTestMetod,
    LabelThreadCount,
    EditThreadCount,
    LabelTestTime,
    EditTestTime,
    StartButton,
    LabelTimer,
    LabeIOsTotal,
    LabelBytesTotal,
    LabelTimesTotal,
    LabelMaxTimeTotal,
    LabelMinTimeTotal,
    LabelErrorsTotal,
    LabelIOperSecTotal,
    LabelBytesPerSecTotal,
    LabelDebugText,
    Label2,
    Label3,
    EditTimesMsBetweenPortion,
    ComboBoxTimesMsBetweenPortionCountType,
    Label4,
    Label5,
    EditRIOsPerPortion,
    Label6,
    EditWIOsPerPortion,
    ComboBoxIOsPerPortionCountType,
    WriteStartButton,
};
}  // namespace id

// The controls of one volume's tab, by the per-volume arrays they belong to.
enum class VolumeRole : int {
    TabSheets,
    Label1s,
    LabeIOs,
    LabelBytes,
    LabelTimes,
    LabelMaxTime,
    LabelMinTime,
    LabelErrors,
    LabelIOperSec,
    LabelBytesPerSec,
    LabelDebug,
    ChartIOs,
    ChartMBytess,
    ChartTimes,
    TestThisDisk,
    Count
};
constexpr int kVolumeIdBase = 1000;
constexpr int kVolumeIdStride = 20;
static_assert(static_cast<int>(VolumeRole::Count) <= kVolumeIdStride);
// Room for every slot below the first identifier Windows keeps for itself (0xFFFF is IDC_STATIC).
static_assert(kVolumeIdBase + kSlots * kVolumeIdStride < 0xFFFF);

constexpr int VolumeControl(VolumeRole role, int index) {
    return kVolumeIdBase + index * kVolumeIdStride + static_cast<int>(role);
}
// The volume index of a volume tab's control; -1 for a stored control.
constexpr int VolumeOf(int controlId) {
    return controlId >= kVolumeIdBase && controlId < kVolumeIdBase + kSlots * kVolumeIdStride
               ? (controlId - kVolumeIdBase) / kVolumeIdStride
               : -1;
}

struct ControlDef {
    int id = 0;
    ControlKind kind = ControlKind::Label;
    std::string name;                // the designer's name ("StartButton"); run-time controls: the array's
    int parent = id::Form1;          // the window, or the page the control sits on
    std::string text;                // caption, text, or a chart's title
    std::vector<std::string> items;  // a combo box's list
    Rect bounds;                     // a label's width and height follow its text
    int tabOrder = -1;               // place among the window's tab stops; -1 when not one
    ChartKind chart = ChartKind::IO;
    bool storedColour = false;  // the chart's series has the stored pen colour, not the default
    bool checked = false;       // a check box's initial state
    int room = 0;               // a settings caption's width before the control to its right; 0: any
};

// The controls of the stored description in declared order (so later ones lie above earlier ones).
const std::vector<ControlDef>& StoredControls();
// One stored control by identifier; nullptr for any other.
const ControlDef* StoredControl(int id);

// The window's stored client size, caption and font, and the series pen colour of the Avg charts.
constexpr Size kClientSize{1128, 731};
inline constexpr const char* kCaption = "Form1";
inline constexpr const char* kFontFace = "Tahoma";
constexpr int kFontPixels = 11;
constexpr unsigned kStoredSeriesRgb = 0x4466A3;  // red 0x44, green 0x66, blue 0xA3
constexpr int kEditHeight = 21;                  // edits and combo boxes
constexpr int kButtonHeight = 25;
// The two timers: elapsed time and end of the test, and the statistics refresh.
constexpr int kTimer1Ms = 1000;
constexpr int kTimerRefreshDataMs = 60'000;

inline constexpr const char* kStart = "Старт";
inline constexpr const char* kStop = "Стоп";

}  // namespace ui

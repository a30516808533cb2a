// The native window, driven as an operator drives it: from another thread, with window messages only, over
// image files behind C:, D: and E: (never a real disk). Settings typed and chosen, a tab switched, a box
// unticked, a short read run stopped and refreshed; the labels checked against figures computed here from
// the run's own operation log, "Запись статистики" and SrcStats.dat checked record by record, the
// cannot-open box found by its caption and closed, and the window closed. With --picture FILE.bmp the
// window after the refresh is also saved as a picture; with --program EXE a volstress.exe is started as a
// process of its own, its window checked and closed.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine.h"
#include "engine/records.h"
#include "platform/arithmetic.h"
#include "platform/volume_device.h"
#include "platform/win32_text.h"
#include "stats/format.h"
#include "tests/test_support.h"
#include "ui/layout.h"
#include "ui/win32/chart_control.h"
#include "ui/win32/dialogs.h"
#include "ui/win32/form_window.h"

namespace {

using namespace std::chrono_literals;
using platform::Narrow;
using platform::Wide;
using ui::VolumeControl;
using ui::VolumeRole;
namespace id = ui::id;

int passed = 0, failed = 0;

void Check(bool ok, const std::string& what) {
    std::printf("%s - %s\n", ok ? "ok" : "FAILED", what.c_str());
    std::fflush(stdout);
    (ok ? passed : failed)++;
}

template <class A, class B>
void CheckEq(const A& got, const B& want, const std::string& what) {
    const bool ok = got == want;
    Check(ok, what);
    if (!ok) {
        if constexpr (std::is_convertible_v<A, std::string>)
            std::printf("    got  \"%s\"\n    want \"%s\"\n", std::string(got).c_str(),
                        std::string(want).c_str());
        else
            std::printf("    got %lld, want %lld\n", static_cast<long long>(got),
                        static_cast<long long>(want));
    }
}

bool WaitUntil(const std::function<bool()>& cond, std::chrono::milliseconds timeout = 10s) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

HWND form = nullptr;

// A control by its stored or run-time identifier, wherever it sits (on the window or on a page).
HWND Find(int control) {
    struct Search {
        int id;
        HWND found;
    } s{control, nullptr};
    EnumChildWindows(
        form,
        [](HWND hwnd, LPARAM p) -> BOOL {
            auto* s = reinterpret_cast<Search*>(p);
            if (GetDlgCtrlID(hwnd) != s->id || GetAncestor(hwnd, GA_ROOT) != form) return TRUE;
            s->found = hwnd;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&s));
    return s.found;
}

std::string Text(HWND hwnd) {
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(hwnd, WM_GETTEXTLENGTH, 0, 0, SMTO_BLOCK, 5000, &length)) return "<no answer>";
    std::wstring text(length + 1, L'\0');
    DWORD_PTR got = 0;
    SendMessageTimeoutW(hwnd, WM_GETTEXT, length + 1, reinterpret_cast<LPARAM>(text.data()), SMTO_BLOCK, 5000,
                        &got);
    return Narrow(text.c_str(), static_cast<int>(got));
}
std::string Text(int control) {
    return Text(Find(control));
}
void Type(int control, const std::string& text) {
    SendMessageW(Find(control), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(Wide(text).c_str()));
}
// Posted, as a click is: its handler may open a box and wait for the answer.
void Click(int control) {
    PostMessageW(Find(control), BM_CLICK, 0, 0);
}
bool Ticked(int control) {
    return SendMessageW(Find(control), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

// Place of a control within its parent's client area, in pixels.
RECT Placed(HWND hwnd) {
    RECT r;
    GetWindowRect(hwnd, &r);
    MapWindowPoints(HWND_DESKTOP, GetParent(hwnd), reinterpret_cast<POINT*>(&r), 2);
    return r;
}

// The last column of a label in which its text left ink, as drawn on the screen; -1 when none.
int InkRight(HWND label) {
    RECT r;
    GetClientRect(label, &r);
    HDC dc = GetDC(label);
    const COLORREF background = GetSysColor(COLOR_BTNFACE);
    int right = -1;
    for (int x = r.right - 1; x >= 0 && right < 0; --x)
        for (int y = 0; y < r.bottom; ++y)
            if (GetPixel(dc, x, y) != background) {
                right = x;
                break;
            }
    ReleaseDC(label, dc);
    return right;
}

// Every visible top-level box of this process with this caption.
std::vector<HWND> Boxes(const std::string& caption) {
    struct Search {
        std::wstring caption;
        std::vector<HWND> found;
    } s{Wide(caption), {}};
    EnumWindows(
        [](HWND hwnd, LPARAM p) -> BOOL {
            auto* s = reinterpret_cast<Search*>(p);
            DWORD pid = 0;
            GetWindowThreadProcessId(hwnd, &pid);
            wchar_t cls[16] = {};
            GetClassNameW(hwnd, cls, 16);
            if (pid != GetCurrentProcessId() || std::wstring(cls) != L"#32770" || !IsWindowVisible(hwnd))
                return TRUE;
            wchar_t title[512] = {};
            GetWindowTextW(hwnd, title, 512);
            if (s->caption == title) s->found.push_back(hwnd);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&s));
    return s.found;
}
// The text of a message box: its static control that is not the icon.
std::string BoxText(HWND box) {
    HWND text = GetDlgItem(box, 0xFFFF);  // the body of a message box
    return text ? Text(text) : std::string();
}
void Answer(HWND box, int button) {
    PostMessageW(box, WM_COMMAND, button, 0);
}

// The totals of one volume as the records must hold them, worked out from the operation log: intervals
// numbered as operations were recorded, the one being filled left out.
struct Figures {
    int64_t io = 0, bytes = 0, busy = 0, maxTicks = 0, minTicks = 0, first = 0, last = 0, errors = 0;
    int32_t intervals = 0;
};

Figures FromLog(const std::vector<engine::LogEntry>& log, int volume, int64_t period) {
    std::vector<engine::IntervalStats> in(1);
    for (const engine::LogEntry& e : log) {
        if (e.VolumeIndex != volume) continue;
        const int64_t d = e.EndTicks - e.StartTicks;
        if (in.size() == 1 || e.EndTicks - in.back().FirstStart > period) {
            in.push_back(
                {1, e.Success ? e.RequestSize : 0, d, d, d, e.StartTicks, e.EndTicks, e.Success ? 0 : 1});
            continue;
        }
        engine::IntervalStats& c = in.back();
        c.IOCount++;
        c.Bytes += e.Success ? e.RequestSize : 0;
        c.Errors += e.Success ? 0 : 1;
        c.BusyTicks += d;
        c.MaxTicks = std::max(c.MaxTicks, d);
        c.MinTicks = std::min(c.MinTicks, d);
        c.LastEnd = std::max(c.LastEnd, e.EndTicks);  // the latest end seen: workers record in batches
    }
    Figures f;
    f.intervals = static_cast<int32_t>(in.size()) - 1;
    for (size_t j = 1; j + 1 < in.size(); ++j) {
        f.io += in[j].IOCount;
        f.bytes += in[j].Bytes;
        f.busy += in[j].BusyTicks;
        f.errors += in[j].Errors;
        f.maxTicks = j == 1 ? in[j].MaxTicks : std::max(f.maxTicks, in[j].MaxTicks);
        f.minTicks = j == 1 ? in[j].MinTicks : std::min(f.minTicks, in[j].MinTicks);
        f.first = in[1].FirstStart;
        f.last = in[j].LastEnd;
    }
    return f;
}

std::vector<std::string> Labels(const Figures& f, int64_t freq) {
    const auto ms = [&](int64_t ticks) {
        return stats::FormatGrouped(static_cast<long double>(platform::MulDiv(ticks, 100'000, freq)) / 100,
                                    14, 2);
    };
    const long double seconds = static_cast<long double>(f.last - f.first) / freq;
    return {"I/O total " + stats::FormatCount(f.io),
            "MBytes total " + stats::FormatCount(f.bytes / 1'048'576),
            "Times total " +
                stats::FormatMilliseconds64(static_cast<uint64_t>(platform::MulDiv(f.busy, 1000, freq))),
            "Maximal time " + ms(f.maxTicks) + "ms",
            "Minimal time " + ms(f.minTicks) + "ms",
            "Errors total " + stats::FormatCount(f.errors),
            seconds > 0 ? "I/O per sec " + stats::FormatGrouped(f.io / seconds, 14, 0) : "I/O per sec",
            seconds > 0 ? "MBytes per sec " + stats::FormatGrouped(f.bytes / seconds / 1'048'576, 16, 2)
                        : "MBytes per sec"};
}

constexpr VolumeRole kLabelRoles[8] = {VolumeRole::LabeIOs,       VolumeRole::LabelBytes,
                                       VolumeRole::LabelTimes,    VolumeRole::LabelMaxTime,
                                       VolumeRole::LabelMinTime,  VolumeRole::LabelErrors,
                                       VolumeRole::LabelIOperSec, VolumeRole::LabelBytesPerSec};
constexpr int kTotalLabels[8] = {id::LabeIOsTotal,       id::LabelBytesTotal,      id::LabelTimesTotal,
                                 id::LabelMaxTimeTotal,  id::LabelMinTimeTotal,    id::LabelErrorsTotal,
                                 id::LabelIOperSecTotal, id::LabelBytesPerSecTotal};

// What the screen shows in r, as info describes the pixels.
void CaptureScreen(const RECT& r, BITMAPINFOHEADER& info, void* pixels) {
    const int w = r.right - r.left, h = r.bottom - r.top;
    HDC screen = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, w, h);
    HGDIOBJ old = SelectObject(mem, bitmap);
    BitBlt(mem, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
    SelectObject(mem, old);
    GetDIBits(mem, bitmap, 0, h, pixels, reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS);
    DeleteObject(bitmap);
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);
}

// The window as it is on the screen, as a 24-bit BMP.
bool SavePicture(HWND hwnd, const std::string& path) {
    RECT r;
    GetWindowRect(hwnd, &r);
    const int w = r.right - r.left, h = r.bottom - r.top;
    BITMAPINFOHEADER info{sizeof info, w, h, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    const int stride = (w * 3 + 3) & ~3;
    std::vector<char> pixels(static_cast<size_t>(stride) * h);
    CaptureScreen(r, info, pixels.data());
    BITMAPFILEHEADER file{0x4D42, static_cast<DWORD>(sizeof(BITMAPFILEHEADER) + sizeof info + pixels.size()),
                          0, 0, sizeof(BITMAPFILEHEADER) + sizeof info};
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(&file), sizeof file);
    out.write(reinterpret_cast<const char*>(&info), sizeof info);
    out.write(pixels.data(), static_cast<std::streamsize>(pixels.size()));
    return static_cast<bool>(out);
}

struct Images {
    std::string c, d, e;
};

void Drive(const Images& images, const std::string& picture, std::atomic<int64_t>& closedAt) {
    const int64_t freq = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f.QuadPart;
    }();

    // --- As stored, and as FormShow left it.
    CheckEq(Text(form), std::string("Form1"), "the window's caption");
    RECT client;
    GetClientRect(form, &client);
    Check(client.right == ui::kClientSize.width && client.bottom == ui::kClientSize.height,
          "client area 1128 x 731 at 96 dpi");
    for (const ui::ControlDef& def : ui::StoredControls()) {
        HWND hwnd = Find(def.id);
        if (!hwnd) {
            Check(false, def.name + " exists with its control ID");
            continue;
        }
        // The charts and the page control follow the window's size (FormResize, TabSheet1Resize).
        if (def.kind == ui::ControlKind::Page || def.kind == ui::ControlKind::Chart) continue;
        const RECT r = Placed(hwnd);
        const bool sized = def.kind != ui::ControlKind::Label && def.kind != ui::ControlKind::ComboBox &&
                           def.kind != ui::ControlKind::PageControl;
        const bool placed =
            r.left == def.bounds.left && r.top == def.bounds.top &&
            (!sized || (r.right - r.left == def.bounds.width && r.bottom - r.top == def.bounds.height));
        if (!placed)
            std::printf("    %s at %ld,%ld %ldx%ld\n", def.name.c_str(), r.left, r.top, r.right - r.left,
                        r.bottom - r.top);
        Check(placed, def.name + " at its stored place" + (sized ? " and size" : ""));
        if (def.id == id::Label1 || def.id == id::LabelTimer || def.id == id::PageControl1) continue;
        CheckEq(Text(hwnd), def.text, def.name + " reads as stored");
    }
    const RECT pages = Placed(Find(id::PageControl1));
    Check(pages.right == 1128 && pages.bottom == 731,
          "the page control spans the client area below the settings");
    CheckEq(Text(id::LabelTimer), std::string("00:00:00"), "LabelTimer after FormShow");
    CheckEq(Text(id::Label1).rfind(std::to_string(freq) + " ", 0), size_t{0},
            "Label1: counter frequency and read");
    // Each settings caption ends before the control to its right, drawn in the window's own font.
    const std::pair<int, int> rows[] = {{id::LabelBlocSize, id::ComboBoxBlockSize},
                                        {id::LabelTestMetod, id::ComboBoxTestMetod},
                                        {id::LabelThreadCount, id::EditThreadCount},
                                        {id::LabelTestTime, id::EditTestTime},
                                        {id::Label2, id::ComboBoxIOsPerPortionCountType},
                                        {id::Label5, id::EditRIOsPerPortion},
                                        {id::Label6, id::EditWIOsPerPortion},
                                        {id::Label3, id::ComboBoxTimesMsBetweenPortionCountType},
                                        {id::Label4, id::EditTimesMsBetweenPortion}};
    RedrawWindow(form, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    for (const auto& [label, control] : rows) {
        const RECT l = Placed(Find(label)), c = Placed(Find(control));
        const int ink = InkRight(Find(label));
        if (l.right > c.left || ink >= l.right - l.left - 1)
            std::printf("    ends at %ld, inked to %d of %ld, the control starts at %ld\n", l.right, ink,
                        l.right - l.left, c.left);
        Check(l.right <= c.left && ink >= 0 && ink < l.right - l.left - 1,
              Text(label) + " is drawn whole before its control");
    }

    // --- Tabs: Avg, then one per volume in letter order, each with its size.
    HWND tabs = Find(id::PageControl1);
    CheckEq(static_cast<int>(SendMessageW(tabs, TCM_GETITEMCOUNT, 0, 0)), 4, "four tabs");
    std::string captions;
    for (int i = 0; i < 4; ++i) {
        wchar_t buf[16] = {};
        TCITEMW item{};
        item.mask = TCIF_TEXT;
        item.pszText = buf;
        item.cchTextMax = 16;
        SendMessageW(tabs, TCM_GETITEMW, i, reinterpret_cast<LPARAM>(&item));
        captions += (i ? "," : "") + Narrow(buf, static_cast<int>(wcslen(buf)));
    }
    CheckEq(captions, std::string("Avg,C,D,E"), "tab captions");
    CheckEq(static_cast<int>(SendMessageW(tabs, TCM_GETCURSEL, 0, 0)), 0, "the Avg tab is active");
    CheckEq(Text(VolumeControl(VolumeRole::Label1s, 2)), std::string("Size=16 MBytes"), "C:'s size label");
    CheckEq(Text(VolumeControl(VolumeRole::Label1s, 4)), std::string("Size=4 MBytes"), "E:'s size label");
    // TCM_SETCURFOCUS switches as a click does and notifies the window (TCM_SETCURSEL would not).
    SendMessageW(tabs, TCM_SETCURFOCUS, 2, 0);
    Check(WaitUntil([&] {
              return IsWindowVisible(Find(VolumeControl(VolumeRole::TabSheets, 3))) &&
                     !IsWindowVisible(Find(id::TabSheet1));
          }),
          "a tab switched shows its page alone");
    Click(VolumeControl(VolumeRole::TestThisDisk, 4));
    Check(WaitUntil([&] { return !Ticked(VolumeControl(VolumeRole::TestThisDisk, 4)); }),
          "E:'s box unticked");
    SendMessageW(tabs, TCM_SETCURFOCUS, 0, 0);

    // --- Settings typed and chosen, then a short read run on C: and D:.
    Type(id::EditTestTime, "1");  // one-second statistics intervals
    Type(id::ComboBoxBlockSize, "8192");
    SendMessageW(Find(id::ComboBoxTestMetod), CB_SETCURSEL, 2, 0);
    CheckEq(Text(id::ComboBoxTestMetod), std::string("Linear forward"), "a method chosen from the list");
    Type(id::EditThreadCount, "2");
    Click(id::StartButton);
    Check(WaitUntil([] { return Text(id::StartButton) == ui::kStop; }), "Start: the caption reads Стоп");
    std::this_thread::sleep_for(3500ms);
    Check(Text(id::LabelTimer) != "00:00:00", "the elapsed time counts: " + Text(id::LabelTimer));
    Click(id::StartButton);
    Check(WaitUntil([] { return Text(id::StartButton) == ui::kStart; }), "Stop: the caption back at Старт");
    PostMessageW(form, WM_TIMER, ui::win32::kTimerRefreshDataId, 0);
    Check(WaitUntil([] { return Text(VolumeControl(VolumeRole::LabelDebug, 2)).rfind("Curpos ", 0) == 0; }),
          "the refresh writes Curpos");

    // --- The log written, found where the operator is told, and every record as the run made it.
    Click(id::WriteStartButton);
    std::vector<HWND> saved;
    Check(WaitUntil([&] { return !(saved = Boxes("Запись статистики")).empty(); }),
          "a box says the log was written");
    const std::string said = saved.empty() ? "" : BoxText(saved[0]);
    Check(said.find("SrcStats.dat") != std::string::npos, "it names the file: " + said);
    for (HWND box : saved) Answer(box, IDOK);
    std::vector<engine::LogEntry> log;
    {
        std::ifstream in("SrcStats.dat", std::ios::binary);
        engine::LogEntry e;
        while (in.read(reinterpret_cast<char*>(&e), sizeof e)) log.push_back(e);
        Check(std::filesystem::exists("SrcStats.dat") &&
                  std::filesystem::file_size("SrcStats.dat") == log.size() * sizeof(engine::LogEntry),
              "SrcStats.dat in the current directory holds whole 32-byte records: " +
                  std::to_string(log.size()));
    }
    bool records = !log.empty();
    int perVolume[26] = {};
    for (const engine::LogEntry& e : log) {
        records = records && e.RequestSize == 8192 && (e.VolumeIndex == 2 || e.VolumeIndex == 3) &&
                  e.Success == 1 && e.StartTicks <= e.EndTicks && e.Frequency == freq;
        if (e.VolumeIndex >= 0 && e.VolumeIndex < 26) perVolume[e.VolumeIndex]++;
    }
    Check(records, "every record: 8192 bytes, C: or D:, success, start before end, the counter's frequency");
    Check(perVolume[2] > 0 && perVolume[3] > 0 && perVolume[4] == 0, "C: and D: logged, unticked E: not");
    // Two linear-forward workers per volume: each starts at block 0, so each block shows up in pairs.
    const int64_t period = freq;  // 1 minute of test time: one-second intervals
    Figures all;
    bool first = true;
    for (int v : {2, 3}) {
        const Figures f = FromLog(log, v, period);
        const std::vector<std::string> want = Labels(f, freq);
        const std::string name(1, static_cast<char>('A' + v));
        CheckEq(Text(VolumeControl(VolumeRole::LabelDebug, v)), "Curpos " + std::to_string(f.intervals),
                name + ": Curpos from the log's intervals");
        for (int k = 0; k < 8; ++k)
            CheckEq(Text(VolumeControl(kLabelRoles[k], v)), want[k], name + ": " + want[k]);
        all.io += f.io;
        all.bytes += f.bytes;
        all.busy += f.busy;
        all.errors += f.errors;
        all.maxTicks = first || f.maxTicks > all.maxTicks ? f.maxTicks : all.maxTicks;
        all.minTicks = first || f.minTicks < all.minTicks ? f.minTicks : all.minTicks;
        all.first = first || f.first < all.first ? f.first : all.first;
        all.last = first || f.last > all.last ? f.last : all.last;
        first = false;
    }
    const std::vector<std::string> want = Labels(all, freq);
    for (int k = 0; k < 8; ++k) CheckEq(Text(kTotalLabels[k]), want[k], "Avg: " + want[k]);
    CheckEq(Text(VolumeControl(VolumeRole::LabeIOs, 4)), std::string("I/O total "), "unticked E: untouched");
    if (!picture.empty()) {
        // What the labels say has been read; let the window thread paint it before the picture.
        RedrawWindow(form, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
        std::this_thread::sleep_for(500ms);
        Check(SavePicture(form, picture), "picture saved to " + picture);
    }

    // --- A volume that cannot be opened: its box, from the worker's thread, found by its caption and closed.
    DeleteFileW(Wide(images.e).c_str());
    Click(VolumeControl(VolumeRole::TestThisDisk, 2));
    Click(VolumeControl(VolumeRole::TestThisDisk, 3));
    Click(VolumeControl(VolumeRole::TestThisDisk, 4));
    Check(WaitUntil([] {
              return !Ticked(VolumeControl(VolumeRole::TestThisDisk, 2)) &&
                     Ticked(VolumeControl(VolumeRole::TestThisDisk, 4));
          }),
          "only E: ticked");
    Type(id::EditThreadCount, "1");
    Click(id::StartButton);
    const std::string caption = "System error Cannot open " + images.e + " for read";
    std::vector<HWND> boxes;
    Check(WaitUntil([&] { return !(boxes = Boxes(caption)).empty(); }), "the box: " + caption);
    const std::string body = boxes.empty() ? "" : BoxText(boxes[0]);
    Check(body.rfind("  Error Code = 2 ", 0) == 0, "its body: the code and the system's text: " + body);
    Check(!WaitUntil([] { return Text(id::StartButton) == ui::kStart; }, 300ms),
          "the window goes on meanwhile");
    for (HWND box : boxes) Answer(box, IDCANCEL);
    Check(WaitUntil([&] {
              const auto again = Boxes(caption);
              return !again.empty() && again[0] != boxes[0];
          }),
          "answered, the box comes back while the run goes on");
    Click(id::StartButton);  // Stop
    Check(WaitUntil([&] {
              for (HWND box : Boxes(caption)) Answer(box, IDOK);
              return Boxes(caption).empty() && Text(id::StartButton) == ui::kStart;
          }),
          "Stop: no box left, the caption back at Старт");

    // --- Writes asked for: the question names the volume, and "No" starts nothing.
    Click(VolumeControl(VolumeRole::TestThisDisk, 4));  // E: off again
    Click(VolumeControl(VolumeRole::TestThisDisk, 2));  // C: on
    Check(WaitUntil([] { return Ticked(VolumeControl(VolumeRole::TestThisDisk, 2)); }), "C: ticked again");
    Type(id::EditWIOsPerPortion, "1");
    Click(id::StartButton);
    std::vector<HWND> question;
    Check(WaitUntil([&] { return !(question = Boxes("Предупреждение!!!")).empty(); }),
          "the destructive-write question");
    const std::string asked = question.empty() ? "" : BoxText(question[0]);
    Check(asked.rfind("Данные на дисках 2 будут уничтожены. Продолжим?", 0) == 0 &&
              asked.find("c.img") != std::string::npos,
          "it names the volume and its device: " + asked);
    for (HWND box : question) Answer(box, IDNO);
    Check(WaitUntil([] { return Boxes("Предупреждение!!!").empty(); }) && Text(id::StartButton) == ui::kStart,
          "declined: nothing started");
    Type(id::EditWIOsPerPortion, "0");

    // --- Closed: the program ends promptly.
    closedAt = GetTickCount64();
    PostMessageW(form, WM_CLOSE, 0, 0);
}

// The part of the window's client area on the screen without a square of 8 x 8 black pixels: nothing the
// window draws is black over such an area, and an unpainted strip is.
bool PaintedWithoutBlack() {
    RECT r;
    GetClientRect(form, &r);
    MapWindowPoints(form, HWND_DESKTOP, reinterpret_cast<POINT*>(&r), 2);
    r.right = std::min<LONG>(r.right, GetSystemMetrics(SM_CXSCREEN));
    r.bottom = std::min<LONG>(r.bottom, GetSystemMetrics(SM_CYSCREEN));
    const int w = r.right - r.left, h = r.bottom - r.top;
    if (w <= 0 || h <= 0) return false;
    BITMAPINFOHEADER info{sizeof info, w, -h, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    std::vector<uint32_t> px(static_cast<size_t>(w) * h);
    CaptureScreen(r, info, px.data());
    // Per column, the run of black pixels ending at each row; a square is 8 columns side by side with runs
    // of 8.
    std::vector<int> run(static_cast<size_t>(w), 0);
    for (int y = 0; y < h; ++y) {
        int across = 0;
        for (int x = 0; x < w; ++x) {
            int& n = run[static_cast<size_t>(x)];
            n = (px[static_cast<size_t>(y) * w + x] & 0xFFFFFF) == 0 ? n + 1 : 0;
            across = n >= 8 ? across + 1 : 0;
            if (across >= 8) {
                std::printf("    black at %d,%d of the client area\n", x, y);
                return false;
            }
        }
    }
    return true;
}

// The settings captions in one font, each within its room before the control to its right; a window made
// as small as it lets itself be keeps Start and the timer in view; resized, it repaints everything.
void CheckLayout(int dpi) {
    // Captions are sized to their text's height, and they differ in nothing but their height: one height is
    // one font (a font handle is not told to another process).
    LONG height = -1;
    bool same = true, within = true;
    for (const ui::ControlDef& def : ui::StoredControls()) {
        if (def.room <= 0) continue;
        const RECT r = Placed(Find(def.id));
        if (height < 0) height = r.bottom - r.top;
        same = same && r.bottom - r.top == height;
        // Fitted, a caption is narrower than its room; one cut at its room is as wide as that.
        if (r.right - r.left >= MulDiv(def.room, dpi, 96) || r.bottom - r.top != height) {
            within = within && r.right - r.left < MulDiv(def.room, dpi, 96);
            std::printf("    %s: %ld x %ld, room %d\n", def.name.c_str(), r.right - r.left, r.bottom - r.top,
                        MulDiv(def.room, dpi, 96));
        }
    }
    Check(same, "at " + std::to_string(dpi) + " dpi: the settings captions in one font");
    Check(within, "at " + std::to_string(dpi) + " dpi: every caption within its room");
    RECT before;
    GetWindowRect(form, &before);
    SetWindowPos(form, nullptr, 0, 0, 200, 120, SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOMOVE);
    RECT client;
    GetClientRect(form, &client);
    const RECT start = Placed(Find(id::StartButton)), timer = Placed(Find(id::LabelTimer));
    Check(start.right <= client.right && timer.right <= client.right && start.bottom <= client.bottom &&
              timer.bottom <= client.bottom,
          "made as small as it goes (" + std::to_string(client.right) + " x " +
              std::to_string(client.bottom) + "), Start and the timer are in view");
    std::this_thread::sleep_for(300ms);
    SetWindowPos(form, nullptr, 0, 0, before.right - before.left, before.bottom - before.top,
                 SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOMOVE);
    std::this_thread::sleep_for(500ms);
    Check(PaintedWithoutBlack(), "grown again, it repaints without black strips");
}

// A built or installed volstress.exe as its own process: its window comes up with the Avg tab first and the
// caption "Старт", and closing it ends the process promptly with status 0.
int RunProgram(const std::string& path) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    std::wstring command = L"\"" + Wide(path) + L"\"";
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        Check(false, "started " + path + ": error " + std::to_string(GetLastError()));
        return 1;
    }
    struct Search {
        DWORD pid;
        HWND found;
    } s{process.dwProcessId, nullptr};
    Check(WaitUntil(
              [&] {
                  EnumWindows(
                      [](HWND hwnd, LPARAM p) -> BOOL {
                          auto* s = reinterpret_cast<Search*>(p);
                          DWORD pid = 0;
                          GetWindowThreadProcessId(hwnd, &pid);
                          wchar_t cls[64] = {};
                          GetClassNameW(hwnd, cls, 64);
                          if (pid == s->pid && std::wstring(cls) == ui::win32::kFormClass &&
                              IsWindowVisible(hwnd))
                              s->found = hwnd;
                          return s->found == nullptr;
                      },
                      reinterpret_cast<LPARAM>(&s));
                  return s.found != nullptr;
              },
              20s),
          "its window is shown");
    if (s.found) {
        form = s.found;
        CheckEq(Text(form), std::string("Form1"), "its caption");
        CheckEq(Text(id::StartButton), std::string(ui::kStart), "the Start button");
        // Sized for the screen's scale: the stored pixels are at 96 dpi.
        HDC screen = GetDC(nullptr);
        const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
        ReleaseDC(nullptr, screen);
        RECT client, start;
        GetClientRect(form, &client);
        GetWindowRect(Find(id::StartButton), &start);
        const RECT pages = Placed(Find(id::PageControl1));
        Check(start.right - start.left == MulDiv(75, dpi, 96) && pages.top == MulDiv(46, dpi, 96) &&
                  pages.right == client.right,
              "at " + std::to_string(dpi) + " dpi: Start " + std::to_string(start.right - start.left) +
                  " wide, the pages from " + std::to_string(pages.top) + " across the client area");
        CheckLayout(dpi);
        HWND tabs = Find(id::PageControl1);
        Check(tabs && SendMessageW(tabs, TCM_GETITEMCOUNT, 0, 0) >= 1 &&
                  SendMessageW(tabs, TCM_GETCURSEL, 0, 0) == 0,
              "the Avg tab first and active, " +
                  std::to_string(SendMessageW(tabs, TCM_GETITEMCOUNT, 0, 0) - 1) + " volume tabs");
        PostMessageW(form, WM_CLOSE, 0, 0);
    }
    const bool ended = WaitForSingleObject(process.hProcess, 3000) == WAIT_OBJECT_0;
    DWORD status = 1;
    GetExitCodeProcess(process.hProcess, &status);
    Check(ended && status == 0, "closed, it ended within 3 s with status " + std::to_string(status));
    if (!ended) TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    std::printf("Program checks: %d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string picture;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::string(argv[i]) == "--picture") picture = std::filesystem::absolute(argv[i + 1]).string();
        if (std::string(argv[i]) == "--program") return RunProgram(argv[i + 1]);
    }
    INITCOMMONCONTROLSEX controls{sizeof controls,
                                  ICC_STANDARD_CLASSES | ICC_TAB_CLASSES | ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);
    ui::win32::LineSmoothing smoothing;
    testing_support::TempDir dir;
    Images images;
    images.c = dir.MakeImage("c.img", 16 << 20, 0x11);
    images.d = dir.MakeImage("d.img", 8 << 20, 0x22);
    images.e = dir.MakeImage("e.img", 4 << 20, 0x33);
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    platform::VolumeMap map;
    map.devicePath[2] = images.c;
    map.devicePath[3] = images.d;
    map.devicePath[4] = images.e;

    ui::win32::Win32Dialogs dialogs;
    auto engine = std::make_unique<engine::Engine>(platform::MakeVolumeSystem(map), dialogs);
    std::atomic<int64_t> closedAt{0};
    int64_t ended = 0;
    {
        ui::win32::Win32Form1 window(*engine, dialogs, GetModuleHandleW(nullptr));
        if (!window.Open(SW_SHOW, [&](HWND hwnd) { dialogs.SetOwner(hwnd); })) {
            std::printf("FAILED - the window could not be made\n");
            return 1;
        }
        form = window.Handle();
        std::thread driver([&] { Drive(images, picture, closedAt); });
        window.Run();
        ended = static_cast<int64_t>(GetTickCount64());
        driver.join();
    }
    Check(closedAt > 0 && ended - closedAt < 2000,
          "closed, the message loop ended within 2 s: " + std::to_string(ended - closedAt) + " ms");
    dialogs.CancelAll();
    Check(engine->Shutdown(3s), "every worker ended");
    std::filesystem::current_path(cwd);
    std::printf("Window checks: %d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}

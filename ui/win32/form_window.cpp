#include "ui/win32/form_window.h"

#include <commctrl.h>

#include <algorithm>

#include "platform/win32_text.h"
#include "ui/win32/chart_control.h"

namespace ui::win32 {

namespace {

using platform::Narrow;
using platform::Wide;

// The dropped list of a combo box below its edit field, in stored pixels: room for the longest list.
constexpr int kComboListHeight = 160;
// The smallest client area, in stored pixels: the settings rows and a margin to their right, and below
// them the tabs and a strip of the page.
constexpr int kMinMargin = 8;
constexpr int kMinClientHeight = 120;

int WindowDpi(HWND hwnd) {
    using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
    static const auto getDpi = reinterpret_cast<GetDpiForWindowFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    if (getDpi && hwnd) {
        const UINT dpi = getDpi(hwnd);
        if (dpi > 0) return static_cast<int>(dpi);
    }
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return dpi > 0 ? dpi : 96;
}

std::wstring WindowText(HWND hwnd) {
    const int n = GetWindowTextLengthW(hwnd);
    std::wstring text(static_cast<size_t>(n) + 1, L'\0');
    const int got = GetWindowTextW(hwnd, text.data(), n + 1);
    text.resize(static_cast<size_t>(std::max(got, 0)));
    return text;
}

bool RegisterWindowClass(HINSTANCE instance, const wchar_t* name, WNDPROC proc) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    if (GetClassInfoExW(instance, name, &wc)) return true;
    wc.lpfnWndProc = proc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = name;
    wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
    return RegisterClassExW(&wc) != 0;
}

}  // namespace

Win32Form1::Win32Form1(engine::Engine& engine, IWindowDialogs& dialogs, HINSTANCE instance)
    : instance_(instance), form_(engine, dialogs, *this) {}

Win32Form1::~Win32Form1() {
    if (hwnd_ && IsWindow(hwnd_)) {
        opened_ = false;
        DestroyWindow(hwnd_);
    }
    if (captionFont_) DeleteObject(captionFont_);
    if (font_) DeleteObject(font_);
}

bool Win32Form1::Open(int showCommand, const std::function<void(HWND)>& created) {
    if (!RegisterWindowClass(instance_, kFormClass, FormProc) ||
        !RegisterWindowClass(instance_, kPageClass, PageProc) || !RegisterChartClass(instance_))
        return false;
    dpi_ = WindowDpi(nullptr);
    MakeFont();
    RECT frame{0, 0, Px(kClientSize.width), Px(kClientSize.height)};
    const DWORD style = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;
    AdjustWindowRectEx(&frame, style, FALSE, WS_EX_CONTROLPARENT);
    hwnd_ = CreateWindowExW(WS_EX_CONTROLPARENT, kFormClass, Wide(kCaption).c_str(), style, 0, 0,
                            frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr, instance_,
                            this);
    if (!hwnd_) return false;
    if (created) created(hwnd_);
    // On a monitor of another scale than the system's, the window learns its own at once.
    if (const int dpi = WindowDpi(hwnd_); dpi != dpi_) Rescale(dpi, nullptr);
    tooltips_ = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                                WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT, CW_USEDEFAULT,
                                CW_USEDEFAULT, CW_USEDEFAULT, hwnd_, nullptr, instance_, nullptr);
    SendMessageW(tooltips_, TTM_SETMAXTIPWIDTH, 0, Px(600));  // several lines: one per cause of failure

    for (const ControlDef& def : StoredControls()) Create(def);
    // Tab and Shift+Tab follow the stored tab order: each tab stop directly below the one before.
    std::map<int, HWND> order;
    for (const ControlDef& def : StoredControls())
        if (def.tabOrder >= 0) order[def.tabOrder] = Control(def.id);
    HWND previous = HWND_TOP;
    for (const auto& [n, hwnd] : order) {
        SetWindowPos(hwnd, previous, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        previous = hwnd;
    }
    opened_ = true;
    SetTimer(hwnd_, kTimer1Id, kTimer1Ms, nullptr);
    SetTimer(hwnd_, kTimerRefreshDataId, kTimerRefreshDataMs, nullptr);
    form_.FormResize();
    ShowWindow(hwnd_, showCommand);
    UpdateWindow(hwnd_);
    form_.FormShow();
    return true;
}

int Win32Form1::Run() {
    MSG msg;
    BOOL got;
    while ((got = GetMessageW(&msg, nullptr, 0, 0)) > 0) {
        // Tab, Shift+Tab and the arrow keys move between the controls as in a dialog.
        if (hwnd_ && IsWindow(hwnd_) && IsDialogMessageW(hwnd_, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return got == 0 ? static_cast<int>(msg.wParam) : 1;
}

Win32Form1::Item* Win32Form1::Find(int control) {
    const auto it = items_.find(control);
    return it == items_.end() ? nullptr : &it->second;
}

const Win32Form1::Item* Win32Form1::Find(int control) const {
    const auto it = items_.find(control);
    return it == items_.end() ? nullptr : &it->second;
}

HWND Win32Form1::Control(int control) const {
    if (control == id::Form1) return hwnd_;
    const Item* item = Find(control);
    return item ? item->hwnd : nullptr;
}

HWND Win32Form1::ParentOf(const ControlDef& def) const {
    const HWND parent = Control(def.parent);
    return parent ? parent : hwnd_;
}

void Win32Form1::MakeFont() {
    HFONT old = font_;
    // "Tahoma" with a character height of 11 stored pixels; Cyrillic from the same face.
    font_ = CreateFontW(-Px(kFontPixels), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                        OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_SWISS,
                        Wide(kFontFace).c_str());
    // The settings captions share one face, the largest (from the window's own down to three quarters of it)
    // in which each fits before the control the stored layout puts after it, with a pixel to spare: this
    // font is drawn wider than the one the layout was made with, and captions of two sizes side by side, or
    // one running into its box, look broken.
    HFONT oldCaption = captionFont_;
    captionFont_ = nullptr;
    LOGFONTW lf{};
    GetObjectW(font_, sizeof lf, &lf);
    const int smallest = Px(kFontPixels) * 3 / 4;
    for (int height = Px(kFontPixels); height >= smallest && !captionFont_; --height) {
        lf.lfHeight = -height;
        HFONT f = height == Px(kFontPixels) ? font_ : CreateFontIndirectW(&lf);
        bool all = true;
        for (const ControlDef& def : StoredControls()) {
            if (def.room <= 0) continue;
            const TextFit fit = Measure(Wide(def.text), f);
            all = all && std::max(fit.extent, fit.ink) + Px(2) <= Px(def.room);
        }
        if (all || height == smallest)
            captionFont_ = f == font_ ? CreateFontIndirectW(&lf) : f;
        else if (f != font_)
            DeleteObject(f);
    }
    for (auto& [control, item] : items_) {
        SendMessageW(item.hwnd, WM_SETFONT,
                     reinterpret_cast<WPARAM>(item.def.room > 0 ? captionFont_ : font_), FALSE);
        if (item.chart) SetChartModel(item.hwnd, item.chart.get(), font_);
    }
    if (oldCaption) DeleteObject(oldCaption);
    if (old) DeleteObject(old);
}

void Win32Form1::Create(const ControlDef& def) {
    if (Find(def.id)) return;
    const HWND parent = ParentOf(def);
    const auto menu = reinterpret_cast<HMENU>(static_cast<INT_PTR>(def.id));
    const std::wstring text = Wide(def.text);
    const DWORD child = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS;
    Item item;
    item.def = def;
    item.bounds = def.bounds;
    switch (def.kind) {
        case ControlKind::PageControl:
            item.hwnd =
                CreateWindowExW(0, WC_TABCONTROLW, L"", child | WS_CLIPCHILDREN | WS_TABSTOP | TCS_TOOLTIPS,
                                0, 0, 0, 0, parent, menu, instance_, nullptr);
            break;
        case ControlKind::Page: {
            item.hwnd = CreateWindowExW(WS_EX_CONTROLPARENT, kPageClass, text.c_str(),
                                        WS_CHILD | WS_CLIPCHILDREN | WS_CLIPSIBLINGS, 0, 0, 0, 0, parent,
                                        menu, instance_, this);
            TCITEMW tab{};
            tab.mask = TCIF_TEXT;
            tab.pszText = const_cast<wchar_t*>(text.c_str());
            SendMessageW(parent, TCM_INSERTITEMW, pages_.size(), reinterpret_cast<LPARAM>(&tab));
            pages_.push_back(def.id);
            break;
        }
        case ControlKind::Label:
            item.hwnd = CreateWindowExW(0, L"STATIC", text.c_str(),
                                        child | SS_LEFTNOWORDWRAP | SS_NOPREFIX | SS_NOTIFY, 0, 0, 0, 0,
                                        parent, menu, instance_, nullptr);
            break;
        case ControlKind::Edit:
            item.hwnd =
                CreateWindowExW(WS_EX_CLIENTEDGE, L"EDIT", text.c_str(), child | WS_TABSTOP | ES_AUTOHSCROLL,
                                0, 0, 0, 0, parent, menu, instance_, nullptr);
            break;
        case ControlKind::ComboBox:
            item.hwnd = CreateWindowExW(0, L"COMBOBOX", L"",
                                        child | WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWN | CBS_AUTOHSCROLL, 0,
                                        0, 0, 0, parent, menu, instance_, nullptr);
            for (const std::string& entry : def.items)
                SendMessageW(item.hwnd, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(entry).c_str()));
            SetWindowTextW(item.hwnd, text.c_str());
            break;
        case ControlKind::Button:
            item.hwnd = CreateWindowExW(0, L"BUTTON", text.c_str(), child | WS_TABSTOP | BS_PUSHBUTTON, 0, 0,
                                        0, 0, parent, menu, instance_, nullptr);
            break;
        case ControlKind::CheckBox:
            item.hwnd = CreateWindowExW(0, L"BUTTON", text.c_str(), child | WS_TABSTOP | BS_AUTOCHECKBOX, 0,
                                        0, 0, 0, parent, menu, instance_, nullptr);
            SendMessageW(item.hwnd, BM_SETCHECK, def.checked ? BST_CHECKED : BST_UNCHECKED, 0);
            break;
        case ControlKind::Chart:
            item.hwnd = CreateWindowExW(0, kChartClass, text.c_str(), child, 0, 0, 0, 0, parent, menu,
                                        instance_, nullptr);
            item.chart = std::make_unique<ChartModel>(
                EmptyChart(def.chart, def.text, def.storedColour, stats::UserSeparators()));
            break;
    }
    if (!item.hwnd) return;
    SendMessageW(item.hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(def.room > 0 ? captionFont_ : font_), FALSE);
    Item& stored = items_[def.id] = std::move(item);
    if (stored.chart) SetChartModel(stored.hwnd, stored.chart.get(), font_);
    if (def.kind == ControlKind::Page) {
        LayOutPages();
        if (pages_.size() == 1) ShowPage(0);
    } else {
        Place(stored);
    }
}

Win32Form1::TextFit Win32Form1::Measure(HWND hwnd, HFONT font) const {
    return Measure(WindowText(hwnd), font);
}

Win32Form1::TextFit Win32Form1::Measure(const std::wstring& text, HFONT font) const {
    HDC dc = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(dc);
    HGDIOBJ oldFont = SelectObject(mem, font);
    TextFit fit;
    TEXTMETRICW tm{};
    GetTextMetricsW(mem, &tm);
    fit.height = tm.tmHeight;
    RECT r{0, 0, 0, 0};
    DrawTextW(mem, text.c_str(), static_cast<int>(text.size()), &r,
              DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX);
    fit.extent = r.right - r.left;
    // The text drawn as a static control draws it, into a white bitmap: its last inked column. Renderers can
    // draw wider or narrower than the text's extent (seen: 6% wider at 10 pixels, 7% narrower at 11).
    BITMAPINFO info{};
    info.bmiHeader = {
        sizeof(BITMAPINFOHEADER), fit.extent * 2 + 16, -fit.height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(mem, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap && bits) {
        HGDIOBJ oldBitmap = SelectObject(mem, bitmap);
        const int w = info.bmiHeader.biWidth;
        RECT all{0, 0, w, fit.height};
        FillRect(mem, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
        SetTextColor(mem, RGB(0, 0, 0));
        SetBkMode(mem, TRANSPARENT);
        DrawTextW(mem, text.c_str(), static_cast<int>(text.size()), &all, DT_SINGLELINE | DT_NOPREFIX);
        GdiFlush();
        const auto* pixel = static_cast<const uint32_t*>(bits);
        for (int x = w - 1; x >= 0 && fit.ink == 0; --x)
            for (int y = 0; y < fit.height; ++y)
                if ((pixel[static_cast<size_t>(y) * w + x] & 0xFFFFFF) != 0xFFFFFF) {
                    fit.ink = x + 1;
                    break;
                }
        SelectObject(mem, oldBitmap);
        DeleteObject(bitmap);
    } else {
        fit.ink = fit.extent;
    }
    SelectObject(mem, oldFont);
    DeleteDC(mem);
    ReleaseDC(nullptr, dc);
    return fit;
}

void Win32Form1::FitToText(Item& item) {
    const TextFit fit = Measure(item.hwnd, item.def.room > 0 ? captionFont_ : font_);
    // Wide enough for every inked pixel and the text's own advance, with a pixel to spare; never into the
    // next control.
    int width = std::max(fit.extent, fit.ink) + Px(1);
    const int room = Px(item.def.room);
    if (room > 0) width = std::min(width, room);
    int height = fit.height;
    if (item.def.kind == ControlKind::CheckBox) {
        width += GetSystemMetrics(SM_CXMENUCHECK) + Px(6);
        height = std::max<int>(height, GetSystemMetrics(SM_CYMENUCHECK)) + Px(2);
    }
    item.bounds.width = Stored(width);
    item.bounds.height = Stored(height);
}

void Win32Form1::Place(Item& item) {
    if (item.def.kind == ControlKind::Label || item.def.kind == ControlKind::CheckBox) FitToText(item);
    const Rect& b = item.bounds;
    int height = Px(std::max(b.height, 0));
    if (item.def.kind == ControlKind::ComboBox) {
        // The window of a drop-down combo box includes its list; its edit field is the stored height.
        SendMessageW(item.hwnd, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), std::max(height - Px(6), 1));
        height += Px(kComboListHeight);
    }
    MoveWindow(item.hwnd, Px(b.left), Px(b.top), Px(std::max(b.width, 0)), height, TRUE);
    if (item.def.kind == ControlKind::PageControl) LayOutPages();
}

void Win32Form1::LayOutPages() {
    const HWND tabs = Control(id::PageControl1);
    if (!tabs) return;
    RECT rc;
    GetClientRect(tabs, &rc);
    SendMessageW(tabs, TCM_ADJUSTRECT, FALSE, reinterpret_cast<LPARAM>(&rc));
    for (int page : pages_)
        MoveWindow(Control(page), rc.left, rc.top, std::max<int>(rc.right - rc.left, 0),
                   std::max<int>(rc.bottom - rc.top, 0), TRUE);
}

void Win32Form1::ShowPage(size_t index) {
    for (size_t i = 0; i < pages_.size(); ++i) ShowWindow(Control(pages_[i]), i == index ? SW_SHOW : SW_HIDE);
}

void Win32Form1::SetText(int control, const std::string& text) {
    Item* item = Find(control);
    if (!item) return;
    const std::wstring wide = Wide(text);
    if (item->def.kind == ControlKind::Page) {
        item->def.text = text;
        const auto at = std::find(pages_.begin(), pages_.end(), control) - pages_.begin();
        TCITEMW tab{};
        tab.mask = TCIF_TEXT;
        tab.pszText = const_cast<wchar_t*>(wide.c_str());
        SendMessageW(Control(id::PageControl1), TCM_SETITEMW, static_cast<WPARAM>(at),
                     reinterpret_cast<LPARAM>(&tab));
        return;
    }
    SetWindowTextW(item->hwnd, wide.c_str());
    if (item->def.kind == ControlKind::Label || item->def.kind == ControlKind::CheckBox) Place(*item);
}

std::string Win32Form1::Text(int control) const {
    const Item* item = Find(control);
    if (!item) return {};
    if (item->def.kind == ControlKind::Page) return item->def.text;
    const std::wstring text = WindowText(item->hwnd);
    return Narrow(text.c_str(), static_cast<int>(text.size()));
}

void Win32Form1::SetBounds(int control, const Rect& bounds) {
    Item* item = Find(control);
    if (!item) return;
    item->bounds = {bounds.left, bounds.top, std::max(bounds.width, 0), std::max(bounds.height, 0)};
    Place(*item);
}

Rect Win32Form1::Bounds(int control) const {
    const Item* item = Find(control);
    return item ? item->bounds : Rect{};
}

Size Win32Form1::ClientSize(int control) const {
    const HWND hwnd = Control(control);
    RECT rc{};
    if (hwnd) GetClientRect(hwnd, &rc);
    return {Stored(rc.right - rc.left), Stored(rc.bottom - rc.top)};
}

void Win32Form1::SetEnabled(int control, bool enabled) {
    if (const HWND hwnd = Control(control)) EnableWindow(hwnd, enabled);
}

bool Win32Form1::Checked(int control) const {
    const HWND hwnd = Control(control);
    return hwnd && SendMessageW(hwnd, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void Win32Form1::SetToolTip(int control, const std::string& text) {
    Item* item = Find(control);
    if (!item) return;
    const bool had = !item->tooltip.empty();
    item->tooltip = Wide(text);
    if (item->def.kind == ControlKind::Page || !tooltips_) return;  // a tab's tip is asked for when shown
    TTTOOLINFOW tool{};
    tool.cbSize = sizeof tool;
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = GetParent(item->hwnd);
    tool.uId = reinterpret_cast<UINT_PTR>(item->hwnd);
    tool.lpszText = const_cast<wchar_t*>(item->tooltip.c_str());
    if (item->tooltip.empty()) {
        if (had) SendMessageW(tooltips_, TTM_DELTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    } else {
        SendMessageW(tooltips_, had ? TTM_UPDATETIPTEXTW : TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    }
}

void Win32Form1::SetActivePage(int page) {
    const auto it = std::find(pages_.begin(), pages_.end(), page);
    if (it == pages_.end()) return;
    const auto index = static_cast<size_t>(it - pages_.begin());
    // TCM_SETCURSEL sends no notification: the page is shown here.
    SendMessageW(Control(id::PageControl1), TCM_SETCURSEL, index, 0);
    ShowPage(index);
}

void Win32Form1::SetChart(int control, const ChartModel& chart) {
    Item* item = Find(control);
    if (!item || !item->chart) return;
    *item->chart = chart;
    InvalidateRect(item->hwnd, nullptr, FALSE);
}

void Win32Form1::Rescale(int dpi, const RECT* suggested) {
    dpi_ = dpi;
    MakeFont();
    if (suggested)
        SetWindowPos(hwnd_, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                     suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
    for (auto& [control, item] : items_)
        if (item.def.kind != ControlKind::Page) Place(item);
    LayOutPages();
    if (opened_) form_.FormResize();
}

LRESULT CALLBACK Win32Form1::FormProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_NCCREATE) {
        auto* self = static_cast<Win32Form1*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        self->hwnd_ = hwnd;
    }
    auto* self = reinterpret_cast<Win32Form1*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (!self) return DefWindowProcW(hwnd, msg, wParam, lParam);
    return self->OnMessage(msg, wParam, lParam);
}

LRESULT Win32Form1::OnMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case WM_SIZE:
            if (opened_) form_.FormResize();
            return 0;
        case WM_TIMER:
            if (!opened_) return 0;
            if (wParam == kTimer1Id) form_.Timer1Timer();
            if (wParam == kTimerRefreshDataId) form_.TimerRefreshDataTimer();
            return 0;
        case WM_COMMAND:
            if (opened_ && HIWORD(wParam) == BN_CLICKED) {
                if (LOWORD(wParam) == id::StartButton) form_.StartButtonClick();
                if (LOWORD(wParam) == id::WriteStartButton) form_.WriteStartButtonClick();
            }
            return 0;
        case WM_NOTIFY: {
            const auto* n = reinterpret_cast<const NMHDR*>(lParam);
            const HWND tabs = Control(id::PageControl1);
            if (n->hwndFrom == tabs && n->code == TCN_SELCHANGE) {
                const LRESULT at = SendMessageW(tabs, TCM_GETCURSEL, 0, 0);
                if (at >= 0) ShowPage(static_cast<size_t>(at));
            } else if (n->code == TTN_GETDISPINFOW && tabs &&
                       n->hwndFrom == reinterpret_cast<HWND>(SendMessageW(tabs, TCM_GETTOOLTIPS, 0, 0))) {
                auto* info = reinterpret_cast<NMTTDISPINFOW*>(lParam);
                const size_t at = n->idFrom;
                const Item* page = at < pages_.size() ? Find(pages_[at]) : nullptr;
                info->lpszText =
                    page ? const_cast<wchar_t*>(page->tooltip.c_str()) : const_cast<wchar_t*>(L"");
            }
            return 0;
        }
        case WM_GETMINMAXINFO: {
            // No smaller than the settings rows (Start and the timer at their right end) above the tabs and a
            // strip of the page: below that, resizing would hide what stops a run.
            int right = 0;
            for (const auto& [control, item] : items_)
                if (item.def.parent == id::Form1 && item.def.kind != ControlKind::PageControl)
                    right = std::max(right, item.bounds.left + item.bounds.width);
            if (right == 0) break;
            RECT frame{0, 0, Px(right + kMinMargin), Px(kMinClientHeight)};
            AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongPtrW(hwnd_, GWL_STYLE)), FALSE,
                               static_cast<DWORD>(GetWindowLongPtrW(hwnd_, GWL_EXSTYLE)));
            auto* limits = reinterpret_cast<MINMAXINFO*>(lParam);
            limits->ptMinTrackSize = {frame.right - frame.left, frame.bottom - frame.top};
            return 0;
        }
        case WM_DPICHANGED:
            Rescale(HIWORD(wParam), reinterpret_cast<const RECT*>(lParam));
            return 0;
        case WM_CLOSE:
            // The run ends and its workers get their second; then the window goes and the loop ends.
            form_.FormHide();
            DestroyWindow(hwnd_);
            return 0;
        case WM_DESTROY:
            KillTimer(hwnd_, kTimer1Id);
            KillTimer(hwnd_, kTimerRefreshDataId);
            opened_ = false;
            PostQuitMessage(0);
            return 0;
        default:
            break;
    }
    return DefWindowProcW(hwnd_, msg, wParam, lParam);
}

LRESULT CALLBACK Win32Form1::PageProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_NCCREATE)
        SetWindowLongPtrW(
            hwnd, GWLP_USERDATA,
            reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams));
    auto* self = reinterpret_cast<Win32Form1*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self && msg == WM_SIZE && self->opened_ && GetDlgCtrlID(hwnd) == id::TabSheet1)
        self->form_.TabSheet1Resize();
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

}  // namespace ui::win32

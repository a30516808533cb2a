#pragma once
// The window in native Win32: every control a real child window with its stored control ID, made from the
// stored description and scaled to the window's DPI; events forwarded to the window logic (ui/form.h),
// which sets texts, places and charts through IWindowView. Strings are UTF-8 inside and UTF-16 only here.
#include <windows.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "ui/boxes.h"
#include "ui/form.h"
#include "ui/view.h"

namespace ui::win32 {

inline constexpr wchar_t kFormClass[] = L"VolstressForm1";
inline constexpr wchar_t kPageClass[] = L"VolstressPage";
// Timer identifiers on the main window: WM_TIMER with these runs Timer1Timer and TimerRefreshDataTimer.
constexpr UINT_PTR kTimer1Id = 1;
constexpr UINT_PTR kTimerRefreshDataId = 2;

class Win32Form1 : private IWindowView {
  public:
    Win32Form1(engine::Engine& engine, IWindowDialogs& dialogs, HINSTANCE instance);
    ~Win32Form1() override;
    Win32Form1(const Win32Form1&) = delete;
    Win32Form1& operator=(const Win32Form1&) = delete;

    // Makes the window and its controls and shows it, which runs FormShow; `created` learns the window as
    // soon as it exists (the boxes' owner). False when the system refuses.
    bool Open(int showCommand, const std::function<void(HWND)>& created = {});
    // The message loop until the window has been closed; the exit code it posted.
    int Run();
    HWND Handle() const { return hwnd_; }
    TForm1& Form() { return form_; }
    // The child window of a control identifier; nullptr when there is none.
    HWND Control(int control) const;

  private:
    struct Item {
        ControlDef def;
        HWND hwnd = nullptr;
        Rect bounds;  // stored pixels (96 dpi), as the logic last set them
        std::wstring tooltip;
        std::unique_ptr<ChartModel> chart;
    };

    static LRESULT CALLBACK FormProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK PageProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    LRESULT OnMessage(UINT msg, WPARAM wParam, LPARAM lParam);
    Item* Find(int control);
    const Item* Find(int control) const;
    HWND ParentOf(const ControlDef& def) const;
    int Px(int stored) const { return MulDiv(stored, dpi_, 96); }
    int Stored(int px) const { return MulDiv(px, 96, dpi_); }
    void Place(Item& item);
    void FitToText(Item& item);
    // A control's text in a font, in pixels: its advance, the end of its last inked column, its line height.
    struct TextFit {
        int extent = 0, ink = 0, height = 0;
    };
    TextFit Measure(HWND hwnd, HFONT font) const;
    TextFit Measure(const std::wstring& text, HFONT font) const;
    void LayOutPages();
    void ShowPage(size_t index);
    void MakeFont();
    void Rescale(int dpi, const RECT* suggested);

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

    HINSTANCE instance_;
    HWND hwnd_ = nullptr;
    HWND tooltips_ = nullptr;
    HFONT font_ = nullptr;
    HFONT captionFont_ = nullptr;  // every settings caption's: the largest face in which all fit their room
    int dpi_ = 96;
    std::map<int, Item> items_;
    std::vector<int> pages_;  // page identifiers in tab order
    bool opened_ = false;     // the stored controls exist: the handlers may run
    TForm1 form_;
};

}  // namespace ui::win32

#pragma once
// A chart as a window class: its owner hands it a chart model (ui/chart_model.h) and it paints that into a
// memory bitmap, then copies it to the screen, so nothing flickers. All arithmetic of axes and ticks is in
// the model; this only draws.
#include <windows.h>

#include "ui/chart_model.h"

namespace ui::win32 {

inline constexpr wchar_t kChartClass[] = L"VolstressChart";

// Registers the class once per process; false when the system refuses.
bool RegisterChartClass(HINSTANCE instance);
// The model a chart window draws, owned by the caller and kept alive while the window exists; the font its
// texts are drawn in. Repaints.
void SetChartModel(HWND chart, const ChartModel* model, HFONT font);
// Draws a model into a rectangle of a device context: what WM_PAINT does, callable for a picture too.
void PaintChart(HDC dc, const RECT& area, const ChartModel& model, HFONT font, int dpi);

// Starts GDI+ for anti-aliased series lines; without it lines are drawn with plain GDI.
class LineSmoothing {
  public:
    LineSmoothing();
    ~LineSmoothing();
    LineSmoothing(const LineSmoothing&) = delete;
    LineSmoothing& operator=(const LineSmoothing&) = delete;

  private:
    ULONG_PTR token_ = 0;
};

}  // namespace ui::win32

#include "ui/win32/chart_control.h"

#include <algorithm>
#include <cmath>
#include <vector>
// GDI+'s headers use min and max unqualified (NOMINMAX took the macros away) and PROPID from objidl.h
// (WIN32_LEAN_AND_MEAN left it out).
#include <objidl.h>
using std::max;
using std::min;
#include <gdiplus.h>

#include "platform/win32_text.h"

namespace ui::win32 {

namespace {

struct ChartState {
    const ChartModel* model = nullptr;
    HFONT font = nullptr;
};

constexpr COLORREF kFrame = RGB(0x80, 0x80, 0x80);
constexpr COLORREF kGrid = RGB(0xDC, 0xDC, 0xDC);
// The toolkit's default for a series made at run time: red, as the first series of a chart.
constexpr COLORREF kDefaultSeries = RGB(0xFF, 0x00, 0x00);

bool gdiplusStarted = false;

int Scale(int pixels, int dpi) {
    return MulDiv(pixels, dpi, 96);
}

SIZE TextSize(HDC dc, const std::wstring& text) {
    SIZE s{0, 0};
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &s);
    return s;
}

void DrawTextAt(HDC dc, const std::wstring& text, int x, int y) {
    TextOutW(dc, x, y, text.c_str(), static_cast<int>(text.size()));
}

void DrawLine(HDC dc, int x1, int y1, int x2, int y2) {
    MoveToEx(dc, x1, y1, nullptr);
    LineTo(dc, x2, y2);
}

void DrawSeries(HDC dc, const std::vector<POINT>& points, COLORREF colour, int dpi) {
    if (points.size() < 2) {
        if (points.size() == 1) {  // one point: a dot, so a single interval still shows
            const int r = Scale(2, dpi);
            HBRUSH brush = CreateSolidBrush(colour);
            const RECT dot{points[0].x - r, points[0].y - r, points[0].x + r + 1, points[0].y + r + 1};
            FillRect(dc, &dot, brush);
            DeleteObject(brush);
        }
        return;
    }
    if (gdiplusStarted) {
        using namespace Gdiplus;
        GpGraphics* graphics = nullptr;
        if (DllExports::GdipCreateFromHDC(dc, &graphics) == Ok) {
            DllExports::GdipSetSmoothingMode(graphics, SmoothingModeAntiAlias);
            GpPen* pen = nullptr;
            const ARGB argb = 0xFF000000u | (static_cast<ARGB>(GetRValue(colour)) << 16) |
                              (static_cast<ARGB>(GetGValue(colour)) << 8) | GetBValue(colour);
            DllExports::GdipCreatePen1(argb, static_cast<REAL>(Scale(1, dpi)), UnitPixel, &pen);
            std::vector<Point> gp;
            gp.reserve(points.size());
            for (const POINT& p : points) gp.emplace_back(p.x, p.y);
            DllExports::GdipDrawLinesI(graphics, pen, gp.data(), static_cast<INT>(gp.size()));
            DllExports::GdipDeletePen(pen);
            DllExports::GdipDeleteGraphics(graphics);
            return;
        }
    }
    HPEN pen = CreatePen(PS_SOLID, Scale(1, dpi), colour);
    HGDIOBJ old = SelectObject(dc, pen);
    Polyline(dc, points.data(), static_cast<int>(points.size()));
    SelectObject(dc, old);
    DeleteObject(pen);
}

LRESULT CALLBACK ChartProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* state = reinterpret_cast<ChartState*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    switch (msg) {
        case WM_NCCREATE:
            SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(new ChartState));
            break;
        case WM_NCDESTROY:
            delete state;
            SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
            break;
        case WM_ERASEBKGND:
            return 1;  // WM_PAINT covers every pixel
        case WM_PAINT: {
            PAINTSTRUCT ps;
            HDC dc = BeginPaint(hwnd, &ps);
            RECT rc;
            GetClientRect(hwnd, &rc);
            const int w = rc.right - rc.left, h = rc.bottom - rc.top;
            if (w > 0 && h > 0) {
                HDC mem = CreateCompatibleDC(dc);
                HBITMAP bitmap = CreateCompatibleBitmap(dc, w, h);
                HGDIOBJ oldBitmap = SelectObject(mem, bitmap);
                if (state && state->model) {
                    int dpi = GetDeviceCaps(dc, LOGPIXELSY);
                    PaintChart(mem, rc, *state->model, state->font, dpi);
                } else {
                    FillRect(mem, &rc, GetSysColorBrush(COLOR_BTNFACE));
                }
                BitBlt(dc, 0, 0, w, h, mem, 0, 0, SRCCOPY);
                SelectObject(mem, oldBitmap);
                DeleteObject(bitmap);
                DeleteDC(mem);
            }
            EndPaint(hwnd, &ps);
            return 0;
        }
        default:
            break;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

}  // namespace

LineSmoothing::LineSmoothing() {
    Gdiplus::GdiplusStartupInput input;
    gdiplusStarted = Gdiplus::GdiplusStartup(&token_, &input, nullptr) == Gdiplus::Ok;
}

LineSmoothing::~LineSmoothing() {
    if (gdiplusStarted) Gdiplus::GdiplusShutdown(token_);
    gdiplusStarted = false;
}

bool RegisterChartClass(HINSTANCE instance) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    if (GetClassInfoExW(instance, kChartClass, &wc)) return true;
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = ChartProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = kChartClass;
    return RegisterClassExW(&wc) != 0;
}

void SetChartModel(HWND chart, const ChartModel* model, HFONT font) {
    auto* state = reinterpret_cast<ChartState*>(GetWindowLongPtrW(chart, GWLP_USERDATA));
    if (!state) return;
    state->model = model;
    state->font = font;
    InvalidateRect(chart, nullptr, FALSE);
}

void PaintChart(HDC dc, const RECT& area, const ChartModel& model, HFONT font, int dpi) {
    FillRect(dc, &area, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    HGDIOBJ oldFont = SelectObject(dc, font ? font : GetStockObject(DEFAULT_GUI_FONT));
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(0, 0, 0));
    HPEN framePen = CreatePen(PS_SOLID, 1, kFrame);
    HPEN gridPen = CreatePen(PS_SOLID, 1, kGrid);
    HGDIOBJ oldPen = SelectObject(dc, framePen);
    HGDIOBJ oldBrush = SelectObject(dc, GetStockObject(NULL_BRUSH));
    Rectangle(dc, area.left, area.top, area.right, area.bottom);

    const std::wstring title = platform::Wide(model.title);
    const SIZE titleSize = TextSize(dc, title);
    const int pad = Scale(4, dpi);
    DrawTextAt(dc, title, area.left + (area.right - area.left - titleSize.cx) / 2, area.top + pad);

    // The plot leaves room for the widest value label on the left, one line of labels below and half the
    // last bottom label on the right.
    std::vector<std::wstring> yLabels, xLabels;
    int yLabelWidth = 0;
    for (const AxisTick& t : model.y.ticks) {
        yLabels.push_back(platform::Wide(t.label));
        yLabelWidth = std::max<int>(yLabelWidth, TextSize(dc, yLabels.back()).cx);
    }
    for (const AxisTick& t : model.x.ticks) xLabels.push_back(platform::Wide(t.label));
    const int lastHalf = xLabels.empty() ? 0 : TextSize(dc, xLabels.back()).cx / 2;
    RECT plot{area.left + yLabelWidth + 3 * pad, area.top + titleSize.cy + 2 * pad,
              area.right - std::max(lastHalf, 2 * pad) - pad, area.bottom - titleSize.cy - 2 * pad};
    if (plot.right - plot.left < 2 || plot.bottom - plot.top < 2) {
        SelectObject(dc, oldBrush);
        SelectObject(dc, oldPen);
        SelectObject(dc, oldFont);
        DeleteObject(framePen);
        DeleteObject(gridPen);
        return;
    }
    const int pw = plot.right - plot.left, ph = plot.bottom - plot.top;
    const auto px = [&](double v) {
        return plot.left +
               static_cast<int>(std::lround(std::clamp(AxisFraction(model.x, v), -1.0, 2.0) * pw));
    };
    const auto py = [&](double v) {
        return plot.bottom -
               static_cast<int>(std::lround(std::clamp(AxisFraction(model.y, v), -1.0, 2.0) * ph));
    };

    SelectObject(dc, gridPen);
    for (size_t k = 0; k < model.y.ticks.size(); ++k) {
        const int y = py(model.y.ticks[k].value);
        DrawLine(dc, plot.left, y, plot.right, y);
        const SIZE s = TextSize(dc, yLabels[k]);
        DrawTextAt(dc, yLabels[k], plot.left - pad - s.cx, y - s.cy / 2);
    }
    // Bottom labels that would run into the one before are left out; the grid line stays.
    int freeFrom = area.left;
    for (size_t k = 0; k < model.x.ticks.size(); ++k) {
        const int x = px(model.x.ticks[k].value);
        DrawLine(dc, x, plot.top, x, plot.bottom);
        const SIZE s = TextSize(dc, xLabels[k]);
        const int left = x - s.cx / 2;
        if (left >= freeFrom) {
            DrawTextAt(dc, xLabels[k], left, plot.bottom + pad);
            freeFrom = left + s.cx + pad;
        }
    }
    SelectObject(dc, framePen);
    DrawLine(dc, plot.left, plot.top, plot.left, plot.bottom);
    DrawLine(dc, plot.left, plot.bottom, plot.right + 1, plot.bottom);

    std::vector<POINT> points;
    points.reserve(model.points.size());
    for (const stats::ChartPoint& p : model.points) points.push_back({px(p.x), py(p.y)});
    const int saved = SaveDC(dc);
    IntersectClipRect(dc, plot.left, plot.top - 1, plot.right + 2, plot.bottom + 1);
    const COLORREF colour = model.storedColour ? RGB((kStoredSeriesRgb >> 16) & 0xFF,
                                                     (kStoredSeriesRgb >> 8) & 0xFF, kStoredSeriesRgb & 0xFF)
                                               : kDefaultSeries;
    DrawSeries(dc, points, colour, dpi);
    RestoreDC(dc, saved);

    SelectObject(dc, oldBrush);
    SelectObject(dc, oldPen);
    SelectObject(dc, oldFont);
    DeleteObject(framePen);
    DeleteObject(gridPen);
}

}  // namespace ui::win32

#pragma once
// What the window logic asks of a toolkit: controls found by identifier, their texts, places and sizes, a
// check box's state, a page to show and a chart to draw. The Qt window and the Win32 window each implement
// it; tests fake it. Window thread only. Boxes go through IWindowDialogs.
#include <string>

#include "ui/chart_model.h"
#include "ui/layout.h"

namespace ui {

class IWindowView {
  public:
    virtual ~IWindowView() = default;
    // Makes a control at run time as the stored ones were made: a page goes after the tabs already there,
    // a label sizes itself to its text, a chart starts empty with its title and hidden legend.
    virtual void Create(const ControlDef& def) = 0;
    // A label's caption (it resizes to the text), a button's caption, an edit's or combo box's text.
    virtual void SetText(int control, const std::string& text) = 0;
    virtual std::string Text(int control) const = 0;
    // Place and size within the parent, in stored (96 dpi) pixels; sizes below 0 are taken as 0.
    virtual void SetBounds(int control, const Rect& bounds) = 0;
    virtual Rect Bounds(int control) const = 0;
    // The client area of the window (id::Form1) or of a page.
    virtual Size ClientSize(int control) const = 0;
    virtual void SetEnabled(int control, bool enabled) = 0;
    virtual bool Checked(int control) const = 0;
    // A control's tooltip; for a page, the tooltip of its tab.
    virtual void SetToolTip(int control, const std::string& text) = 0;
    virtual void SetActivePage(int page) = 0;
    // The chart's series and axes replaced, and the chart repainted.
    virtual void SetChart(int control, const ChartModel& chart) = 0;
};

}  // namespace ui

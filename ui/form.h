#pragma once
// TForm1: the one window's state and its event handlers, without a toolkit. A front-end makes the stored
// controls (StoredControls()), calls the handlers on their events and draws what they set through
// IWindowView; boxes go through IWindowDialogs. Window thread only.
#include <array>
#include <functional>
#include <string>

#include "engine/engine.h"
#include "stats/aggregation.h"
#include "ui/boxes.h"
#include "ui/chart_model.h"
#include "ui/view.h"
#include "ui/window_settings.h"

namespace ui {

class TForm1 : private stats::RefreshSink {
  public:
    TForm1(engine::Engine& engine, IWindowDialogs& dialogs, IWindowView& view);

    // Handlers. FormShow runs once, however often the window is shown; FormHide once, on close.
    void FormShow();
    void FormResize();
    void TabSheet1Resize();
    void FormHide();
    void StartButtonClick();
    void Timer1Timer();
    void TimerRefreshDataTimer();
    void WriteStartButtonClick();
    // The tab of a present volume: page, ten labels, three charts, check box.
    void CreateVolumeTab(int index);

    engine::Engine& Engine() { return engine_; }
    // Whether the process has the rights raw volumes need (tests answer it themselves).
    void SetRightsCheck(std::function<bool()> check) { hasVolumeRights_ = std::move(check); }
    // True when volume i has its tab.
    bool HasTab(int i) const { return i >= 0 && i < kSlots && hasTab_[static_cast<size_t>(i)]; }

  private:
    void CloneLabel(VolumeRole slot, int index, int templ, int tab, const std::string& text);
    void MakeChart(VolumeRole slot, int index, int templ, int tab);
    WindowTexts Texts() const;
    std::array<bool, kSlots> Ticked() const;
    // stats::RefreshSink
    void SetDebugText(int volume, const std::string& text) override;
    void Show(int volume, const stats::StatsView& view) override;

    engine::Engine& engine_;
    IWindowDialogs& dialogs_;
    IWindowView& view_;
    stats::StatisticsRefresher refresher_;
    ChartModel chart_;  // reused for every chart a refresh draws
    std::array<bool, kSlots> hasTab_{};
    std::function<bool()> hasVolumeRights_;
    bool shown_ = false;
    bool hidden_ = false;
};

// The box that says the system refused every volume: what it answered (code), and how to get the rights
// where the process lacks them.
inline constexpr const char* kNoAccessCaption = "Нет доступа к томам";
std::string NoAccessText(uint32_t code, bool hasRights);

}  // namespace ui

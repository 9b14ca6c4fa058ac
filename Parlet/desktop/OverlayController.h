// The floating pill's model and controller. The application pushes the dictation state
// (`setState`), short notices (`flashNotice`, shown 1.4 s, or held until released), the smoothed input level and the
// hands-free flag; the pill window draws from `model()` and its pure helpers below. The pill shows
// for any state but idle or while a notice lasts; the panel is placed (through `placePanel`) at
// every change from hidden to shown, never while shown. Main thread only; nothing throws.
//   OverlayController overlay({&queue, [&] { window.place(); }});  overlay.setState(State::recording);
#pragma once

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "KestrumCore/MainQueue.h"
#include "Parlet/core/Pipeline.h"
#include "Parlet/desktop/Observable.h"

namespace parlet {

class OverlayModel : public Observable {
 public:
  using State = Pipeline::State;

  State state() const { return state_; }
  bool visible() const { return visible_; }
  float level() const { return level_; }  // 0 silence … 1 loud
  const std::optional<std::string>& notice() const { return notice_; }
  bool locked() const { return locked_; }

  void setState(State value) { set(state_, value); }
  void setVisible(bool value) { set(visible_, value); }
  void setLevel(float value) { set(level_, value); }
  void setNotice(std::optional<std::string> value) { set(notice_, std::move(value)); }
  void setLocked(bool value) { set(locked_, value); }

 private:
  State state_ = State::idle;
  bool visible_ = false;
  float level_ = 0;
  std::optional<std::string> notice_;
  bool locked_ = false;
};

// What the pill shows on its left: `notice` marks a problem, `info` a notice that reports success.
enum class PillIcon { notice, info, none, busyDots, lockedBars, bars };

struct PillContent {
  PillIcon icon = PillIcon::none;
  std::string label;
};

// "Listening", "Thinking", "Loading model…", the notice, …; a notice wins over the state.
PillContent pillContent(const OverlayModel& model);

// The five level bars at time `t` (seconds): heights in points (3 at silence, at most 16) and the
// opacity they are drawn with (0.35 at silence, 0.9 at full level).
struct WaveformBars {
  std::array<double, 5> heights{};
  double opacity = 0;
};
WaveformBars waveformBars(float level, double t);
// Opacities (0.25 … 1) of the three busy dots at time `t`, pulsing from left to right.
std::array<double, 3> processingDots(double t);

struct Rect {
  double x = 0, y = 0, width = 0, height = 0;  // top-left origin, y downwards
  friend bool operator==(const Rect&, const Rect&) = default;
};
// The panel's frame on a screen's available area: centred horizontally, its bottom edge 80 points
// above the area's bottom.
Rect pillPanelFrame(const Rect& availableArea, double panelWidth, double panelHeight);
// A window's frame on the same area that the pill never covers: centred horizontally, and
// vertically in the part above the pill's panel with a 16-point gap (the area's top when it does
// not fit there).
Rect frameAboveThePill(const Rect& availableArea, double width, double height);

class OverlayController {
 public:
  struct Dependencies {
    kestrum::MainQueue* mainQueue = nullptr;  // required; must outlive the controller
    std::function<void()> placePanel;         // moves the panel to the screen under the pointer
  };

  static constexpr std::chrono::milliseconds noticeDuration{1400};
  static constexpr double panelWidth = 260, panelHeight = 64;

  // Places the panel once. Throws std::invalid_argument without a main queue.
  explicit OverlayController(Dependencies dependencies);
  ~OverlayController();
  OverlayController(const OverlayController&) = delete;
  OverlayController& operator=(const OverlayController&) = delete;

  OverlayModel& model() { return model_; }
  const OverlayModel& model() const { return model_; }

  void setState(Pipeline::State state);
  // Shows `text` for 1.4 s; a later notice replaces it and starts the 1.4 s again.
  void flashNotice(const std::string& text);
  // Keeps the notice shown now until releaseNotice() (or a later notice replaces it): for one the
  // user must not miss.
  void holdNotice();
  // Ends a held notice at once; nothing happens when none is held.
  void releaseNotice();
  bool noticeHeld() const { return held_; }

 private:
  void show();
  void endNotice();

  Dependencies dependencies_;
  OverlayModel model_;
  std::optional<kestrum::MainQueue::TimerId> noticeDismiss_;
  bool held_ = false;
  std::shared_ptr<OverlayController*> self_;  // weak handle for delayed work
};

}  // namespace parlet

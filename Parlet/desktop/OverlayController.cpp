#include "Parlet/desktop/OverlayController.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace parlet {

PillContent pillContent(const OverlayModel& model) {
  using State = Pipeline::State;
  if (model.notice()) {
    const std::string& text = *model.notice();
    const bool confirmation = text == "Copied last transcript" || text == "Parlet is already running";
    return {confirmation ? PillIcon::info : PillIcon::notice, text};
  }
  switch (model.state()) {
    case State::idle: return {PillIcon::none, ""};
    case State::preparing: return {PillIcon::busyDots, "Loading model\u2026"};
    case State::recording:
      if (model.locked()) return {PillIcon::lockedBars, "Locked \u00B7 tap to stop"};
      return {PillIcon::bars, "Listening"};
    case State::processing: return {PillIcon::busyDots, "Thinking"};
  }
  return {};
}

WaveformBars waveformBars(float level, double t) {
  // Amplitude in single precision, as the level itself is.
  const double a = std::sqrt(std::max(std::min(level, 1.0f), 0.0f));
  WaveformBars bars;
  for (int i = 0; i < 5; ++i)
    bars.heights[i] = a * 13 * (0.5 * std::sin(6 * t + 0.7 * i) + 0.5) + 3;
  bars.opacity = a * 0.55 + 0.35;
  return bars;
}

std::array<double, 3> processingDots(double t) {
  std::array<double, 3> opacity{};
  for (int i = 0; i < 3; ++i) opacity[i] = (0.5 * std::sin(2.6 * t - 0.6 * i) + 0.5) * 0.75 + 0.25;
  return opacity;
}

Rect pillPanelFrame(const Rect& area, double width, double height) {
  return {area.x + area.width / 2 - width / 2, area.y + area.height - 80 - height, width, height};
}

Rect frameAboveThePill(const Rect& area, double width, double height) {
  const double limit =
      pillPanelFrame(area, OverlayController::panelWidth, OverlayController::panelHeight).y - 16;  // the pill's top
  const double y = std::max(area.y, area.y + (limit - area.y - height) / 2);
  return {area.x + area.width / 2 - width / 2, y, width, height};
}

OverlayController::OverlayController(Dependencies dependencies)
    : dependencies_(std::move(dependencies)), self_(std::make_shared<OverlayController*>(this)) {
  if (!dependencies_.mainQueue) throw std::invalid_argument("OverlayController needs a main queue");
  if (dependencies_.placePanel) dependencies_.placePanel();
}

OverlayController::~OverlayController() {
  if (noticeDismiss_) dependencies_.mainQueue->cancel(*noticeDismiss_);
}

void OverlayController::show() {
  if (dependencies_.placePanel) dependencies_.placePanel();
  model_.setVisible(true);
}

void OverlayController::setState(Pipeline::State state) {
  model_.setState(state);
  if (state == Pipeline::State::idle) {
    if (model_.notice()) return;  // the notice's end hides the pill
    model_.setVisible(false);
    model_.setLevel(0);
    return;
  }
  if (!model_.visible()) show();
}

void OverlayController::flashNotice(const std::string& text) {
  held_ = false;
  model_.setNotice(text);
  if (!model_.visible()) show();
  if (noticeDismiss_) dependencies_.mainQueue->cancel(*noticeDismiss_);
  std::weak_ptr<OverlayController*> weak = self_;
  noticeDismiss_ = dependencies_.mainQueue->postAfter(noticeDuration, [weak] {
    auto self = weak.lock();
    if (!self) return;
    (*self)->noticeDismiss_.reset();
    (*self)->endNotice();
  });
}

void OverlayController::holdNotice() {
  if (!model_.notice()) return;
  if (noticeDismiss_) dependencies_.mainQueue->cancel(*noticeDismiss_);
  noticeDismiss_.reset();
  held_ = true;
}

void OverlayController::releaseNotice() {
  if (!held_) return;
  held_ = false;
  endNotice();
}

void OverlayController::endNotice() {
  model_.setNotice(std::nullopt);
  if (model_.state() == Pipeline::State::idle) {
    model_.setVisible(false);
    model_.setLevel(0);
  }
}

}  // namespace parlet

// A window handle that records what the controllers ask of it; closing it reports back as the
// toolkit would.
#pragma once

#include <functional>

#include "Parlet/desktop/WindowHandle.h"

namespace parlet::testing {

struct WindowLog {
  int made = 0;
  int broughtToFront = 0;
  int closed = 0;
};

class FakeWindow : public WindowHandle {
 public:
  FakeWindow(WindowLog& log, std::function<void()> willClose) : log_(log), willClose_(std::move(willClose)) {
    ++log_.made;
  }
  void bringToFront() override {
    visible_ = true;
    ++log_.broughtToFront;
  }
  void close() override {
    ++log_.closed;
    visible_ = false;
    auto willClose = willClose_;  // may destroy this window
    willClose();
  }
  bool isVisible() const override { return visible_; }

 private:
  WindowLog& log_;
  std::function<void()> willClose_;
  bool visible_ = false;
};

}  // namespace parlet::testing

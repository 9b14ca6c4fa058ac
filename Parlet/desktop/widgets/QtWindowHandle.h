// A WindowHandle over a top-level QWidget that it owns. The widget reports its closing through
// `setOnClose`'s callback (from its closeEvent); dropping the handle deletes the widget later, after
// a still-open one has closed without reporting. GUI thread only.
#pragma once

#include <QPointer>
#include <QWidget>

#include "Parlet/desktop/WindowHandle.h"

namespace parlet::widgets {

class QtWindowHandle : public WindowHandle {
 public:
  // `detach` tells the widget to stop reporting its closing.
  QtWindowHandle(QWidget* window, std::function<void()> detach) : window_(window), detach_(std::move(detach)) {}
  ~QtWindowHandle() override {
    if (!window_) return;
    if (detach_) detach_();
    window_->close();
    window_->deleteLater();
  }
  void bringToFront() override {
    if (!window_) return;
    window_->show();
    window_->raise();
    window_->activateWindow();
  }
  void close() override {
    if (window_) window_->close();
  }
  bool isVisible() const override { return window_ && window_->isVisible(); }
  QWidget* widget() const { return window_; }

 private:
  QPointer<QWidget> window_;
  std::function<void()> detach_;
};

}  // namespace parlet::widgets

#include "Parlet/desktop/ArchiveWindowController.h"

namespace parlet {

ArchiveWindowController::ArchiveWindowController(ArchiveViewModel::Dependencies view, MakeWindow makeWindow,
                                                 std::function<void()> onClose)
    : view_(std::move(view)), makeWindow_(std::move(makeWindow)), onClose_(std::move(onClose)) {}

void ArchiveWindowController::show() {
  if (!window_ && makeWindow_) window_ = makeWindow_(*this, std::make_unique<ArchiveViewModel>(view_));
  if (window_) window_->bringToFront();
}

void ArchiveWindowController::windowWillClose() {
  auto closing = std::move(window_);  // released after onClose: the toolkit window is mid-close
  auto onClose = onClose_;            // onClose may destroy this controller
  if (onClose) onClose();
}

}  // namespace parlet

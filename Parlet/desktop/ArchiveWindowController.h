// Owns the archive window while it exists: `show()` makes one (with a fresh view model) or brings
// the existing one forward; when the window closes, the controller forgets it and calls `onClose`.
// Main thread only; nothing throws.
#pragma once

#include <functional>
#include <memory>

#include "Parlet/desktop/ArchiveViewModel.h"
#include "Parlet/desktop/WindowHandle.h"

namespace parlet {

class ArchiveWindowController {
 public:
  using MakeWindow =
      std::function<std::unique_ptr<WindowHandle>(ArchiveWindowController&, std::unique_ptr<ArchiveViewModel>)>;

  static constexpr double windowWidth = 560, windowHeight = 480;
  static constexpr double minimumWidth = 480, minimumHeight = 360;

  ArchiveWindowController(ArchiveViewModel::Dependencies view, MakeWindow makeWindow, std::function<void()> onClose);

  void show();
  bool isShown() const { return window_ != nullptr; }
  // The window is closing, by any means.
  void windowWillClose();

 private:
  ArchiveViewModel::Dependencies view_;
  MakeWindow makeWindow_;
  std::function<void()> onClose_;
  std::unique_ptr<WindowHandle> window_;
};

}  // namespace parlet

// The focused application on X11: the active window (_NET_ACTIVE_WINDOW, else the input focus) named by
// its WM_CLASS class, and that WM_CLASS itself for the paste chord. On a Wayland session this sees
// Xwayland's windows only: with a native Wayland window focused there is no window class (so the chord
// is Ctrl+V). When a window of this process has the focus, it is this application, named by
// `ownApplicationId()` (the Qt application name). The key window and first responder are Qt's active
// window and focus widget; the paste action calls the focus widget's paste slot. A popup of this
// application (the tray menu) holds the keyboard while open: the active window when the first popup
// opened is noted, and closing the popups gives the focus back to it. Main thread only.
#pragma once

#include <memory>

#include "platform/Desktop/PasteSeams.h"

namespace platform::desktop {

class X11FocusedApplication : public FocusedApplication {
 public:
  X11FocusedApplication();
  ~X11FocusedApplication() override;

  std::optional<std::string> frontmostApplicationId() const override;
  std::optional<std::string> ownApplicationId() const override;
  std::optional<std::string> keyWindowTitle() const override;
  std::optional<std::string> firstResponderTypeName() const override;
  std::optional<WindowClass> focusedWindowClass() const override;
  // True when the focus widget has a paste slot (line and text edits) and it was called.
  bool sendPasteAction() override;
  bool popupOpen() const override;
  bool closePopups() override;
  bool focusReturned() const override;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace platform::desktop

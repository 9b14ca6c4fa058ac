// The trigger key's event source on X11: XInput2 raw key events on the root window (nothing is grabbed,
// every application still gets its keys), read on the X connection's socket in the Qt event loop of the
// thread that makes the monitor. Physical keys map to the desktop key codes of platform/Desktop/KeyEvents.h
// by their position (the keyboard's key names), not by the layout, so Right Alt is 61 also where the
// layout makes it AltGr. Modifier keys arrive as flag changes, other keys as key downs, once per press
// (kOtherKeyCode for keys without a desktop code: function keys, arrows, keypad). Pointer buttons and
// wheels (buttons 4 to 7, or motion on a device's scroll axes) go down as kPointerCode. An event goes to
// the local monitors while a window of this application has the focus, else to the global ones. The
// paste chord this process types (X11PasteKeys) is not reported.
// Throws DesktopError when the display cannot be opened or lacks XInput 2.1.
#pragma once

#include <functional>
#include <memory>

#include "platform/Desktop/KeyEvents.h"

namespace platform::desktop {

class X11KeyMonitor : public KeyEventMonitoring {
 public:
  // `ownsFocus` says whether this application has the keyboard focus; default: a Qt window has it.
  explicit X11KeyMonitor(std::function<bool()> ownsFocus = {});
  ~X11KeyMonitor() override;
  X11KeyMonitor(const X11KeyMonitor&) = delete;
  X11KeyMonitor& operator=(const X11KeyMonitor&) = delete;

  Token addGlobalMonitor(std::uint64_t mask, Handler handler) override;
  Token addLocalMonitor(std::uint64_t mask, Handler handler) override;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace platform::desktop

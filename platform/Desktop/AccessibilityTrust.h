// Whether Parlet may watch the trigger key in other applications and type the paste chord: on X11 that
// takes an open display with XInput 2.1 (raw key events) and XTEST. Otherwise untrusted, with a reason
// that says why and what to do (a Wayland session without X11, no display, a display that cannot be
// opened, a missing extension). Reads DISPLAY and WAYLAND_DISPLAY; opens and closes one connection per
// call; call it from one thread (Xlib is not set up for threads); never throws.
//   if (auto status = accessibilityStatus(); !status.trusted) log(status.reason);
#pragma once

#include <string>

namespace platform::desktop {

struct AccessibilityStatus {
  bool trusted = false;
  std::string reason;  // empty when trusted
};

AccessibilityStatus accessibilityStatus();

}  // namespace platform::desktop

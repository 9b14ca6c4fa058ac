// An owned Xlib connection and the X helpers the desktop services share. Not thread-safe: one connection
// per user.
#pragma once

#include <X11/Xlib.h>

#include <memory>
#include <optional>
#include <string>

namespace platform::desktop::detail {

struct DisplayCloser {
  void operator()(Display* display) const { XCloseDisplay(display); }
};
using DisplayPtr = std::unique_ptr<Display, DisplayCloser>;

// The display DISPLAY names, as it would be shown in a message ("(unset)" when it is not set).
std::string displayNameForMessages();
// Opens the display of DISPLAY; throws DesktopError naming it when that fails.
DisplayPtr openDisplay();
// The XInput major opcode when the server has XInput 2.1 or later.
std::optional<int> xinput21Opcode(Display* display);
bool hasXTest(Display* display);

// While it lives, X protocol errors on `display` (a window that vanished meanwhile) are recorded instead
// of ending the process, which is what Xlib's default handler does. Main thread only.
class XErrorTrap {
 public:
  explicit XErrorTrap(Display* display);
  ~XErrorTrap();
  XErrorTrap(const XErrorTrap&) = delete;
  XErrorTrap& operator=(const XErrorTrap&) = delete;
  // Whether an error came since the trap was set (waits for the server's answers first).
  bool failed();

 private:
  Display* display_;
  int (*previous_)(Display*, XErrorEvent*);
};

}  // namespace platform::desktop::detail

#include "Parlet/desktop/app/DisplayCheck.h"

#include <X11/Xlib.h>

#include <cstdlib>

namespace parlet::app {

std::string whyNoDisplay() {
  const char* display = std::getenv("DISPLAY");
  if (!display || !*display) {
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if (wayland && *wayland)
      return "this Wayland session offers no X11 display (DISPLAY is not set); Parlet needs X11 or Xwayland";
    return "no display (DISPLAY is not set); start Parlet from a graphical X11 session";
  }
  Display* connection = XOpenDisplay(display);
  if (!connection) return std::string("cannot open the X display \"") + display + "\"";
  XCloseDisplay(connection);
  return {};
}

}  // namespace parlet::app

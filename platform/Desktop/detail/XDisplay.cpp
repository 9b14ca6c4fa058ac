#include "platform/Desktop/detail/XDisplay.h"

#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>

#include <cstdlib>

#include "platform/Desktop/DesktopError.h"

namespace platform::desktop::detail {

std::string displayNameForMessages() {
  const char* name = std::getenv("DISPLAY");
  return name && *name ? name : "(unset)";
}

DisplayPtr openDisplay() {
  DisplayPtr display(XOpenDisplay(nullptr));
  if (!display) throw DesktopError("cannot open the X display " + displayNameForMessages());
  return display;
}

std::optional<int> xinput21Opcode(Display* display) {
  int opcode = 0, event = 0, error = 0;
  if (!XQueryExtension(display, "XInputExtension", &opcode, &event, &error)) return std::nullopt;
  int major = 2, minor = 1;
  if (XIQueryVersion(display, &major, &minor) != Success) return std::nullopt;
  if (major < 2 || (major == 2 && minor < 1)) return std::nullopt;
  return opcode;
}

bool hasXTest(Display* display) {
  int event = 0, error = 0, major = 0, minor = 0;
  return XTestQueryExtension(display, &event, &error, &major, &minor);
}

namespace {
Display* trapped = nullptr;
bool trappedError = false;
int (*trappedPrevious)(Display*, XErrorEvent*) = nullptr;

int recordError(Display* display, XErrorEvent* error) {
  if (display == trapped) {
    trappedError = true;
    return 0;
  }
  return trappedPrevious ? trappedPrevious(display, error) : 0;
}
}  // namespace

XErrorTrap::XErrorTrap(Display* display) : display_(display) {
  XSync(display_, False);
  previous_ = XSetErrorHandler(recordError);
  trappedPrevious = previous_;
  trapped = display_;
  trappedError = false;
}

XErrorTrap::~XErrorTrap() {
  XSync(display_, False);
  XSetErrorHandler(previous_);
  trapped = nullptr;
}

bool XErrorTrap::failed() {
  XSync(display_, False);
  return trappedError;
}

}  // namespace platform::desktop::detail

#include "platform/Desktop/BackendChoice.h"

#include <cstdlib>

#include "platform/Desktop/detail/XDisplay.h"

namespace platform::desktop {

std::string BackendChoice::logLine() const {
  return std::string("input backend: ") + (backend == InputBackend::x11 ? "X11 (XInput2 and XTEST)" : "evdev and uinput") +
         " (" + reason + ")";
}

BackendChoice chooseBackend(const BackendEnvironment& environment) {
  std::string prefix;
  if (environment.forced == "x11") return {InputBackend::x11, std::string(kBackendVariable) + "=x11"};
  if (environment.forced == "evdev") return {InputBackend::evdev, std::string(kBackendVariable) + "=evdev"};
  if (!environment.forced.empty())
    prefix = std::string(kBackendVariable) + "=" + environment.forced + " is neither x11 nor evdev and is ignored; ";
  if (!environment.waylandDisplay.empty())
    return {InputBackend::evdev, prefix + "WAYLAND_DISPLAY is set: a Wayland session"};
  if (environment.xDisplay.empty()) return {InputBackend::evdev, prefix + "no X display: DISPLAY is not set"};
  if (!environment.xinput2 || !environment.xinput2())
    return {InputBackend::evdev, prefix + "the X display " + environment.xDisplay + " does not answer XInput2"};
  return {InputBackend::x11, prefix + "the X display " + environment.xDisplay + " answers XInput2 and no Wayland display is set"};
}

BackendEnvironment currentBackendEnvironment() {
  auto read = [](const char* name) {
    const char* value = std::getenv(name);
    return std::string(value ? value : "");
  };
  BackendEnvironment environment{read(kBackendVariable), read("WAYLAND_DISPLAY"), read("DISPLAY"), nullptr};
  environment.xinput2 = [] {
    detail::DisplayPtr display(XOpenDisplay(nullptr));
    return display && detail::xinput21Opcode(display.get()).has_value();
  };
  return environment;
}

}  // namespace platform::desktop

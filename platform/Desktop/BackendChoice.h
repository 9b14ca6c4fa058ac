// Which backend watches the trigger key and types the paste chord: X11 (XInput2 and XTEST) where an X
// display answers XInput2 and no Wayland display is set, else the kernel's input devices (evdev and
// uinput). PARLET_INPUT_BACKEND=x11 or =evdev forces one; another value is ignored, and the reason
// says so. Pure over its environment; `currentBackendEnvironment` reads the process's. Never throws.
//   auto choice = chooseBackend(currentBackendEnvironment());  log(choice.logLine());
#pragma once

#include <functional>
#include <string>

namespace platform::desktop {

enum class InputBackend { x11, evdev };

inline constexpr const char* kBackendVariable = "PARLET_INPUT_BACKEND";

struct BackendEnvironment {
  std::string forced;           // PARLET_INPUT_BACKEND, empty when unset
  std::string waylandDisplay;   // WAYLAND_DISPLAY, empty when unset
  std::string xDisplay;         // DISPLAY, empty when unset
  std::function<bool()> xinput2;  // whether the X display opens and has XInput 2.1; asked only when needed
};

struct BackendChoice {
  InputBackend backend = InputBackend::evdev;
  std::string reason;
  // "input backend: evdev and uinput (WAYLAND_DISPLAY is set: a Wayland session)"
  std::string logLine() const;
};

BackendChoice chooseBackend(const BackendEnvironment& environment);
BackendEnvironment currentBackendEnvironment();

}  // namespace platform::desktop

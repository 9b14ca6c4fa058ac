#include "platform/Desktop/AccessibilityTrust.h"

#include <cstdlib>

#include "platform/Desktop/detail/XDisplay.h"

namespace platform::desktop {

AccessibilityStatus accessibilityStatus() {
  auto set = [](const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
  };
  if (!set("DISPLAY")) {
    if (set("WAYLAND_DISPLAY"))
      return {false,
              "This is a Wayland session without X11 (DISPLAY is not set), and Parlet watches the trigger key "
              "and types Ctrl+V through X11. Log in to an X11 session (for example \"GNOME on Xorg\") or turn "
              "on XWayland, then start Parlet again."};
    return {false,
            "There is no display (DISPLAY is not set). Start Parlet from within your desktop session, where "
            "DISPLAY names the X server."};
  }
  const std::string name = detail::displayNameForMessages();
  detail::DisplayPtr display(XOpenDisplay(nullptr));
  if (!display)
    return {false, "Parlet cannot open the X display " + name +
                       ". Check that DISPLAY and XAUTHORITY name your running session, then start Parlet again."};
  if (!detail::xinput21Opcode(display.get()))
    return {false, "The X display " + name +
                       " lacks XInput 2.1, which Parlet needs to watch the trigger key. Use an X server with "
                       "XInput 2.1 or later (every current Xorg has it)."};
  if (!detail::hasXTest(display.get()))
    return {false, "The X display " + name +
                       " lacks the XTEST extension, which Parlet needs to type Ctrl+V into other applications. "
                       "Turn XTEST on in the X server's configuration, then start Parlet again."};
  return {true, ""};
}

}  // namespace platform::desktop

#include "platform/Desktop/BackendChoice.h"

#include <gtest/gtest.h>

namespace platform::desktop {
namespace {

TEST(BackendChoiceTest, ChoosesOverEnvironments) {
  struct Case {
    const char* forced;
    const char* wayland;
    const char* display;
    bool xinput2;
    InputBackend backend;
    const char* reason;  // a part of the reason
    bool asksX;          // whether the X display is asked
  };
  const Case cases[] = {
      {"", "", ":0", true, InputBackend::x11, "answers XInput2 and no Wayland display is set", true},
      {"", "", ":0", false, InputBackend::evdev, "does not answer XInput2", true},
      {"", "", "", false, InputBackend::evdev, "DISPLAY is not set", false},
      {"", "wayland-0", ":0", true, InputBackend::evdev, "WAYLAND_DISPLAY is set", false},
      {"", "wayland-0", "", false, InputBackend::evdev, "WAYLAND_DISPLAY is set", false},
      {"x11", "wayland-0", ":0", true, InputBackend::x11, "PARLET_INPUT_BACKEND=x11", false},
      {"x11", "", "", false, InputBackend::x11, "PARLET_INPUT_BACKEND=x11", false},
      {"evdev", "", ":0", true, InputBackend::evdev, "PARLET_INPUT_BACKEND=evdev", false},
      {"wayland", "", ":0", true, InputBackend::x11, "PARLET_INPUT_BACKEND=wayland is neither x11 nor evdev", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("forced=") + c.forced + " wayland=" + c.wayland + " display=" + c.display);
    int asked = 0;
    BackendEnvironment environment{c.forced, c.wayland, c.display, [&] {
                                     ++asked;
                                     return c.xinput2;
                                   }};
    const BackendChoice choice = chooseBackend(environment);
    EXPECT_EQ(choice.backend, c.backend);
    EXPECT_NE(choice.reason.find(c.reason), std::string::npos) << choice.reason;
    EXPECT_EQ(asked > 0, c.asksX);
    EXPECT_NE(choice.logLine().find(choice.reason), std::string::npos);
  }
}

}  // namespace
}  // namespace platform::desktop

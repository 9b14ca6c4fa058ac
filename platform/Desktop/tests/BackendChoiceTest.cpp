#include "platform/Desktop/BackendChoice.h"

#include <gtest/gtest.h>

#include "platform/Desktop/EvdevAccessibility.h"

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

TEST(EvdevAccessibilityTest, TrustNeedsAReadableKeyboardAndAWritableUinput) {
  struct Case {
    InputAccess access;
    bool trusted;
    std::vector<const char*> saying;
  };
  const Case cases[] = {
      {{true, true, true, true, true}, true, {}},
      {{true, true, true, false, false}, true, {}},  // access given otherwise (an ACL, root)
      {{false, true, true, true, false}, false, {"Log out and log in again"}},
      {{false, true, false, false, false},
       false,
       {"cannot read any keyboard", "cannot write to /dev/uinput", "Grant Accessibility"}},
      {{true, false, false, true, true}, false, {"no /dev/uinput", "uinput module", "Grant Accessibility"}},
      {{false, true, true, true, true}, false, {"cannot read any keyboard"}},
  };
  for (const Case& c : cases) {
    const auto status = evdevAccessibilityStatus(c.access);
    EXPECT_EQ(status.trusted, c.trusted) << status.reason;
    EXPECT_EQ(status.reason.empty(), c.trusted) << status.reason;
    for (const char* part : c.saying) EXPECT_NE(status.reason.find(part), std::string::npos) << status.reason;
  }
}

TEST(EvdevAccessibilityTest, StepsNameTheUserTheRuleAndANewLogin) {
  const std::string steps = grantAccessSteps("ada");
  for (const char* part : {"sudo usermod -aG input ada\n", "KERNEL==\"uinput\"", "GROUP=\"input\"", "MODE=\"0660\"",
                           "/etc/udev/rules.d/", "modprobe uinput", "Log out and log in again"})
    EXPECT_NE(steps.find(part), std::string::npos) << part;
}

}  // namespace
}  // namespace platform::desktop

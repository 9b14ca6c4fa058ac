#include "platform/Desktop/EvdevAccessibility.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace platform::desktop {
namespace {

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

#include "platform/Desktop/AccessibilityTrust.h"

#include <gtest/gtest.h>

#include "platform/Desktop/DesktopError.h"
#include "platform/Desktop/X11PasteKeys.h"
#include "platform/Desktop/tests/DesktopTestSession.h"
#include "testsupport/Fixtures.h"

namespace platform::desktop {
namespace {

bool mentions(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(AccessibilityTrustTest, WithoutAUsableDisplayItIsUntrustedAndSaysWhyAndWhatToDo) {
  struct Case {
    const char* name;
    std::optional<std::string> display, wayland;
    std::vector<std::string> reasonMentions;
  };
  const Case cases[] = {
      {"Wayland session without X11", std::nullopt, "wayland-0", {"Wayland", "DISPLAY is not set", "X11 session"}},
      {"no display at all", std::nullopt, std::nullopt, {"no display", "DISPLAY is not set", "desktop session"}},
      {"empty DISPLAY", "", std::nullopt, {"DISPLAY is not set"}},
      {"display that cannot be opened", ":4095", std::nullopt, {"cannot open the X display :4095", "XAUTHORITY"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::EnvironmentGuard env;
    env.set("DISPLAY", c.display);
    env.set("WAYLAND_DISPLAY", c.wayland);
    AccessibilityStatus status = accessibilityStatus();
    EXPECT_FALSE(status.trusted);
    for (const auto& part : c.reasonMentions) EXPECT_TRUE(mentions(status.reason, part)) << status.reason;
  }
}

TEST(AccessibilityTrustTest, AnXServerWithXInputAndXTestIsTrusted) {
  REQUIRE_X_SESSION();
  AccessibilityStatus status = accessibilityStatus();
  EXPECT_TRUE(status.trusted) << status.reason;
  EXPECT_EQ(status.reason, "");
}

TEST(AccessibilityTrustTest, AnXServerWithoutXTestIsUntrustedAndThePasteKeysRefuseIt) {
  REQUIRE_X_SESSION();
  std::string whyNot;
  auto bare = testsupport::XvfbSession::start({.trayHost = false, .compositor = false,
                                                .serverArguments = {"-extension", "XTEST"}},
                                               whyNot);
  ASSERT_TRUE(bare) << whyNot;
  AccessibilityStatus status = accessibilityStatus();
  EXPECT_FALSE(status.trusted);
  EXPECT_TRUE(mentions(status.reason, "XTEST")) << status.reason;
  EXPECT_TRUE(mentions(status.reason, bare->displayName())) << status.reason;
  try {
    X11PasteKeys keys;
    ADD_FAILURE() << "expected DesktopError";
  } catch (const DesktopError& error) {
    EXPECT_TRUE(mentions(error.what(), "XTEST")) << error.what();
  }
}

}  // namespace
}  // namespace platform::desktop

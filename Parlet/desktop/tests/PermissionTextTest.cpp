#include "Parlet/desktop/PermissionText.h"

#include <gtest/gtest.h>

namespace parlet {
namespace {

TEST(PermissionTextTest, PathsGetWordJoinersAfterTheirSlashes) {
  const std::pair<const char*, const char*> cases[] = {
      {"finds no /dev/uinput (the module)", "finds no /\u2060dev/\u2060uinput (the module)"},
      {"read any keyboard in /dev/input", "read any keyboard in /\u2060dev/\u2060input"},
      {"and/or", "and/\u2060or"},
      {"a / b and a trailing /", "a / b and a trailing /"},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(keepPathsTogether(text), expected) << text;
}

TEST(PermissionTextTest, TheStepsWindowDropsThePointerToItself) {
  EXPECT_EQ(withoutGrantPointer("Parlet cannot read any keyboard in /dev/input. Choose \"Grant Accessibility\u2026\" "
                                "in Parlet's menu for the one-time steps."),
            "Parlet cannot read any keyboard in /dev/input.");
  EXPECT_EQ(withoutGrantPointer("Log out and log in again."), "Log out and log in again.");
}

}  // namespace
}  // namespace parlet

#include <xkbcommon/xkbcommon.h>

#include <string>

#include <gtest/gtest.h>

#include "platform/Desktop/detail/EvdevKeyState.h"
#include "platform/Desktop/KeyEvents.h"

namespace platform::desktop::detail {
namespace {

// Every kernel key with a desktop code sits where the classic virtual key chart puts that code: the
// keys are named by position (xkeyboard-config's key names, resolved to kernel codes by xkbcommon), the
// codes come from the chart (V = 9, Escape = 53, Right Alt = 61).
TEST(EvdevKeyCodesTest, KeysByPositionGetTheChartsCodes) {
  struct Case {
    const char* name;
    std::uint16_t code;
    std::uint64_t flag;
  };
  using namespace platform::desktop::ModifierFlag;
  const Case cases[] = {
      {"RALT", 61, option}, {"LALT", 58, option}, {"RWIN", 54, command}, {"LWIN", 55, command},
      {"RCTL", 62, control}, {"LCTL", 59, control}, {"RTSH", 60, shift}, {"LFSH", 56, shift},
      {"ESC", 53, 0}, {"TLDE", 50, 0}, {"BKSL", 42, 0}, {"RTRN", 36, 0}, {"TAB", 48, 0}, {"SPCE", 49, 0},
      {"BKSP", 51, 0},
      // 1 2 3 4 5 6 7 8 9 0 - =
      {"AE01", 18, 0}, {"AE02", 19, 0}, {"AE03", 20, 0}, {"AE04", 21, 0}, {"AE05", 23, 0}, {"AE06", 22, 0},
      {"AE07", 26, 0}, {"AE08", 28, 0}, {"AE09", 25, 0}, {"AE10", 29, 0}, {"AE11", 27, 0}, {"AE12", 24, 0},
      // Q W E R T Y U I O P [ ]
      {"AD01", 12, 0}, {"AD02", 13, 0}, {"AD03", 14, 0}, {"AD04", 15, 0}, {"AD05", 17, 0}, {"AD06", 16, 0},
      {"AD07", 32, 0}, {"AD08", 34, 0}, {"AD09", 31, 0}, {"AD10", 35, 0}, {"AD11", 33, 0}, {"AD12", 30, 0},
      // A S D F G H J K L ; '
      {"AC01", 0, 0}, {"AC02", 1, 0}, {"AC03", 2, 0}, {"AC04", 3, 0}, {"AC05", 5, 0}, {"AC06", 4, 0},
      {"AC07", 38, 0}, {"AC08", 40, 0}, {"AC09", 37, 0}, {"AC10", 41, 0}, {"AC11", 39, 0},
      // Z X C V B N M , . /
      {"AB01", 6, 0}, {"AB02", 7, 0}, {"AB03", 8, 0}, {"AB04", 9, 0}, {"AB05", 11, 0}, {"AB06", 45, 0},
      {"AB07", 46, 0}, {"AB08", 43, 0}, {"AB09", 47, 0}, {"AB10", 44, 0},
  };
  xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
  ASSERT_NE(context, nullptr);
  const xkb_rule_names names{"evdev", "pc105", "us", "", ""};
  xkb_keymap* keymap = xkb_keymap_new_from_names(context, &names, XKB_KEYMAP_COMPILE_NO_FLAGS);
  ASSERT_NE(keymap, nullptr) << "xkbcommon cannot compile a US keymap (xkb-data missing?)";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const xkb_keycode_t key = xkb_keymap_key_by_name(keymap, c.name);
    ASSERT_GE(key, 8u);
    const auto desktop = desktopKeyForEvdevCode(key - 8);
    ASSERT_TRUE(desktop.has_value());
    EXPECT_EQ(desktop->code, c.code);
    EXPECT_EQ(desktop->flag, c.flag);
  }
  // Keys off the chart (function keys, keypad) have no code.
  for (const char* name : {"FK05", "KP1", "PRSC"}) EXPECT_FALSE(desktopKeyForEvdevCode(xkb_keymap_key_by_name(keymap, name) - 8)) << name;
  xkb_keymap_unref(keymap);
  xkb_context_unref(context);
}

}  // namespace
}  // namespace platform::desktop::detail

#include "platform/Desktop/XkbLayout.h"

#include <linux/input-event-codes.h>
#include <xkbcommon/xkbcommon.h>

#include <cstdint>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "platform/Desktop/tests/DesktopTestSession.h"
#include "platform/Desktop/tests/Keymaps.h"

namespace platform::desktop {
namespace {

TEST(XkbLayoutTest, FindsTheKeyThatTypesASymbolInTheLayout) {
  // Expected keys from the layouts' printed charts: Dvorak has "v" where US has ".", AZERTY swaps A/Q
  // and Z/W and keeps V; a second layout is searched when the active one lacks the symbol.
  struct Case {
    const char* layout;
    const char* variant;
    const char* options;
    std::uint32_t activeLayout;
    xkb_keysym_t symbol;
    unsigned key;
  };
  const Case cases[] = {
      {"us", "", "", 0, XKB_KEY_v, KEY_V},
      {"us", "dvorak", "", 0, XKB_KEY_v, KEY_DOT},
      {"us", "dvorak", "", 0, XKB_KEY_k, KEY_V},  // what a US-position chord would type: Ctrl+K
      {"us", "dvorak", "", 0, XKB_KEY_Control_L, KEY_LEFTCTRL},
      {"fr", "", "", 0, XKB_KEY_v, KEY_V},
      {"fr", "", "", 0, XKB_KEY_a, KEY_Q},
      {"fr", "", "", 0, XKB_KEY_q, KEY_A},
      {"fr", "", "", 0, XKB_KEY_w, KEY_Z},
      {"fr", "", "", 0, XKB_KEY_m, KEY_SEMICOLON},
      {"ru,us", "", "", 0, XKB_KEY_v, KEY_V},
      {"us,us", "dvorak,", "", 0, XKB_KEY_v, KEY_DOT},
      {"us,us", "dvorak,", "", 1, XKB_KEY_v, KEY_V},
      {"us", "", "ctrl:swapcaps", 0, XKB_KEY_Control_L, KEY_CAPSLOCK},
  };
  Keymaps keymaps;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.layout) + "(" + c.variant + ") " + c.options + " layout " + std::to_string(c.activeLayout));
    auto keymap = keymaps.compile(c.layout, c.variant, c.options);
    ASSERT_TRUE(keymap) << "xkbcommon cannot compile the keymap (xkb-data missing?)";
    EXPECT_EQ(keyTyping(keymap.get(), c.symbol, c.activeLayout), c.key);
  }
}

TEST(XkbLayoutTest, ChordKeysFallBackToUsPositionsWithoutTheSymbols) {
  Keymaps keymaps;
  auto russian = keymaps.compile("ru");
  ASSERT_TRUE(russian);
  EXPECT_EQ(keyTyping(russian.get(), XKB_KEY_v), std::nullopt);
  EXPECT_EQ(pasteChordKeys(russian.get()), (PasteChordKeys{KEY_LEFTCTRL, KEY_V}));
  EXPECT_EQ(pasteChordKeys(nullptr), (PasteChordKeys{KEY_LEFTCTRL, KEY_V}));
}

// A trigger key is named as the keyboard labels it: Right Alt is AltGr on layouts whose third
// level it shifts to (the German and French keyboards and the US international variant print
// "AltGr" on it), and keeps its name on the US layout; the active layout decides.
TEST(XkbLayoutTest, RightAltIsCalledAltGrWhereTheLayoutShiftsToTheThirdLevelWithIt) {
  struct Case {
    const char* layout;
    const char* variant;
    const char* options;
    std::uint32_t activeLayout;
    std::uint16_t desktopKey;
    std::optional<std::string> name;
  };
  const Case cases[] = {
      {"us", "", "", 0, 61, std::nullopt},
      {"de", "", "", 0, 61, "AltGr"},
      {"fr", "", "", 0, 61, "AltGr"},
      {"us", "altgr-intl", "", 0, 61, "AltGr"},
      {"gb", "", "", 0, 61, "AltGr"},
      {"de", "", "", 0, 58, std::nullopt},   // Left Alt stays Alt
      {"de", "", "", 0, 62, std::nullopt},   // and Right Control Control
      {"us", "", "lv3:ralt_switch", 0, 61, "AltGr"},
      {"us", "", "lv3:lalt_switch", 0, 58, "AltGr"},
      {"de", "", "", 0, 12, std::nullopt},   // no trigger key
  };
  Keymaps keymaps;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.layout) + "(" + c.variant + ") " + c.options + " key " + std::to_string(c.desktopKey));
    auto keymap = keymaps.compile(c.layout, c.variant, c.options);
    ASSERT_TRUE(keymap) << "xkbcommon cannot compile the keymap (xkb-data missing?)";
    EXPECT_EQ(layoutKeyName(keymap.get(), c.desktopKey, c.activeLayout), c.name);
  }
  EXPECT_EQ(layoutKeyName(nullptr, 61), std::nullopt);
}

TEST(XkbLayoutTest, TheXServersLayoutNamesTheKey) {
  REQUIRE_X_SESSION();
  testsupport::XvfbSession& session = *desktoptest::session();
  if (session.run({"setxkbmap", "-layout", "de"}) != 0) GTEST_SKIP() << "setxkbmap (x11-xkb-utils) failed or is absent";
  const auto german = currentLayoutKeyName(61);
  session.run({"setxkbmap", "-layout", "us"});
  EXPECT_EQ(german, "AltGr");
  EXPECT_EQ(currentLayoutKeyName(61), std::nullopt);
}

TEST(XkbLayoutTest, CurrentKeymapIsTheXServers) {
  REQUIRE_X_SESSION();
  testsupport::XvfbSession& session = *desktoptest::session();
  if (session.run({"setxkbmap", "-layout", "us", "-variant", "dvorak"}) != 0)
    GTEST_SKIP() << "setxkbmap (x11-xkb-utils) failed or is absent";
  const PasteChordKeys dvorak = currentPasteChordKeys();
  session.run({"setxkbmap", "-layout", "us"});
  EXPECT_EQ(dvorak, (PasteChordKeys{KEY_LEFTCTRL, KEY_DOT, KEY_LEFTSHIFT, KEY_INSERT, KEY_T}));  // Dvorak's "y" is where US has "t"
  EXPECT_EQ(currentPasteChordKeys(), (PasteChordKeys{KEY_LEFTCTRL, KEY_V}));
}

}  // namespace
}  // namespace platform::desktop

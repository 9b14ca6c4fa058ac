#include "platform/Desktop/UinputKeyboard.h"

#include <fcntl.h>
#include <linux/input-event-codes.h>
#include <unistd.h>
#include <xkbcommon/xkbcommon.h>

#include <chrono>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Desktop/DesktopError.h"
#include "platform/Desktop/EvdevKeyMonitor.h"
#include "platform/Desktop/tests/DesktopTestSession.h"
#include "platform/Desktop/tests/PostedWork.h"
#include "platform/Desktop/XkbLayout.h"

namespace platform::desktop {
namespace {

// Keymaps compiled by xkbcommon from the system's layout files, as a session would from its settings.
class Keymaps {
 public:
  Keymaps() : context_(xkb_context_new(XKB_CONTEXT_NO_DEFAULT_INCLUDES)) {
    xkb_context_include_path_append_default(context_);
  }
  ~Keymaps() { xkb_context_unref(context_); }
  KeymapPtr compile(const char* layout, const char* variant = "", const char* options = "") {
    const xkb_rule_names names{"evdev", "pc105", layout, variant, options};
    return KeymapPtr(xkb_keymap_new_from_names(context_, &names, XKB_KEYMAP_COMPILE_NO_FLAGS));
  }

 private:
  xkb_context* context_;
};

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

using Written = std::tuple<unsigned, unsigned, int>;

class RecordingSink : public KeyEventSink {
 public:
  explicit RecordingSink(std::vector<Written>& out) : out_(out) {}
  void write(unsigned type, unsigned code, int value) override { out_.emplace_back(type, code, value); }

 private:
  std::vector<Written>& out_;
};

TEST(UinputPasteKeysTest, EachChordIsItsModifiersAroundTheLayoutsKeyEachReported) {
  Keymaps keymaps;
  auto dvorak = keymaps.compile("us", "dvorak");
  ASSERT_TRUE(dvorak);
  std::vector<Written> written;
  int opened = 0;
  UinputPasteKeys::Options options;
  options.openSink = [&] {
    ++opened;
    return std::make_unique<RecordingSink>(written);
  };
  options.keys = [&] { return pasteChordKeys(dvorak.get()); };
  UinputPasteKeys keys(std::move(options));
  EXPECT_EQ(opened, 1);  // made at once, so the compositor has it before the first chord
  struct Case {
    PasteChord chord;
    std::vector<std::pair<unsigned, int>> keys;  // each followed by a report
  };
  const Case cases[] = {
      {PasteChord::controlV, {{KEY_LEFTCTRL, 1}, {KEY_DOT, 1}, {KEY_DOT, 0}, {KEY_LEFTCTRL, 0}}},
      {PasteChord::controlShiftV,
       {{KEY_LEFTCTRL, 1}, {KEY_LEFTSHIFT, 1}, {KEY_DOT, 1}, {KEY_DOT, 0}, {KEY_LEFTSHIFT, 0}, {KEY_LEFTCTRL, 0}}},
      {PasteChord::shiftInsert, {{KEY_LEFTSHIFT, 1}, {KEY_INSERT, 1}, {KEY_INSERT, 0}, {KEY_LEFTSHIFT, 0}}},
      // Dvorak types "y" with the key where US has "t".
      {PasteChord::controlY, {{KEY_LEFTCTRL, 1}, {KEY_T, 1}, {KEY_T, 0}, {KEY_LEFTCTRL, 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.chord));
    written.clear();
    EXPECT_TRUE(keys.sendPasteChord(c.chord));
    std::vector<Written> expected;
    for (auto [code, value] : c.keys) {
      expected.emplace_back(EV_KEY, code, value);
      expected.emplace_back(EV_SYN, SYN_REPORT, 0);
    }
    EXPECT_EQ(written, expected);
  }
  EXPECT_EQ(opened, 1);  // kept
}

TEST(UinputPasteKeysTest, WithoutUinputNothingIsSentAndTheKeyboardIsTriedAgain) {
  std::vector<Written> written;
  std::vector<std::string> log;
  bool allowed = false;
  UinputPasteKeys::Options options;
  options.openSink = [&]() -> std::unique_ptr<KeyEventSink> {
    if (!allowed) throw DesktopError("cannot make a virtual keyboard through /dev/uinput: Permission denied");
    return std::make_unique<RecordingSink>(written);
  };
  options.keys = [] { return PasteChordKeys{KEY_LEFTCTRL, KEY_V}; };
  options.log = [&](const std::string& line) { log.push_back(line); };
  UinputPasteKeys keys(std::move(options));
  EXPECT_FALSE(keys.sendPasteChord(PasteChord::controlV));
  EXPECT_FALSE(keys.ready());
  EXPECT_TRUE(written.empty());
  ASSERT_EQ(log.size(), 2u);
  EXPECT_NE(log[1].find("/dev/uinput: Permission denied"), std::string::npos) << log[1];
  allowed = true;
  EXPECT_TRUE(keys.sendPasteChord(PasteChord::controlV));
  EXPECT_TRUE(keys.ready());
  EXPECT_EQ(written.size(), 8u);
}

// The real device: the chord comes back through the kernel as a keyboard the monitor reads.
TEST(UinputPasteKeysTest, VirtualKeyboardTypesTheChordThroughTheKernel) {
  const int probe = ::open("/dev/uinput", O_WRONLY | O_CLOEXEC);
  if (probe < 0)
    GTEST_SKIP() << "/dev/uinput cannot be opened for writing on this machine (" << std::strerror(errno)
                 << "); the uinput module is needed";
  ::close(probe);
  PostedWork queue;
  EvdevKeyMonitor::Options options;
  options.source = makeUdevKeyboardSource("");  // our own virtual keyboard included
  options.ownsFocus = [] { return false; };
  EvdevKeyMonitor monitor(queue.poster(), std::move(options));
  std::vector<std::pair<std::uint16_t, std::uint64_t>> seen;
  for (std::uint64_t mask : {platform::desktop::EventMask::flagsChanged, platform::desktop::EventMask::keyDown})
    monitor.addGlobalMonitor(mask, [&](const platform::desktop::KeyEvent& e) { seen.emplace_back(e.keyCode, e.modifierFlags); });
  auto wait = [&](const std::function<bool()>& done) {
    for (int i = 0; i < 5000 && !done(); ++i) {
      queue.runUntilIdle();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    queue.runUntilIdle();
  };
  wait([&] { return true; });
  const std::size_t before = monitor.keyboardCount();
  UinputPasteKeys keys(UinputPasteKeys::Options{nullptr, [] { return PasteChordKeys{KEY_LEFTCTRL, KEY_V}; }, nullptr});
  ASSERT_TRUE(keys.ready());
  wait([&] { return monitor.keyboardCount() > before; });
  ASSERT_GT(monitor.keyboardCount(), before) << "the virtual keyboard was not seen";
  keys.sendPasteChord(PasteChord::controlV);
  wait([&] { return seen.size() >= 3; });
  const std::vector<std::pair<std::uint16_t, std::uint64_t>> expected{
      {59, platform::desktop::ModifierFlag::control}, {9, platform::desktop::ModifierFlag::control}, {59, 0}};
  EXPECT_EQ(seen, expected);
}

}  // namespace
}  // namespace platform::desktop

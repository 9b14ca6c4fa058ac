#include "platform/Desktop/UinputKeyboard.h"

#include <fcntl.h>
#include <linux/input-event-codes.h>
#include <unistd.h>
#include <xkbcommon/xkbcommon.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Desktop/DesktopError.h"
#include "platform/Desktop/EvdevKeyMonitor.h"
#include "platform/Desktop/tests/Keymaps.h"
#include "platform/Desktop/tests/PostedWork.h"
#include "platform/Desktop/XkbLayout.h"

namespace platform::desktop {
namespace {

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

#include "platform/Desktop/X11KeyMonitor.h"

#include <QGuiApplication>
#include <QWidget>

#include <vector>

#include <gtest/gtest.h>

#include "platform/Desktop/DesktopError.h"
#include "platform/Desktop/tests/DesktopTestSession.h"
#include "platform/Desktop/tests/SeenKeyEvents.h"
#include "platform/Desktop/X11PasteKeys.h"
#include "testsupport/Fixtures.h"

// X11 last: Xlib's macros (None, Bool, Status) break Qt's and GoogleTest's headers.
#include <X11/XKBlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace platform::desktop {
namespace {

using platform::desktop::KeyEvent;
using platform::desktop::ModifierFlag::command;
using platform::desktop::ModifierFlag::control;
using platform::desktop::ModifierFlag::option;
using platform::desktop::ModifierFlag::shift;
namespace EventMask = platform::desktop::EventMask;

using keymonitortest::Seen;

// Types keys as a keyboard would, through XTEST on a connection of the test's own.
class Keyboard {
 public:
  Keyboard() : display_(XOpenDisplay(nullptr)) {}
  ~Keyboard() {
    if (display_) XCloseDisplay(display_);
  }
  KeyCode code(KeySym symbol) const { return XKeysymToKeycode(display_, symbol); }
  void key(KeyCode code, bool down) {
    XTestFakeKeyEvent(display_, code, down, CurrentTime);
    XSync(display_, False);
  }
  KeySym symbolOf(KeyCode code) const { return XkbKeycodeToKeysym(display_, code, 0, 0); }
  // A pointer button (4 to 7 are the wheel), and the pointer moving, through XTEST.
  void button(unsigned number, bool down) {
    XTestFakeButtonEvent(display_, number, down, CurrentTime);
    XSync(display_, False);
  }
  void move(int x, int y) {
    XTestFakeMotionEvent(display_, -1, x, y, CurrentTime);
    XSync(display_, False);
  }

 private:
  Display* display_;
};

class X11KeyMonitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_X_SESSION();
    keyboard_ = std::make_unique<Keyboard>();
    monitor_ = std::make_unique<X11KeyMonitor>([this] { return ownsFocus_; });
    for (bool local : {false, true})
      for (std::uint64_t mask : {EventMask::flagsChanged, EventMask::keyDown}) {
        auto handler = [this, local, mask](const KeyEvent& e) { seen_.push_back({local, mask, e.keyCode, e.modifierFlags, e.down}); };
        if (local) monitor_->addLocalMonitor(mask, handler);
        else monitor_->addGlobalMonitor(mask, handler);
      }
  }
  void TearDown() override { seen_.clear(); }

  // Waits for `count` events, then a little longer for any that should not come.
  std::vector<Seen> collect(std::size_t count) {
    desktoptest::pumpUntil([&] { return seen_.size() >= count; }, std::chrono::seconds(3));
    desktoptest::pumpFor(std::chrono::milliseconds(50));
    return std::exchange(seen_, {});
  }

  std::unique_ptr<Keyboard> keyboard_;
  bool ownsFocus_ = false;
  std::unique_ptr<X11KeyMonitor> monitor_;
  std::vector<Seen> seen_;
};

TEST_F(X11KeyMonitorTest, ModifierKeysArriveAsFlagChangesWithTheirDesktopCodes) {
  struct Case {
    KeySym symbol;
    std::uint16_t code;
    std::uint64_t flag;
  };
  const Case cases[] = {
      {XK_Alt_R, 61, option},      {XK_Alt_L, 58, option},      {XK_Super_R, 54, command}, {XK_Super_L, 55, command},
      {XK_Control_R, 62, control}, {XK_Control_L, 59, control}, {XK_Shift_R, 60, shift},   {XK_Shift_L, 56, shift},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(XKeysymToString(c.symbol));
    KeyCode key = keyboard_->code(c.symbol);
    ASSERT_NE(key, 0);
    keyboard_->key(key, true);
    keyboard_->key(key, false);
    EXPECT_EQ(collect(2), (std::vector<Seen>{{false, EventMask::flagsChanged, c.code, c.flag, true},
                                             {false, EventMask::flagsChanged, c.code, 0, false}}));
  }
}

TEST_F(X11KeyMonitorTest, FlagsAreThoseOfEveryModifierHeldAndOtherKeysArriveAsKeyDowns) {
  const KeyCode ctrl = keyboard_->code(XK_Control_L), alt = keyboard_->code(XK_Alt_R), shiftR = keyboard_->code(XK_Shift_R),
                escape = keyboard_->code(XK_Escape), v = keyboard_->code(XK_v), f5 = keyboard_->code(XK_F5),
                end = keyboard_->code(XK_End);
  keyboard_->key(ctrl, true);
  keyboard_->key(alt, true);
  keyboard_->key(v, true);  // key downs carry the flags held
  keyboard_->key(v, true);  // a press of a key already down is a repeat
  keyboard_->key(v, false);
  keyboard_->key(ctrl, false);
  keyboard_->key(f5, true);  // no desktop code: some other key
  keyboard_->key(f5, false);
  keyboard_->key(end, true);
  keyboard_->key(end, false);
  keyboard_->key(escape, true);
  keyboard_->key(escape, false);
  keyboard_->key(alt, false);
  keyboard_->key(shiftR, false);  // released without a press seen: flags unchanged, nothing reported
  EXPECT_EQ(collect(8), (std::vector<Seen>{{false, EventMask::flagsChanged, 59, control, true},
                                           {false, EventMask::flagsChanged, 61, control | option, true},
                                           {false, EventMask::keyDown, 9, control | option, true},
                                           {false, EventMask::flagsChanged, 59, option, false},
                                           {false, EventMask::keyDown, kOtherKeyCode, option, true},
                                           {false, EventMask::keyDown, kOtherKeyCode, option, true},
                                           {false, EventMask::keyDown, 53, option, true},
                                           {false, EventMask::flagsChanged, 61, 0, false}}));
}

// Shift+click, or Ctrl with the wheel, is a chord: each button press and wheel turn goes down as the
// pointer, with the flags held; releases and mere motion are nothing.
TEST_F(X11KeyMonitorTest, PointerButtonsAndTheWheelArriveAsKeyDownsButMotionDoesNot) {
  const KeyCode shiftL = keyboard_->code(XK_Shift_L);
  keyboard_->key(shiftL, true);
  keyboard_->move(100, 100);
  keyboard_->button(1, true);
  keyboard_->move(140, 120);
  keyboard_->button(1, false);
  keyboard_->button(3, true);
  keyboard_->button(3, false);
  keyboard_->button(5, true);  // the wheel, one step down
  keyboard_->button(5, false);
  keyboard_->move(160, 130);
  keyboard_->key(shiftL, false);
  EXPECT_EQ(collect(5), (std::vector<Seen>{{false, EventMask::flagsChanged, 56, shift, true},
                                           {false, EventMask::keyDown, kPointerCode, shift, true},
                                           {false, EventMask::keyDown, kPointerCode, shift, true},
                                           {false, EventMask::keyDown, kPointerCode, shift, true},
                                           {false, EventMask::flagsChanged, 56, 0, false}}));
}

// With both Alt keys down the option flag stays set when one comes up: only `down` tells.
TEST_F(X11KeyMonitorTest, AModifierComingUpSaysSoWhileItsTwinHoldsTheFlag) {
  const KeyCode left = keyboard_->code(XK_Alt_L), right = keyboard_->code(XK_Alt_R);
  keyboard_->key(left, true);
  keyboard_->key(right, true);
  keyboard_->key(right, false);
  keyboard_->key(left, false);
  EXPECT_EQ(collect(4), (std::vector<Seen>{{false, EventMask::flagsChanged, 58, option, true},
                                           {false, EventMask::flagsChanged, 61, option, true},
                                           {false, EventMask::flagsChanged, 61, option, false},
                                           {false, EventMask::flagsChanged, 58, 0, false}}));
}

TEST_F(X11KeyMonitorTest, AModifierHeldBeforeTheMonitorStartsCountsInTheFlags) {
  const KeyCode shiftL = keyboard_->code(XK_Shift_L), alt = keyboard_->code(XK_Alt_R);
  keyboard_->key(shiftL, true);
  X11KeyMonitor late([] { return false; });
  std::vector<KeyEvent> events;
  late.addGlobalMonitor(EventMask::flagsChanged, [&](const KeyEvent& e) { events.push_back(e); });
  keyboard_->key(alt, true);
  keyboard_->key(alt, false);
  keyboard_->key(shiftL, false);
  desktoptest::pumpUntil([&] { return events.size() >= 3; }, std::chrono::seconds(3));
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].modifierFlags, shift | option);
  EXPECT_EQ(events[1].modifierFlags, shift);
  EXPECT_EQ(events[2].keyCode, 56);
  EXPECT_EQ(events[2].modifierFlags, 0u);
  collect(0);
}

TEST_F(X11KeyMonitorTest, RightAltIsFoundByPositionWhereTheLayoutMakesItAltGr) {
  const KeyCode rightAlt = keyboard_->code(XK_Alt_R);
  ASSERT_NE(rightAlt, 0);
  if (desktoptest::session()->run({"setxkbmap", "de"}) != 0) GTEST_SKIP() << "setxkbmap (x11-xkb-utils) failed or is absent";
  struct Restore {
    ~Restore() { desktoptest::session()->run({"setxkbmap", "us"}); }
  } restore;
  Keyboard german;
  ASSERT_EQ(german.symbolOf(rightAlt), XK_ISO_Level3_Shift) << "the German layout should make Right Alt AltGr";
  X11KeyMonitor monitor([] { return false; });
  std::vector<KeyEvent> events;
  monitor.addGlobalMonitor(EventMask::flagsChanged, [&](const KeyEvent& e) { events.push_back(e); });
  german.key(rightAlt, true);
  german.key(rightAlt, false);
  desktoptest::pumpUntil([&] { return events.size() >= 2; }, std::chrono::seconds(3));
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].keyCode, 61);
  EXPECT_EQ(events[0].modifierFlags, option);
  EXPECT_EQ(events[1].modifierFlags, 0u);
  collect(0);
}

TEST_F(X11KeyMonitorTest, ThePasteChordThisProcessTypesIsNotTakenForTheUsersKeys) {
  // With Left Ctrl as the trigger key, the chord's Ctrl would start a dictation.
  X11PasteKeys paste;
  paste.sendPasteChord(PasteChord::controlV);
  const KeyCode ctrl = keyboard_->code(XK_Control_L);
  keyboard_->key(ctrl, true);
  keyboard_->key(ctrl, false);
  desktoptest::pumpUntil([&] { return seen_.size() >= 2; });
  paste.sendPasteChord(PasteChord::controlV);
  EXPECT_EQ(collect(2), (std::vector<Seen>{{false, EventMask::flagsChanged, 59, control, true},
                                           {false, EventMask::flagsChanged, 59, 0, false}}));
}

TEST_F(X11KeyMonitorTest, EventsGoToLocalMonitorsWhileThisApplicationHasTheFocus) {
  const KeyCode alt = keyboard_->code(XK_Alt_R);
  // The focus counts when the event is read.
  ownsFocus_ = true;
  keyboard_->key(alt, true);
  desktoptest::pumpUntil([&] { return seen_.size() == 1; });
  ownsFocus_ = false;
  keyboard_->key(alt, false);
  EXPECT_EQ(collect(2), (std::vector<Seen>{{true, EventMask::flagsChanged, 61, option, true},
                                           {false, EventMask::flagsChanged, 61, 0, false}}));
}

TEST_F(X11KeyMonitorTest, ByDefaultAFocusedQtWindowMakesEventsLocal) {
  X11KeyMonitor monitor;
  std::vector<bool> local;
  monitor.addGlobalMonitor(EventMask::keyDown, [&](const KeyEvent&) { local.push_back(false); });
  monitor.addLocalMonitor(EventMask::keyDown, [&](const KeyEvent&) { local.push_back(true); });
  const KeyCode escape = keyboard_->code(XK_Escape);
  keyboard_->key(escape, true);
  keyboard_->key(escape, false);
  ASSERT_TRUE(desktoptest::pumpUntil([&] { return local.size() == 1; }));

  QWidget window;
  window.setWindowTitle("focus probe");
  window.resize(200, 100);
  window.show();
  window.activateWindow();
  ASSERT_TRUE(desktoptest::pumpUntil([] { return QGuiApplication::focusWindow() != nullptr; }))
      << "the window never got the focus";
  keyboard_->key(escape, true);
  keyboard_->key(escape, false);
  ASSERT_TRUE(desktoptest::pumpUntil([&] { return local.size() == 2; }));
  EXPECT_EQ(local, (std::vector<bool>{false, true}));
  collect(0);
}

TEST(X11KeyMonitorErrorsTest, ADisplayThatCannotBeOpenedIsNamed) {
  desktoptest::application();
  testsupport::EnvironmentGuard env;
  env.set("DISPLAY", ":4095");
  try {
    X11KeyMonitor monitor;
    FAIL() << "expected DesktopError";
  } catch (const DesktopError& error) {
    EXPECT_NE(std::string(error.what()).find(":4095"), std::string::npos) << error.what();
  }
}

}  // namespace
}  // namespace platform::desktop

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <QWidget>

#include <gtest/gtest.h>

#include "platform/Desktop/QtPasteboard.h"
#include "platform/Desktop/X11FocusedApplication.h"
#include "platform/Desktop/X11PasteKeys.h"
#include "platform/Desktop/tests/DesktopTestSession.h"

// X11 last: Xlib's macros (None, Bool, Status) break Qt's and GoogleTest's headers.
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

namespace platform::desktop {
namespace {

using desktoptest::pumpUntil;

// A window of this application with a text field and a button, holding the focus.
class PasteTarget {
 public:
  PasteTarget() {
    window.setWindowTitle("paste target");
    auto* layout = new QVBoxLayout(&window);
    field = new QLineEdit;
    button = new QPushButton("button");
    layout->addWidget(field);
    layout->addWidget(button);
    window.resize(300, 100);
    window.show();
    window.activateWindow();
  }
  bool focus(QWidget* widget) {
    window.activateWindow();
    widget->setFocus();
    return pumpUntil([&] { return QGuiApplication::focusWindow() && QApplication::focusWidget() == widget; });
  }
  QWidget window;
  QLineEdit* field;
  QPushButton* button;
};

class PasteTargetTest : public ::testing::Test {
 protected:
  void SetUp() override { REQUIRE_X_SESSION(); }
};

TEST_F(PasteTargetTest, ThePasteChordPastesIntoAFocusedQtTextFieldWhereverTheLayoutPutsVOrWithoutV) {
  struct Case {
    std::vector<std::string> layout;  // setxkbmap arguments
    std::string text;
  };
  const Case cases[] = {
      {{"-layout", "us"}, "pasted on us"},
      {{"-layout", "us", "-variant", "dvorak"}, "pasted on dvorak"},
      // "v" only in the second group, and in no group at all.
      {{"-layout", "ru,us"}, "pasted on ru,us"},
      {{"-layout", "ru"}, "pasted on ru"},
      {{"-layout", "gr"}, "pasted on gr"},
      {{"-layout", "il"}, "pasted on il"},
      {{"-layout", "ara"}, "pasted on ara"},
  };
  QtPasteboard pasteboard;
  X11PasteKeys keys;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<std::string> command{"setxkbmap"};
    command.insert(command.end(), c.layout.begin(), c.layout.end());
    if (desktoptest::session()->run(command) != 0) GTEST_SKIP() << "setxkbmap (x11-xkb-utils) failed or is absent";
    desktoptest::pumpFor(std::chrono::milliseconds(100));  // Qt reloads the keymap
    PasteTarget target;
    ASSERT_TRUE(target.focus(target.field));
    pasteboard.setString(c.text);
    EXPECT_TRUE(keys.sendPasteChord(PasteChord::controlV));
    EXPECT_TRUE(pumpUntil([&] { return target.field->text().toStdString() == c.text; }))
        << "field holds \"" << target.field->text().toStdString() << "\"";
  }
  desktoptest::session()->run({"setxkbmap", "-layout", "us"});
}

// The key bound to "v" on a keymap without it is the user's keymap again 2 s after the last chord,
// and at once when the paste keys go.
TEST_F(PasteTargetTest, AKeyBoundForTheChordIsFreedAgain) {
  if (desktoptest::session()->run({"setxkbmap", "-layout", "ru"}) != 0)
    GTEST_SKIP() << "setxkbmap (x11-xkb-utils) failed or is absent";
  // Whether a key types the symbol, asked on a connection of its own (Xlib keeps a connection's keymap).
  auto typing = [](KeySym symbol) {
    Display* d = XOpenDisplay(nullptr);
    const bool found = d && XKeysymToKeycode(d, symbol) != 0;
    if (d) XCloseDisplay(d);
    return found;
  };
  ASSERT_FALSE(typing(XK_v));
  {
    X11PasteKeys keys;
    ASSERT_TRUE(keys.sendPasteChord(PasteChord::controlV));
    EXPECT_TRUE(typing(XK_v));
    desktoptest::pumpFor(std::chrono::milliseconds(X11PasteKeys::spareKeyHoldMs / 2));
    ASSERT_TRUE(keys.sendPasteChord(PasteChord::controlV));  // the same key again, held longer
    desktoptest::pumpFor(std::chrono::milliseconds(X11PasteKeys::spareKeyHoldMs * 3 / 4));
    EXPECT_TRUE(typing(XK_v));
    desktoptest::pumpFor(std::chrono::milliseconds(X11PasteKeys::spareKeyHoldMs / 2));
    EXPECT_FALSE(typing(XK_v));
    ASSERT_TRUE(keys.sendPasteChord(PasteChord::controlY));
    EXPECT_TRUE(typing(XK_y));
  }
  EXPECT_FALSE(typing(XK_y));
  desktoptest::session()->run({"setxkbmap", "-layout", "us"});
}

TEST_F(PasteTargetTest, WithItsOwnWindowFocusedTheApplicationIsFrontmostAndPastesThroughTheFocusWidget) {
  X11FocusedApplication focus;
  QtPasteboard pasteboard;
  PasteTarget target;
  ASSERT_TRUE(target.focus(target.field));
  ASSERT_TRUE(focus.ownApplicationId().has_value());
  EXPECT_EQ(focus.frontmostApplicationId(), focus.ownApplicationId());
  EXPECT_EQ(focus.focusedWindowClass(), std::nullopt) << "its own windows paste through the widget";
  EXPECT_EQ(focus.keyWindowTitle(), "paste target");
  EXPECT_EQ(focus.firstResponderTypeName(), "QLineEdit");

  pasteboard.setString("through the widget");
  EXPECT_TRUE(focus.sendPasteAction());
  EXPECT_EQ(target.field->text().toStdString(), "through the widget");

  ASSERT_TRUE(target.focus(target.button));
  EXPECT_EQ(focus.firstResponderTypeName(), "QPushButton");
  EXPECT_FALSE(focus.sendPasteAction()) << "a button has nothing to paste into";
}

// A top-level window of another client, with a WM_CLASS and a child window inside it.
class ForeignWindow {
 public:
  explicit ForeignWindow(const char* className) : display_(XOpenDisplay(nullptr)) {
    Display* d = display_;
    window = XCreateSimpleWindow(d, DefaultRootWindow(d), 10, 10, 100, 100, 0, 0, 0);
    child = XCreateSimpleWindow(d, window, 0, 0, 50, 50, 0, 0, 0);
    std::string instance = "probe";
    std::string klass = className;
    XClassHint hint{instance.data(), klass.data()};
    XSetClassHint(d, window, &hint);
    XMapWindow(d, child);
    XMapWindow(d, window);
    XSync(d, False);
  }
  ~ForeignWindow() {
    XDestroyWindow(display_, window);
    XCloseDisplay(display_);
  }
  void focus(Window which) {
    XSetInputFocus(display_, which, RevertToPointerRoot, CurrentTime);
    XSync(display_, False);
  }
  // Says, as a window manager would, which window is active (None removes the property).
  void setActiveWindow(Window active) {
    Atom property = XInternAtom(display_, "_NET_ACTIVE_WINDOW", False);
    if (active == None) {
      XDeleteProperty(display_, DefaultRootWindow(display_), property);
    } else {
      XChangeProperty(display_, DefaultRootWindow(display_), property, XA_WINDOW, 32, PropModeReplace,
                      reinterpret_cast<unsigned char*>(&active), 1);
    }
    XSync(display_, False);
  }
  Window window, child;

 private:
  Display* display_;
};

TEST_F(PasteTargetTest, AnotherApplicationIsNamedByTheWindowManagersActiveWindowElseTheInputFocus) {
  X11FocusedApplication focus;
  PasteTarget target;
  ASSERT_TRUE(target.focus(target.field));
  ForeignWindow editor("ProbeEditor"), terminal("ProbeTerminal");
  editor.focus(editor.child);  // a child without WM_CLASS: its top-level names the application
  ASSERT_TRUE(pumpUntil([] { return QGuiApplication::focusWindow() == nullptr; }));
  EXPECT_EQ(focus.frontmostApplicationId(), "ProbeEditor");
  EXPECT_EQ(focus.focusedWindowClass(), (WindowClass{"ProbeEditor", "probe"}));
  EXPECT_EQ(focus.keyWindowTitle(), std::nullopt);
  EXPECT_EQ(focus.firstResponderTypeName(), std::nullopt);

  terminal.setActiveWindow(terminal.window);
  EXPECT_EQ(focus.frontmostApplicationId(), "ProbeTerminal");
  EXPECT_EQ(focus.focusedWindowClass(), (WindowClass{"ProbeTerminal", "probe"}));
  Window gone = None;
  {
    ForeignWindow closed("ProbeClosed");
    gone = closed.window;
  }
  terminal.setActiveWindow(gone);  // a stale answer: asking about the window is an X error
  EXPECT_EQ(focus.frontmostApplicationId(), std::nullopt);
  EXPECT_EQ(focus.focusedWindowClass(), std::nullopt);
  terminal.setActiveWindow(None);

  editor.focus(PointerRoot);
  EXPECT_EQ(focus.frontmostApplicationId(), std::nullopt);
}

}  // namespace
}  // namespace platform::desktop

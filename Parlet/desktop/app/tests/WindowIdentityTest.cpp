// The real `parlet` under an X server of the test's own: its welcome window carries the class that
// the launcher entry's StartupWMClass names (so a desktop shows that entry's icon for it) and an
// icon of its own, the pencil on its dark tile, instead of a generic one.
#include <QProcess>
#include <QProcessEnvironment>

#include <chrono>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Desktop/tests/DesktopTestSession.h"
#include "testsupport/Fixtures.h"

// X11 last: Xlib's macros break Qt's and GoogleTest's headers.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace parlet::app {
namespace {

struct WindowFacts {
  std::string instance, windowClass;
  std::vector<unsigned long> icon;  // _NET_WM_ICON: width, height, ARGB pixels, and again per size
};

// The facts of the top-level window titled `title`, if one is mapped.
std::optional<WindowFacts> findWindow(Display* display, const std::string& title) {
  Window root = DefaultRootWindow(display), parent = 0, *children = nullptr;
  unsigned int count = 0;
  if (!XQueryTree(display, root, &root, &parent, &children, &count)) return std::nullopt;
  std::optional<WindowFacts> found;
  const Atom iconAtom = XInternAtom(display, "_NET_WM_ICON", False);
  const Atom nameAtom = XInternAtom(display, "_NET_WM_NAME", False);
  const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
  for (unsigned int i = 0; i < count && !found; ++i) {
    Atom type;
    int format;
    unsigned long items, after;
    unsigned char* data = nullptr;
    std::string name;
    if (XGetWindowProperty(display, children[i], nameAtom, 0, 1024, False, utf8, &type, &format, &items, &after, &data) ==
            Success && data) {
      name.assign(reinterpret_cast<char*>(data), items);
      XFree(data);
    }
    if (name != title) continue;
    WindowFacts facts;
    XClassHint hint{};
    if (XGetClassHint(display, children[i], &hint)) {
      facts.instance = hint.res_name ? hint.res_name : "";
      facts.windowClass = hint.res_class ? hint.res_class : "";
      XFree(hint.res_name);
      XFree(hint.res_class);
    }
    data = nullptr;
    if (XGetWindowProperty(display, children[i], iconAtom, 0, 1 << 20, False, XA_CARDINAL, &type, &format, &items, &after,
                           &data) == Success && data) {
      const auto* values = reinterpret_cast<const unsigned long*>(data);  // 32-bit items come as longs
      facts.icon.assign(values, values + items);
      XFree(data);
    }
    found = facts;
  }
  if (children) XFree(children);
  return found;
}

// The StartupWMClass of the launcher entry as packaged.
std::string startupWindowClass() {
  std::ifstream entry(std::string(PARLET_SOURCE_DIR) + "/packaging/parlet.desktop.in");
  for (std::string line; std::getline(entry, line);)
    if (line.rfind("StartupWMClass=", 0) == 0) return line.substr(15);
  return {};
}

TEST(WindowIdentityTest, TheWelcomeWindowIsMatchedToTheLauncherEntryAndShowsThePencil) {
  REQUIRE_X_SESSION();
  testsupport::TempDir dir;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("XDG_RUNTIME_DIR", QString::fromStdString(dir.path().string()));
  environment.insert("HOME", QString::fromStdString((dir.path() / "home").string()));
  environment.insert("XDG_CONFIG_HOME", QString::fromStdString((dir.path() / "config").string()));
  environment.insert("XDG_DATA_HOME", QString::fromStdString((dir.path() / "data").string()));
  environment.insert("HF_HUB_OFFLINE", "1");
  environment.insert("PARLET_INPUT_BACKEND", "x11");
  QProcess parlet;
  parlet.setProcessEnvironment(environment);
  parlet.setProgram(PARLET_PROGRAM);
  parlet.start();
  ASSERT_TRUE(parlet.waitForStarted(5000));
  Display* display = XOpenDisplay(nullptr);
  ASSERT_NE(display, nullptr);
  std::optional<WindowFacts> welcome;
  desktoptest::pumpUntil([&] { return (welcome = findWindow(display, "Welcome to Parlet")).has_value() && !welcome->icon.empty(); },
                         std::chrono::seconds(20));
  XCloseDisplay(display);
  parlet.terminate();
  if (!parlet.waitForFinished(5000)) parlet.kill();
  parlet.waitForFinished(2000);
  ASSERT_TRUE(welcome.has_value()) << "no welcome window; parlet said: " << parlet.readAllStandardError().toStdString();

  const std::string packaged = startupWindowClass();
  ASSERT_FALSE(packaged.empty()) << "the launcher entry names no StartupWMClass";
  EXPECT_EQ(welcome->windowClass, packaged);
  EXPECT_EQ(welcome->instance, "parlet");

  // The largest of the icon's sizes: a dark tile with a white pencil on it.
  ASSERT_GE(welcome->icon.size(), 2u) << "the window has no icon";
  std::size_t best = 0, bestSide = 0;
  for (std::size_t at = 0; at + 2 <= welcome->icon.size();) {
    const std::size_t w = welcome->icon[at], h = welcome->icon[at + 1];
    ASSERT_LE(at + 2 + w * h, welcome->icon.size());
    if (w == h && w > bestSide) best = at, bestSide = w;
    at += 2 + w * h;
  }
  ASSERT_GE(bestSide, 48u);
  std::size_t opaque = 0, white = 0, dark = 0;
  for (std::size_t i = 0; i < bestSide * bestSide; ++i) {
    const unsigned long argb = welcome->icon[best + 2 + i];
    const unsigned alpha = (argb >> 24) & 0xff, red = (argb >> 16) & 0xff, green = (argb >> 8) & 0xff, blue = argb & 0xff;
    if (alpha < 200) continue;
    ++opaque;
    if (red > 220 && green > 220 && blue > 220) ++white;
    if (red < 70 && green < 70 && blue < 80) ++dark;
  }
  const double pixels = double(bestSide * bestSide);
  EXPECT_GT(opaque / pixels, 0.8) << "the tile fills the icon";
  EXPECT_GT(dark / pixels, 0.5) << "a dark tile";
  EXPECT_GT(white / pixels, 0.03) << "a white pencil on it";
}

}  // namespace
}  // namespace parlet::app

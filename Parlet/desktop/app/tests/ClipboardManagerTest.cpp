// Quitting Parlet while it holds the clipboard: with the desktop's clipboard manager running (Xfce's
// settings daemon, which takes the CLIPBOARD_MANAGER selection and answers SAVE_TARGETS) the copied
// text stays on the clipboard after Parlet has gone; without one it leaves with Parlet, as the README
// says. Parlet runs as a program of its own (the quit probe), since the hand-over happens as its
// application ends.
#include <QProcess>
#include <QProcessEnvironment>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "platform/Desktop/tests/DesktopTestSession.h"
#include "platform/Desktop/tests/ForeignClipboard.h"
#include "testsupport/Fixtures.h"

// X11 last: Xlib's macros break Qt's and GoogleTest's headers.
#include <X11/Xlib.h>

namespace parlet::app {
namespace {

namespace fs = std::filesystem;
using desktoptest::pumpUntil;

bool installed(const std::string& program) {
  return QProcess::execute("sh", {"-c", QString::fromStdString("command -v " + program + " >/dev/null")}) == 0;
}

bool selectionOwned(const char* name) {
  Display* d = XOpenDisplay(nullptr);
  if (!d) return false;
  const bool owned = XGetSelectionOwner(d, XInternAtom(d, name, False)) != None;
  XCloseDisplay(d);
  return owned;
}

// A program of the test's, ended by its pid when the test ends.
class Child {
 public:
  Child(const std::string& program, const QStringList& arguments, const QProcessEnvironment& environment) {
    process.setProcessEnvironment(environment);
    process.setProgram(QString::fromStdString(program));
    process.setArguments(arguments);
    process.start();
  }
  ~Child() {
    if (process.state() == QProcess::NotRunning) return;
    process.kill();
    process.waitForFinished(3000);
  }
  QProcess process;
};

TEST(ClipboardManagerTest, AfterQuitTheClipboardManagerKeepsWhatParletHeldAndWithoutOneItLeavesWithParlet) {
  REQUIRE_X_SESSION();
  for (const char* program : {"dbus-daemon", "xfsettingsd"})
    if (!installed(program))
      GTEST_SKIP() << program << " is not installed (Debian packages dbus-daemon and xfce4-settings)";
  struct Case {
    bool manager;
    std::optional<std::string> afterQuit;
  };
  const std::string text = "the transcript Parlet copied, \xe2\x80\x9cquoted\xe2\x80\x9d";
  const Case cases[] = {{true, text}, {false, std::nullopt}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.manager ? "with a clipboard manager" : "without one");
    testsupport::TempDir folder;
    fs::create_directories(folder.path() / "run");
    fs::permissions(folder.path() / "run", fs::perms::owner_all);
    // A session bus of the test's own, which the settings daemon needs; Parlet uses it too, so that
    // neither starts one that would outlive the test.
    const std::string bus = "unix:path=" + (folder.path() / "bus").string();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("DBUS_SESSION_BUS_ADDRESS", QString::fromStdString(bus));
    environment.insert("NO_AT_BRIDGE", "1");
    environment.insert("GSETTINGS_BACKEND", "memory");
    environment.insert("XDG_CONFIG_HOME", QString::fromStdString((folder.path() / "config").string()));
    environment.insert("XDG_DATA_HOME", QString::fromStdString((folder.path() / "data").string()));
    environment.insert("XDG_RUNTIME_DIR", QString::fromStdString((folder.path() / "run").string()));
    Child busDaemon("dbus-daemon", {"--session", "--nofork", QString::fromStdString("--address=" + bus)}, environment);
    ASSERT_TRUE(pumpUntil([&] { return fs::exists(folder.path() / "bus"); }, std::chrono::seconds(10)))
        << "the session bus did not start";
    std::optional<Child> manager;
    if (c.manager) {
      manager.emplace("xfsettingsd", QStringList{"--no-daemon", "--disable-wm-check"}, environment);
      ASSERT_TRUE(pumpUntil([] { return selectionOwned("CLIPBOARD_MANAGER"); }, std::chrono::seconds(20)))
          << "xfsettingsd did not take the CLIPBOARD_MANAGER selection";
    } else {
      ASSERT_FALSE(selectionOwned("CLIPBOARD_MANAGER"));
    }

    Child parlet(PARLET_QUIT_PROBE, {QString::fromStdString((folder.path() / "transcripts.json").string()),
                                     QString::fromStdString(text)}, environment);
    ASSERT_TRUE(parlet.process.waitForReadyRead(20000)) << "Parlet did not start";
    ASSERT_EQ(parlet.process.readLine().trimmed().toStdString(), "copied");
    EXPECT_EQ(desktoptest::readClipboard("UTF8_STRING"), text) << "Parlet does not hold the clipboard";

    parlet.process.write("quit\n");
    ASSERT_TRUE(parlet.process.waitForFinished(20000)) << "Parlet did not quit";
    EXPECT_EQ(parlet.process.exitCode(), 0);
    EXPECT_EQ(desktoptest::readClipboard("UTF8_STRING"), c.afterQuit);
    desktoptest::dropClipboardOwner();
  }
}

}  // namespace
}  // namespace parlet::app

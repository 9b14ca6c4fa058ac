// The whole application dictating into real terminal emulators and Emacs under an X server of the
// test's own: a shell prompt (bash's readline, where Ctrl+V means "insert the next key literally")
// reads what the terminal's paste types and writes it to a file, Emacs writes its buffer out, and
// afterwards the user's clipboard and PRIMARY selection, each owned by another client, hold their own
// bytes again.
#include <QProcess>
#include <QProcessEnvironment>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Parlet/core/UserSettings.h"
#include "Parlet/desktop/app/DesktopApplication.h"
#include "Parlet/desktop/app/QtMainQueue.h"
#include "platform/Audio/FakeCaptureEngine.h"
#include "platform/Desktop/tests/DesktopTestSession.h"
#include "platform/Desktop/tests/ForeignClipboard.h"
#include "testsupport/Fixtures.h"

// X11 last: Xlib's macros break Qt's and GoogleTest's headers.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace parlet::app {
namespace {

namespace fs = std::filesystem;
using desktoptest::pumpFor;
using desktoptest::pumpUntil;
using std::chrono::milliseconds;

const std::string kDictated = "git commit -m \"Gr\xc3\xbc\xc3\x9f" "e aus dem Terminal\"";

class ScriptedEngine : public SpeechEngine {
 public:
  std::vector<EngineResult> transcribe(const std::string&) override { return {{" " + kDictated + " "}}; }
};

// The test's own X connection: keys through XTEST, and the windows of other clients.
class Desk {
 public:
  Desk() : display_(XOpenDisplay(nullptr)) {}
  ~Desk() {
    if (display_) XCloseDisplay(display_);
  }
  bool usable() const {
    int event, error, major, minor;
    return display_ && XTestQueryExtension(display_, &event, &error, &major, &minor);
  }
  void key(KeySym symbol, bool down) {
    XTestFakeKeyEvent(display_, XKeysymToKeycode(display_, symbol), down ? True : False, CurrentTime);
    XSync(display_, False);
  }
  // The viewable top-level window whose WM_CLASS class is `className`.
  std::optional<Window> windowOfClass(const std::string& className) {
    Window root = None, parent = None, *children = nullptr;
    unsigned int count = 0;
    std::optional<Window> found;
    if (!XQueryTree(display_, DefaultRootWindow(display_), &root, &parent, &children, &count)) return found;
    for (unsigned int i = 0; i < count && !found; ++i) {
      XWindowAttributes attributes{};
      if (!XGetWindowAttributes(display_, children[i], &attributes) || attributes.map_state != IsViewable) continue;
      XClassHint hint{};
      if (!XGetClassHint(display_, children[i], &hint)) continue;
      if (hint.res_class && className == hint.res_class) found = children[i];
      if (hint.res_name) XFree(hint.res_name);
      if (hint.res_class) XFree(hint.res_class);
    }
    if (children) XFree(children);
    return found;
  }
  bool focus(Window window) {
    XSetInputFocus(display_, window, RevertToPointerRoot, CurrentTime);
    XSync(display_, False);
    Window focused = None;
    int revert = 0;
    XGetInputFocus(display_, &focused, &revert);
    return focused == window;
  }

 private:
  Display* display_;
};

// A program that takes the dictation: a terminal emulator running the prompt below, or Emacs.
struct Target {
  std::string program;    // also the Debian package
  std::string className;  // its WM_CLASS class
  std::vector<std::string> arguments;  // before the shell's command
  bool commandAsOneString = false;     // the shell's command as one argument
  bool sessionBus = false;             // talks to its server over a D-Bus session bus of its own
  bool emacs = false;                  // Emacs itself, with a buffer in place of the shell
};

// The environment of a target: no accessibility bus, settings daemon or virtual file systems, nothing
// that outlives it.
QProcessEnvironment targetEnvironment(const fs::path& folder) {
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("NO_AT_BRIDGE", "1");
  environment.insert("GTK_A11Y", "none");
  environment.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + QString::fromStdString((folder / "no-bus").string()));
  environment.insert("GSETTINGS_BACKEND", "memory");
  environment.insert("GIO_USE_VFS", "local");
  environment.insert("INPUTRC", "/dev/null");
  environment.insert("LANG", "C.UTF-8");
  environment.insert("LC_ALL", "C.UTF-8");
  environment.insert("HOME", QString::fromStdString(folder.string()));
  environment.insert("XDG_CONFIG_HOME", QString::fromStdString((folder / "config").string()));
  return environment;
}

// A session bus of the target's own (gnome-terminal's window lives in a server it starts over D-Bus);
// stopping the bus ends that server.
class SessionBus {
 public:
  explicit SessionBus(const QProcessEnvironment& environment) {
    daemon_.setProcessEnvironment(environment);
    daemon_.start("dbus-daemon", {"--session", "--nofork", "--nopidfile", "--print-address=1"});
    if (daemon_.waitForStarted(5000) && daemon_.waitForReadyRead(5000))
      address_ = daemon_.readLine().trimmed().toStdString();
  }
  ~SessionBus() {
    daemon_.kill();
    daemon_.waitForFinished(3000);
  }
  const std::string& address() const { return address_; }

 private:
  QProcess daemon_;
  std::string address_;
};

// A terminal whose shell shows a prompt, reads one line of kDictated's length with readline, then
// whatever else arrives within a second, and writes both, separated by "|", to `out`. Emacs instead
// shows an empty buffer and writes it to `out` once it has held text unchanged for a second.
class RunningTarget {
 public:
  RunningTarget(const Target& target, const fs::path& folder) : out(folder / "out"), ready(folder / "ready") {
    QProcessEnvironment environment = targetEnvironment(folder);
    if (target.sessionBus) {
      bus = std::make_unique<SessionBus>(environment);
      environment.insert("DBUS_SESSION_BUS_ADDRESS", QString::fromStdString(bus->address()));
    }
    QStringList arguments;
    for (const std::string& a : target.arguments) arguments << QString::fromStdString(a);
    if (target.emacs) {
      arguments << "--eval" << QString::fromStdString(emacsProgram());
    } else {
      const fs::path script = folder / "prompt.sh";
      std::ofstream(script) << "printf ready > '" << ready.string() << "'\n"
                            << "IFS= read -e -r -n " << kDictated.size() << " -p '$ ' line\n"
                            << "IFS= read -r -t 1 -n 200 more\n"
                            << "printf '%s|%s' \"$line\" \"$more\" > '" << out.string() << ".part'\n"
                            << "mv '" << out.string() << ".part' '" << out.string() << "'\n";
      const std::string command = "bash --norc --noprofile " + script.string();
      if (target.commandAsOneString) arguments << QString::fromStdString(command);
      else arguments << "bash" << "--norc" << "--noprofile" << QString::fromStdString(script.string());
    }
    process.setProcessEnvironment(environment);
    process.setProgram(QString::fromStdString(target.program));
    process.setArguments(arguments);
    process.start();
  }
  ~RunningTarget() {
    process.kill();
    process.waitForFinished(3000);
    bus.reset();
  }
  std::optional<std::string> read() const {
    if (!fs::exists(out)) return std::nullopt;
    std::ifstream in(out, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  std::unique_ptr<SessionBus> bus;
  QProcess process;
  fs::path out, ready;

 private:
  std::string emacsProgram() const {
    auto quoted = [](const fs::path& path) {
      std::string text(1, '"');
      text.append(path.string()).push_back('"');
      return text;
    };
    return "(let ((coding-system-for-write 'utf-8) (seen \"\") (since 0))"
           " (switch-to-buffer (get-buffer-create \"dictation\")) (fundamental-mode)"
           " (write-region \"ready\" nil " + quoted(ready) + ")"
           " (run-with-timer 0.2 0.2 (lambda () (with-current-buffer \"dictation\""
           "  (let ((now (buffer-string)))"
           "   (if (not (string= now seen)) (setq seen now since 0) (setq since (1+ since)))"
           "   (when (and (> (length now) 0) (= since 5))"
           "    (write-region now nil " + quoted(fs::path(out.string() + ".part")) + ")"
           "    (rename-file " + quoted(fs::path(out.string() + ".part")) + " " + quoted(out) + " t)))))))";
  }
};

std::optional<std::string> readWhilePumping(const std::string& target, const std::string& selection) {
  auto reading = std::async(std::launch::async, [=] { return desktoptest::readClipboard(target, selection); });
  pumpUntil([&] { return reading.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
            std::chrono::seconds(10));
  return reading.get();
}

bool installed(const std::string& program) {
  return QProcess::execute("sh", {"-c", QString::fromStdString("command -v " + program + " >/dev/null")}) == 0;
}

class TerminalPasteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_X_SESSION();
    desk = std::make_unique<Desk>();
    ASSERT_TRUE(desk->usable()) << "the test's X server lacks XTEST";
    environment.set("XDG_CONFIG_HOME", (folder.path() / "config").string());
    settings.setValue(UserSettings::hasOnboardedKey, true);
    queue = std::make_unique<QtMainQueue>();
    DesktopApplication::Options options;
    auto engine = std::make_shared<ScriptedEngine>();
    options.engineFactory = [engine](const EngineOptions&) { return engine; };
    options.recorderFactory = captureRecorderFactory([this] {
      microphone = std::make_shared<platform::audio::FakeCaptureEngine>();
      return microphone;
    });
    options.settings = &settings;
    options.archive = &archive;
    parlet = std::make_unique<DesktopApplication>(*queue, std::move(options));
    parlet->start();
    ASSERT_TRUE(parlet->controller().hotkeyInstalled());
  }
  void TearDown() override {
    parlet.reset();
    queue.reset();
  }

  // Holds Right Alt while the microphone hears a second of tone.
  void dictate() {
    desk->key(XK_Alt_R, true);
    EXPECT_TRUE(pumpUntil([&] { return microphone && microphone->isRunning(); })) << "no recording started";
    for (std::size_t sample = 0; microphone && sample < 16000;) {
      std::vector<float> tone(320);
      for (float& value : tone) value = 0.3f * std::sin(2 * M_PI * 440 * double(sample++) / 16000);
      EXPECT_TRUE(microphone->push({tone})) << "the recording ended early";
      pumpFor(milliseconds(20));
    }
    desk->key(XK_Alt_R, false);
  }

  std::unique_ptr<Desk> desk;
  testsupport::EnvironmentGuard environment;
  testsupport::TempDir folder;
  InMemorySettings settings;
  TranscriptArchive archive{folder.path() / "transcripts.json"};
  std::unique_ptr<QtMainQueue> queue;
  std::shared_ptr<platform::audio::FakeCaptureEngine> microphone;
  std::unique_ptr<DesktopApplication> parlet;
};

TEST_F(TerminalPasteTest, DictationLandsAtTheShellPromptOrInEmacsAndTheClipboardAndSelectionComeBack) {
  const Target targets[] = {
      {"xterm", "XTerm", {"-e"}},  // pastes the PRIMARY selection with Shift+Insert
      {"lxterminal", "Lxterminal", {"--no-remote", "-e"}, true},  // VTE: Ctrl+Shift+V
      {"xfce4-terminal", "Xfce4-terminal", {"--disable-server", "-x"}},  // VTE: Ctrl+Shift+V
      // VTE in a server started over D-Bus; asks for the clipboard's targets as soon as its owner
      // changes, and ignores Ctrl+Shift+V until it has the answer.
      {"gnome-terminal", "Gnome-terminal", {"--wait", "--"}, false, true},
      {"emacs", "Emacs", {"-Q"}, false, false, true},  // yanks the clipboard with Ctrl+Y
  };
  const std::map<std::string, std::string> clipboard = {{"UTF8_STRING", "the user's clipboard"},
                                                        {"application/x-parlet-check", std::string("\0\xff\x01 c", 5)}};
  const std::map<std::string, std::string> primary = {{"UTF8_STRING", "text the user selected"},
                                                      {"application/x-parlet-check", std::string("\x7f\0p\x80", 4)}};
  std::string missing;
  for (const Target& target : targets) {
    SCOPED_TRACE(target.program);
    if (!installed(target.program)) {
      missing += " " + target.program;
      continue;
    }
    desktoptest::ForeignClipboardOwner clipboardOwner(clipboard);
    desktoptest::ForeignClipboardOwner primaryOwner(primary, "PRIMARY");
    ASSERT_TRUE(clipboardOwner.owns() && primaryOwner.owns());
    testsupport::TempDir place;
    RunningTarget running(target, place.path());
    std::optional<Window> window;
    ASSERT_TRUE(pumpUntil([&] { return fs::exists(running.ready) && (window = desk->windowOfClass(target.className)); },
                          std::chrono::seconds(20)))
        << "the program never showed its prompt";
    ASSERT_TRUE(desk->focus(*window));
    pumpFor(milliseconds(200));  // the program takes the focus in

    dictate();
    std::optional<std::string> typed;
    EXPECT_TRUE(pumpUntil([&] { return (typed = running.read()).has_value(); }, std::chrono::seconds(20)))
        << "nothing reached the program";
    EXPECT_EQ(typed.value_or("(nothing)"), target.emacs ? kDictated : kDictated + "|") << "it read something else";

    pumpFor(milliseconds(700));  // the restore, 0.6 s after the paste
    for (const auto& [selection, offered] : {std::pair{"CLIPBOARD", clipboard}, std::pair{"PRIMARY", primary}})
      for (const auto& [target, bytes] : offered) {
        SCOPED_TRACE(std::string(selection) + " " + target);
        EXPECT_EQ(readWhilePumping(target, selection), bytes);
      }
  }
  if (!missing.empty()) GTEST_SKIP() << "not installed (Debian packages of the same names):" << missing;
}

}  // namespace
}  // namespace parlet::app

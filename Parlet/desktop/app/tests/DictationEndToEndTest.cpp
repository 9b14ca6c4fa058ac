// The whole application under an X server of the test's own (with a tray host and a compositor):
// the trigger key held through XTEST records a scripted clip, the clip is transcribed, and the text
// is pasted with the paste chord into a text field of another application, while the user's
// clipboard, owned by yet another client, comes back byte for byte.
#include <QApplication>
#include <QProcess>
#include <QScreen>
#include <QWindow>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <filesystem>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Parlet/core/ParletLog.h"
#include "Parlet/core/tests/RoadFixtures.h"
#include "Parlet/core/UserSettings.h"
#include "Parlet/desktop/app/DesktopApplication.h"
#include "Parlet/desktop/app/QtMainQueue.h"
#include "platform/Audio/FakeCaptureEngine.h"
#include "platform/Desktop/tests/DesktopTestSession.h"
#include "platform/Desktop/tests/ForeignClipboard.h"
#include "testsupport/Fixtures.h"
#include "testsupport/HubTestServer.h"

// X11 last: Xlib's macros break Qt's and GoogleTest's headers.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace parlet::app {
namespace {

using desktoptest::pumpFor;
using desktoptest::pumpUntil;
using std::chrono::milliseconds;

// The engine of this test: it checks that a clip arrived and answers with a fixed text.
class ScriptedEngine : public SpeechEngine {
 public:
  std::vector<EngineResult> transcribe(const std::string& audioPath) override {
    {
      std::lock_guard lock(mutex);
      paths.push_back(audioPath);
    }
    // Held back while the test says so (for at most 30 s).
    for (int i = 0; i < 3000 && holding; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return {{" Parlet types what you say. "}};
  }
  std::size_t transcriptions() {
    std::lock_guard lock(mutex);
    return paths.size();
  }
  std::mutex mutex;
  std::vector<std::string> paths;
  std::atomic<bool> holding{false};
};

// Presses and releases keys through XTEST, as a person at the keyboard would.
class Keyboard {
 public:
  Keyboard() : display_(XOpenDisplay(nullptr)) {}
  ~Keyboard() {
    if (display_) XCloseDisplay(display_);
  }
  bool usable() const {
    int event, error, major, minor;
    return display_ && XTestQueryExtension(display_, &event, &error, &major, &minor);
  }
  void key(KeySym symbol, bool down) { key(XKeysymToKeycode(display_, symbol), down); }
  // A click of a pointer button (4 and 5: a turn of the wheel) at a place on the screen.
  void click(int x, int y, unsigned button = 1) {
    XTestFakeMotionEvent(display_, -1, x, y, CurrentTime);
    XTestFakeButtonEvent(display_, button, True, CurrentTime);
    XTestFakeButtonEvent(display_, button, False, CurrentTime);
    XSync(display_, False);
  }
  // Where a window of this process is on the screen: the centre of it.
  std::pair<int, int> centreOf(const QWindow& window) {
    int x = 0, y = 0;
    Window child = 0;
    XTranslateCoordinates(display_, static_cast<Window>(window.winId()), DefaultRootWindow(display_), window.width() / 2,
                          window.height() / 2, &x, &y, &child);
    return {x, y};
  }
  void key(KeyCode code, bool down) {
    XTestFakeKeyEvent(display_, code, down ? True : False, CurrentTime);
    XSync(display_, False);
  }
  // The key at a place on the keyboard by the keyboard's own name for it ("AD01": Q on a US
  // layout, A on a French one), whatever the layout; 0 when there is none.
  KeyCode named(std::string_view name) const {
    KeyCode found = 0;
    XkbDescPtr keyboard = XkbGetMap(display_, 0, XkbUseCoreKbd);
    if (keyboard && XkbGetNames(display_, XkbKeyNamesMask, keyboard) == Success && keyboard->names)
      for (int code = keyboard->min_key_code; code <= keyboard->max_key_code && !found; ++code)
        if (std::string_view(keyboard->names->keys[code].name, strnlen(keyboard->names->keys[code].name, XkbKeyNameLength)) == name)
          found = static_cast<KeyCode>(code);
    if (keyboard) XkbFreeKeyboard(keyboard, XkbAllComponentsMask, True);
    return found;
  }

 private:
  Display* display_;
};

// The other application, with its output read line by line.
class PasteTarget {
 public:
  PasteTarget() {
    process.setProgram(PARLET_PASTE_TARGET);
    process.start();
  }
  ~PasteTarget() {
    process.closeWriteChannel();
    if (!process.waitForFinished(2000)) process.kill();
    process.waitForFinished(2000);
  }
  // Reads what has arrived; the last "text:" line, and whether "ready" came.
  void poll() {
    while (process.canReadLine()) {
      const std::string line = process.readLine().trimmed().toStdString();
      if (line == "ready") ready = true;
      if (line.rfind("text:", 0) == 0) text = line.substr(5);
    }
  }
  QProcess process;
  bool ready = false;
  std::string text;
};

// The whole screen while recording: saved with PARLET_SCREENSHOT_DIR; the pill must show up in the
// panel's place at the bottom centre (80 points above the bottom edge), over a plain background.
void checkPillOnScreen(const QImage& screen) {
  ASSERT_FALSE(screen.isNull());
  if (const char* folder = std::getenv("PARLET_SCREENSHOT_DIR"))
    screen.save(QString::fromStdString((std::filesystem::path(folder) / "desktop-recording.png").string()));
  const QSize size = QGuiApplication::primaryScreen()->size();
  EXPECT_EQ(screen.size(), size * screen.devicePixelRatio());
  const QRect panel((size.width() - 260) / 2, size.height() - 80 - 64, 260, 64);
  const QRgb background = screen.pixel(5, size.height() - 5);
  int differing = 0;
  for (int y = panel.top(); y <= panel.bottom(); ++y)
    for (int x = panel.left(); x <= panel.right(); ++x) differing += screen.pixel(x, y) != background;
  EXPECT_GT(differing, panel.width() * panel.height() / 4) << "no pill on the screen";
}

// The clipboard's bytes for `target`, read on another thread while this one serves the clipboard.
std::optional<std::string> readWhilePumping(const std::string& target) {
  auto reading = std::async(std::launch::async, [target] { return desktoptest::readClipboard(target); });
  pumpUntil([&] { return reading.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
            std::chrono::seconds(10));
  return reading.get();
}

// The application's log is one file in the user's private folder, and CTest runs test processes
// side by side: each process that reads the log gets a private folder of its own, made before the
// log is first opened and removed after it is closed.
void useOwnPrivateFolder() {
  struct Folder {
    std::string path = (std::filesystem::temp_directory_path() / "parlet-e2e-XXXXXX").string();
    Folder() {
      if (!::mkdtemp(path.data())) path.clear();
    }
    ~Folder() {
      std::error_code ignored;  // best effort: a leftover folder in the temporary directory harms nothing
      if (!path.empty()) std::filesystem::remove_all(path, ignored);
    }
  };
  static const Folder folder;
  if (!folder.path.empty()) ::setenv("XDG_RUNTIME_DIR", folder.path.c_str(), 1);
}

class DictationEndToEndTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { useOwnPrivateFolder(); }
  void SetUp() override {
    REQUIRE_X_SESSION();
    keyboard = std::make_unique<Keyboard>();
    ASSERT_TRUE(keyboard->usable()) << "the test's X server lacks XTEST";
    queue = std::make_unique<QtMainQueue>();
    environment.set("XDG_CONFIG_HOME", (folder.path() / "config").string());
    settings.setValue(UserSettings::hasOnboardedKey, true);
    owner = std::make_unique<desktoptest::ForeignClipboardOwner>(
        std::map<std::string, std::string>{{"UTF8_STRING", ownText}, {"application/x-parlet-check", ownBytes}});
    target = std::make_unique<PasteTarget>();
    ASSERT_TRUE(pumpUntil([&] { target->poll(); return target->ready; }, std::chrono::seconds(10)))
        << "the paste target never got the keyboard focus";
  }
  void TearDown() override {
    parlet.reset();
    target.reset();
    owner.reset();
    queue.reset();
  }

  // Parlet with this engine (none: the application's own), a scripted microphone and the test's
  // settings and archive, started.
  void startParlet(SpeechEngineFactory engines) {
    DesktopApplication::Options options;
    options.engineFactory = std::move(engines);
    options.recorderFactory = captureRecorderFactory([this] {
      microphone = std::make_shared<platform::audio::FakeCaptureEngine>();
      return microphone;
    });
    options.settings = &settings;
    options.archive = &archive;
    parlet = std::make_unique<DesktopApplication>(*queue, std::move(options));
    parlet->start();
  }

  // Holds Right Alt while the microphone hears `hold` of tone; the screen as it was midway. The key
  // stays down until the recording has all of that audio, however slowly this thread gets to push
  // it on a busy machine (the engine decodes nothing from a clip of a second or less).
  QImage dictate(milliseconds hold) {
    const KeyCode rightAlt = keyboard->named("RALT");
    keyboard->key(rightAlt, true);
    EXPECT_TRUE(pumpUntil([&] { return microphone && microphone->isRunning(); })) << "no recording started";
    const std::size_t samples = static_cast<std::size_t>(hold.count()) * 16;
    std::size_t sample = 0;
    QImage screen;
    while (microphone && sample < samples) {
      std::vector<float> tone(320);
      for (float& value : tone) value = 0.3f * std::sin(2 * M_PI * 440 * double(sample++) / 16000);
      EXPECT_TRUE(microphone->push({tone})) << "the recording ended early";
      pumpFor(milliseconds(20));
      if (screen.isNull() && sample > samples * 6 / 10) screen = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
    }
    keyboard->key(rightAlt, false);
    return screen;
  }

  // Tone into the running recording for `length`, or until the recording ends.
  void speak(milliseconds length) {
    const std::size_t samples = static_cast<std::size_t>(length.count()) * 16;
    for (std::size_t sample = 0; microphone && microphone->isRunning() && sample < samples;) {
      std::vector<float> tone(320);
      for (float& value : tone) value = 0.3f * std::sin(2 * M_PI * 440 * double(sample++) / 16000);
      microphone->push({tone});
      pumpFor(milliseconds(20));
    }
  }

  // The application's log from `offset` on.
  static std::string logFrom(std::uintmax_t offset) {
    ParletLog::shared().flush();
    std::ifstream file(ParletLog::url(), std::ios::binary);
    file.seekg(static_cast<std::streamoff>(offset));
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  }
  static std::uintmax_t logSize() {
    ParletLog::shared().flush();
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(ParletLog::url(), error);
    return error ? 0 : size;
  }

  // Nothing of a chord was kept: no transcription, archive entry, paste, notice or lock, the
  // microphone and the pill are off, and the log shows `chords` cancelled presses and no road.
  void expectNothingDictated(std::uintmax_t logStart, std::size_t chords) {
    pumpFor(milliseconds(700));  // past the wait for a second tap
    EXPECT_TRUE(scripted->paths.empty()) << scripted->paths.size() << " clips transcribed";
    EXPECT_TRUE(archive.entries().empty());
    const OverlayModel& pill = parlet->controller().overlay().model();
    EXPECT_EQ(pill.notice(), std::nullopt);
    EXPECT_FALSE(pill.locked());
    EXPECT_FALSE(pill.visible());
    EXPECT_FALSE(microphone && microphone->isRunning()) << "the microphone is still on";
    const std::string log = logFrom(logStart);
    std::size_t cancelled = 0;
    for (std::size_t at = log.find("hotkey chord state="); at != std::string::npos; at = log.find("hotkey chord state=", at + 1))
      ++cancelled;
    EXPECT_EQ(cancelled, chords) << log;
    EXPECT_NE(log.find("pipeline.cancel"), std::string::npos) << log;
    for (const char* road : {"pipeline.stop", "transcribe begin", "pasting"})
      EXPECT_EQ(log.find(road), std::string::npos) << road << " in\n" << log;
  }

  bool fieldShows(const std::string& text) {
    return pumpUntil([&] { target->poll(); return target->text == text; }, std::chrono::seconds(15));
  }

  // 0.6 s after the paste the clipboard is the user's again, every format byte for byte.
  void expectClipboardRestored() {
    pumpFor(milliseconds(900));
    EXPECT_EQ(readWhilePumping("UTF8_STRING"), ownText);
    EXPECT_EQ(readWhilePumping("application/x-parlet-check"), ownBytes);
  }

  // The user's clipboard, held by another client, with a format of bytes that are not text.
  const std::string ownText = "the user's own clipboard";
  const std::string ownBytes = std::string("\x00\xff\x01 binary \x7f\x80", 12);

  std::unique_ptr<Keyboard> keyboard;
  testsupport::EnvironmentGuard environment;
  testsupport::TempDir folder;
  std::unique_ptr<QtMainQueue> queue;
  InMemorySettings settings;
  TranscriptArchive archive{folder.path() / "transcripts.json"};
  std::shared_ptr<platform::audio::FakeCaptureEngine> microphone;
  std::shared_ptr<ScriptedEngine> scripted = std::make_shared<ScriptedEngine>();  // what the chords may not reach
  std::unique_ptr<desktoptest::ForeignClipboardOwner> owner;
  std::unique_ptr<PasteTarget> target;
  std::unique_ptr<DesktopApplication> parlet;
};

TEST_F(DictationEndToEndTest, HeldTriggerKeyPastesTheTranscriptIntoAnotherApplicationAndTheClipboardComesBack) {
  auto engine = std::make_shared<ScriptedEngine>();
  startParlet([engine](const EngineOptions&) { return engine; });
  ASSERT_TRUE(parlet->controller().hotkeyInstalled());

  checkPillOnScreen(dictate(milliseconds(1000)));
  EXPECT_TRUE(fieldShows("Parlet types what you say.")) << "the field holds \"" << target->text << "\"";
  ASSERT_EQ(engine->paths.size(), 1u);
  ASSERT_FALSE(archive.entries().empty());
  EXPECT_EQ(archive.entries().front().text, "Parlet types what you say.");
  expectClipboardRestored();
}

// The application's own engine: on first start it downloads a narrow stand-in of its model from the
// local repository service (the menu showing the download), packs and loads it, and the decoder's
// scripted words reach the other application's field.
TEST_F(DictationEndToEndTest, FirstStartDownloadsTheModelWithProgressInTheMenuThenDictates) {
  const std::vector<std::int64_t> script = testing::sayWords(2, 1.0);
  testsupport::HubTestServer server;
  const std::string repo = "openai/whisper-base.en";
  const auto dims = testing::narrowDimensions();
  server.addRepository("models", repo);
  server.addFile("models", repo, "config.json", testing::checkpointConfigJson(dims));
  server.addFile("models", repo, "model.safetensors", testing::checkpointWeights(testing::scriptedWeights(dims, script)), true);
  server.addFile("models", repo, "tokenizer.json", testing::generatedTokenizerJson(), true);
  server.addFile("models", repo, "tokenizer_config.json", testing::generatedTokenizerConfigJson());
  environment.set("HOME", (folder.path() / "home").string());  // the model cache's default place
  environment.set("XDG_CACHE_HOME", std::nullopt);
  environment.set("HF_ENDPOINT", server.endpoint());
  environment.set("CI_DISABLE_NETWORK_MONITOR", "1");  // online, whatever this machine's interfaces say

  std::vector<std::optional<double>> downloads;
  std::vector<StatusIcon> icons;
  startParlet(nullptr);
  parlet->controller().menu().observe([&] {
    const StatusMenu& menu = parlet->controller().menu().get();
    if (downloads.empty() || downloads.back() != menu.modelDownload) downloads.push_back(menu.modelDownload);
    if (icons.empty() || icons.back() != menu.icon) icons.push_back(menu.icon);
  });
  ASSERT_TRUE(pumpUntil([&] { return icons.size() >= 1 && icons.back() == StatusIcon::idle; }, std::chrono::seconds(60)))
      << "the model never finished loading";
  ASSERT_GE(downloads.size(), 2u) << "the menu never showed the download";
  EXPECT_TRUE(downloads.front().has_value());
  EXPECT_EQ(downloads.back(), std::nullopt);
  EXPECT_EQ(parlet->controller().overlay().model().notice(), std::nullopt) << "the model failed to load";

  dictate(milliseconds(1600));
  EXPECT_TRUE(fieldShows(testing::spokenText(script))) << "the field holds \"" << target->text << "\"";
  expectClipboardRestored();
}

// A layout where Right Alt is AltGr, and Right Control with End: the trigger key used with another
// key types that key's character into the other application and dictates nothing, however fast the
// chords come (two within the wait for a second tap are no double tap) or however long they are
// held. The trigger alone still dictates on such a layout afterwards.
TEST_F(DictationEndToEndTest, ChordsWithTheTriggerKeyTypeTheirCharactersAndDictateNothing) {
  startParlet([this](const EngineOptions&) { return scripted; });
  ASSERT_TRUE(parlet->controller().hotkeyInstalled());
  ASSERT_FALSE(ParletLog::url().empty()) << "no log file to read";
  struct Restore {
    ~Restore() { desktoptest::session()->run({"setxkbmap", "us"}); }
  } restore;

  struct Case {
    const char* layout;
    std::vector<const char*> keys;  // the keys' names, each typed while Right Alt is held
    std::string typed;
  };
  const Case cases[] = {
      {"de", {"AD01", "AD03", "AE08", "AE09", "AE07", "AE10", "AE11", "LSGT"}, "@\u20ac[]{}\\|"},
      {"fr", {"AE10", "AE04", "AE05", "AE11", "AE12", "AE03"}, "@{[]}#"},
  };
  const KeyCode altGr = keyboard->named("RALT");
  ASSERT_NE(altGr, 0);
  std::string field;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.layout);
    ASSERT_EQ(desktoptest::session()->run({"setxkbmap", c.layout}), 0) << "setxkbmap (x11-xkb-utils) failed or is absent";
    pumpFor(milliseconds(300));  // the other application takes up the new layout
    const std::uintmax_t logStart = logSize();
    for (const char* name : c.keys) {
      const KeyCode key = keyboard->named(name);
      ASSERT_NE(key, 0) << name;
      for (auto [code, down] : {std::pair{altGr, true}, {key, true}, {key, false}, {altGr, false}}) {
        keyboard->key(code, down);
        pumpFor(milliseconds(40));  // at a typist's speed
      }
    }
    field += c.typed;
    EXPECT_TRUE(fieldShows(field)) << "the field holds \"" << target->text << "\"";
    expectNothingDictated(logStart, c.keys.size());
  }

  // Right Control as the trigger, held with End for 1.2 s while the microphone hears a tone.
  ASSERT_EQ(desktoptest::session()->run({"setxkbmap", "us"}), 0);
  parlet->controller().selectHotkey(4);
  const std::uintmax_t logStart = logSize();
  const KeyCode control = keyboard->named("RCTL"), end = keyboard->named("END");
  keyboard->key(control, true);
  ASSERT_TRUE(pumpUntil([&] { return microphone && microphone->isRunning(); })) << "no recording started";
  speak(milliseconds(300));
  keyboard->key(end, true);
  speak(milliseconds(900));
  keyboard->key(end, false);
  keyboard->key(control, false);
  expectNothingDictated(logStart, 1);
  EXPECT_EQ(target->text, field);

  // Right Alt alone, on an AltGr layout, dictates as before.
  parlet->controller().selectHotkey(0);
  ASSERT_EQ(desktoptest::session()->run({"setxkbmap", "de"}), 0);
  dictate(milliseconds(1000));
  EXPECT_TRUE(fieldShows(field + "Parlet types what you say.")) << "the field holds \"" << target->text << "\"";
  EXPECT_EQ(scripted->paths.size(), 1u);
  expectClipboardRestored();
}

// A keyboard whose only layout has no Latin letters: no key types "v", yet the chord pastes and the
// log says so only because it did.
TEST_F(DictationEndToEndTest, OnAKeyboardWithOnlyARussianOrGreekLayoutTheTranscriptLands) {
  startParlet([this](const EngineOptions&) { return scripted; });
  ASSERT_TRUE(parlet->controller().hotkeyInstalled());
  ASSERT_FALSE(ParletLog::url().empty()) << "no log file to read";
  struct Restore {
    ~Restore() { desktoptest::session()->run({"setxkbmap", "us"}); }
  } restore;
  std::string field;
  for (const char* layout : {"ru", "gr"}) {
    SCOPED_TRACE(layout);
    ASSERT_EQ(desktoptest::session()->run({"setxkbmap", layout}), 0) << "setxkbmap (x11-xkb-utils) failed or is absent";
    pumpFor(milliseconds(300));  // the other application takes up the new layout
    const std::uintmax_t logStart = logSize();
    dictate(milliseconds(1000));
    field += "Parlet types what you say.";
    EXPECT_TRUE(fieldShows(field)) << "the field holds \"" << target->text << "\"";
    const std::string log = logFrom(logStart);
    EXPECT_NE(log.find("paste: posted Ctrl+V"), std::string::npos) << log;
    EXPECT_EQ(log.find("not pasted"), std::string::npos) << log;
    expectClipboardRestored();
  }
}

// Shift or Control as the trigger: a click (Shift+click extends a selection) or a turn of the wheel
// while it is held, or between two taps, is a chord and records nothing, whoever speaks meanwhile.
TEST_F(DictationEndToEndTest, ClicksAndTheWheelWithTheTriggerKeyDictateNothing) {
  startParlet([this](const EngineOptions&) { return scripted; });
  ASSERT_TRUE(parlet->controller().hotkeyInstalled());
  ASSERT_FALSE(ParletLog::url().empty()) << "no log file to read";
  target->poll();
  const std::string field = target->text;
  struct Case {
    const char* name;
    int presetRow;
    const char* key;
    bool betweenTaps;  // else while held
    unsigned button;
  };
  const Case cases[] = {
      {"Left Shift held over a click", 7, "LFSH", false, 1},
      {"Right Control held over the wheel", 4, "RCTL", false, 5},
      {"a click between two taps of Right Shift", 6, "RTSH", true, 1},
      {"the wheel between two taps of Left Control", 5, "LCTL", true, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    parlet->controller().selectHotkey(c.presetRow);
    const std::uintmax_t logStart = logSize();
    const KeyCode trigger = keyboard->named(c.key);
    ASSERT_NE(trigger, 0);
    keyboard->key(trigger, true);
    ASSERT_TRUE(pumpUntil([&] { return microphone && microphone->isRunning(); })) << "no recording started";
    if (c.betweenTaps) {
      keyboard->key(trigger, false);
      speak(milliseconds(100));
      keyboard->click(200, 80, c.button);
      speak(milliseconds(1500));
    } else {
      speak(milliseconds(300));
      keyboard->click(200, 80, c.button);  // in the other application's field
      speak(milliseconds(1700));
      keyboard->key(trigger, false);
    }
    expectNothingDictated(logStart, 1);
  }
  target->poll();
  EXPECT_EQ(target->text, field);
}

// Parlet's tray icon clicked open while the transcript is still being made: the text goes to the
// window that had the focus before the menu opened, not into the menu.
TEST_F(DictationEndToEndTest, ATranscriptThatFinishesWhileTheTrayMenuIsOpenGoesToTheWindowBelow) {
  startParlet([this](const EngineOptions&) { return scripted; });
  ASSERT_TRUE(parlet->controller().hotkeyInstalled());
  ASSERT_FALSE(ParletLog::url().empty()) << "no log file to read";
  const QWindow* icon = nullptr;
  ASSERT_TRUE(pumpUntil([&] {
    for (const QWindow* window : QGuiApplication::allWindows())
      if (window->isVisible() && window->type() != Qt::Popup && window->width() <= 64 && window->height() <= 64)
        icon = window;
    return icon != nullptr;
  })) << "no tray icon";
  const std::uintmax_t logStart = logSize();
  scripted->holding = true;
  dictate(milliseconds(1000));
  ASSERT_TRUE(pumpUntil([&] { return scripted->transcriptions() == 1; }, std::chrono::seconds(10)));
  const auto [x, y] = keyboard->centreOf(*icon);
  keyboard->click(x, y);
  ASSERT_TRUE(pumpUntil([] { return QApplication::activePopupWidget() != nullptr; })) << "the tray menu did not open";
  pumpFor(milliseconds(300));
  scripted->holding = false;

  EXPECT_TRUE(fieldShows("Parlet types what you say.")) << "the field holds \"" << target->text << "\"";
  EXPECT_EQ(QApplication::activePopupWidget(), nullptr) << "the menu is still open";
  const std::string log = logFrom(logStart);
  EXPECT_NE(log.find("paste: a menu of Parlet is open"), std::string::npos) << log;
  EXPECT_NE(log.find("paste: posted Ctrl+V"), std::string::npos) << log;
  expectClipboardRestored();
}

}  // namespace
}  // namespace parlet::app

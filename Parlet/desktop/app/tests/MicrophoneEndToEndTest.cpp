// The whole application under an X server of the test's own, on its real microphone: a sound server
// of the test's own whose microphone is live, as a real one is (what it hears before a recording
// starts is gone). The trigger key goes down through XTEST as the user starts to speak; the
// recording that reaches the engine must hold the speech from its start, and Parlet's log and
// standard error show how the press went.
#include <QApplication>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Parlet/core/ParletLog.h"
#include "Parlet/core/UserSettings.h"
#include "Parlet/desktop/app/DesktopApplication.h"
#include "Parlet/desktop/app/QtMainQueue.h"
#include "platform/Audio/AudioFile.h"
#include "platform/Audio/tests/PulseAudioServer.h"
#include "platform/Audio/tests/Signals.h"
#include "platform/Audio/tests/SoundConfiguration.h"
#include "platform/Audio/tests/StandardError.h"
#include "platform/Desktop/tests/DesktopTestSession.h"
#include "testsupport/Fixtures.h"

// X11 last: Xlib's macros break Qt's and GoogleTest's headers.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace parlet::app {
namespace {

using desktoptest::pumpFor;
using desktoptest::pumpUntil;
using std::chrono::milliseconds;

// The engine of this test: it keeps the samples of each recording it is given.
class KeepingEngine : public SpeechEngine {
 public:
  std::vector<EngineResult> transcribe(const std::string& audioPath) override {
    platform::audio::AudioFile file(audioPath);
    auto buffer = platform::audio::AudioPCMBuffer::make(file.processingFormat(), static_cast<std::uint32_t>(file.length()));
    if (buffer) file.read(*buffer, buffer->frameCapacity());
    std::lock_guard lock(mutex);
    recordings.push_back(buffer ? std::move(*buffer).takeChannel0() : std::vector<float>{});
    return {{" Every word of it. "}};
  }
  std::size_t count() {
    std::lock_guard lock(mutex);
    return recordings.size();
  }
  std::mutex mutex;
  std::vector<std::vector<float>> recordings;
};

// The application's log file is one per user folder: this process gets a folder of its own before
// the log is first opened, so that a test beside it cannot write into the lines this one reads. It
// goes when the process ends.
void useOwnPrivateFolder() {
  struct Folder {
    std::string path = (std::filesystem::temp_directory_path() / "parlet-mic-e2e-XXXXXX").string();
    Folder() {
      if (!::mkdtemp(path.data())) path.clear();
    }
    ~Folder() {
      std::error_code ignored;
      if (!path.empty()) std::filesystem::remove_all(path, ignored);
    }
  };
  static const Folder folder;
  if (!folder.path.empty()) ::setenv("XDG_RUNTIME_DIR", folder.path.c_str(), 1);
}

std::string logFrom(std::uintmax_t offset) {
  ParletLog::shared().flush();
  std::ifstream file(ParletLog::url(), std::ios::binary);
  file.seekg(static_cast<std::streamoff>(offset));
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::uintmax_t logSize() {
  ParletLog::shared().flush();
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(ParletLog::url(), error);
  return error ? 0 : size;
}

// The sound configuration also holds another device, on a sound server that takes 0.3 s to answer,
// which a dictation has no business opening. Twice, the user presses Right Alt as they start to
// speak a 1.5 s phrase and lets go when it is over: each recording holds the phrase from its first
// syllable to its last, the log says how soon the first audio came and nothing failed, and standard
// error carries the application's log lines only.
TEST(MicrophoneEndToEndTest, ADictationSpokenFromTheMomentTheKeyGoesDownComesBackWhole) {
  useOwnPrivateFolder();
  REQUIRE_X_SESSION();
  audiotest::PulseAudioServer server(audiotest::PulseAudioServer::Microphone::live);
  if (server.whyNot()) GTEST_SKIP() << *server.whyNot();
  Display* display = XOpenDisplay(nullptr);
  ASSERT_NE(display, nullptr);
  int event, error, major, minor;
  ASSERT_TRUE(XTestQueryExtension(display, &event, &error, &major, &minor)) << "the test's X server lacks XTEST";
  const KeyCode rightAlt = XKeysymToKeycode(display, XK_Alt_R);

  testsupport::TempDir folder;
  audiotest::OtherServer slow(folder.path() / "slow", milliseconds(300));
  const audiotest::AlsaConfiguration configuration(folder.path() / "test.conf", slow.deviceDefinition("slow"));
  testsupport::EnvironmentGuard environment;
  environment.set("XDG_CONFIG_HOME", (folder.path() / "config").string());
  InMemorySettings settings;
  settings.setValue(UserSettings::hasOnboardedKey, true);
  TranscriptArchive archive(folder.path() / "transcripts.json");
  auto engine = std::make_shared<KeepingEngine>();
  QtMainQueue queue;
  DesktopApplication::Options options;
  options.engineFactory = [engine](const EngineOptions&) { return engine; };
  options.settings = &settings;
  options.archive = &archive;
  auto parlet = std::make_unique<DesktopApplication>(queue, std::move(options));
  parlet->start();
  ASSERT_TRUE(parlet->controller().hotkeyInstalled());
  pumpFor(milliseconds(1000));  // start-up, then the user reaches for the key

  const std::vector<float> speech = audiotest::sweep(1.5);
  const std::uintmax_t logStart = logSize();
  const std::string printed = audiotest::standardErrorOf([&] {
    for (std::size_t dictation = 1; dictation <= 2; ++dictation) {
      std::thread speaker([&] { server.speakLive(speech); });
      XTestFakeKeyEvent(display, rightAlt, True, CurrentTime);
      XSync(display, False);
      // The phrase, and a moment for its last syllable to reach the recording.
      pumpFor(milliseconds(1500 + 300));
      speaker.join();
      XTestFakeKeyEvent(display, rightAlt, False, CurrentTime);
      XSync(display, False);
      EXPECT_TRUE(pumpUntil([&] { return engine->count() >= dictation; }, std::chrono::seconds(10)))
          << "dictation " << dictation << " never reached the engine:\n" << logFrom(logStart);
    }
  });
  parlet.reset();
  XCloseDisplay(display);

  ASSERT_EQ(engine->recordings.size(), 2u);
  for (const std::vector<float>& recording : engine->recordings) {
    ASSERT_GE(recording.size(), 800u);
    EXPECT_LT(audiotest::startWithin(speech, recording), 0.15) << "the first syllable is missing";
    EXPECT_GT(recording.size(), speech.size() * 85 / 100) << "the recording lacks much of the phrase";
  }
  const std::string log = logFrom(logStart);
  std::size_t heard = 0;
  for (std::size_t at = log.find("recorder first audio "); at != std::string::npos; at = log.find("recorder first audio ", at + 1))
    ++heard;
  EXPECT_EQ(heard, 2u) << log;
  EXPECT_EQ(log.find("FAILED"), std::string::npos) << log;
  EXPECT_EQ(slow.connections(), 0) << "a dictation opened another device";
  // The application's log lines ("[12:34:56.789] pipeline.start ..."), nothing of the sound libraries.
  std::istringstream lines(printed);
  for (std::string line; std::getline(lines, line);) EXPECT_TRUE(line.starts_with("[")) << line;
}

}  // namespace
}  // namespace parlet::app

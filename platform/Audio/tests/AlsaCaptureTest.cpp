// The real capture backend against a sound server of the test's own whose microphone hears a tone
// live, with an ALSA configuration file of the test's own beside the system's: what a key press
// opens, how often the configuration is read, that the microphone is closed between presses, and
// that a sound server that comes or changes after the configuration was read is found.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <mutex>
#include <numbers>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/Audio/AudioSystemLog.h"
#include "platform/Audio/CaptureEngine.h"
#include "platform/Audio/tests/PulseAudioServer.h"
#include "platform/Audio/tests/SoundConfiguration.h"
#include "platform/Audio/tests/StandardError.h"
#include "testsupport/Fixtures.h"

namespace platform::audio {
namespace {

using std::chrono::milliseconds;

std::vector<float> tone(double frequency, double seconds) {
  std::vector<float> out(static_cast<std::size_t>(16000 * seconds));
  for (std::size_t i = 0; i < out.size(); ++i)
    out[i] = static_cast<float>(0.3 * std::sin(2 * std::numbers::pi * frequency * double(i) / 16000));
  return out;
}

// The server's microphone hears `frequency` until the object goes.
class LiveTone {
 public:
  LiveTone(audiotest::PulseAudioServer& server, double frequency)
      : thread_([this, &server, frequency] {
          const std::vector<float> second = tone(frequency, 1.0);
          while (!done_) server.speakLive(second, &done_);
        }) {}
  ~LiveTone() {
    done_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// One key press on the default device: the first 0.2 s it hears, mixed to one channel, in its own
// rate; nothing when it cannot start or hears nothing in 5 s.
struct Heard {
  std::vector<float> samples;
  double rate = 0;
};
std::optional<Heard> press() {
  auto engine = makeDefaultCaptureEngine();
  std::mutex mutex;
  Heard heard;
  try {
    heard.rate = engine->inputFormat().sampleRate();
    engine->installTap(512, [&](const AudioPCMBuffer& buffer) {
      std::lock_guard lock(mutex);
      for (std::uint32_t i = 0; i < buffer.frameLength(); ++i) heard.samples.push_back(buffer.floatChannelData(0)[i]);
    });
    engine->start();
  } catch (const CaptureError&) {
    return std::nullopt;
  }
  const auto wanted = static_cast<std::size_t>(heard.rate * 0.2);
  for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5); std::chrono::steady_clock::now() < deadline;) {
    {
      std::lock_guard lock(mutex);
      if (heard.samples.size() >= wanted) break;
    }
    std::this_thread::sleep_for(milliseconds(5));
  }
  engine->stop();
  engine->reset();
  std::lock_guard lock(mutex);
  if (heard.samples.size() < wanted) return std::nullopt;
  heard.samples.resize(wanted);
  return heard;
}

// The frequency of a tone from its zero crossings.
double frequencyOf(const Heard& heard) {
  int crossings = 0;
  for (std::size_t i = 1; i < heard.samples.size(); ++i) crossings += (heard.samples[i - 1] < 0) != (heard.samples[i] < 0);
  return crossings / 2.0 / (static_cast<double>(heard.samples.size()) / heard.rate);
}

// Waits up to 2 s for the server to serve no recording; whether it came to that.
bool microphoneClosed(const audiotest::PulseAudioServer& server) {
  for (int i = 0; i < 200; ++i) {
    const std::optional<int> recordings = server.recordings();
    if (!recordings || *recordings == 0) return true;
    std::this_thread::sleep_for(milliseconds(10));
  }
  return false;
}

// The lines of the audio-system log while the object lives.
class SystemLines {
 public:
  SystemLines() {
    setAudioSystemLog([this](const std::string& line) {
      std::lock_guard lock(mutex_);
      lines_.push_back(line);
    });
  }
  ~SystemLines() { setAudioSystemLog(nullptr); }
  int count(const std::string& start) {
    std::lock_guard lock(mutex_);
    int n = 0;
    for (const std::string& line : lines_) n += line.starts_with(start);
    return n;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

const char* const kConfigurationRead = "ALSA: read the sound configuration";

// The configuration also defines a device behind a sound server of its own, which counts who
// connects. Readying the audio system and three key presses read the configuration once, never
// open that device (nor any other but the microphone), print nothing, and leave the microphone
// closed before, between and after the presses.
TEST(AlsaCaptureTest, KeyPressesOpenOnlyTheMicrophoneAndReadTheConfigurationOnce) {
  audiotest::PulseAudioServer server(audiotest::PulseAudioServer::Microphone::live);
  if (server.whyNot()) GTEST_SKIP() << *server.whyNot();
  testsupport::TempDir folder;
  audiotest::OtherServer other(folder.path() / "other");
  const audiotest::AlsaConfiguration configuration(folder.path() / "test.conf", other.deviceDefinition("other"));
  const LiveTone speech(server, 440);
  SystemLines lines;
  const std::string printed = audiotest::standardErrorOf([&] {
    prepareCapture();
    std::this_thread::sleep_for(milliseconds(500));  // start-up, then the user reaches for the key
    EXPECT_TRUE(microphoneClosed(server)) << "readying the audio system opened the microphone";
    for (int i = 0; i < 3; ++i) {
      SCOPED_TRACE(i);
      const std::optional<Heard> heard = press();
      ASSERT_TRUE(heard) << "the press heard nothing:\n" << server.log();
      EXPECT_NEAR(frequencyOf(*heard), 440, 30);
      EXPECT_TRUE(microphoneClosed(server)) << "the microphone stayed open after the release";
    }
  });
  EXPECT_EQ(printed, "");
  EXPECT_EQ(other.connections(), 0) << "a key press opened a device it does not record from";
  EXPECT_EQ(lines.count(kConfigurationRead), 1);
}

// The configuration is read while no sound server runs; then one comes: the next press finds it.
// That one goes and another comes in its place: the press after finds that one.
TEST(AlsaCaptureTest, ASoundServerThatComesOrChangesAfterTheConfigurationWasReadIsFoundAtTheNextPress) {
  testsupport::TempDir folder;
  testsupport::EnvironmentGuard environment;
  environment.set("PULSE_SERVER", "unix:" + (folder.path() / "nobody").string());
  const audiotest::AlsaConfiguration configuration(folder.path() / "test.conf", "# the system's configuration alone\n");
  SystemLines lines;
  press();  // no sound server: no microphone, or a sound card's, whichever this machine has
  ASSERT_GE(lines.count(kConfigurationRead), 1) << "the press did not read the configuration while no server ran";

  for (double frequency : {440.0, 880.0}) {
    SCOPED_TRACE(frequency);
    audiotest::PulseAudioServer server(audiotest::PulseAudioServer::Microphone::live);
    if (server.whyNot()) GTEST_SKIP() << *server.whyNot();
    const LiveTone speech(server, frequency);
    const std::optional<Heard> heard = press();
    ASSERT_TRUE(heard) << "the press did not find the sound server";
    EXPECT_NEAR(frequencyOf(*heard), frequency, 30);
  }
}

}  // namespace
}  // namespace platform::audio

// The real recorder backend, driven by a fake capture engine: scripted captures become WAV files.
#include <chrono>
#include <cmath>
#include <fstream>
#include <future>
#include <numbers>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Parlet/core/AudioRecorder.h"
#include "platform/Audio/AudioFile.h"
#include "platform/Audio/CaptureInput.h"
#include "platform/Audio/FakeCaptureEngine.h"
#include "platform/Audio/FakeCaptureInput.h"
#include "platform/Audio/tests/PulseAudioServer.h"
#include "platform/Audio/tests/Signals.h"
#include "platform/Audio/tests/SoundConfiguration.h"
#include "platform/Audio/tests/WavHeader.h"
#include "testsupport/Fixtures.h"

namespace parlet {
namespace {

using platform::audio::FakeCaptureEngine;

std::vector<float> sine(double rate, double seconds, double amplitude) {
  std::vector<float> out(static_cast<std::size_t>(rate * seconds));
  for (std::size_t i = 0; i < out.size(); ++i)
    out[i] = static_cast<float>(amplitude * std::sin(2 * std::numbers::pi * 440.0 * i / rate));
  return out;
}

double rms(const std::vector<float>& samples, std::size_t from, std::size_t to) {
  double sum = 0;
  for (std::size_t i = from; i < to; ++i) sum += static_cast<double>(samples[i]) * samples[i];
  return std::sqrt(sum / static_cast<double>(to - from));
}

std::vector<float> readMono(const std::filesystem::path& path) {
  platform::audio::AudioFile file(path);
  auto buffer = platform::audio::AudioPCMBuffer::make(file.processingFormat(), static_cast<std::uint32_t>(file.length()));
  file.read(*buffer, buffer->frameCapacity());
  return std::move(*buffer).takeChannel0();
}

std::size_t filesIn(const std::filesystem::path& dir) {
  return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(dir), {}));
}

AudioRecorder recorderOn(std::shared_ptr<FakeCaptureEngine> engine, const testsupport::TempDir& dir) {
  return AudioRecorder({captureRecorderFactory([engine] { return engine; }), [&dir] { return dir.path(); }, {}});
}

struct CaptureCase {
  const char* name;
  double rate;
  std::uint32_t channels;
  friend void PrintTo(const CaptureCase& c, std::ostream* os) { *os << c.name; }
};

class CaptureRecorderFileTest : public ::testing::TestWithParam<CaptureCase> {};

// One second of a 0.5 sine, captured in 32 ms blocks, whatever the input's rate and channel count.
TEST_P(CaptureRecorderFileTest, WritesSixteenKilohertzMonoSixteenBitPcm) {
  const CaptureCase& c = GetParam();
  testsupport::TempDir dir;
  auto engine = std::make_shared<FakeCaptureEngine>(FakeCaptureEngine::Script{c.rate, c.channels});
  AudioRecorder recorder = recorderOn(engine, dir);
  recorder.start();
  ASSERT_NE(recorder.recorder(), nullptr);
  EXPECT_TRUE(recorder.recorder()->isRecording());

  const std::vector<float> input = sine(c.rate, 1.0, 0.5);
  const std::size_t block = static_cast<std::size_t>(c.rate * 0.032);
  for (std::size_t at = 0; at < input.size(); at += block) {
    std::vector<float> part(input.begin() + at, input.begin() + std::min(input.size(), at + block));
    ASSERT_TRUE(engine->push(std::vector<std::vector<float>>(c.channels, part)));
    if (at == 0) {
      // A 0.5 sine in every channel: 20·log10(0.5/√2).
      recorder.recorder()->updateMeters();
      EXPECT_NEAR(recorder.recorder()->averagePower(0), -9.031, 0.05);
      EXPECT_EQ(recorder.recorder()->averagePower(1), -160.0f);  // the recording has one channel
    }
  }
  AudioRecorder::Result result = recorder.stop();
  ASSERT_TRUE(result.url);
  EXPECT_EQ(engine->stopCount(), 1);
  EXPECT_FALSE(engine->hasTap());

  audiotest::WavHeader header = audiotest::readWavHeader(*result.url);
  EXPECT_EQ(header.formatTag, 1);
  EXPECT_EQ(header.channels, 1);
  EXPECT_EQ(header.sampleRate, 16000u);
  EXPECT_EQ(header.bitsPerSample, 16);
  EXPECT_NEAR(static_cast<double>(header.frames()), 16000.0, 2.0);

  std::vector<float> samples = readMono(*result.url);
  ASSERT_EQ(samples.size(), header.frames());
  // The sine keeps its power through mixing, resampling and 16-bit quantisation.
  EXPECT_NEAR(rms(samples, 1000, 15000), 0.5 / std::sqrt(2.0), 0.005);
  if (c.rate == 16000.0) {
    for (std::size_t i = 0; i < input.size(); ++i) ASSERT_NEAR(samples[i], input[i], 1.0 / 32768);
  }
}

INSTANTIATE_TEST_SUITE_P(Inputs, CaptureRecorderFileTest,
                         ::testing::Values(CaptureCase{"Mono16k", 16000, 1}, CaptureCase{"Mono44k1", 44100, 1},
                                           CaptureCase{"Mono48k", 48000, 1}, CaptureCase{"Stereo48k", 48000, 2},
                                           CaptureCase{"Stereo16k", 16000, 2}),
                         [](const auto& info) { return std::string(info.param.name); });

// The input fails mid-recording: capture stops at once (the meter reads no recording), and stop logs
// why, leaves no file and hands back no url, the pipeline's road for "the recorder gave no file".
TEST(CaptureRecorderTest, ACaptureFailureEndsTheRecordingAndStopSaysSo) {
  testsupport::TempDir dir;
  auto engine = std::make_shared<FakeCaptureEngine>();
  std::vector<std::string> lines;
  AudioRecorder recorder({captureRecorderFactory([engine] { return engine; }), [&dir] { return dir.path(); }, {}},
                         [&lines](const std::string& line) { lines.push_back(line); });
  recorder.start();
  ASSERT_TRUE(engine->push({sine(16000, 0.032, 0.5)}));
  EXPECT_TRUE(recorder.recorder()->isRecording());
  EXPECT_FALSE(recorder.recorder()->failure());

  // From a capture thread, as the real engine reports it.
  bool reported = false;
  std::thread([&] { reported = engine->failCapture("Audio capture stopped: Device unavailable"); }).join();
  ASSERT_TRUE(reported);
  EXPECT_FALSE(recorder.recorder()->isRecording());
  EXPECT_FALSE(engine->push({sine(16000, 0.032, 0.5)}));
  EXPECT_EQ(recorder.recorder()->failure(), "Audio capture stopped: Device unavailable");

  AudioRecorder::Result result = recorder.stop();
  EXPECT_FALSE(result.url);
  EXPECT_FALSE(recorder.url());
  EXPECT_EQ(lines, std::vector<std::string>{"recorder FAILED: Audio capture stopped: Device unavailable"});
  EXPECT_EQ(filesIn(dir.path()), 0u);
  EXPECT_FALSE(engine->hasTap());

  // The next recording starts afresh: no failure, only when its audio came.
  recorder.start();
  ASSERT_TRUE(engine->push({sine(16000, 0.032, 0.5)}));
  EXPECT_TRUE(recorder.stop().url);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(lines[1].starts_with("recorder first audio ")) << lines[1];
}

// The real engine over an input that stops delivering while its reader waits in a read: stop (the
// key release) comes back at once with every block that had arrived, and the stuck read keeps only
// its own thread. Meanwhile the recorder tells a stall from a slow start by its clock: nothing
// for 2 s is a lost microphone.
TEST(CaptureRecorderTest, AStuckInputNeitherHoldsUpStopNorLosesTheAudioSoFar) {
  testsupport::TempDir dir;
  auto input = std::make_shared<platform::audio::FakeCaptureInput>();
  std::chrono::nanoseconds now{0};
  std::vector<std::string> lines;
  AudioRecorder recorder({captureRecorderFactory([input] { return platform::audio::makeReaderCaptureEngine(input); }),
                          [&dir] { return dir.path(); }, [&now] { return now; }},
                         [&lines](const std::string& line) { lines.push_back(line); });
  const std::vector<float> speech = sine(16000, 0.5, 0.5);  // 15 reads of 512 frames, and 320 left over
  input->deliver(speech);
  recorder.start();
  ASSERT_TRUE(input->waitForStarvedRead(std::chrono::seconds(5)));
  EXPECT_EQ(recorder.recorder()->capturedFrames(), 15u * 512u);
  now = std::chrono::milliseconds(1990);
  EXPECT_FALSE(recorder.captureProblem());  // audio arrived since the start: seen now, at 1.99 s
  now = std::chrono::milliseconds(3980);
  EXPECT_FALSE(recorder.captureProblem());
  now = std::chrono::milliseconds(3990);
  EXPECT_EQ(recorder.captureProblem(), "no audio from the input for 2.0 s");
  EXPECT_TRUE(recorder.recorder()->isRecording());  // the pipeline decides; here the key comes up first

  std::promise<AudioRecorder::Result> stopped;
  std::future<AudioRecorder::Result> result = stopped.get_future();
  std::thread release([&] { stopped.set_value(recorder.stop()); });
  const bool quick = result.wait_for(std::chrono::milliseconds(200)) == std::future_status::ready;
  if (!quick) input->release();  // a stop that waits for the device fails here instead of hanging
  release.join();
  EXPECT_TRUE(quick) << "stop waited for the stuck read";
  AudioRecorder::Result stop = result.get();
  EXPECT_FALSE(stop.url);  // a stalled recording is no recording...
  EXPECT_EQ(lines, std::vector<std::string>{"recorder FAILED: no audio from the input for 2.0 s"});

  // The stuck read returns with audio; it reaches nothing, and that stream closes.
  input->deliver(std::vector<float>(512, 0.25f));
  ASSERT_TRUE(input->waitForClosed(1, std::chrono::seconds(5)));

  // A key release before the stall gets the audio so far: 320 frames left over and 0.5 s more.
  input->deliver(sine(16000, 0.5, 0.5));
  recorder.start();
  ASSERT_TRUE(input->waitForStarvedRead(std::chrono::seconds(5)));
  const std::uint64_t captured = *recorder.recorder()->capturedFrames();
  ASSERT_EQ(captured, 16u * 512u);
  const auto begin = std::chrono::steady_clock::now();
  stop = recorder.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(200));
  ASSERT_TRUE(stop.url);
  EXPECT_EQ(stop.frames, captured);
  EXPECT_EQ(readMono(*stop.url).size(), captured);
  input->release();
  EXPECT_TRUE(input->waitForClosed(input->opened(), std::chrono::seconds(5)));
  EXPECT_TRUE(input->closedOffTheOpeningThread());
}

// The real backend (ALSA's pulse device) over a sound server of the test's own: the tone
// written into its source reaches the recording, and when the source then stops delivering (the
// reader waits in a read that does not come back), the key release still ends the recording at once
// with everything heard so far.
TEST(CaptureRecorderTest, RecordsFromASoundServerAndAStalledSourceDoesNotHoldUpStop) {
  audiotest::PulseAudioServer server;
  if (server.whyNot()) GTEST_SKIP() << *server.whyNot();
  std::optional<std::uint32_t> pulse;
  for (const auto& device : platform::audio::listInputDevices())
    if (device.name == "pulse") pulse = device.id;
  if (!pulse) GTEST_SKIP() << "ALSA has no pulse device (libasound2-plugins is not installed)";

  testsupport::TempDir dir;
  AudioRecorder recorder({captureRecorderFactory([pulse] {
                            auto engine = platform::audio::makeDefaultCaptureEngine();
                            EXPECT_EQ(engine->setInputDevice(*pulse), 0);
                            return engine;
                          }),
                          [&dir] { return dir.path(); }, {}},
                         [](const std::string&) {});
  recorder.start();
  server.speak(sine(16000, 1.0, 0.5));
  // The source has delivered all of it once the captured frames stop growing.
  std::uint64_t captured = 0;
  for (auto unchangedSince = std::chrono::steady_clock::now(), deadline = unchangedSince + std::chrono::seconds(15);
       std::chrono::steady_clock::now() < deadline;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const std::uint64_t now = *recorder.recorder()->capturedFrames();
    if (now != captured) {
      captured = now;
      unchangedSince = std::chrono::steady_clock::now();
    } else if (captured > 0 && std::chrono::steady_clock::now() - unchangedSince > std::chrono::milliseconds(500)) {
      break;
    }
  }
  ASSERT_GT(captured, 0u) << "nothing arrived from the sound server:\n" << server.log();

  const auto begin = std::chrono::steady_clock::now();
  AudioRecorder::Result result = recorder.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(200));
  ASSERT_TRUE(result.url);
  const std::vector<float> samples = readMono(*result.url);
  // The device's buffer holds back at most a read or two of the tone.
  EXPECT_GT(samples.size(), 16000u * 8 / 10);
  EXPECT_LE(samples.size(), 16000u + 1600u);
  EXPECT_NEAR(rms(samples, 2000, samples.size() - 2000), 0.5 / std::sqrt(2.0), 0.02);
}

// The application's recorder, made at start-up, and a key press as the user starts to speak, into
// a microphone that is live (what it hears before the press is gone): the recording holds the
// speech from its start, although the sound configuration also holds another device, on a sound
// server that takes 0.3 s to answer, which recording has no business opening.
TEST(CaptureRecorderTest, SpeechThatBeginsAsTheKeyGoesDownIsRecordedFromItsStart) {
  audiotest::PulseAudioServer server(audiotest::PulseAudioServer::Microphone::live);
  if (server.whyNot()) GTEST_SKIP() << *server.whyNot();
  testsupport::TempDir dir;
  audiotest::OtherServer slow(dir.path() / "slow", std::chrono::milliseconds(300));
  const audiotest::AlsaConfiguration configuration(dir.path() / "test.conf", slow.deviceDefinition("slow"));
  AudioRecorder recorder({{}, [&dir] { return dir.path(); }, {}}, [](const std::string&) {});
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // start-up, then the user reaches for the key

  const std::vector<float> speech = audiotest::sweep(1.0);
  std::thread speaker([&] { server.speakLive(speech); });
  recorder.start();
  speaker.join();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the last words reach the recording
  const AudioRecorder::Result result = recorder.stop();
  ASSERT_TRUE(result.url) << server.log();
  const std::vector<float> samples = readMono(*result.url);
  ASSERT_GE(samples.size(), 800u) << "the recording holds almost nothing";
  // The press opens the microphone in a few milliseconds; 0.15 s leaves room for a busy machine.
  EXPECT_LT(audiotest::startWithin(speech, samples), 0.15) << "the start of the speech is missing";
  EXPECT_GT(samples.size(), 16000u * 8 / 10) << "the recording lacks much of the speech";
  EXPECT_EQ(slow.connections(), 0) << "the key press opened another device";
}

TEST(CaptureRecorderTest, FloatSettingsWriteFloatWav) {
  testsupport::TempDir dir;
  auto engine = std::make_shared<FakeCaptureEngine>();
  RecordingSettings settings;
  settings.linearPCMIsFloat = true;
  settings.linearPCMBitDepth = 32;
  auto recorder = captureRecorderFactory([engine] { return engine; })(dir.path() / "f.wav", settings);
  ASSERT_TRUE(recorder->record());
  ASSERT_TRUE(engine->push({{0.123456f, -0.5f, 1.5f}}));
  recorder->stop();
  recorder->stop();
  audiotest::WavHeader header = audiotest::readWavHeader(dir.path() / "f.wav");
  EXPECT_EQ(header.formatTag, 3);
  EXPECT_EQ(header.bitsPerSample, 32);
  EXPECT_EQ(readMono(dir.path() / "f.wav"), (std::vector<float>{0.123456f, -0.5f, 1.5f}));
}

TEST(CaptureRecorderTest, AnEngineThatCannotRecordFailsTheStartAndLeavesNoFile) {
  struct Case {
    const char* name;
    FakeCaptureEngine::Script script;
  };
  FakeCaptureEngine::Script refuses;
  refuses.failOnStart = true;
  FakeCaptureEngine::Script noDevice;
  noDevice.hasInputDevice = false;
  for (const Case& c : {Case{"refuses to start", refuses}, Case{"has no input device", noDevice}}) {
    SCOPED_TRACE(c.name);
    testsupport::TempDir dir;
    auto engine = std::make_shared<FakeCaptureEngine>(c.script);
    AudioRecorder recorder = recorderOn(engine, dir);
    EXPECT_THROW(recorder.start(), RecorderError);
    EXPECT_EQ(recorder.recorder(), nullptr);
    EXPECT_EQ(filesIn(dir.path()), 0u);
    EXPECT_FALSE(engine->hasTap());
    EXPECT_EQ(recorder.stop().duration, 0);
  }
}

TEST(CaptureRecorderTest, RefusesALinkAtTheNameAndUnsupportedSettings) {
  testsupport::TempDir dir;
  auto engine = std::make_shared<FakeCaptureEngine>();
  PlatformRecorderFactory make = captureRecorderFactory([engine] { return engine; });

  std::filesystem::path target = dir.path() / "precious.txt";
  std::ofstream(target) << "precious";
  std::filesystem::path link = dir.path() / "parlet-link.wav";
  std::filesystem::create_symlink(target, link);
  EXPECT_THROW(make(link, RecordingSettings{}), RecorderError);
  std::ifstream in(target);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), "precious");

  struct Case {
    const char* name;
    void (*change)(RecordingSettings&);
  };
  const Case cases[] = {
      {"big-endian", [](RecordingSettings& s) { s.linearPCMIsBigEndian = true; }},
      {"24-bit", [](RecordingSettings& s) { s.linearPCMBitDepth = 24; }},
      {"16-bit float", [](RecordingSettings& s) { s.linearPCMIsFloat = true; }},
      {"not linear PCM", [](RecordingSettings& s) { s.formatID = 0x61616320; }},
      {"no rate", [](RecordingSettings& s) { s.sampleRate = 0; }},
      {"no channels", [](RecordingSettings& s) { s.numberOfChannels = 0; }},
      {"more channels than the input", [](RecordingSettings& s) { s.numberOfChannels = 2; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingSettings settings;
    c.change(settings);
    EXPECT_THROW(make(dir.path() / "x.wav", settings), RecorderError);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "x.wav"));
  }
}

// These build machines have no sound card: making the real recorder fails with a message and no file.
TEST(CaptureRecorderTest, WithoutAnInputDeviceCreationFailsClearly) {
  testsupport::TempDir dir;
  std::unique_ptr<PlatformRecorder> recorder;
  try {
    recorder = captureRecorderFactory()(dir.path() / "a.wav", RecordingSettings{});
  } catch (const RecorderError& error) {
    EXPECT_FALSE(std::string(error.what()).empty());
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "a.wav"));
    return;
  }
  GTEST_SKIP() << "this machine has an audio input device";
}

}  // namespace
}  // namespace parlet

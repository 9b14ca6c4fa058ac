#include "Parlet/core/AudioRecorder.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <regex>

#include <gtest/gtest.h>

#include "Parlet/core/detail/Level.h"
#include "Parlet/core/tests/Fakes.h"
#include "testsupport/Fixtures.h"

namespace parlet {
namespace {

using std::chrono::milliseconds;

class AudioRecorderTest : public ::testing::Test {
 protected:
  AudioRecorder makeRecorder() {
    return AudioRecorder({testing::FakePlatformRecorder::factory(platform), [this] { return dir.path(); },
                          [this] { return now; }});
  }
  testsupport::TempDir dir;
  std::shared_ptr<testing::FakePlatformRecorder::Shared> platform =
      std::make_shared<testing::FakePlatformRecorder::Shared>();
  AudioRecorder::Duration now{milliseconds(5000)};
};

// What earlier runs may have left in the folder, and what of it goes: only regular files of ours
// with exactly a recording's name.
TEST_F(AudioRecorderTest, RemovesOnlyOurOwnStaleRecordings) {
  const std::string uuid = "0A1B2C3D-4E5F-6789-ABCD-EF0123456789";
  auto file = [&](const std::string& name) {
    std::ofstream(dir.path() / name) << "RIFF";
    return dir.path() / name;
  };
  file("parlet-" + uuid + ".wav");
  file("parlet-FFFFFFFF-0000-1111-2222-333333333333.wav");
  const std::vector<std::string> kept = {
      "parlet-0a1b2c3d-4e5f-6789-abcd-ef0123456789.wav",  // lower case: not a name we make
      "parlet-" + uuid + ".WAV",
      "parlet-" + uuid + ".wav.part",
      "xparlet-" + uuid + ".wav",
      "parlet-0A1B2C3D4E5F-6789-ABCD-EF0123456789-.wav",  // hyphens out of place
      "parlet-" + uuid.substr(1) + ".wav",
      "parlet.log",
      "notes.txt",
  };
  for (const auto& name : kept) file(name);
  testsupport::TempDir elsewhere;
  std::ofstream(elsewhere.path() / "precious.wav") << "precious";
  std::filesystem::create_symlink(elsewhere.path() / "precious.wav", dir.path() / ("parlet-1" + uuid.substr(1) + ".wav"));
  std::filesystem::create_directory(dir.path() / ("parlet-2" + uuid.substr(1) + ".wav"));
  std::vector<std::string> others;
  if (::geteuid() == 0) {
    const auto path = file("parlet-3" + uuid.substr(1) + ".wav");
    ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
    others.push_back(path.filename().string());
  }

  std::vector<std::string> lines;
  AudioRecorder recorder({testing::FakePlatformRecorder::factory(platform), [this] { return dir.path(); }, {}},
                         [&lines](const std::string& line) { lines.push_back(line); });
  EXPECT_EQ(recorder.removeStaleRecordings(), 2);
  EXPECT_EQ(lines, std::vector<std::string>{"recorder removed 2 stale recording(s)"});
  std::vector<std::string> left;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) left.push_back(entry.path().filename().string());
  std::vector<std::string> expected = kept;
  expected.push_back("parlet-1" + uuid.substr(1) + ".wav");
  expected.push_back("parlet-2" + uuid.substr(1) + ".wav");
  expected.insert(expected.end(), others.begin(), others.end());
  std::sort(left.begin(), left.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(left, expected);
  EXPECT_TRUE(std::filesystem::exists(elsewhere.path() / "precious.wav"));
  EXPECT_EQ(recorder.removeStaleRecordings(), 0);
  EXPECT_EQ(lines.size(), 1u);
}

TEST_F(AudioRecorderTest, StopWithoutStartGivesNoFile) {
  AudioRecorder recorder = makeRecorder();
  AudioRecorder::Result result = recorder.stop();
  EXPECT_FALSE(result.url);
  EXPECT_EQ(result.duration, 0);
}

TEST_F(AudioRecorderTest, RecordsANewPrivateWavFileAndTimesTheRecording) {
  AudioRecorder recorder = makeRecorder();
  recorder.start();
  ASSERT_NE(recorder.recorder(), nullptr);
  EXPECT_TRUE(recorder.recorder()->isRecording());
  EXPECT_EQ(platform->settings, (RecordingSettings{0x6C70636D, 16000, 1, 16, false, false}));

  now += milliseconds(1250);
  AudioRecorder::Result first = recorder.stop();
  ASSERT_TRUE(first.url);
  EXPECT_EQ(first.url->parent_path(), dir.path());
  EXPECT_TRUE(std::regex_match(first.url->filename().string(),
                               std::regex("parlet-[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\\.wav")));
  EXPECT_DOUBLE_EQ(first.duration, 1.25);
  EXPECT_EQ(recorder.recorder(), nullptr);
  EXPECT_EQ(platform->stops, 1);

  AudioRecorder::Result again = recorder.stop();
  EXPECT_EQ(again.url, first.url);
  EXPECT_EQ(again.duration, 0);

  recorder.start();
  AudioRecorder::Result second = recorder.stop();
  EXPECT_NE(second.url, first.url);
  EXPECT_TRUE(std::filesystem::exists(*first.url));  // left to the caller
}

TEST_F(AudioRecorderTest, ARecorderThatCannotBeMadeFailsTheStart) {
  platform->failCreation = true;
  AudioRecorder recorder = makeRecorder();
  EXPECT_THROW(recorder.start(), std::runtime_error);
  EXPECT_EQ(recorder.recorder(), nullptr);
  EXPECT_EQ(recorder.stop().duration, 0);
}

TEST_F(AudioRecorderTest, ARecorderThatRefusesToRecordFailsTheStartAndLeavesNoFile) {
  platform->refuseToRecord = true;
  AudioRecorder recorder = makeRecorder();
  EXPECT_THROW(recorder.start(), RecorderError);
  EXPECT_EQ(recorder.recorder(), nullptr);
  ASSERT_EQ(platform->files.size(), 1u);
  EXPECT_FALSE(std::filesystem::exists(platform->files[0]));
  EXPECT_EQ(recorder.stop().duration, 0);
}

TEST(RecorderLevelTest, AveragePowerIsRmsInDecibelsFullScale) {
  std::vector<float> sine(1600);
  for (std::size_t i = 0; i < sine.size(); ++i) sine[i] = static_cast<float>(std::sin(2 * M_PI * 440.0 * i / 16000.0));
  EXPECT_NEAR(detail::averagePowerDecibels(sine.data(), sine.size()), -3.0103, 0.01);
  std::vector<float> square(512, 1.0f);
  for (std::size_t i = 0; i < square.size(); i += 2) square[i] = -1.0f;
  EXPECT_NEAR(detail::averagePowerDecibels(square.data(), square.size()), 0.0, 1e-6);
  std::vector<float> quiet(512, 0.01f);
  EXPECT_NEAR(detail::averagePowerDecibels(quiet.data(), quiet.size()), -40.0, 1e-4);
  std::vector<float> silence(512, 0.0f);
  EXPECT_EQ(detail::averagePowerDecibels(silence.data(), silence.size()), -160.0f);
  EXPECT_EQ(detail::averagePowerDecibels(nullptr, 0), -160.0f);
}

TEST(RecorderLevelTest, BufferPowerCoversEveryChannelsFrames) {
  struct Case {
    const char* name;
    std::vector<std::vector<float>> channels;  // all of the buffer's capacity
    std::uint32_t frameLength;
    float decibels;
  };
  const std::vector<Case> cases = {
      {"mono square", {{1, -1, 1, -1}}, 4, 0.0f},
      // Mean square 1/2 over both channels: 10·log10(0.5).
      {"one loud channel of two", {{1, -1, 1, -1}, {0, 0, 0, 0}}, 4, -3.0103f},
      {"frames beyond the length are not counted", {{0.01f, 0.01f, 1, 1}}, 2, -40.0f},
      {"no frames", {{1, 1}}, 0, -160.0f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto format = platform::audio::AudioFormat::standard(16000, static_cast<std::uint32_t>(c.channels.size()));
    auto buffer = platform::audio::AudioPCMBuffer::make(*format, static_cast<std::uint32_t>(c.channels[0].size()));
    for (std::uint32_t ch = 0; ch < c.channels.size(); ++ch)
      std::copy(c.channels[ch].begin(), c.channels[ch].end(), buffer->floatChannelData(ch));
    buffer->setFrameLength(c.frameLength);
    EXPECT_NEAR(detail::averagePowerDecibels(*buffer), c.decibels, 1e-3);
  }
}

}  // namespace
}  // namespace parlet

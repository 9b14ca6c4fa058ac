#include "platform/Audio/AudioFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/Audio/AudioFileWriter.h"
#include "testsupport/Fixtures.h"

namespace platform::audio {
namespace {

class AudioFileTest : public ::testing::Test {
 protected:
  testsupport::TempDir dir;
  std::filesystem::path path(const char* name) { return dir.path() / name; }
};

TEST_F(AudioFileTest, ReadsStereoFramesAsSeparateChannels) {
  std::vector<float> left(1000), right(1000);
  for (int i = 0; i < 1000; ++i) {
    left[i] = i / 1000.0f;
    right[i] = -i / 2000.0f;
  }
  writeAudioFile(path("s.wav"), 44100, {left, right}, AudioFileType::wavFloat);

  AudioFile file(path("s.wav"));
  EXPECT_EQ(file.length(), 1000);
  EXPECT_EQ(file.fileFormat().sampleRate(), 44100);
  EXPECT_EQ(file.processingFormat().channelCount(), 2u);
  EXPECT_FALSE(file.processingFormat().isInterleaved());

  auto buffer = AudioPCMBuffer::make(file.processingFormat(), 600);
  file.setFramePosition(500);
  file.read(*buffer, 600);  // only 500 frames remain
  ASSERT_EQ(buffer->frameLength(), 500u);
  EXPECT_EQ(file.framePosition(), 1000);
  EXPECT_FLOAT_EQ(buffer->floatChannelData(0)[0], 0.5f);
  EXPECT_FLOAT_EQ(buffer->floatChannelData(1)[499], -999 / 2000.0f);

  file.read(*buffer, 600);
  EXPECT_EQ(buffer->frameLength(), 0u);
}

TEST_F(AudioFileTest, IntegerFilesReadAsNormalisedFloats) {
  writeAudioFile(path("t.flac"), 16000, {{0.5f, -0.25f, 1.0f}}, AudioFileType::flac16);
  AudioFile file(path("t.flac"));
  auto buffer = AudioPCMBuffer::make(file.processingFormat(), 3);
  file.read(*buffer, 3);
  ASSERT_EQ(buffer->frameLength(), 3u);
  EXPECT_NEAR(buffer->floatChannelData(0)[0], 0.5f, 1e-4);
  EXPECT_NEAR(buffer->floatChannelData(0)[1], -0.25f, 1e-4);
  EXPECT_NEAR(buffer->floatChannelData(0)[2], 1.0f, 1e-4);
}

TEST_F(AudioFileTest, RefusesUnreadableAndTruncatedFiles) {
  writeAudioFile(path("full.wav"), 16000, {std::vector<float>(16000, 0.1f)}, AudioFileType::wav16);
  const auto size = std::filesystem::file_size(path("full.wav"));
  std::filesystem::copy_file(path("full.wav"), path("cut-data.wav"));
  std::filesystem::resize_file(path("cut-data.wav"), size / 2);
  std::filesystem::copy_file(path("full.wav"), path("cut-header.wav"));
  std::filesystem::resize_file(path("cut-header.wav"), 30);
  std::ofstream(path("text.wav")) << "this is not audio";
  std::ofstream(path("empty.wav"));

  for (const char* name : {"missing.wav", "cut-data.wav", "cut-header.wav", "text.wav", "empty.wav"}) {
    SCOPED_TRACE(name);
    try {
      AudioFile file(path(name));
      FAIL() << "opened";
    } catch (const AudioFileError& e) {
      EXPECT_NE(std::string(e.what()).find(name), std::string::npos) << e.what();
    }
  }
}

TEST_F(AudioFileTest, ReadRefusesBufferOfAnotherFormat) {
  writeAudioFile(path("m.wav"), 16000, {std::vector<float>(10)}, AudioFileType::wav16);
  AudioFile file(path("m.wav"));
  auto stereo = AudioPCMBuffer::make(*AudioFormat::standard(16000, 2), 10);
  EXPECT_THROW(file.read(*stereo, 10), AudioFileError);
}

TEST(AudioPCMBufferTest, CapacityLimitsAndChannels) {
  auto format = *AudioFormat::standard(16000, 2);
  EXPECT_FALSE(AudioPCMBuffer::make(format, 0));
  EXPECT_FALSE(AudioFormat::standard(0, 1));
  EXPECT_FALSE(AudioFormat::standard(16000, 0));
  auto buffer = AudioPCMBuffer::make(format, 4);
  EXPECT_THROW(buffer->setFrameLength(5), std::out_of_range);
  EXPECT_NE(buffer->floatChannelData(1), nullptr);
  EXPECT_EQ(buffer->floatChannelData(2), nullptr);
}

}  // namespace
}  // namespace platform::audio

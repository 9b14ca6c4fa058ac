#include "platform/Audio/AudioFile.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "platform/Audio/AudioFileWriter.h"
#include "platform/Audio/tests/EncodedFiles.h"
#include "platform/Audio/tests/Signals.h"
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

// Lengths that the header only estimates or leaves open are counted from the data: every frame is
// read, none is invented, and the read ends cleanly where the data ends.
TEST_F(AudioFileTest, LengthsTheHeaderDoesNotGiveExactlyAreCountedFromTheData) {
  const std::size_t frames = 3 * 44100;
  const std::vector<float> tone = audiotest::sine(440, 44100, frames);
  audiotest::writeMp3(path("cbr.mp3"), 44100, tone, false);
  audiotest::writeMp3(path("vbr.mp3"), 44100, tone, true);
  std::filesystem::copy_file(path("cbr.mp3"), path("cbr-no-xing.mp3"));
  std::filesystem::copy_file(path("vbr.mp3"), path("vbr-no-xing.mp3"));
  audiotest::removeXingFrame(path("cbr-no-xing.mp3"));
  audiotest::removeXingFrame(path("vbr-no-xing.mp3"));
  writeAudioFile(path("open.flac"), 44100, {tone}, AudioFileType::flac16);
  audiotest::clearFlacLength(path("open.flac"));

  struct Case {
    const char* name;
    std::int64_t minFrames, maxFrames;  // an MP3 adds up to two frames of encoder delay and padding
  };
  const std::int64_t n = frames;
  const Case cases[] = {{"cbr.mp3", n, n + 2304},         {"vbr.mp3", n, n + 2304},
                        {"cbr-no-xing.mp3", n, n + 2304}, {"vbr-no-xing.mp3", n, n + 2304},
                        {"open.flac", n, n}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AudioFile file(path(c.name));
    EXPECT_GE(file.length(), c.minFrames);
    EXPECT_LE(file.length(), c.maxFrames);
    auto buffer = AudioPCMBuffer::make(file.processingFormat(), static_cast<std::uint32_t>(frames + 10000));
    ASSERT_NO_THROW(file.read(*buffer, buffer->frameCapacity()));
    EXPECT_EQ(buffer->frameLength(), file.length());
    // The tone is all there: a 0.5 sine has an RMS of 0.354 (lossy coding takes a little).
    EXPECT_NEAR(audiotest::rms(buffer->floatChannelData(0) + 4410, frames - 8820), 0.5 / std::sqrt(2.0), 0.03);
  }
}

// Each refusal names the file and says what is wrong.
TEST_F(AudioFileTest, RefusalsNameTheFileAndTheReason) {
  std::filesystem::create_directory(path("folder.wav"));
  ASSERT_EQ(::mkfifo(path("fifo.wav").c_str(), 0600), 0);
  audiotest::writeWavHeaderAndSilence(path("rate0.wav"), 1, 0, 2000);
  audiotest::writeWavHeaderAndSilence(path("rate1.wav"), 1, 1, 40000);
  audiotest::writeWavHeaderAndSilence(path("channels1024.wav"), 1024, 16000, 8192);
  audiotest::writeWavHeaderAndSilence(path("channels65.wav"), 65, 16000, 130 * 100);
  std::ofstream(path("text.wav")) << "this is not audio, just some words in a file";
  struct Case {
    const char* name;
    const char* reason;
  };
  const Case cases[] = {
      {"missing.wav", "No such file"},
      {"folder.wav", "folder"},
      {"fifo.wav", "not a regular file"},
      {"rate0.wav", "sample rate of 0 Hz"},
      {"rate1.wav", "sample rate of 1 Hz"},
      {"channels1024.wav", "1024 channels"},
      {"channels65.wav", "65 channels"},
      {"text.wav", "not an audio file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      AudioFile file(path(c.name));
      FAIL() << "opened";
    } catch (const AudioFileError& e) {
      const std::string message = e.what();
      EXPECT_NE(message.find(path(c.name).string()), std::string::npos) << message;
      EXPECT_NE(message.find(c.reason), std::string::npos) << message;
    }
  }
  // The edges of the supported range open.
  audiotest::writeWavHeaderAndSilence(path("channels64.wav"), 64, 1000, 128 * 10);
  AudioFile edge(path("channels64.wav"));
  EXPECT_EQ(edge.length(), 10);
  EXPECT_EQ(edge.fileFormat().channelCount(), 64u);
}

// A file may hold at most 24 hours of audio. The data is a sparse stretch of zeros, so the test
// costs no disk space.
TEST_F(AudioFileTest, AudioLongerThanTheBoundIsRefused) {
  const std::uint32_t rate = 1000;
  for (const double hours : {23.9, 24.1}) {
    SCOPED_TRACE(hours);
    const auto dataBytes = static_cast<std::uint32_t>(hours * 3600 * rate) * 2;
    audiotest::writeWavHeaderAndSilence(path("long.wav"), 1, rate, dataBytes);
    try {
      AudioFile file(path("long.wav"));
      EXPECT_LT(hours, 24.0);
      EXPECT_EQ(file.length(), dataBytes / 2);
    } catch (const AudioFileError& e) {
      EXPECT_GT(hours, 24.0);
      EXPECT_NE(std::string(e.what()).find("longer than 24 hours"), std::string::npos) << e.what();
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

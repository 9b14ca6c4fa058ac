#include "platform/Audio/AudioFileWriter.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <fstream>
#include <sstream>

#include "platform/Audio/tests/Signals.h"
#include "platform/Audio/tests/WavHeader.h"
#include "testsupport/Fixtures.h"

namespace platform::audio {
namespace {

using audiotest::bufferOf;

std::vector<std::vector<float>> readAll(const std::filesystem::path& path) {
  AudioFile file(path);
  auto buffer = *AudioPCMBuffer::make(file.processingFormat(), static_cast<std::uint32_t>(file.length()));
  file.read(buffer, buffer.frameCapacity());
  std::vector<std::vector<float>> channels;
  for (std::uint32_t c = 0; c < buffer.format().channelCount(); ++c)
    channels.emplace_back(buffer.floatChannelData(c), buffer.floatChannelData(c) + buffer.frameLength());
  return channels;
}

std::string contents(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

struct StreamCase {
  const char* name;
  AudioFileType type;
  std::uint32_t channels;
  std::uint16_t formatTag;
  std::uint16_t bits;
  double tolerance;  // one step of the stored sample type
  friend void PrintTo(const StreamCase& c, std::ostream* os) { *os << c.name; }
};

class AudioFileWriterStreamTest : public ::testing::TestWithParam<StreamCase> {};

TEST_P(AudioFileWriterStreamTest, BlocksWrittenInTurnMakeOneFileOfTheirFrames) {
  const StreamCase& c = GetParam();
  testsupport::TempDir dir;
  const auto path = dir.path() / "stream.wav";
  std::vector<std::vector<float>> input;
  for (std::uint32_t ch = 0; ch < c.channels; ++ch) input.push_back(audiotest::sine(440.0 * (ch + 1), 16000, 16000, 0.5));
  {
    AudioFileWriter writer(path, 16000, c.channels, c.type);
    EXPECT_EQ(writer.processingFormat(), *AudioFormat::standard(16000, c.channels));
    for (std::size_t at = 0; at < 16000; at += 512) {
      std::vector<std::vector<float>> block;
      for (const auto& channel : input)
        block.emplace_back(channel.begin() + at, channel.begin() + std::min<std::size_t>(at + 512, 16000));
      writer.write(bufferOf(block, 16000));
    }
    EXPECT_EQ(writer.framesWritten(), 16000);
    writer.close();
    writer.close();
  }
  audiotest::WavHeader header = audiotest::readWavHeader(path);
  EXPECT_EQ(header.formatTag, c.formatTag);
  EXPECT_EQ(header.channels, c.channels);
  EXPECT_EQ(header.sampleRate, 16000u);
  EXPECT_EQ(header.bitsPerSample, c.bits);
  EXPECT_EQ(header.frames(), 16000u);

  auto output = readAll(path);
  ASSERT_EQ(output.size(), c.channels);
  for (std::uint32_t ch = 0; ch < c.channels; ++ch) {
    ASSERT_EQ(output[ch].size(), input[ch].size());
    for (std::size_t i = 0; i < input[ch].size(); ++i) ASSERT_NEAR(output[ch][i], input[ch][i], c.tolerance) << ch << " " << i;
  }
  EXPECT_EQ(std::filesystem::status(path).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

INSTANTIATE_TEST_SUITE_P(
    Types, AudioFileWriterStreamTest,
    ::testing::Values(StreamCase{"MonoSixteenBit", AudioFileType::wav16, 1, 1, 16, 1.0 / 32768},
                      StreamCase{"StereoSixteenBit", AudioFileType::wav16, 2, 1, 16, 1.0 / 32768},
                      StreamCase{"MonoFloat", AudioFileType::wavFloat, 1, 3, 32, 0.0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AudioFileWriterTest, SixteenBitSamplesClipAtFullScale) {
  testsupport::TempDir dir;
  const auto path = dir.path() / "loud.wav";
  {
    AudioFileWriter writer(path, 16000, 1, AudioFileType::wav16);
    writer.write(bufferOf({{1.5f, -1.5f, 0.25f}}, 16000));
  }  // the destructor finishes the file
  auto output = readAll(path);
  ASSERT_EQ(output.size(), 1u);
  ASSERT_EQ(output[0].size(), 3u);
  EXPECT_NEAR(output[0][0], 1.0f, 1.0 / 16384);
  EXPECT_NEAR(output[0][1], -1.0f, 1.0 / 16384);
  EXPECT_NEAR(output[0][2], 0.25f, 1.0 / 32768);
}

TEST(AudioFileWriterTest, RefusesALinkAtTheNameAndLeavesItsTargetAlone) {
  testsupport::TempDir dir;
  const auto target = dir.path() / "precious.txt";
  std::ofstream(target) << "precious";
  const auto link = dir.path() / "take.wav";
  std::filesystem::create_symlink(target, link);
  EXPECT_THROW(AudioFileWriter(link, 16000, 1, AudioFileType::wav16), AudioFileError);
  EXPECT_EQ(contents(target), "precious");
  EXPECT_TRUE(std::filesystem::is_symlink(link));
}

TEST(AudioFileWriterTest, UnusableFormatsThrowAndLeaveNoFile) {
  struct Case {
    const char* name;
    double rate;
    std::uint32_t channels;
  };
  for (const Case& c : {Case{"zero rate", 0, 1}, Case{"nan rate", std::nan(""), 1}, Case{"huge rate", 2e6, 1},
                        Case{"no channels", 16000, 0}}) {
    SCOPED_TRACE(c.name);
    testsupport::TempDir dir;
    EXPECT_THROW(AudioFileWriter(dir.path() / "x.wav", c.rate, c.channels, AudioFileType::wav16), AudioFileError);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "x.wav"));
  }
}

TEST(AudioFileWriterTest, RefusesBuffersOfAnotherFormatAndWritesAfterClose) {
  testsupport::TempDir dir;
  AudioFileWriter writer(dir.path() / "x.wav", 16000, 1, AudioFileType::wav16);
  EXPECT_THROW(writer.write(bufferOf({{0.1f}}, 48000)), AudioFileError);
  EXPECT_THROW(writer.write(bufferOf({{0.1f}, {0.2f}}, 16000)), AudioFileError);
  writer.write(bufferOf({{0.1f}}, 16000));
  writer.close();
  EXPECT_THROW(writer.write(bufferOf({{0.1f}}, 16000)), AudioFileError);
  EXPECT_EQ(writer.framesWritten(), 1);
  EXPECT_EQ(audiotest::readWavHeader(dir.path() / "x.wav").frames(), 1u);
}

}  // namespace
}  // namespace platform::audio

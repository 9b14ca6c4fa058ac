#include "platform/Audio/AudioConverter.h"

#include <gtest/gtest.h>

#include <cmath>

#include "platform/Audio/tests/Signals.h"

namespace platform::audio {
namespace {

using audiotest::bufferOf;

// Hands each piece over once, then reports the end of the stream.
std::vector<float> convertPieces(AudioConverter& converter, const std::vector<AudioPCMBuffer>& pieces,
                                 std::uint32_t capacity, AudioConverter::OutputStatus* last = nullptr) {
  std::vector<float> out;
  std::size_t next = 0;
  auto input = [&](std::uint32_t, AudioConverter::InputStatus& status) -> const AudioPCMBuffer* {
    if (next == pieces.size()) {
      status = AudioConverter::InputStatus::endOfStream;
      return nullptr;
    }
    status = AudioConverter::InputStatus::haveData;
    return &pieces[next++];
  };
  auto output = *AudioPCMBuffer::make(converter.outputFormat(), capacity);
  for (;;) {
    output.setFrameLength(0);
    std::string error;
    auto status = converter.convert(output, &error, input);
    EXPECT_NE(status, AudioConverter::OutputStatus::error) << error;
    out.insert(out.end(), output.floatChannelData(0), output.floatChannelData(0) + output.frameLength());
    if (status != AudioConverter::OutputStatus::haveData) {
      if (last) *last = status;
      return out;
    }
  }
}

TEST(AudioConverterTest, ResamplesToneKeepingPitchLevelAndDuration) {
  const std::size_t n = 44100;  // 1 s
  auto tone = audiotest::sine(1000, 44100, n, 0.5);
  auto converter = *AudioConverter::make(*AudioFormat::standard(44100, 1), *AudioFormat::standard(16000, 1));
  AudioConverter::OutputStatus last{};
  auto out = convertPieces(converter, {bufferOf({tone}, 44100)}, 4096, &last);

  EXPECT_EQ(last, AudioConverter::OutputStatus::endOfStream);
  EXPECT_NEAR(static_cast<double>(out.size()), 16000.0, 1.0);
  // Away from the edges the tone is intact: 1 kHz at amplitude 0.5, nothing at 1.5 kHz.
  const float* mid = out.data() + 1000;
  EXPECT_NEAR(audiotest::toneMagnitude(mid, 14000, 1000, 16000), 0.5, 0.005);
  EXPECT_LT(audiotest::toneMagnitude(mid, 14000, 1500, 16000), 0.002);
  EXPECT_NEAR(audiotest::rms(mid, 14000), 0.5 / std::sqrt(2.0), 0.005);
}

TEST(AudioConverterTest, PiecesOfOneStreamJoinWithoutSeams) {
  auto tone = audiotest::sine(440, 48000, 48000, 0.3);
  auto from = *AudioFormat::standard(48000, 1), to = *AudioFormat::standard(16000, 1);
  std::vector<AudioPCMBuffer> pieces;
  for (std::size_t start : {0u, 7000u, 20011u})
    pieces.push_back(bufferOf({std::vector<float>(tone.begin() + start,
                                                  tone.begin() + (start == 20011 ? 48000 : start == 0 ? 7000 : 20011))},
                              48000));
  auto whole = AudioConverter::make(from, to);
  auto split = AudioConverter::make(from, to);
  auto a = convertPieces(*whole, {bufferOf({tone}, 48000)}, 1000);
  auto b = convertPieces(*split, pieces, 333);
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t i = 0; i < a.size(); ++i) ASSERT_NEAR(a[i], b[i], 1e-5) << i;
}

TEST(AudioConverterTest, ResetStartsAnIndependentStream) {
  auto tone = audiotest::sine(300, 44100, 4410, 0.4);
  auto converter = *AudioConverter::make(*AudioFormat::standard(44100, 1), *AudioFormat::standard(16000, 1));
  auto first = convertPieces(converter, {bufferOf({tone}, 44100)}, 8000);
  converter.reset();
  auto second = convertPieces(converter, {bufferOf({tone}, 44100)}, 8000);
  EXPECT_EQ(first, second);
}

TEST(AudioConverterTest, MixesChannelsDownToOneAtTheSameRate) {
  auto converter = *AudioConverter::make(*AudioFormat::standard(16000, 2), *AudioFormat::standard(16000, 1));
  auto out = convertPieces(converter, {bufferOf({{1.0f, 0.5f, 0.0f}, {0.0f, 0.5f, -1.0f}}, 16000)}, 10);
  EXPECT_EQ(out, (std::vector<float>{0.5f, 0.5f, -0.5f}));
}

TEST(AudioConverterTest, ReportsDryInputAndRefusesMismatchedBuffers) {
  auto converter = *AudioConverter::make(*AudioFormat::standard(44100, 1), *AudioFormat::standard(16000, 1));
  auto output = *AudioPCMBuffer::make(converter.outputFormat(), 100);
  auto dry = [](std::uint32_t, AudioConverter::InputStatus& status) -> const AudioPCMBuffer* {
    status = AudioConverter::InputStatus::noDataNow;
    return nullptr;
  };
  EXPECT_EQ(converter.convert(output, nullptr, dry), AudioConverter::OutputStatus::inputRanDry);

  auto wrong = bufferOf({{0.1f, 0.2f}}, 22050);
  auto once = [&](std::uint32_t, AudioConverter::InputStatus& status) -> const AudioPCMBuffer* {
    status = AudioConverter::InputStatus::haveData;
    return &wrong;
  };
  std::string error;
  EXPECT_EQ(converter.convert(output, &error, once), AudioConverter::OutputStatus::error);
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(AudioConverter::make(*AudioFormat::standard(16000, 3), *AudioFormat::standard(16000, 2)));
}

}  // namespace
}  // namespace platform::audio

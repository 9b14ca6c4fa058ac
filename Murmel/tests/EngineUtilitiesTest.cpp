#include "Murmel/common/EngineUtilities.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "KestrumCore/tests/LogCapture.h"
#include "Murmel/common/WhisperError.h"

namespace murmel {
namespace {

using platform::audio::AudioFormat;
using platform::audio::AudioPCMBuffer;

TEST(EngineUtilitiesTest, PrepareSeekClips) {
  struct Case {
    std::vector<float> clipTimestamps;
    std::vector<SeekClip> expected;
  };
  const float inf = std::numeric_limits<float>::infinity();
  const Case cases[] = {
      {{}, {{0, 480000}}},
      {{5.0f}, {{80000, 480000}}},
      {{1.0f, 2.0f, 3.0f}, {{16000, 32000}, {48000, 480000}}},
      {{0.5f, 0.25f}, {{8000, 4000}}},                   // kept as given
      {{0.00003125f}, {{1, 480000}}},                     // 0.5 samples round away from zero
      {{NAN, 2.0f, inf}, {{32000, 480000}}},              // entries that are no time are skipped
      {{1e30f}, {{0, 480000}}},
  };
  for (const auto& test : cases) {
    DecodingOptions options;
    options.clipTimestamps = test.clipTimestamps;
    EXPECT_EQ(prepareSeekClips(options, 480000), test.expected);
  }
}

TEST(EngineUtilitiesTest, ToOptionalArraysDropsErrors) {
  auto r1 = std::make_shared<TranscriptionResult>("one");
  std::vector<TranscriptionResultsOrError> results{TranscriptionResults{r1},
                                                  std::make_exception_ptr(WhisperError::decodingFailed("x")),
                                                  TranscriptionResults{}};
  auto optional = toOptionalArrays(results);
  ASSERT_EQ(optional.size(), 3u);
  EXPECT_EQ(optional[0], TranscriptionResults{r1});
  EXPECT_FALSE(optional[1]);
  EXPECT_EQ(optional[2], TranscriptionResults{});
}

TEST(EngineUtilitiesTest, AppendContents) {
  testsupport::LogCapture log;

  const auto format = *AudioFormat::standard(16000, 1);
  auto source = *AudioPCMBuffer::make(format, 2000);
  for (std::uint32_t i = 0; i < 2000; ++i) source.floatChannelData(0)[i] = static_cast<float>(i);
  source.setFrameLength(500);
  auto receiver = *AudioPCMBuffer::make(format, 400);
  receiver.setFrameLength(100);

  EXPECT_FALSE(appendContents(receiver, source, 0, 1000));
  EXPECT_EQ(log.lines(), std::vector<std::string>{"Insufficient audio in buffer"});
  EXPECT_EQ(receiver.frameLength(), 100u);

  source.setFrameLength(2000);
  log.clear();
  EXPECT_TRUE(appendContents(receiver, source, 10, 1000));  // room for 300 frames only
  EXPECT_EQ(log.lines(), std::vector<std::string>{"Insufficient space in buffer, reducing frame count to fit"});
  EXPECT_EQ(receiver.frameLength(), 400u);
  EXPECT_EQ(receiver.floatChannelData(0)[100], 10.0f);
  EXPECT_EQ(receiver.floatChannelData(0)[399], 309.0f);

  auto other = *AudioPCMBuffer::make(*AudioFormat::standard(44100, 1), 10);
  log.clear();
  EXPECT_FALSE(appendContents(other, source, 0, 1));
  EXPECT_EQ(log.lines(), std::vector<std::string>{"Format mismatch"});
  log.clear();
  EXPECT_FALSE(appendContents(receiver, source, -1, 1));
  EXPECT_EQ(log.lines(), std::vector<std::string>{"Insufficient audio in buffer"});
  EXPECT_EQ(receiver.frameLength(), 400u);
}

TEST(EngineUtilitiesTest, Normalized) {
  const std::pair<const char*, const char*> cases[] = {
      {"Hello,  World-Wide!", "hello world wide"},
      {"  A--b  ", "a b"},
      {"\n\tÉTÉ — «Très» bien?\n", "été très bien"},
      {"", ""},
      {"ok\xff", "ok\xef\xbf\xbd"},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(normalized(text), expected) << text;
}

TEST(EngineUtilitiesTest, TextAndListHelpers) {
  EXPECT_EQ(trimmingSpecialTokenCharacters("<|en|>"), "en");
  EXPECT_EQ(trimmingSpecialTokenCharacters("hello"), "hello");
  EXPECT_EQ(trimmingSpecialTokenCharacters("a<b"), "a<b");
  EXPECT_EQ(trimmingSpecialTokenCharacters("<||>"), "");
  TranscriptionSegment a, b, c;
  a.start = 1.0f;
  b.start = 2.0f;
  c.start = 2.0f;
  c.text = "other fields differ";
  EXPECT_TRUE(contains({a, b}, c));
  EXPECT_FALSE(contains({a}, b));
}

}  // namespace
}  // namespace murmel

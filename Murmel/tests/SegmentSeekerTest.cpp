#include "Murmel/transcription/SegmentSeeker.h"

#include <gtest/gtest.h>

#include "Murmel/tests/SeekerFixtures.h"

namespace murmel {
namespace {

using testing::kWordEnd;
using testing::kWordStart;
using testing::kWordTime;
using Tokens = std::vector<std::int64_t>;

constexpr std::int64_t T = kWordTime;
std::int64_t ts(int k) { return T + k; }  // k × 0.02 s

DecodingResult decoded(Tokens tokens) {
  DecodingResult r;
  r.tokens = std::move(tokens);
  for (auto t : r.tokens) r.tokenLogProbs.push_back({{t, -0.1f}});
  r.avgLogProb = -0.2f;
  r.noSpeechProb = 0.1f;
  r.temperature = 0.4f;
  r.compressionRatio = 1.5f;
  return r;
}

struct Seg {
  float start, end;
  Tokens tokens;
};

TEST(SegmentSeekerTest, CutsAtTimestampPairsAndMovesTheSeek) {
  // Window at 1.0 s (16,000 samples), 480,000 samples long.
  struct Case {
    const char* name;
    Tokens tokens;
    std::vector<Seg> segments;
    std::int64_t seek;
  };
  const Case cases[] = {
      {"no timestamps", {kWordStart, 0, 2, kWordEnd}, {{1.0f, 31.0f, {kWordStart, 0, 2, kWordEnd}}}, 496000},
      {"only the bare first timestamp", {kWordStart, T, 0, 2, kWordEnd}, {{1.0f, 31.0f, {kWordStart, T, 0, 2, kWordEnd}}}, 496000},
      {"a single later timestamp", {kWordStart, T, 0, ts(50), kWordEnd}, {{1.0f, 2.0f, {kWordStart, T, 0, ts(50), kWordEnd}}}, 496000},
      {"two tokens", {0, ts(10)}, {{1.0f, 1.2f, {0, ts(10)}}}, 496000},
      {"two segments, single timestamp ending",
       {kWordStart, T, 0, ts(50), ts(50), 2, ts(75), kWordEnd},
       {{1.0f, 2.0f, {kWordStart, T, 0, ts(50)}}, {2.0f, 2.5f, {ts(50), 2, ts(75)}}},
       16000 + 24000},
      {"ending in a pair drops the text after it",
       {kWordStart, T, 0, ts(50), ts(50), 2, ts(80), ts(80), 7},
       {{1.0f, 2.0f, {kWordStart, T, 0, ts(50)}}, {2.0f, 2.6f, {ts(50), 2, ts(80)}}},
       16000 + 25599},  // 0.02 as a float lies below 0.02: 80 steps make 25,599.998 samples
      {"ending in three text tokens",
       {kWordStart, T, 0, ts(50), ts(50), 2, 7, 8},
       {{1.0f, 2.0f, {kWordStart, T, 0, ts(50)}}, {2.0f, 2.0f, {ts(50), 2, 7, 8}}},
       496000},
      // [SOT, <|0.00|>, <|0.00|>, EOT] would leave the seek at 1.0 s and decode the window for ever.
      {"timestamps that do not advance", {kWordStart, T, T, kWordEnd}, {{1.0f, 1.0f, {kWordStart, T}}}, 496000},
  };
  const auto tokenizer = testing::seekerTokenizer();
  SegmentSeeker seeker;
  for (const auto& c : cases) {
    const auto result = decoded(c.tokens);
    const auto [seek, segments] =
        seeker.findSeekPointAndSegments(result, DecodingOptions{}, 5, 16000, 480000, 16000, T, kWordEnd, *tokenizer);
    SCOPED_TRACE(c.name);
    EXPECT_EQ(seek, c.seek);
    ASSERT_TRUE(segments.has_value());
    ASSERT_EQ(segments->size(), c.segments.size());
    for (std::size_t i = 0; i < c.segments.size(); ++i) {
      const auto& s = (*segments)[i];
      EXPECT_EQ(s.id, 5 + static_cast<std::int64_t>(i));
      EXPECT_EQ(s.seek, 16000);
      EXPECT_FLOAT_EQ(s.start, c.segments[i].start);
      EXPECT_FLOAT_EQ(s.end, c.segments[i].end);
      EXPECT_EQ(s.tokens, c.segments[i].tokens);
      EXPECT_EQ(s.tokenLogProbs.size(), s.tokens.size());
      EXPECT_EQ(s.text, tokenizer->decode(s.tokens));
      EXPECT_EQ(s.temperature, 0.4f);
      EXPECT_EQ(s.avgLogprob, -0.2f);
      EXPECT_EQ(s.compressionRatio, 1.5f);
      EXPECT_EQ(s.noSpeechProb, 0.1f);
      EXPECT_FALSE(s.words.has_value());
    }
  }
}

TEST(SegmentSeekerTest, SkipSpecialTokensLeavesOnlyTextInTheSegmentText) {
  const auto tokenizer = testing::seekerTokenizer();
  DecodingOptions options;
  options.skipSpecialTokens = true;
  const auto [seek, segments] = SegmentSeeker().findSeekPointAndSegments(
      decoded({kWordStart, T, 0, 1, ts(50), ts(50), 2, ts(75), kWordEnd}), options, 0, 0, 480000, 16000, T, kWordEnd, *tokenizer);
  ASSERT_EQ(segments->size(), 2u);
  EXPECT_EQ((*segments)[0].text, " Hello,");
  EXPECT_EQ((*segments)[1].text, " world");
  EXPECT_EQ(seek, 24000);
}

TEST(SegmentSeekerTest, SilentWindowIsSkippedUnlessLikelyEnough) {
  struct Case {
    std::optional<float> noSpeechThreshold, logProbThreshold;
    float noSpeechProb, avgLogProb;
    bool skipped;
  };
  const Case cases[] = {
      {0.6f, -1.0f, 0.9f, -2.0f, true},
      {0.6f, -1.0f, 0.9f, -1.0f, true},   // equal to the threshold: not above it
      {0.6f, -1.0f, 0.9f, -0.5f, false},  // likely enough text overrides the verdict
      {0.6f, std::nullopt, 0.9f, -0.5f, true},
      {0.6f, -1.0f, 0.6f, -2.0f, false},  // not above the no-speech threshold
      {std::nullopt, -1.0f, 0.99f, -5.0f, false},
  };
  const auto tokenizer = testing::seekerTokenizer();
  for (const auto& c : cases) {
    DecodingOptions options;
    options.noSpeechThreshold = c.noSpeechThreshold;
    options.logProbThreshold = c.logProbThreshold;
    auto result = decoded({kWordStart, T, 0, ts(50), ts(50), kWordEnd});
    result.noSpeechProb = c.noSpeechProb;
    result.avgLogProb = c.avgLogProb;
    const auto [seek, segments] =
        SegmentSeeker().findSeekPointAndSegments(result, options, 0, 32000, 160000, 16000, T, kWordEnd, *tokenizer);
    EXPECT_EQ(!segments.has_value(), c.skipped) << c.noSpeechProb << " " << c.avgLogProb;
    if (c.skipped) {
      EXPECT_EQ(seek, 192000);
    }
  }
}

}  // namespace
}  // namespace murmel

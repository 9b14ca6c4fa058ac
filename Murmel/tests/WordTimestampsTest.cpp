#include <gtest/gtest.h>

#include <cmath>

#include "Murmel/common/WhisperError.h"
#include "Murmel/data/Constants.h"
#include "Murmel/tests/SeekerFixtures.h"
#include "Murmel/transcription/SegmentSeeker.h"

namespace murmel {
namespace {

using platform::ml::MLMultiArray;
using platform::ml::MLMultiArrayDataType;
using testing::kWordStart;
using testing::kWordTime;
using Tokens = std::vector<std::int64_t>;

const std::string kPrepend = "\"'\u201c\u00a1\u00bf([{-";
const std::string kAppend = "\"'.\u3002,\uff0c!\uff01?\uff1f:\uff1a\u201d)]}\u3001";

std::shared_ptr<MLMultiArray> matrix(const std::vector<std::vector<double>>& rows) {
  auto m = MLMultiArray::make({static_cast<std::int64_t>(rows.size()), static_cast<std::int64_t>(rows[0].size())},
                              MLMultiArrayDataType::float16);
  std::int64_t k = 0;
  for (const auto& row : rows)
    for (double v : row) m->setValue(k++, v);
  return m;
}

WordTiming word(std::string text, float start, float end, Tokens tokens = {}) {
  return {std::move(text), std::move(tokens), start, end, 0.5f};
}

std::vector<std::string> texts(const std::vector<WordTiming>& words) {
  std::vector<std::string> out;
  for (const auto& w : words) out.push_back(w.word);
  return out;
}

TEST(WordTimestampsTest, DynamicTimeWarpingFollowsTheHandWorkedPath) {
  // Costs worked by hand (each cell: the smallest of the three neighbours minus the weight; ties
  // move along the time axis):
  //   row 1: −1 −1 −1 −1    row 2: −1 −2 −3 −3    row 3: −1 −2 −3 −4
  const auto path = SegmentSeeker::dynamicTimeWarping(*matrix({{1, 0, 0, 0}, {0, 1, 1, 0}, {0, 0, 0, 1}}));
  EXPECT_EQ(path.textIndices, (Tokens{0, 1, 1, 1, 2, 2}));
  EXPECT_EQ(path.timeIndices, (Tokens{0, 0, 1, 2, 2, 3}));

  const auto single = SegmentSeeker::dynamicTimeWarping(*matrix({{0.5}}));
  EXPECT_EQ(single.textIndices, (Tokens{0}));
  EXPECT_EQ(single.timeIndices, (Tokens{0}));

  const auto flat = MLMultiArray::make({4}, MLMultiArrayDataType::float16);
  try {
    SegmentSeeker::dynamicTimeWarping(*flat);
    FAIL() << "a one-dimensional matrix was accepted";
  } catch (const WhisperError& e) {
    EXPECT_EQ(e, WhisperError::segmentingFailed("Invalid alignment matrix shape"));
  }
}

TEST(WordTimestampsTest, PunctuationJoinsItsWordAndChainsKeepEveryPart) {
  struct Case {
    const char* name;
    std::vector<WordTiming> input;
    std::vector<std::string> words;
    std::vector<float> starts;
  };
  const Case cases[] = {
      {"trailing comma keeps the word's times", {word(" Hello", 1, 2, {0}), word(",", 2, 3, {1})}, {" Hello,"}, {1}},
      {"two trailing marks in a row", {word(" Hello", 1, 2), word(",", 2, 3), word("\"", 3, 4), word(" next", 4, 5)},
       {" Hello,\"", " next"}, {1, 4}},
      {"leading mark with a blank takes the word's times", {word(" a", 0, 1), word(" (", 1, 2), word(" Hi", 2, 3)},
       {" a", " ( Hi"}, {0, 2}},
      {"two leading marks in a row", {word(" a", 0, 1), word(" (", 1, 2), word(" \"", 2, 3), word(" Hi", 3, 4)},
       {" a", " ( \" Hi"}, {0, 3}},
      {"first leading mark without a blank stays with the next word", {word("\"", 0, 1), word("Hi", 1, 2), word(" there", 2, 3)},
       {"\"Hi", " there"}, {1, 2}},
      {"a lone leading mark is kept", {word("(", 0, 1)}, {"("}, {0}},
      {"no trailing merge after a word ending in a blank", {word(" Hi ", 0, 1), word(",", 1, 2)}, {" Hi ", ","}, {0, 1}},
      {"a leading mark without a blank inside the text stays", {word(" a", 0, 1), word("(", 1, 2), word("b", 2, 3)},
       {" a", "(", "b"}, {0, 1, 2}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto merged = SegmentSeeker::mergePunctuations(c.input, kPrepend, kAppend);
    EXPECT_EQ(texts(merged), c.words);
    for (std::size_t i = 0; i < std::min(merged.size(), c.starts.size()); ++i) EXPECT_EQ(merged[i].start, c.starts[i]);
  }
  const auto merged = SegmentSeeker::mergePunctuations({word(" Hello", 1, 2, {0}), word(",", 2, 3, {1}), word("\"", 3, 4, {4})},
                                                       kPrepend, kAppend);
  ASSERT_EQ(merged.size(), 1u);
  EXPECT_EQ(merged[0].tokens, (Tokens{0, 1, 4}));
  EXPECT_EQ(merged[0].end, 2);
  EXPECT_TRUE(SegmentSeeker::mergePunctuations({}, kPrepend, kAppend).empty());
}

TEST(WordTimestampsTest, MedianIsCappedAndLongWordsAreCutAtSentenceMarks) {
  struct Case {
    std::vector<float> durations;
    float median, max;
  };
  const Case cases[] = {{{0.2f, 0.4f, 1.0f}, 0.4f, 0.8f}, {{0.3f, 0.5f}, 0.5f, 1.0f}, {{1.0f, 2.0f, 3.0f}, 0.7f, 1.4f},
                        {{0.0f, -1.0f}, 0.0f, 0.0f},      {{}, 0.0f, 0.0f}};
  for (const auto& c : cases) {
    std::vector<WordTiming> words;
    for (float d : c.durations) words.push_back(word(" w", 1, 1 + d));
    const auto [median, max] = SegmentSeeker::calculateWordDurationConstraints(words);
    EXPECT_NEAR(median, c.median, 1e-6);
    EXPECT_NEAR(max, c.max, 1e-6);
  }
  const auto cut = SegmentSeeker::truncateLongWordsAtSentenceBoundaries(
      {word(".", 0, 5), word(" a", 5, 6), word(".", 6, 9), word(" b", 9, 9.5f), word("?", 9.5f, 10), word(" c", 10, 14)}, 1.0f);
  EXPECT_EQ(cut[0].end, 5);  // the first word is never cut
  EXPECT_EQ(cut[2].start, 6);
  EXPECT_EQ(cut[2].end, 7);  // a long mark keeps its start
  EXPECT_EQ(cut[5].start, 13);  // a long word after "?" keeps its end
  EXPECT_EQ(cut[5].end, 14);
}

// A segment [SOT, <|0.00|>, " Hello", ",", " world", <|1.00|>] from 1.0 s, row r weighted at frames 2r and 2r + 1.
struct AlignedWindow {
  TranscriptionSegment segment;
  std::vector<std::vector<double>> rows;
  AlignedWindow() {
    segment.tokens = {kWordStart, kWordTime, 0, 1, 2, kWordTime + 50};
    for (auto t : segment.tokens) segment.tokenLogProbs.push_back({{t, -0.1f}});
    segment.start = 1.0f;
    segment.end = 2.0f;
    segment.seek = 16000;
    for (std::size_t r = 0; r < segment.tokens.size(); ++r) {
      std::vector<double> row(12, 0.0);
      row[2 * r] = row[2 * r + 1] = 1.0;
      rows.push_back(row);
    }
  }
};

void expectHelloWorld(const std::optional<std::vector<TranscriptionSegment>>& out) {
  ASSERT_TRUE(out.has_value());
  ASSERT_EQ(out->size(), 1u);
  const auto& s = (*out)[0];
  ASSERT_TRUE(s.words.has_value());
  ASSERT_EQ(texts(*s.words), (std::vector<std::string>{" Hello,", " world"}));
  const auto& w = *s.words;
  // Worked by hand: each row is entered one frame before its block, on the zero-weight frame (the
  // move along time and the move to the next row tie there), so the rows start at frames 0, 1, 3,
  // 5, 7, 9: " Hello" 0.06 s to 0.10 s, " world" 0.14 s to 0.18 s, plus 1.0 s.
  EXPECT_NEAR(w[0].start, 1.06f, 1e-5);
  EXPECT_NEAR(w[0].end, 1.10f, 1e-5);
  EXPECT_NEAR(w[1].start, 1.14f, 1e-5);
  EXPECT_NEAR(w[1].end, 1.18f, 1e-5);
  EXPECT_EQ(w[0].tokens, (Tokens{0, 1}));
  EXPECT_NEAR(w[0].probability, 0.9f, 1e-6);  // e^−0.1 to two places
  EXPECT_NEAR(s.start, 1.06f, 1e-5);  // the segment shrinks to its words
  EXPECT_NEAR(s.end, 1.18f, 1e-5);
}

TEST(WordTimestampsTest, WordsGetAlignedTimesAndTheSegmentFollowsThem) {
  AlignedWindow window;
  const auto tokenizer = testing::seekerTokenizer();
  expectHelloWorld(SegmentSeeker().addWordTimestamps({window.segment}, *matrix(window.rows), *tokenizer, 16000, 480000,
                                                     kPrepend, kAppend, 1.0f, DecodingOptions{}, TranscriptionTimings{}));
}

TEST(WordTimestampsTest, RowsAreReadFromWhereTheTranscriptStartsAfterAPrompt) {
  // Two prompt tokens before the start of transcript: their rows come first and belong to no segment.
  AlignedWindow window;
  auto rows = window.rows;
  rows.insert(rows.begin(), 2, std::vector<double>{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1});
  const auto tokenizer = testing::seekerTokenizer();
  expectHelloWorld(SegmentSeeker().addWordTimestamps({window.segment}, *matrix(rows), *tokenizer, 16000, 480000, kPrepend,
                                                     kAppend, 1.0f, DecodingOptions{}, TranscriptionTimings{}, 2));
  try {
    SegmentSeeker().addWordTimestamps({window.segment}, *matrix(window.rows), *tokenizer, 16000, 480000, kPrepend, kAppend,
                                      1.0f, DecodingOptions{}, TranscriptionTimings{}, 2);
    FAIL() << "rows past the weights were read";
  } catch (const WhisperError& e) {
    EXPECT_EQ(e.kind(), WhisperError::Kind::segmentingFailed);
  }
}

TEST(WordTimestampsTest, FewerThanTwoWordsLeaveTheSegmentsAlone) {
  TranscriptionSegment s;
  s.tokens = {0};
  s.tokenLogProbs = {{{0, -0.1f}}};
  s.start = 3.0f;
  s.end = 4.0f;
  const auto tokenizer = testing::seekerTokenizer();
  const auto out = SegmentSeeker().addWordTimestamps({s}, *matrix({{1, 0}}), *tokenizer, 48000, 480000, kPrepend, kAppend,
                                                     3.0f, DecodingOptions{}, TranscriptionTimings{});
  ASSERT_EQ(out->size(), 1u);
  ASSERT_TRUE((*out)[0].words.has_value());
  EXPECT_TRUE((*out)[0].words->empty());
  EXPECT_EQ((*out)[0].start, 3.0f);
  EXPECT_EQ((*out)[0].end, 4.0f);

  const auto flat = MLMultiArray::make({4}, MLMultiArrayDataType::float16);
  try {
    SegmentSeeker().addWordTimestamps({s}, *flat, *tokenizer, 0, 0, kPrepend, kAppend, 0, DecodingOptions{}, TranscriptionTimings{});
    FAIL() << "one-dimensional weights were accepted";
  } catch (const WhisperError& e) {
    EXPECT_EQ(e, WhisperError::segmentingFailed("Invalid shape in alignmentWeights"));
  }
}

TEST(WordTimestampsTest, ShortWordAfterAGapMovesEarlierByAtMostHalfTheMedian) {
  // Median 0.4: a 0.05 s word (shorter than a quarter of it) starting 1.5 s after the previous
  // segment moves earlier by half the median.
  TranscriptionSegment first, second;
  first.tokens = {0};
  first.start = 0;
  first.end = 0.5f;
  second.tokens = {2, 7};
  second.start = 2.0f;
  second.end = 3.0f;
  const std::vector<WordTiming> merged{word(" Hello", 0.1f, 0.5f, {0}), word(" world", 2.0f, 2.05f, {2}), word(" why", 2.1f, 2.6f, {7})};
  const auto out = SegmentSeeker::updateSegmentsWithWordTimings({first, second}, merged, 0, 0.0f, 0.4f, 0.8f,
                                                                *testing::seekerTokenizer());
  ASSERT_EQ(out.size(), 2u);
  const auto& w = *out[1].words;
  EXPECT_NEAR(w[0].start, 1.8f, 1e-5);  // 2.0 − min(0.2, 2.0 − 0.5)
  EXPECT_NEAR(w[0].end, 2.05f, 1e-5);
  EXPECT_NEAR(out[1].start, 1.8f, 1e-5);
}

}  // namespace
}  // namespace murmel

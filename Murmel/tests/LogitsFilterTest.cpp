#include "Murmel/decoding/LogitsFilter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <set>

namespace murmel {
namespace {

using platform::ml::Float16;
using platform::ml::MLMultiArray;
using platform::ml::MLMultiArrayDataType;

// A 20-token vocabulary: text 0..9, end 10, start 11, no-timestamps 12, transcribe 13,
// translate 14, timestamps 15..19; blank 1.
SpecialTokens smallVocabulary() {
  SpecialTokens s;
  s.endToken = s.specialTokenBegin = 10;
  s.startOfTranscriptToken = 11;
  s.noTimestampsToken = 12;
  s.transcribeToken = 13;
  s.translateToken = 14;
  s.timeTokenBegin = 15;
  s.whitespaceToken = 1;
  return s;
}

constexpr std::int64_t kVocabulary = 20;
using Ids = std::set<std::int64_t>;

LogitsRef logitsWith(float textPeak, float endPeak = 0) {
  auto logits = MLMultiArray::make({1, 1, kVocabulary}, MLMultiArrayDataType::float16);
  for (std::int64_t i = 0; i < kVocabulary; ++i) logits->setValue(i, i == 3 ? textPeak : i == 10 ? endPeak : 0.0);
  return logits;
}

std::set<std::int64_t> forbidden(const MLMultiArray& logits) {
  std::set<std::int64_t> out;
  for (std::int64_t i = 0; i < logits.count(); ++i)
    if (std::isinf(logits[i]) && logits[i] < 0) out.insert(i);
  return out;
}

std::set<std::int64_t> span(std::int64_t from, std::int64_t to) {
  std::set<std::int64_t> out;
  for (std::int64_t i = from; i < to; ++i) out.insert(i);
  return out;
}

std::set<std::int64_t> operator+(std::set<std::int64_t> a, const std::set<std::int64_t>& b) {
  a.insert(b.begin(), b.end());
  return a;
}

TEST(TimestampRulesFilterTest, ForbidsWhatTheTimestampGrammarRulesOut) {
  struct Case {
    const char* name;
    bool multilingual;
    std::int64_t sampleBegin;
    std::vector<std::int64_t> tokens;
    float textPeak;  // logit of text token 3
    float endPeak;   // logit of the end token; every other logit is 0
    std::set<std::int64_t> expected;
  } cases[] = {
      {"nothing sampled yet", false, 2, {11, 15}, 5, 0, {12}},
      {"one timestamp: no further timestamp", false, 2, {11, 15, 16}, 5, 0, Ids{12} + span(15, 20)},
      {"text then timestamp: only timestamps from it on or the end", false, 2, {11, 15, 3, 16}, 5, 5,
       span(0, 10) + Ids{12, 15}},
      {"text then timestamp, end unlikely: the remaining timestamps outweigh it", false, 2, {11, 15, 3, 16}, 5, 0,
       span(0, 16)},
      {"two timestamps: no timestamp", false, 2, {11, 15, 16, 17}, 5, 0, Ids{12} + span(15, 20)},
      {"timestamp then text: later timestamps only", false, 2, {11, 15, 16, 3}, 5, 0, {12, 15, 16}},
      {"sequence shorter than the sample start", false, 3, {11, 15}, 5, 0, {}},
      {"multilingual: starts after the task token", true, 3, {11, 5, 13, 16}, 5, 0, Ids{12} + span(15, 20)},
      {"multilingual: translate counts too", true, 0, {11, 14, 3, 16}, 5, 5, span(0, 10) + Ids{12, 15}},
      {"multilingual without task token: untouched", true, 3, {11, 5, 6, 16}, 5, 0, {}},
      {"timestamps outweigh the best text token (log 5 > 1.6)", false, 2, {11, 15}, 1.6f, 0, span(0, 15)},
      {"best text token outweighs the timestamps (1.625 > log 5)", false, 2, {11, 15}, 1.625f, 0, {12}},
  };
  for (const auto& c : cases) {
    TimestampRulesFilter filter(smallVocabulary(), c.sampleBegin, std::nullopt, c.multilingual);
    auto logits = logitsWith(c.textPeak, c.endPeak);
    EXPECT_EQ(filter.filterLogits(logits, c.tokens), logits) << c.name;
    EXPECT_EQ(forbidden(*logits), c.expected) << c.name;
  }
}

TEST(TimestampRulesFilterTest, MaxInitialTimestampCapsTheFirstSampleOnly) {
  struct Case {
    const char* name;
    std::optional<std::int64_t> maxIndex;
    std::vector<std::int64_t> tokens;
    std::set<std::int64_t> expected;
  } cases[] = {
      {"first sample: timestamps past T + 2 forbidden", 2, {11, 15}, Ids{12} + span(18, 20)},
      {"first sample, cap 0: only the first timestamp", 0, {11, 15}, Ids{12} + span(16, 20)},
      {"cap beyond the vocabulary", 40, {11, 15}, {12}},
      {"no cap", std::nullopt, {11, 15}, {12}},
      {"later samples are not capped", 2, {11, 15, 3}, {12}},
  };
  for (const auto& c : cases) {
    TimestampRulesFilter filter(smallVocabulary(), 2, c.maxIndex, false);
    auto logits = logitsWith(5);
    filter.filterLogits(logits, c.tokens);
    EXPECT_EQ(forbidden(*logits), c.expected) << c.name;
  }
}

TEST(TimestampRulesFilterTest, EnglishOnlyModelUsesTheGivenSampleStart) {
  TimestampRulesFilter filter(smallVocabulary(), 1, 7, false);
  EXPECT_EQ(filter.sampleBegin({11, 5, 13}), 1);
  TimestampRulesFilter multilingual(smallVocabulary(), 1, 7, true);
  EXPECT_EQ(multilingual.sampleBegin({13, 5, 6}), 1);
  EXPECT_EQ(multilingual.sampleBegin({11, 5, 6, 13}), std::nullopt);
  EXPECT_EQ(multilingual.maxInitialTimestampIndex, 7);
}

TEST(SuppressBlankFilterTest, ForbidsBlankAndEndOnlyAtTheFirstSample) {
  SuppressBlankFilter filter(smallVocabulary(), 2);
  auto logits = logitsWith(5);
  filter.filterLogits(logits, {11, 15});
  EXPECT_EQ(forbidden(*logits), (std::set<std::int64_t>{1, 10}));
  auto later = logitsWith(5);
  filter.filterLogits(later, {11, 15, 3});
  EXPECT_TRUE(forbidden(*later).empty());
}

TEST(SuppressTokensFilterTest, ForbidsItsListAndRefusesIdsOutsideTheVocabulary) {
  auto logits = logitsWith(5);
  SuppressTokensFilter({3, 7}).filterLogits(logits, {});
  EXPECT_EQ(forbidden(*logits), (std::set<std::int64_t>{3, 7}));
  auto untouched = logitsWith(5);
  EXPECT_THROW(SuppressTokensFilter({4, kVocabulary}).filterLogits(untouched, {}), std::out_of_range);
  EXPECT_TRUE(forbidden(*untouched).empty());
}

TEST(LanguageLogitsFilterTest, KeepsOnlyLanguageTokensFromTheSampleStart) {
  LanguageLogitsFilter filter({5, 6}, kVocabulary, 1);
  auto early = logitsWith(5);
  filter.filterLogits(early, {});
  EXPECT_TRUE(forbidden(*early).empty());
  auto logits = logitsWith(5);
  logits->setValue(5, 2.5);
  filter.filterLogits(logits, {11});
  EXPECT_EQ(forbidden(*logits), span(0, 5) + span(7, 20));
  EXPECT_EQ((*logits)[5], 2.5);
  EXPECT_EQ((*logits)[6], 0.0);
}

}  // namespace
}  // namespace murmel

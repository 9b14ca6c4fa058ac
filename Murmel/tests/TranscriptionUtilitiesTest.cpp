#include "Murmel/transcription/TranscriptionUtilities.h"

#include <gtest/gtest.h>

namespace murmel {
namespace {

WordTiming word(std::string text, float start = 0, float end = 0) { return {std::move(text), {}, start, end, 0.5f}; }

std::vector<std::string> texts(const std::vector<WordTiming>& words) {
  std::vector<std::string> out;
  for (const auto& w : words) out.push_back(w.word);
  return out;
}

TranscriptionSegment segment(std::string text, float start, float end) {
  TranscriptionSegment s;
  s.text = std::move(text);
  s.start = start;
  s.end = end;
  return s;
}

TEST(TranscriptionUtilitiesTest, UpdateSegmentTimingsShiftsSeekTimesAndWords) {
  auto s = segment(" a", 1.0f, 2.0f);
  s.id = 7;
  s.seek = 100;
  s.words = std::vector<WordTiming>{word(" a", 1.0f, 1.5f)};
  const auto shifted = updateSegmentTimings(s, 2.5f);
  EXPECT_EQ(shifted.id, 7);
  EXPECT_EQ(shifted.seek, 100 + 40000);
  EXPECT_FLOAT_EQ(shifted.start, 3.5f);
  EXPECT_FLOAT_EQ(shifted.end, 4.5f);
  EXPECT_FLOAT_EQ((*shifted.words)[0].start, 3.5f);
  EXPECT_FLOAT_EQ((*shifted.words)[0].end, 4.0f);
  EXPECT_EQ(s.seek, 100);  // input unchanged
  // 0.00003 s is less than one sample: the seek stays.
  EXPECT_EQ(updateSegmentTimings(s, 0.00003f).seek, 100);
}

TEST(TranscriptionUtilitiesTest, FormatSegmentsKeepsTheTextAsStored) {
  const std::vector<TranscriptionSegment> segments{segment(" Hello there", 1.5f, 3.25f), segment("x ", 10.0f, 12.005f)};
  EXPECT_EQ(formatSegments(segments, true), (std::vector<std::string>{"[1.50 --> 3.25]  Hello there", "[10.00 --> 12.01] x "}));
  EXPECT_EQ(formatSegments(segments, false), (std::vector<std::string>{" Hello there", "x "}));
}

TEST(TranscriptionUtilitiesTest, CommonPrefixComparesNormalisedWords) {
  struct Case {
    std::vector<std::string> first, second, prefix;
  };
  const Case cases[] = {
      {{" Hello,", " world"}, {" hello", " world", " again"}, {" hello", " world"}},
      {{" well-known"}, {" well known"}, {" well known"}},
      {{" a", " b", " c"}, {" a", " x", " c"}, {" a"}},  // stops at the first difference
      {{"  Big   cat "}, {"big cat"}, {"big cat"}},
      {{" one"}, {" two", " one"}, {}},
      {{}, {" a"}, {}},
  };
  for (const auto& c : cases) {
    std::vector<WordTiming> a, b;
    for (const auto& w : c.first) a.push_back(word(w));
    for (std::size_t i = 0; i < c.second.size(); ++i) b.push_back(word(c.second[i], static_cast<float>(i)));
    const auto prefix = findLongestCommonPrefix(a, b);
    EXPECT_EQ(texts(prefix), c.prefix) << c.second.front();
    // The words come from the second list, with its timings.
    for (std::size_t i = 0; i < prefix.size(); ++i) EXPECT_EQ(prefix[i].start, static_cast<float>(i));
    std::vector<std::string> rest(c.second.begin() + static_cast<std::ptrdiff_t>(c.prefix.size()), c.second.end());
    EXPECT_EQ(texts(findLongestDifferentSuffix(a, b)), rest);
  }
  const std::vector<WordTiming> same{word(" a"), word(" b")};
  EXPECT_TRUE(findLongestDifferentSuffix(same, same).empty());
}

TranscriptionResult resultWith(std::string text, std::vector<TranscriptionSegment> segments, std::string language,
                               double pipelineStart, double fullPipeline) {
  TranscriptionTimings t;
  t.pipelineStart = pipelineStart;
  t.firstTokenTime = pipelineStart + 1;
  t.fullPipeline = fullPipeline;
  t.inputAudioSeconds = 2;
  t.encoderLoadTime = pipelineStart / 10;
  t.encoderSpecializationTime = 3;
  t.totalDecodingWindows = 1;
  return TranscriptionResult(std::move(text), std::move(segments), std::move(language), t, 4.0f);
}

TEST(TranscriptionUtilitiesTest, MergeJoinsTextsRenumbersSegmentsAndCombinesTimings) {
  const auto a = resultWith("A", {segment("a0", 0, 1), segment("a1", 1, 2)}, "de", 10, 5);
  const auto b = resultWith("B", {segment("b0", 3, 4)}, "fr", 20, 6);
  const auto merged = mergeTranscriptionResults({a, std::nullopt, b});
  EXPECT_EQ(merged.text(), "A  B");
  const auto segments = merged.segments();
  ASSERT_EQ(segments.size(), 3u);
  EXPECT_EQ(segments[0].id, 0);
  EXPECT_EQ(segments[1].id, 1);
  EXPECT_EQ(segments[2].id, 1);  // result 1, segment 0
  EXPECT_EQ(segments[2].text, "b0");
  EXPECT_EQ(merged.language(), "de");
  EXPECT_FALSE(merged.seekTime().has_value());
  const auto t = merged.timings();
  EXPECT_EQ(t.pipelineStart, 10);
  EXPECT_EQ(t.firstTokenTime, 11);
  EXPECT_EQ(t.inputAudioSeconds, 4);
  EXPECT_EQ(t.encoderLoadTime, 2);
  EXPECT_EQ(t.encoderSpecializationTime, 0);
  EXPECT_EQ(t.totalDecodingWindows, 2);
  EXPECT_EQ(t.fullPipeline, 11);  // min(5 + 6, 26 − 10)

  const auto words = mergeTranscriptionResults({a, b}, std::vector<WordTiming>{word(" x"), word("y")});
  EXPECT_EQ(words.text(), " xy");
}

TEST(TranscriptionUtilitiesTest, MergeOfSideBySideRunsCountsTheirOverlapOnce) {
  const auto merged = mergeTranscriptionResults({resultWith("a", {}, "en", 10, 5), resultWith("b", {}, "en", 10, 5)});
  EXPECT_EQ(merged.timings().fullPipeline, 5);
  // Runs one after the other with a gap: the sum, not the span.
  EXPECT_EQ(mergeTranscriptionResults({resultWith("a", {}, "en", 10, 5), resultWith("b", {}, "en", 30, 5)})
                .timings()
                .fullPipeline,
            10);
}

TEST(TranscriptionUtilitiesTest, MergeOfNothingIsEmptyEnglishWithZeroTimings) {
  for (const auto& input : {std::vector<std::optional<TranscriptionResult>>{},
                            std::vector<std::optional<TranscriptionResult>>{std::nullopt}}) {
    const auto merged = mergeTranscriptionResults(input);
    EXPECT_EQ(merged.text(), "");
    EXPECT_TRUE(merged.segments().empty());
    EXPECT_EQ(merged.language(), "en");
    EXPECT_FALSE(merged.seekTime().has_value());
    const auto t = merged.timings();
    EXPECT_EQ(t.pipelineStart, 0);
    EXPECT_EQ(t.firstTokenTime, 0);
    EXPECT_EQ(t.inputAudioSeconds, 0);
    EXPECT_EQ(t.fullPipeline, 0);
  }
}

}  // namespace
}  // namespace murmel

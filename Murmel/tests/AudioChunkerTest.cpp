#include "Murmel/audio/AudioChunker.h"

#include <gtest/gtest.h>

#include <atomic>

#include "Murmel/common/WhisperError.h"

namespace murmel {
namespace {

// Loud everywhere except the given silent sample spans.
std::vector<float> speechWithSilences(std::size_t count, std::vector<IndexRange> silences = {}) {
  std::vector<float> samples(count, 0.5f);
  for (const auto& s : silences) std::fill(samples.begin() + s.startIndex, samples.begin() + s.endIndex, 0.0f);
  return samples;
}

std::vector<IndexRange> spans(const std::vector<AudioChunk>& chunks) {
  std::vector<IndexRange> out;
  for (const auto& chunk : chunks)
    out.push_back({chunk.seekOffsetIndex, chunk.seekOffsetIndex + static_cast<std::int64_t>(chunk.audioSamples.size())});
  return out;
}

class CountingVAD : public EnergyVAD {
 public:
  std::vector<bool> voiceActivity(std::span<const float> samples) const override {
    ++calls;
    return EnergyVAD::voiceActivity(samples);
  }
  mutable std::atomic<int> calls{0};
};

TEST(AudioChunkerTest, ShortAudioIsOneChunkWithoutDetection) {
  auto vad = std::make_shared<CountingVAD>();
  VADAudioChunker chunker(16000, vad);
  auto samples = speechWithSilences(480000);
  auto chunks = chunker.chunkAll(samples, 480000, std::nullopt);
  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_EQ(chunks[0].seekOffsetIndex, 0);
  EXPECT_EQ(chunks[0].audioSamples, samples);
  EXPECT_EQ(vad->calls, 0);
}

TEST(AudioChunkerTest, CutsAndTails) {
  struct Case {
    const char* name;
    std::size_t count;
    std::vector<IndexRange> silences;
    std::vector<IndexRange> expected;
    std::int64_t windowPadding = 16000;
    std::int64_t maxChunkLength = 480000;
  };
  const Case cases[] = {
      // Silent frames 94 ... 105 of the window's second half (from 240,000): the cut is at frame 100.
      {"cut in the middle of the silence", 500000, {{390000, 410000}}, {{0, 400000}, {400000, 500000}}},
      {"no silence: cut at the window's end", 500000, {}, {{0, 480000}, {480000, 500000}}},
      // The 10,000 samples after the last cut are within the padding but still form a chunk.
      {"tail after the last cut", 970000, {}, {{0, 480000}, {480000, 960000}, {960000, 970000}}},
      {"silence in the first half is not looked at", 500000, {{100000, 120000}}, {{0, 480000}, {480000, 500000}}},
      // A padding longer than a chunk leaves a tail of two chunks' length: it is cut, not one long chunk.
      {"tail longer than a chunk", 200000, {}, {{0, 50000}, {50000, 100000}, {100000, 150000}, {150000, 200000}},
       100000, 50000},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    auto samples = speechWithSilences(test.count, test.silences);
    auto chunks = VADAudioChunker(test.windowPadding).chunkAll(samples, test.maxChunkLength, std::nullopt);
    EXPECT_EQ(spans(chunks), test.expected);
    for (const auto& chunk : chunks) {
      EXPECT_LE(static_cast<std::int64_t>(chunk.audioSamples.size()), test.maxChunkLength);
      EXPECT_TRUE(std::equal(chunk.audioSamples.begin(), chunk.audioSamples.end(), samples.begin() + chunk.seekOffsetIndex));
    }
  }
}

// Whatever the chunk length, even below one detector frame (1,600 samples), the chunks cover the
// audio in order, each at most that long.
TEST(AudioChunkerTest, NoChunkLengthDropsAudio) {
  const std::size_t count = 20000;  // longer than the window padding
  const auto samples = speechWithSilences(count, {{3000, 9000}, {15000, 19000}});
  for (std::int64_t maxChunkLength : {1, 2, 7, 1599, 1600, 1601, 4000, 19999}) {
    SCOPED_TRACE(maxChunkLength);
    const auto chunks = VADAudioChunker().chunkAll(samples, maxChunkLength, std::nullopt);
    ASSERT_FALSE(chunks.empty());
    std::int64_t next = 0;
    for (const auto& chunk : chunks) {
      ASSERT_EQ(chunk.seekOffsetIndex, next);
      ASSERT_FALSE(chunk.audioSamples.empty());
      ASSERT_LE(static_cast<std::int64_t>(chunk.audioSamples.size()), maxChunkLength);
      next += static_cast<std::int64_t>(chunk.audioSamples.size());
    }
    EXPECT_EQ(next, static_cast<std::int64_t>(count));
  }
}

TEST(AudioChunkerTest, ClipTimestampsSelectTheAudio) {
  auto samples = speechWithSilences(500000);
  DecodingOptions options;
  options.clipTimestamps = {10, 20};
  EXPECT_EQ(spans(VADAudioChunker().chunkAll(samples, 480000, options)), (std::vector<IndexRange>{{160000, 320000}}));

  // A clip running past the audio ends with the audio.
  options.clipTimestamps = {0, 40};
  EXPECT_EQ(spans(VADAudioChunker().chunkAll(samples, 480000, options)),
            (std::vector<IndexRange>{{0, 480000}, {480000, 500000}}));

  options.clipTimestamps = {40, 100};
  try {
    VADAudioChunker().chunkAll(samples, 480000, options);
    FAIL();
  } catch (const WhisperError& e) {
    EXPECT_EQ(e, WhisperError::audioProcessingFailed("startIndex is outside the buffer size"));
  }
  EXPECT_THROW(VADAudioChunker().chunkAll(samples, 0, std::nullopt), WhisperError);
}

TEST(AudioChunkerTest, ResultsShiftOntoTheWholeTimeLine) {
  TranscriptionSegment segment;
  segment.start = 1.0f;
  segment.end = 2.5f;
  segment.words = std::vector<WordTiming>{{" hi", {1}, 1.0f, 1.5f, 0.9f}};
  auto first = std::make_shared<TranscriptionResult>("a", std::vector<TranscriptionSegment>{segment});
  auto third = std::make_shared<TranscriptionResult>("c", std::vector<TranscriptionSegment>{segment});
  std::vector<AudioChunk> chunks{{0, {}}, {480000, {}}, {960000, {}}, {1440000, {}}};
  std::vector<TranscriptionResultsOrError> results{
      TranscriptionResults{first},
      std::make_exception_ptr(WhisperError::transcriptionFailed("boom")),
      TranscriptionResults{third},
      TranscriptionResults{},
  };
  auto shifted = AudioChunking::updateSeekOffsetsForResults(results, chunks);
  ASSERT_EQ(shifted.size(), 2u);
  EXPECT_EQ(shifted[0], first);
  EXPECT_EQ(shifted[1], third);
  EXPECT_EQ(first->seekTime(), 0.0f);
  EXPECT_EQ(first->segments()[0].start, 1.0f);

  auto moved = third->segments()[0];
  EXPECT_EQ(third->seekTime(), 60.0f);
  EXPECT_EQ(moved.seek, 960000);
  EXPECT_FLOAT_EQ(moved.start, 61.0f);
  EXPECT_FLOAT_EQ(moved.end, 62.5f);
  EXPECT_FLOAT_EQ((*moved.words)[0].start, 61.0f);
  EXPECT_FLOAT_EQ((*moved.words)[0].end, 61.5f);
}

}  // namespace
}  // namespace murmel

// Cuts one window's decoded tokens into timed segments at the timestamp tokens, says where the next
// window starts, and times words by aligning tokens to audio frames (dynamic time warping over the
// decoder's alignment weights). Stateless: one seeker may serve several tasks at once. Only the
// word timing throws (WhisperError::segmentingFailed).
//   [SOT, <|0.00|>, " a", <|1.00|>, <|1.00|>, " b", <|2.00|>, EOT] at seek 0
//     => segments [0.00, 1.00] " a" and [1.00, 2.00] " b"; next seek 32000
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Murmel/data/DecodingValues.h"
#include "Murmel/data/TranscriptionResult.h"
#include "Murmel/decoding/WhisperTokenizer.h"
#include "platform/ML/MLMultiArray.h"

namespace murmel {

class SegmentSeeking {
 public:
  virtual ~SegmentSeeking() = default;

  // The new seek (samples) and the window's segments; absent segments mean the window was silent.
  // A window whose timestamps would leave the seek where it was is consumed whole.
  virtual std::pair<std::int64_t, std::optional<std::vector<TranscriptionSegment>>> findSeekPointAndSegments(
      const DecodingResult& decodingResult, const DecodingOptions& options, std::int64_t allSegmentsCount,
      std::int64_t currentSeek, std::int64_t segmentSize, std::int64_t sampleRate, std::int64_t timeToken,
      std::int64_t specialToken, const WhisperTokenizer& tokenizer) = 0;

  // The segments with words and times adjusted to them. Row r + alignmentRowOffset of the weights
  // [rows, frames] belongs to the r-th token of the segments taken in order; the offset is where
  // the start of transcript sits in the decoder's prompt.
  virtual std::optional<std::vector<TranscriptionSegment>> addWordTimestamps(
      const std::vector<TranscriptionSegment>& segments, const platform::ml::MLMultiArray& alignmentWeights,
      const WhisperTokenizer& tokenizer, std::int64_t seek, std::int64_t segmentSize,
      const std::string& prependPunctuations, const std::string& appendPunctuations, float lastSpeechTimestamp,
      const DecodingOptions& options, const TranscriptionTimings& timings, std::int64_t alignmentRowOffset = 0) = 0;
};

class SegmentSeeker : public SegmentSeeking {
 public:
  std::pair<std::int64_t, std::optional<std::vector<TranscriptionSegment>>> findSeekPointAndSegments(
      const DecodingResult& decodingResult, const DecodingOptions& options, std::int64_t allSegmentsCount,
      std::int64_t currentSeek, std::int64_t segmentSize, std::int64_t sampleRate, std::int64_t timeToken,
      std::int64_t specialToken, const WhisperTokenizer& tokenizer) override;

  // Throws segmentingFailed for weights that are not two-dimensional or lack a token's row.
  std::optional<std::vector<TranscriptionSegment>> addWordTimestamps(
      const std::vector<TranscriptionSegment>& segments, const platform::ml::MLMultiArray& alignmentWeights,
      const WhisperTokenizer& tokenizer, std::int64_t seek, std::int64_t segmentSize,
      const std::string& prependPunctuations, const std::string& appendPunctuations, float lastSpeechTimestamp,
      const DecodingOptions& options, const TranscriptionTimings& timings, std::int64_t alignmentRowOffset = 0) override;

  struct Alignment {
    std::vector<std::int64_t> textIndices, timeIndices;  // the path, one entry per step
  };
  // The path through [N, M] that maximises the summed weights, from (0, 0) to (N − 1, M − 1).
  static Alignment dynamicTimeWarping(const platform::ml::MLMultiArray& matrix);

  // (median of the positive word durations capped at 0.7 s, twice that median).
  static std::pair<float, float> calculateWordDurationConstraints(const std::vector<WordTiming>& alignment);
  // A too-long sentence mark keeps its start; a too-long word after one keeps its end.
  static std::vector<WordTiming> truncateLongWordsAtSentenceBoundaries(std::vector<WordTiming> alignment, float maxDuration);
  // Leading punctuation joins the next word, trailing punctuation the previous one; chains join
  // whole: [" (", "\"", " Hi", ",", "\""] => [" (\" Hi,\""].
  static std::vector<WordTiming> mergePunctuations(const std::vector<WordTiming>& alignment, const std::string& prepended,
                                                   const std::string& appended);
  static std::vector<TranscriptionSegment> updateSegmentsWithWordTimings(
      std::vector<TranscriptionSegment> segments, const std::vector<WordTiming>& mergedAlignment, std::int64_t seek,
      float lastSpeechTimestamp, float constrainedMedianDuration, float maxDuration, const WhisperTokenizer& tokenizer);

 private:
  std::vector<WordTiming> findAlignment(const std::vector<std::int64_t>& wordTokenIds,
                                        const platform::ml::MLMultiArray& alignmentWeights,
                                        const std::vector<float>& tokenLogProbs, const WhisperTokenizer& tokenizer);
};

}  // namespace murmel

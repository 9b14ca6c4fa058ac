// Cuts audio longer than one model window into chunks at the middle of the longest silence in the
// second half of each window, and shifts the chunks' transcription results back onto the time line
// of the whole audio. A chunker holds only immutable configuration and may be shared between
// threads. chunkAll throws WhisperError::audioProcessingFailed("startIndex is outside the buffer size")
// when a clip starts past the samples (and audioProcessingFailed for a chunk length below 1).
//   VADAudioChunker().chunkAll(samples, 480000, std::nullopt)  // 50 s of speech => [0 s .. ~28 s), [~28 s .. 50 s)
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "Murmel/audio/VoiceActivityDetector.h"
#include "Murmel/common/EngineUtilities.h"
#include "Murmel/data/AudioChunk.h"
#include "Murmel/data/DecodingOptions.h"

namespace murmel {

class AudioChunking {
 public:
  virtual ~AudioChunking() = default;

  virtual std::vector<AudioChunk> chunkAll(std::span<const float> audioArray, std::int64_t maxChunkLength,
                                           const std::optional<DecodingOptions>& decodeOptions) = 0;

  // Results of chunk i (or its error, logged and dropped) with seek, segment and word times moved by
  // the chunk's offset; the result objects are changed in place and returned in chunk order.
  static TranscriptionResults updateSeekOffsetsForResults(const std::vector<TranscriptionResultsOrError>& chunkedResults,
                                                          const std::vector<AudioChunk>& audioChunks);
};

class VADAudioChunker : public AudioChunking {
 public:
  // A null detector is the standard energy detector (16 kHz, 1,600-sample frames, threshold 0.02).
  explicit VADAudioChunker(std::int64_t windowPadding = 16000, std::shared_ptr<const VoiceActivityDetector> vad = nullptr);

  // One chunk when the audio fits `maxChunkLength`; otherwise, per seek clip of the options, chunks of
  // at most `maxChunkLength` samples. The samples left after a clip's last cut form a final chunk.
  std::vector<AudioChunk> chunkAll(std::span<const float> audioArray, std::int64_t maxChunkLength,
                                   const std::optional<DecodingOptions>& decodeOptions) override;

 private:
  std::int64_t splitOnMiddleOfLongestSilence(std::span<const float> audioArray, std::int64_t startIndex,
                                             std::int64_t endIndex) const;

  std::int64_t windowPadding_;
  std::shared_ptr<const VoiceActivityDetector> vad_;
};

}  // namespace murmel

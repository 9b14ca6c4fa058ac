#include "Murmel/audio/AudioChunker.h"

#include <algorithm>

#include "KestrumCore/ErrorDescription.h"
#include "KestrumCore/Logging.h"
#include "Murmel/common/WhisperError.h"
#include "platform/System/NumberText.h"

namespace murmel {

using kestrum::Logging;

namespace {

// The sample's time in seconds, as a float: "1.25".
std::string secondsText(std::int64_t sample) {
  return platform::system::fixedText(static_cast<double>(static_cast<float>(sample) / 16000.0f), 2);
}

}  // namespace

VADAudioChunker::VADAudioChunker(std::int64_t windowPadding, std::shared_ptr<const VoiceActivityDetector> vad)
    : windowPadding_(windowPadding), vad_(vad ? std::move(vad) : std::make_shared<EnergyVAD>()) {}

// Only the second half of the span is examined; the cut falls on the start of the frame in the middle
// of its longest silent run, or at endIndex when that half has no silent frame.
std::int64_t VADAudioChunker::splitOnMiddleOfLongestSilence(std::span<const float> audioArray, std::int64_t startIndex,
                                                            std::int64_t endIndex) const {
  const std::int64_t midIndex = startIndex + (endIndex - startIndex) / 2;
  const auto flags = vad_->voiceActivity(audioArray.subspan(static_cast<std::size_t>(midIndex),
                                                            static_cast<std::size_t>(endIndex - midIndex)));
  const auto silence = vad_->findLongestSilence(flags);
  if (!silence) return endIndex;
  return midIndex + (silence->startIndex + (silence->endIndex - silence->startIndex) / 2) * vad_->frameLengthSamples();
}

std::vector<AudioChunk> VADAudioChunker::chunkAll(std::span<const float> audioArray, std::int64_t maxChunkLength,
                                                  const std::optional<DecodingOptions>& decodeOptions) {
  const auto count = static_cast<std::int64_t>(audioArray.size());
  if (count <= maxChunkLength) return {AudioChunk{0, {audioArray.begin(), audioArray.end()}}};
  if (maxChunkLength < 1) throw WhisperError::audioProcessingFailed("maxChunkLength must be positive");

  const DecodingOptions options = decodeOptions.value_or(DecodingOptions());
  std::vector<AudioChunk> chunks;
  auto append = [&](std::int64_t from, std::int64_t to) {
    Logging::debug("Found chunk from " + secondsText(from) + " to " + secondsText(to));
    chunks.push_back({from, {audioArray.begin() + from, audioArray.begin() + to}});
  };
  for (const SeekClip& clip : prepareSeekClips(options, count)) {
    std::int64_t position = clip.start;
    while (position < clip.end - windowPadding_) {
      if (position < 0 || position >= count)
        throw WhisperError::audioProcessingFailed("startIndex is outside the buffer size");
      std::int64_t split = position + maxChunkLength < clip.end
                               ? splitOnMiddleOfLongestSilence(audioArray, position, std::min(position + maxChunkLength, count))
                               : clip.end;
      // A frame geometry that does not divide the window, or a clip reaching past the audio, must not
      // cut beyond the samples; a chunk shorter than a detector frame cuts where the chunk ends.
      split = std::min(split, count);
      if (split <= position) split = std::min({position + maxChunkLength, clip.end, count});
      append(position, split);
      position = split;
      if (position >= count) break;  // a clip reaching past the audio ends with it
    }
    // The few samples after the last cut are speech too: they form the clip's final chunk (in pieces
    // of at most maxChunkLength when the padding is longer than a chunk).
    const std::int64_t tailEnd = std::min(clip.end, count);
    while (position >= 0 && position < tailEnd) {
      const std::int64_t end = tailEnd - position > maxChunkLength ? position + maxChunkLength : tailEnd;
      append(position, end);
      position = end;
    }
  }
  return chunks;
}

TranscriptionResults AudioChunking::updateSeekOffsetsForResults(const std::vector<TranscriptionResultsOrError>& chunkedResults,
                                                                const std::vector<AudioChunk>& audioChunks) {
  TranscriptionResults output;
  const std::size_t n = std::min(chunkedResults.size(), audioChunks.size());
  for (std::size_t i = 0; i < n; ++i) {
    if (const auto* error = std::get_if<std::exception_ptr>(&chunkedResults[i])) {
      Logging::debug("Error transcribing chunk " + std::to_string(i) + ": " + kestrum::describeError(*error));
      continue;
    }
    const auto& results = std::get<TranscriptionResults>(chunkedResults[i]);
    if (results.empty()) continue;
    const float seekTime = static_cast<float>(audioChunks[i].seekOffsetIndex) / 16000.0f;
    const auto seekOffset = static_cast<std::int64_t>(seekTime * 16000.0f);
    for (const auto& result : results) {
      if (!result) continue;
      std::vector<TranscriptionSegment> segments = result->segments();
      for (auto& segment : segments) {
        segment.seek += seekOffset;
        segment.start += seekTime;
        segment.end += seekTime;
        if (segment.words) {
          for (auto& word : *segment.words) {
            word.start += seekTime;
            word.end += seekTime;
          }
        }
      }
      result->setSeekTime(seekTime);
      result->setSegments(std::move(segments));
      output.push_back(result);
    }
  }
  return output;
}

}  // namespace murmel

// One transcription of one array of 16 kHz mono samples: windows of at most 30 s are padded,
// turned into log-mel features, encoded, decoded with the temperature fallback ladder and cut into
// timed segments, until the audio (or each requested clip) is used up. A task runs once, on the
// caller's thread; the stages are shared objects the caller keeps. Throws what the stages throw,
// kestrum::CancellationError between steps, and WhisperError::transcriptionFailed / decodingFailed.
//   TranscribeTask task(timings, nullptr, nullptr, encoder, extractor, seeker, decoder, tokenizer);
//   TranscriptionResult result = task.run(samples, options);
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "KestrumCore/Progress.h"
#include "Murmel/audio/AudioEncoder.h"
#include "Murmel/audio/AudioProcessing.h"
#include "Murmel/common/EngineUtilities.h"
#include "Murmel/data/TranscriptionResult.h"
#include "Murmel/decoding/TextDecoder.h"
#include "Murmel/transcription/SegmentSeeker.h"

namespace murmel {

class TranscribeTask {
 public:
  // An absent audio processor pads and trims windows itself; an absent progress gets a fresh one.
  TranscribeTask(TranscriptionTimings currentTimings, std::shared_ptr<kestrum::Progress> progress,
                 std::shared_ptr<AudioProcessing> audioProcessor, std::shared_ptr<AudioEncoding> audioEncoder,
                 std::shared_ptr<FeatureExtracting> featureExtractor, std::shared_ptr<SegmentSeeking> segmentSeeker,
                 std::shared_ptr<TextDecoding> textDecoder, std::shared_ptr<const WhisperTokenizer> tokenizer);
  virtual ~TranscribeTask() = default;

  std::shared_ptr<const WhisperTokenizer> tokenizer() const { return tokenizer_; }
  void setTokenizer(std::shared_ptr<const WhisperTokenizer> tokenizer) { tokenizer_ = std::move(tokenizer); }
  // Called with each window's final segments, before they join the result.
  std::function<void(const std::vector<TranscriptionSegment>&)> segmentDiscoveryCallback;

  // The whole transcription. `callback` sees every decoding step (windowId = windows with segments
  // minus fallbacks) and may stop a window early by answering false. Segment and word times never
  // pass the end of the audio their window holds.
  TranscriptionResult run(const std::vector<float>& audioArray, const std::optional<DecodingOptions>& decodeOptions = std::nullopt,
                          const DecodingCallback& callback = {});

  // The run's timing record and progress: one unit per sample, in a child of the given progress
  // that the first run adds (pending the given progress's total) and every later run starts over.
  // Before the first run, the given progress.
  const TranscriptionTimings& timings() const { return timings_; }
  std::shared_ptr<kestrum::Progress> progress() const { return progress_ ? progress_ : parentProgress_; }

  virtual void windowPreprocess(const AudioProcessorOutputType& /*audio*/, std::int64_t /*seek*/, std::int64_t /*segmentSize*/) {}
  virtual std::vector<TranscriptionSegment> windowPostProcess(std::int64_t /*seek*/, std::int64_t /*segmentSize*/,
                                                              std::vector<TranscriptionSegment> segments) {
    return segments;
  }
  // Text of the tokens below the special ones, blanks and tabs trimmed; language "en" when absent.
  virtual TranscriptionResult finalizeTranscriptionResult(const std::vector<std::int64_t>& tokens,
                                                          std::vector<TranscriptionSegment> segments,
                                                          const std::optional<std::string>& language,
                                                          const TranscriptionTimings& timings) const;

 protected:
  // State of one run, shared by the window loop and the fallback ladder.
  struct RunState {
    DecodingOptions options;
    std::shared_ptr<DecodingInputs> decoderInputs;
    std::int64_t prefilledCacheSize = 0;
    std::optional<std::string> detectedLanguage;
    std::int64_t fallbackCount = 0;
    std::vector<std::int64_t> allTokens;             // the kept segments' tokens so far
    std::vector<TranscriptionSegment> allSegments;  // the kept segments so far
  };
  // Decodes one window from temperature `options.temperature` up the ladder until a result needs no
  // fallback or the ladder ends; the inputs are reset after every fallback.
  virtual DecodingResult decodeWithFallback(const AudioEncoderOutputType& encoderSegment, RunState& state,
                                            const DecodingCallback& callback);

 private:
  // The steps of run, in the order they happen.
  void prepareDecoderInputs(RunState& state);
  std::vector<SeekClip> clipsWithinAudio(const DecodingOptions& options, std::int64_t sampleCount) const;
  void restartProgress(const std::vector<SeekClip>& clips);
  void transcribeClip(const std::vector<float>& audioArray, const SeekClip& clip, RunState& state,
                      const DecodingCallback& callback);
  AudioEncoderOutputType encodeWindow(const std::vector<float>& audioArray, std::int64_t seek, std::int64_t segmentSize,
                                      std::int64_t windowSamples);
  DecodingCallback numberingWindows(const DecodingCallback& callback);
  struct SegmentedWindow {
    std::int64_t nextSeek;
    std::optional<std::vector<TranscriptionSegment>> segments;
  };
  SegmentedWindow segmentWindow(const DecodingResult& decodingResult, const RunState& state, std::int64_t seek,
                                std::int64_t segmentSize);
  std::optional<std::vector<TranscriptionSegment>> addWordTimestamps(
      std::optional<std::vector<TranscriptionSegment>> segments, const platform::ml::MLMultiArray& alignmentWeights,
      const RunState& state, std::int64_t seek, std::int64_t segmentSize);
  void keepSegments(std::vector<TranscriptionSegment> segments, std::int64_t seek, std::int64_t segmentSize,
                    RunState& state);

  TranscriptionTimings timings_;
  std::shared_ptr<kestrum::Progress> parentProgress_;
  std::shared_ptr<kestrum::Progress> progress_;  // the runs' child of parentProgress_, made by the first run
  std::shared_ptr<AudioProcessing> audioProcessor_;
  std::shared_ptr<AudioEncoding> audioEncoder_;
  std::shared_ptr<FeatureExtracting> featureExtractor_;
  std::shared_ptr<SegmentSeeking> segmentSeeker_;
  std::shared_ptr<TextDecoding> textDecoder_;
  std::shared_ptr<const WhisperTokenizer> tokenizer_;
};

}  // namespace murmel

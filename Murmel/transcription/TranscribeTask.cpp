#include "Murmel/transcription/TranscribeTask.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <span>

#include "KestrumCore/Concurrency.h"
#include "KestrumCore/Describe.h"
#include "Murmel/common/EngineLogging.h"
#include "Murmel/common/EngineUtilities.h"
#include "Murmel/common/WhisperError.h"
#include "Murmel/data/Constants.h"
#include "Murmel/decoding/TokenSampler.h"
#include "Murmel/transcription/detail/TranscribeLogText.h"
#include "platform/System/NumberText.h"

namespace murmel {
namespace {

using detail::debugLogging;
using detail::describeClips;
using detail::describeHalf;
using detail::describePrompt;
using detail::describeTemperatures;
using detail::threeSignificantDigits;
using platform::ml::Float16;
using platform::system::fixedText;
constexpr std::int64_t kSampleRate = 16000;
constexpr std::int64_t kDefaultWindowSamples = 480000;

double now() { return currentAbsoluteTime(); }

// Ends a signpost interval on every way out.
class SignpostScope {
 public:
  explicit SignpostScope(std::string_view name)
      : name_(name), state_(Logging::beginSignpost(name, Logging::TranscribeTask::signposter())) {}
  ~SignpostScope() { Logging::endSignpost(name_, state_, Logging::TranscribeTask::signposter()); }

 private:
  std::string_view name_;
  platform::system::Signposter::IntervalState state_;
};

// t0 + i × Δ, each term rounded to half precision as the model's temperature is.
std::vector<Float16> temperatureLadder(const DecodingOptions& options) {
  std::vector<Float16> out;
  const Float16 t0 = static_cast<Float16>(options.temperature);
  const Float16 step = static_cast<Float16>(options.temperatureIncrementOnFallback);
  for (std::int64_t i = 0; i <= options.temperatureFallbackCount; ++i) {
    const Float16 product = static_cast<Float16>(static_cast<float>(static_cast<Float16>(static_cast<float>(i))) * static_cast<float>(step));
    out.push_back(static_cast<Float16>(static_cast<float>(t0) + static_cast<float>(product)));
  }
  return out;
}

// The reset covers the token context, bounded by the masks the decoder prepared.
void resetInputs(DecodingInputs& inputs, std::int64_t prefilledCacheSize, std::int64_t sampleLength) {
  std::int64_t context = std::max<std::int64_t>(0, sampleLength);
  if (const auto& mask = inputs.decoderKeyPaddingMask()) context = std::min(context, mask->count());
  if (const auto& mask = inputs.kvCacheUpdateMask()) context = std::min(context, mask->count());
  inputs.reset(prefilledCacheSize, context);
}

bool isBlankOrTab(char c) { return c == ' ' || c == '\t'; }

// A short window is padded to the model's length, so its timestamps and word times may point into
// the padding: they are held at the end of the audio the window holds.
void holdWithinAudio(std::vector<TranscriptionSegment>& segments, float audioEnd) {
  for (auto& s : segments) {
    s.start = std::min(s.start, audioEnd);
    s.end = std::min(s.end, audioEnd);
    if (s.words)
      for (auto& w : *s.words) {
        w.start = std::min(w.start, audioEnd);
        w.end = std::min(w.end, audioEnd);
      }
  }
}

}  // namespace

TranscribeTask::TranscribeTask(TranscriptionTimings currentTimings, std::shared_ptr<kestrum::Progress> progress,
                               std::shared_ptr<AudioProcessing> audioProcessor, std::shared_ptr<AudioEncoding> audioEncoder,
                               std::shared_ptr<FeatureExtracting> featureExtractor,
                               std::shared_ptr<SegmentSeeking> segmentSeeker, std::shared_ptr<TextDecoding> textDecoder,
                               std::shared_ptr<const WhisperTokenizer> tokenizer)
    : timings_(currentTimings),
      parentProgress_(progress ? std::move(progress) : std::make_shared<kestrum::Progress>()),
      audioProcessor_(std::move(audioProcessor)),
      audioEncoder_(std::move(audioEncoder)),
      featureExtractor_(std::move(featureExtractor)),
      segmentSeeker_(std::move(segmentSeeker)),
      textDecoder_(std::move(textDecoder)),
      tokenizer_(std::move(tokenizer)) {}

DecodingResult TranscribeTask::decodeWithFallback(const AudioEncoderOutputType& encoderSegment, RunState& state,
                                                  const DecodingCallback& callback) {
  SignpostScope signpost("Decode");
  const DecodingOptions& options = state.options;
  if (options.temperatureFallbackCount < 0)
    throw WhisperError::decodingFailed("temperatureFallbackCount is " + std::to_string(options.temperatureFallbackCount) +
                                       "; it must be 0 or more");
  const auto temperatures = temperatureLadder(options);
  Logging::debug("Decoding with temperatures " + describeTemperatures(temperatures));
  const auto& special = tokenizer_->specialTokens();
  std::optional<DecodingResult> decodingResult;
  for (std::size_t i = 0; i < temperatures.size(); ++i) {
    const Float16 t = temperatures[i];
    Logging::info("Decoding Temperature: " + describeHalf(t));
    const double attemptStart = now();
    GreedyTokenSampler sampler(t, special.endToken, options);
    DecodingOptions attemptOptions = options;

    if (textDecoder_->isModelMultilingual() && !options.language && options.detectLanguage) {
      std::optional<DecodingResult> languageResult;
      try {
        languageResult = textDecoder_->detectLanguage(encoderSegment, *state.decoderInputs, sampler, options, t);
      } catch (const kestrum::CancellationError&) {
        throw;
      } catch (const std::exception& e) {
        Logging::debug(std::string("Language detection failed: ") + e.what());
      }
      state.detectedLanguage = languageResult ? std::optional<std::string>(languageResult->language) : std::nullopt;
      attemptOptions.language = state.detectedLanguage;
      if (options.usePrefillPrompt) textDecoder_->prefillDecoderInputs(*state.decoderInputs, attemptOptions);
      Logging::debug("Prefill prompt updated to: " + describePrompt(state.decoderInputs->initialPrompt(), *tokenizer_));
      if (languageResult && languageResult->timings) {
        timings_.decodingPredictions += languageResult->timings->decodingPredictions;
        timings_.decodingSampling += languageResult->timings->decodingSampling;
      }
    }

    DecodingResult result = textDecoder_->decodeText(encoderSegment, *state.decoderInputs, sampler, attemptOptions, callback);
    decodingResult = result;
    if (!state.detectedLanguage) state.detectedLanguage = result.language;
    if (result.timings) {
      const auto& r = *result.timings;
      timings_.firstTokenTime = std::min(timings_.firstTokenTime, r.firstTokenTime);
      timings_.decodingPredictions += r.decodingPredictions;
      timings_.decodingFiltering += r.decodingFiltering;
      timings_.decodingSampling += r.decodingSampling;
      timings_.decodingKvCaching += r.decodingKvCaching;
      timings_.decodingNonPrediction += r.decodingNonPrediction;
      timings_.totalDecodingLoops += r.totalDecodingLoops;
      timings_.totalKVUpdateRuns += r.totalKVUpdateRuns;
    }
    if (!result.fallback || !result.fallback->needsFallback) break;
    state.fallbackCount = static_cast<std::int64_t>(i);
    timings_.decodingFallback += now() - attemptStart;
    timings_.totalDecodingFallbacks = static_cast<double>(state.fallbackCount);
    resetInputs(*state.decoderInputs, state.prefilledCacheSize, options.sampleLength);
    Logging::info("Fallback #" + std::to_string(state.fallbackCount + 1) + " (" + result.fallback->fallbackReason + ")");
  }
  if (!decodingResult) throw WhisperError::decodingFailed("Decoding failed");
  return *decodingResult;
}

TranscriptionResult TranscribeTask::finalizeTranscriptionResult(const std::vector<std::int64_t>& tokens,
                                                                std::vector<TranscriptionSegment> segments,
                                                                const std::optional<std::string>& language,
                                                                const TranscriptionTimings& timings) const {
  std::vector<std::int64_t> filtered;
  const std::int64_t specialBegin = tokenizer_->specialTokens().specialTokenBegin;
  for (auto t : tokens)
    if (t < specialBegin) filtered.push_back(t);
  std::string text = tokenizer_->decode(filtered);
  std::size_t begin = 0, end = text.size();
  while (begin < end && isBlankOrTab(text[begin])) ++begin;
  while (end > begin && isBlankOrTab(text[end - 1])) --end;
  return TranscriptionResult(text.substr(begin, end - begin), std::move(segments), language.value_or("en"), timings,
                             std::nullopt);
}

TranscriptionResult TranscribeTask::run(const std::vector<float>& audioArray, const std::optional<DecodingOptions>& decodeOptions,
                                        const DecodingCallback& callback) {
  SignpostScope signpost("TranscribeAudio");
  timings_.pipelineStart = std::min(timings_.pipelineStart, now());
  Logging::debug("Starting pipeline at: " + std::to_string(timings_.pipelineStart));

  RunState state;
  state.options = decodeOptions.value_or(DecodingOptions{});
  state.options.verbose = kestrum::Logging::shared().logLevel() != kestrum::Logging::LogLevel::none;
  const auto sampleCount = static_cast<std::int64_t>(audioArray.size());
  const auto& clipTimes = state.options.clipTimestamps;
  const double firstClip = !clipTimes.empty() && std::isfinite(clipTimes[0]) ? clipTimes[0] : 0.0;
  timings_.inputAudioSeconds = static_cast<double>(sampleCount) / kSampleRate - firstClip;

  prepareDecoderInputs(state);
  const std::vector<SeekClip> seekClips = clipsWithinAudio(state.options, sampleCount);
  restartProgress(seekClips);
  const double loopStart = now();
  for (const auto& clip : seekClips) transcribeClip(audioArray, clip, state, callback);

  progress_->setCompletedUnitCount(progress_->totalUnitCount());
  timings_.decodingLoop = now() - loopStart;
  timings_.fullPipeline = now() - timings_.pipelineStart;
  return finalizeTranscriptionResult(state.allTokens, std::move(state.allSegments), state.detectedLanguage, timings_);
}

// Fresh decoder inputs for the run, prefilled with the prompt when the options ask for it.
void TranscribeTask::prepareDecoderInputs(RunState& state) {
  double start = now();
  state.decoderInputs = std::dynamic_pointer_cast<DecodingInputs>(
      textDecoder_->prepareDecoderInputs({tokenizer_->specialTokens().startOfTranscriptToken}));
  if (!state.decoderInputs) throw WhisperError::prepareDecoderInputsFailed("Unable to prepare decoder inputs");
  timings_.decodingInit = now() - start;
  Logging::debug("Decoder init time: " + kestrum::describe(timings_.decodingInit));

  start = now();
  if (state.options.usePrefillPrompt) textDecoder_->prefillDecoderInputs(*state.decoderInputs, state.options);
  state.prefilledCacheSize = static_cast<std::int64_t>((*state.decoderInputs->cacheLength())[0]);
  timings_.prefill = now() - start;
  Logging::debug("Prefill time: " + kestrum::describe(timings_.prefill));
  Logging::debug("Prefill prompt: " + describePrompt(state.decoderInputs->initialPrompt(), *tokenizer_));
}

// The options' clips kept inside the audio: a clip past the end, or empty after clamping, is skipped.
std::vector<SeekClip> TranscribeTask::clipsWithinAudio(const DecodingOptions& options, std::int64_t sampleCount) const {
  std::vector<SeekClip> seekClips;
  for (auto clip : prepareSeekClips(options, sampleCount)) {
    clip.start = std::clamp<std::int64_t>(clip.start, 0, sampleCount);
    clip.end = std::clamp<std::int64_t>(clip.end, 0, sampleCount);
    if (clip.start < clip.end) seekClips.push_back(clip);
  }
  Logging::debug("Decoding seek clips: " + describeClips(seekClips));
  return seekClips;
}

// Counts the run's progress in samples of the clips, from zero.
void TranscribeTask::restartProgress(const std::vector<SeekClip>& clips) {
  std::int64_t totalUnits = 0;
  for (const auto& clip : clips) totalUnits += clip.end - clip.start;
  // One child for every run of this task: a reused task (the stream transcriber runs one per pass)
  // must not grow a chain of progress objects, nor free it recursively.
  if (!progress_) {
    progress_ = std::make_shared<kestrum::Progress>();
    parentProgress_->addChild(progress_, parentProgress_->totalUnitCount());
  }
  progress_->setCompletedUnitCount(0);
  progress_->setTotalUnitCount(totalUnits);
}

// Decodes one clip window by window, from its start until only its margin is left.
void TranscribeTask::transcribeClip(const std::vector<float>& audioArray, const SeekClip& clip, RunState& state,
                                    const DecodingCallback& callback) {
  const DecodingOptions& options = state.options;
  const auto sampleCount = static_cast<std::int64_t>(audioArray.size());
  const std::int64_t previousSeekProgress = progress_->completedUnitCount();
  // A NaN or negative clip margin counts as none; a margin longer than a clip leaves it undecoded.
  const double margin = static_cast<double>(options.windowClipTime) * kSampleRate;
  const std::int64_t clipMargin = std::min(margin > 0 ? static_cast<std::int64_t>(std::min(margin, 9.0e18)) : 0,
                                           clip.end - clip.start);
  const std::int64_t windowSamples = featureExtractor_->windowSamples().value_or(kDefaultWindowSamples);
  if (windowSamples <= 0) throw WhisperError::transcriptionFailed("Window length is " + std::to_string(windowSamples));

  std::int64_t seek = clip.start;
  while (seek < clip.end - clipMargin) {
    const std::int64_t segmentSize = std::min({sampleCount - seek, windowSamples, clip.end - seek});
    const std::int64_t windowEnd = seek + segmentSize;
    Logging::debug("Decoding Seek: " + std::to_string(seek) + " (" + fixedText(seek / 16000.0, 2) + "s)");
    Logging::debug("Decoding Window Size: " + std::to_string(segmentSize) + " (" +
                   fixedText(static_cast<float>(windowEnd) / 16000.0f - static_cast<float>(seek) / 16000.0f, 2) + "s)");

    const AudioEncoderOutputType encoderOutput = encodeWindow(audioArray, seek, segmentSize, windowSamples);
    Logging::info("Decoding " + fixedText(seek / 16000.0, 2) + "s - " + fixedText(windowEnd / 16000.0, 2) + "s");
    kestrum::checkCancellation();
    const DecodingResult decodingResult = decodeWithFallback(encoderOutput, state, numberingWindows(callback));

    const double windowingStart = now();
    auto [nextSeek, segments] = segmentWindow(decodingResult, state, seek, segmentSize);
    if (segments) {
      keepSegments(std::move(*segments), seek, segmentSize, state);
      timings_.decodingWindowing += now() - windowingStart;
      timings_.totalDecodingWindows += 1;
      progress_->setCompletedUnitCount(previousSeekProgress + (std::min(nextSeek, clip.end) - clip.start));
    }
    // The token loop left the inputs at its last position: the next window starts from the prefill.
    resetInputs(*state.decoderInputs, state.prefilledCacheSize, options.sampleLength);
    seek = nextSeek;
  }
}

// Pads or trims the window at `seek` to the model's length, then turns it into log-mel features
// and encodes them.
AudioEncoderOutputType TranscribeTask::encodeWindow(const std::vector<float>& audioArray, std::int64_t seek,
                                                    std::int64_t segmentSize, std::int64_t windowSamples) {
  double stepStart = now();
  const std::span<const float> window(audioArray.data() + seek, static_cast<std::size_t>(segmentSize));
  std::optional<AudioProcessorOutputType> audioSamples = audioProcessor_
                                                             ? audioProcessor_->padOrTrim(window, 0, windowSamples)
                                                             : AudioProcessing::padOrTrimAudio(window, 0, windowSamples);
  if (!audioSamples || !*audioSamples) throw WhisperError::transcriptionFailed("Audio samples are nil");
  windowPreprocess(*audioSamples, seek, segmentSize);
  timings_.audioProcessing += now() - stepStart;
  timings_.totalAudioProcessingRuns += 1;
  kestrum::checkCancellation();

  stepStart = now();
  const auto melOutput = featureExtractor_->logMelSpectrogram(*audioSamples);
  if (!melOutput || !*melOutput) throw WhisperError::transcriptionFailed("Mel output is nil");
  timings_.logmels += now() - stepStart;
  timings_.totalLogmelRuns += 1;
  kestrum::checkCancellation();

  stepStart = now();
  const auto encoderOutput = audioEncoder_->encodeFeatures(*melOutput);
  if (!encoderOutput || !*encoderOutput) throw WhisperError::transcriptionFailed("Encoder output is nil");
  timings_.encoding += now() - stepStart;
  timings_.totalEncodingRuns += 1;
  return *encoderOutput;
}

// The caller's callback, told which window (not counting fallbacks) each report belongs to.
DecodingCallback TranscribeTask::numberingWindows(const DecodingCallback& callback) {
  if (!callback) return {};
  return [this, &callback](const TranscriptionProgress& progress) -> std::optional<bool> {
    TranscriptionProgress copy = progress;
    copy.windowId = static_cast<std::int64_t>(timings_.totalDecodingWindows - timings_.totalDecodingFallbacks);
    return callback(copy);
  };
}

// Cuts the window's result into segments held inside the audio, with word timestamps when asked
// for, and says where the next window starts: never before this one, at most maxWindowSeek on,
// and past the window when it would not move.
TranscribeTask::SegmentedWindow TranscribeTask::segmentWindow(const DecodingResult& decodingResult, const RunState& state,
                                                              std::int64_t seek, std::int64_t segmentSize) {
  const DecodingOptions& options = state.options;
  const auto& special = tokenizer_->specialTokens();
  auto [newSeek, segments] = segmentSeeker_->findSeekPointAndSegments(
      decodingResult, options, static_cast<std::int64_t>(state.allSegments.size()), seek, segmentSize, kSampleRate,
      special.timeTokenBegin, special.specialTokenBegin, *tokenizer_);
  std::int64_t nextSeek = std::max(newSeek, seek);
  const float audioEnd = static_cast<float>(static_cast<double>(seek + segmentSize) / kSampleRate);
  if (segments) holdWithinAudio(*segments, audioEnd);

  if (options.wordTimestamps && decodingResult.cache && decodingResult.cache->alignmentWeights) {
    segments = addWordTimestamps(std::move(segments), *decodingResult.cache->alignmentWeights, state, seek, segmentSize);
    if (segments) {
      holdWithinAudio(*segments, audioEnd);
      // Segments whose words leave them no duration go; the list may become empty but stays.
      std::erase_if(*segments, [](const TranscriptionSegment& s) { return !(s.start < s.end); });
      if (!segments->empty())
        nextSeek = std::max(nextSeek, static_cast<std::int64_t>(static_cast<double>(segments->back().end) * kSampleRate));
    }
  }
  if (options.maxWindowSeek) nextSeek = std::min(nextSeek, seek + *options.maxWindowSeek);
  // A window that would not move the seek is used up rather than decoded again for ever.
  if (nextSeek <= seek) nextSeek = seek + segmentSize;
  return {nextSeek, std::move(segments)};
}

// Times the window's words from the decoder's alignment weights, whose rows start at the prompt's
// start of transcript.
std::optional<std::vector<TranscriptionSegment>> TranscribeTask::addWordTimestamps(
    std::optional<std::vector<TranscriptionSegment>> segments, const platform::ml::MLMultiArray& alignmentWeights,
    const RunState& state, std::int64_t seek, std::int64_t segmentSize) {
  const double wordStart = now();
  const auto& prompt = state.decoderInputs->initialPrompt();
  const auto sot = std::find(prompt.begin(), prompt.end(), tokenizer_->specialTokens().startOfTranscriptToken);
  const std::int64_t rowOffset = sot == prompt.end() ? 0 : static_cast<std::int64_t>(sot - prompt.begin());
  segments = segmentSeeker_->addWordTimestamps(
      segments.value_or(std::vector<TranscriptionSegment>{}), alignmentWeights, *tokenizer_, seek, segmentSize,
      Constants::defaultPrependPunctuations, Constants::defaultAppendPunctuations,
      static_cast<float>(static_cast<double>(seek) / 16000.0), state.options, timings_, rowOffset);
  timings_.decodingWordTimestamps += now() - wordStart;
  timings_.totalTimestampAlignmentRuns += 1;
  if (state.options.verbose) {
    Logging::debug("Word timestamps:");
    if (segments && debugLogging())
      for (const auto& segment : *segments)
        if (segment.words)
          for (const auto& w : *segment.words)
            Logging::debug("[" + threeSignificantDigits(w.start) + " -> " + threeSignificantDigits(w.end) +
                           "] prob: " + kestrum::describe(w.probability) + ", word: " + w.word);
  }
  return segments;
}

// Post-processes the window's segments, shows them to the discovery callback and adds them and
// their tokens to the run's.
void TranscribeTask::keepSegments(std::vector<TranscriptionSegment> segments, std::int64_t seek, std::int64_t segmentSize,
                                  RunState& state) {
  auto finalSegments = windowPostProcess(seek, segmentSize, std::move(segments));
  if (state.options.verbose) {
    Logging::debug("Segments for window:");
    for (const auto& s : finalSegments)
      Logging::debug(std::string("[").append(fixedText(s.start, 2)).append(" --> ").append(fixedText(s.end, 2)).append("] ") +
                     s.text);
  }
  if (segmentDiscoveryCallback) segmentDiscoveryCallback(finalSegments);
  for (auto& s : finalSegments) {
    state.allTokens.insert(state.allTokens.end(), s.tokens.begin(), s.tokens.end());
    state.allSegments.push_back(std::move(s));
  }
}

}  // namespace murmel

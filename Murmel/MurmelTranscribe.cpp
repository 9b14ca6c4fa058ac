// The engine's transcribe operations: files and arrays, one or many, voice-activity chunking and
// the batched fan-out over the shared thread pool.
#include <algorithm>
#include <chrono>
#include <utility>

#include "KestrumCore/Concurrency.h"
#include "KestrumCore/ErrorDescription.h"
#include "Murmel/audio/AudioChunker.h"
#include "Murmel/audio/AudioProcessor.h"
#include "Murmel/common/EngineLogging.h"
#include "Murmel/common/WhisperError.h"
#include "Murmel/Murmel.h"

namespace murmel {
namespace {

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TranscriptionResultsOrError failure(std::string message) {
  return std::make_exception_ptr(WhisperError::transcriptionFailed(std::move(message)));
}

void logResults(const std::optional<DecodingOptions>& options, const TranscriptionResults& results) {
  if (!options || !options->verbose) return;
  Logging::info("Total Transcription Results:", results.size());
  for (std::size_t i = 0; i < results.size(); ++i) {
    Logging::debug("[Result " + std::to_string(i) + "]");
    results[i]->logSegments();
  }
}

}  // namespace

TranscriptionResults Murmel::transcribe(const std::string& audioPath, const std::optional<DecodingOptions>& decodeOptions,
                                        const DecodingCallback& callback) {
  const auto stateCallback = transcriptionStateCallback();
  if (stateCallback) stateCallback(TranscriptionState::convertingAudio);

  const auto start = std::chrono::steady_clock::now();
  const ChannelMode channelMode = audioInputConfig().channelMode;
  const auto recordLoading = [&] {
    const double seconds = secondsSince(start);
    modifyTimings([&](TranscriptionTimings& t) { t.audioLoading = seconds; });
    Logging::debug("Audio loading and convert time:", seconds);
    Logging::logCurrentMemoryUsage("Audio Loading and Convert");
  };
  std::vector<float> samples;
  try {
    samples = AudioProcessor::loadAudioAsFloatArray(audioPath, channelMode, 0.0, std::nullopt);
  } catch (...) {
    recordLoading();
    throw;
  }
  recordLoading();

  if (stateCallback) stateCallback(TranscriptionState::transcribing);
  TranscriptionResults results;
  try {
    results = transcribe(samples, decodeOptions, callback, SegmentDiscoveryCallback{});
  } catch (...) {
    if (stateCallback) stateCallback(TranscriptionState::finished);
    throw;
  }
  if (stateCallback) stateCallback(TranscriptionState::finished);
  return results;
}

std::shared_ptr<TranscriptionResult> Murmel::transcribeSingle(const std::string& audioPath,
                                                              const std::optional<DecodingOptions>& decodeOptions,
                                                              const DecodingCallback& callback) {
  auto results = transcribe(audioPath, decodeOptions, callback);
  return results.empty() ? nullptr : results.front();
}

std::shared_ptr<TranscriptionResult> Murmel::transcribeSingle(const std::vector<float>& audioArray,
                                                              const std::optional<DecodingOptions>& decodeOptions,
                                                              const DecodingCallback& callback) {
  auto results = transcribe(audioArray, decodeOptions, callback, SegmentDiscoveryCallback{});
  return results.empty() ? nullptr : results.front();
}

TranscriptionResults Murmel::transcribe(const std::vector<float>& audioArray,
                                        const std::optional<DecodingOptions>& decodeOptions,
                                        const DecodingCallback& callback, const SegmentDiscoveryCallback& segmentCallback) {
  const std::int64_t windowSamples = featureExtractor()->windowSamples().value_or(480000);
  const bool chunked = decodeOptions && decodeOptions->chunkingStrategy == ChunkingStrategy::vad &&
                       static_cast<std::int64_t>(audioArray.size()) > windowSamples;
  if (!chunked) {
    auto results = runTranscribeTask(audioArray, decodeOptions, callback,
                                     segmentCallback ? segmentCallback : segmentDiscoveryCallback());
    logResults(decodeOptions, results);
    return results;
  }

  auto detector = voiceActivityDetector();
  if (!detector) detector = std::make_shared<EnergyVAD>(16000, std::int64_t{1600}, std::int64_t{0}, 0.02f);
  VADAudioChunker chunker(16000, detector);
  const std::vector<AudioChunk> chunks = chunker.chunkAll(audioArray, windowSamples, decodeOptions);
  Logging::debug("Found " + std::to_string(chunks.size()) + " VAD chunks");
  raiseProgressTotal(static_cast<std::int64_t>(chunks.size()));

  // The chunker has applied the clips; each chunk is transcribed whole.
  DecodingOptions chunkOptions = *decodeOptions;
  chunkOptions.clipTimestamps.clear();
  std::vector<std::vector<float>> chunkSamples;
  std::vector<std::int64_t> seekOffsets;
  chunkSamples.reserve(chunks.size());
  for (const auto& chunk : chunks) {
    chunkSamples.push_back(chunk.audioSamples);
    seekOffsets.push_back(chunk.seekOffsetIndex);
  }
  const auto outcomes = transcribeWithOptions(
      chunkSamples, std::vector<std::optional<DecodingOptions>>(chunks.size(), chunkOptions), seekOffsets, callback);

  // Successful chunks are shifted onto the whole audio's time line; a failed one keeps its place
  // as a FailedChunkResult, so no part of the transcript goes missing unnoticed.
  TranscriptionResults results;
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    std::exception_ptr error;
    if (i >= outcomes.size()) {
      error = std::make_exception_ptr(WhisperError::transcriptionFailed("No transcription outcome for chunk " + std::to_string(i)));
    } else if (const auto* failed = std::get_if<std::exception_ptr>(&outcomes[i])) {
      error = *failed;
    }
    if (error) {
      Logging::error("Error transcribing chunk " + std::to_string(i) + ": " + kestrum::describeError(error));
      results.push_back(std::make_shared<FailedChunkResult>(static_cast<std::int64_t>(i), chunks[i].seekOffsetIndex, error));
      continue;
    }
    for (auto& result : AudioChunking::updateSeekOffsetsForResults({outcomes[i]}, {chunks[i]}))
      results.push_back(std::move(result));
  }
  logResults(decodeOptions, results);
  return results;
}

std::vector<std::optional<TranscriptionResults>> Murmel::transcribe(const std::vector<std::string>& audioPaths,
                                                                    const std::optional<DecodingOptions>& decodeOptions,
                                                                    const DecodingCallback& callback) {
  return toOptionalArrays(transcribeWithResults(audioPaths, decodeOptions, callback));
}

std::vector<TranscriptionResultsOrError> Murmel::transcribeWithResults(const std::vector<std::string>& audioPaths,
                                                                       const std::optional<DecodingOptions>& decodeOptions,
                                                                       const DecodingCallback& callback) {
  const auto stateCallback = transcriptionStateCallback();
  if (stateCallback) stateCallback(TranscriptionState::convertingAudio);
  const auto start = std::chrono::steady_clock::now();
  auto loaded = AudioProcessor::loadAudio(audioPaths, audioInputConfig().channelMode);
  std::vector<std::vector<float>> arrays;
  for (auto& outcome : loaded)
    if (auto* samples = std::get_if<std::vector<float>>(&outcome)) arrays.push_back(std::move(*samples));
  const double seconds = secondsSince(start);
  modifyTimings([&](TranscriptionTimings& t) { t.audioLoading = seconds; });
  Logging::debug("Total Audio Loading and Converting Time:", seconds);

  if (stateCallback) stateCallback(TranscriptionState::transcribing);
  const auto outcomes = transcribeWithResults(arrays, decodeOptions, callback);

  std::vector<TranscriptionResultsOrError> answer;
  answer.reserve(audioPaths.size());
  std::size_t next = 0;
  for (std::size_t i = 0; i < audioPaths.size(); ++i) {
    if (const auto* error = std::get_if<std::exception_ptr>(&loaded[i])) {
      answer.emplace_back(*error);
    } else if (next < outcomes.size()) {
      answer.push_back(outcomes[next++]);
    } else {
      answer.push_back(failure("No transcription outcome for " + audioPaths[i]));
    }
  }
  if (stateCallback) stateCallback(TranscriptionState::finished);
  return answer;
}

std::vector<std::optional<TranscriptionResults>> Murmel::transcribe(const std::vector<std::vector<float>>& audioArrays,
                                                                    const std::optional<DecodingOptions>& decodeOptions,
                                                                    const DecodingCallback& callback) {
  return toOptionalArrays(transcribeWithResults(audioArrays, decodeOptions, callback));
}

std::vector<TranscriptionResultsOrError> Murmel::transcribeWithResults(const std::vector<std::vector<float>>& audioArrays,
                                                                       const std::optional<DecodingOptions>& decodeOptions,
                                                                       const DecodingCallback& callback) {
  return transcribeWithOptions(audioArrays, std::vector<std::optional<DecodingOptions>>(audioArrays.size(), decodeOptions),
                               std::nullopt, callback);
}

std::vector<TranscriptionResultsOrError> Murmel::transcribeWithOptions(
    const std::vector<std::vector<float>>& audioArrays, const std::vector<std::optional<DecodingOptions>>& decodeOptionsArray,
    const std::optional<std::vector<std::int64_t>>& seekOffsets, const DecodingCallback& callback) {
  if (audioArrays.size() != decodeOptionsArray.size())
    return {failure("The number of audio arrays and decoding options must be balanced.")};
  if (seekOffsets && seekOffsets->size() != audioArrays.size())
    return {failure("The number of audio arrays and seek offset indexes must be balanced.")};

  // Absent options are the defaults; a largest worker count of 0 or less means one at a time.
  std::int64_t workers = 0;
  for (const auto& options : decodeOptionsArray)
    workers = std::max(workers, options ? options->concurrentWorkerCount : DecodingOptions().concurrentWorkerCount);
  const std::size_t batchSize = static_cast<std::size_t>(std::max<std::int64_t>(workers, 1));

  std::vector<TranscriptionResultsOrError> outcomes;
  outcomes.reserve(audioArrays.size());
  const SegmentDiscoveryCallback engineSegmentCallback = segmentDiscoveryCallback();
  for (std::size_t batchStart = 0; batchStart < audioArrays.size(); batchStart += batchSize) {
    const std::size_t batchEnd = std::min(audioArrays.size(), batchStart + batchSize);
    using Indexed = std::pair<std::size_t, TranscriptionResultsOrError>;
    kestrum::TaskGroup<Indexed> group;
    for (std::size_t position = batchStart; position < batchEnd; ++position) {
      group.addTask([this, &audioArrays, &decodeOptionsArray, &seekOffsets, &callback, &engineSegmentCallback, position,
                     batchStart]() -> Indexed {
        const DecodingCallback progress = [&callback, position](const TranscriptionProgress& report) -> std::optional<bool> {
          if (!callback) return std::nullopt;
          TranscriptionProgress copy = report;
          copy.windowId = static_cast<std::int64_t>(position);
          return callback(copy);
        };
        SegmentDiscoveryCallback segments = engineSegmentCallback;
        if (seekOffsets) {
          const std::int64_t offset = (*seekOffsets)[position];
          segments = [this, offset](const std::vector<TranscriptionSegment>& found) {
            std::vector<TranscriptionSegment> shifted = found;
            for (auto& segment : shifted) segment.seek += offset;
            if (auto target = segmentDiscoveryCallback()) target(shifted);
          };
        }
        try {
          return {position - batchStart, transcribe(audioArrays[position], decodeOptionsArray[position], progress, segments)};
        } catch (...) {
          return {position - batchStart, std::current_exception()};
        }
      });
    }
    auto finished = group.waitForAll();
    std::stable_sort(finished.begin(), finished.end(),
                     [](const Indexed& a, const Indexed& b) { return a.first < b.first; });
    for (auto& [index, outcome] : finished) outcomes.push_back(std::move(outcome));
  }
  return outcomes;
}

std::shared_ptr<TranscribeTask> Murmel::setupTranscribeTask(
    TranscriptionTimings currentTimings, std::shared_ptr<kestrum::Progress> progress,
    std::shared_ptr<AudioProcessing> audioProcessor, std::shared_ptr<AudioEncoding> audioEncoder,
    std::shared_ptr<FeatureExtracting> featureExtractor, std::shared_ptr<SegmentSeeking> segmentSeeker,
    std::shared_ptr<TextDecoding> textDecoder, std::shared_ptr<const WhisperTokenizer> tokenizer) {
  return std::make_shared<TranscribeTask>(std::move(currentTimings), std::move(progress), std::move(audioProcessor),
                                          std::move(audioEncoder), std::move(featureExtractor),
                                          std::move(segmentSeeker), std::move(textDecoder), std::move(tokenizer));
}

TranscriptionResults Murmel::runTranscribeTask(const std::vector<float>& audioArray,
                                               const std::optional<DecodingOptions>& decodeOptions,
                                               const DecodingCallback& callback,
                                               const SegmentDiscoveryCallback& segmentCallback) {
  if (modelState() != kestrum::ModelState::loaded) loadModels(false);
  const auto currentTokenizer = tokenizer();
  if (!currentTokenizer) throw WhisperError::tokenizerUnavailable("Tokenizer is unavailable");
  try {
    kestrum::checkCancellation();
  } catch (const kestrum::CancellationError&) {
    resetProgress();
    throw;
  }

  // One unit of the engine's progress per run; the task counts its samples inside it.
  auto runProgress = std::make_shared<kestrum::Progress>(1);
  raiseProgressTotal(1);
  progress()->addChild(runProgress, 1);

  auto task = setupTranscribeTask(currentTimings(), runProgress, audioProcessor(), audioEncoder(), featureExtractor(),
                                  segmentSeeker(), textDecoder(), currentTokenizer);
  task->segmentDiscoveryCallback = segmentCallback;
  std::shared_ptr<TranscriptionResult> result;
  try {
    result = std::make_shared<TranscriptionResult>(task->run(audioArray, decodeOptions, callback));
  } catch (const kestrum::CancellationError&) {
    resetProgress();
    throw;
  } catch (...) {
    // A failed run is over too: its unit counts, so that a long-lived engine's progress still
    // finishes and is replaced instead of collecting unfinished runs.
    runProgress->setCompletedUnitCount(1);
    if (progress()->fractionCompleted() >= 1.0) resetProgress();
    throw;
  }
  runProgress->setCompletedUnitCount(1);
  if (decodeOptions && decodeOptions->verbose) result->logTimings();
  if (progress()->fractionCompleted() >= 1.0) resetProgress();
  return {result};
}

}  // namespace murmel

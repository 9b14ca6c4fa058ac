// The speech engine: owns the five pipeline stages, the optional voice-activity detector, the
// tokenizer, the model folder, the model state with its change callback and the timings of the last
// run. Construction may download and load, so it happens through `create`, which blocks and throws
// (WhisperError, repository and model errors unchanged): the constructor does only what cannot fail,
// then `initialize` finds the model folder, prewarms and loads through the overridable entries, so a
// subclass built with `create<Subclass>` takes part. Every public operation is virtual and the engine
// calls its own operations through those entries. Calls block the caller's thread; the fan-out runs
// its inputs on the shared thread pool. The state is guarded, but callers must not run a
// model-changing operation (load, prewarm, unload) beside another operation on the same engine.
// A subclass that overrides one `transcribe` overload brings the others back with
// `using Murmel::transcribe;`.
//   auto engine = Murmel::create(MurmelConfig{.model = "base.en"});
//   for (const auto& result : engine->transcribe("talk.wav")) std::cout << result->text();
#pragma once

#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "KestrumCore/ModelState.h"
#include "KestrumCore/Progress.h"
#include "Murmel/common/EngineUtilities.h"
#include "Murmel/data/ModelSupport.h"
#include "Murmel/decoding/WhisperTokenizer.h"
#include "Murmel/MurmelConfig.h"
#include "Murmel/transcription/TranscribeTask.h"

namespace murmel {

using SegmentDiscoveryCallback = std::function<void(const std::vector<TranscriptionSegment>&)>;
using ModelStateCallback = std::function<void(std::optional<kestrum::ModelState> oldState, kestrum::ModelState newState)>;
using TranscriptionStateCallback = std::function<void(TranscriptionState)>;

// The winning language code and every language's probability.
struct DetectedLanguage {
  std::string language;
  std::map<std::string, float> langProbs;
};

// Stands in the chunked path's result list for a chunk whose transcription failed: no text, no
// segments, `seekTime` at the chunk's start (seconds); the chunk's error is kept.
class FailedChunkResult : public TranscriptionResult {
 public:
  FailedChunkResult(std::int64_t chunkIndex, std::int64_t seekOffsetIndex, std::exception_ptr error);
  std::int64_t chunkIndex() const { return chunkIndex_; }
  std::int64_t seekOffsetIndex() const { return seekOffsetIndex_; }  // first sample of the chunk
  std::exception_ptr error() const { return error_; }
  std::string errorDescription() const;

 private:
  std::int64_t chunkIndex_;
  std::int64_t seekOffsetIndex_;
  std::exception_ptr error_;
};

class Murmel {
 public:
  static constexpr std::int64_t sampleRate = 16000;        // samples per second of all engine audio
  static constexpr std::int64_t hopLength = 160;           // samples between two spectrogram frames
  static constexpr float secondsPerTimeToken = 0.02f;      // seconds per timestamp token step
  static constexpr const char* defaultRemoteConfigName = "config.json";

  // Builds the engine (steps that cannot fail), then runs `initialize(config)`.
  template <class Engine = Murmel, class... Args>
  static std::shared_ptr<Engine> create(const MurmelConfig& config, Args&&... args) {
    auto engine = std::make_shared<Engine>(config, std::forward<Args>(args)...);
    engine->initialize(config);
    return engine;
  }
  // The configuration of these arguments (no token, endpoint, input config or detector), then create.
  template <class Engine = Murmel>
  static std::shared_ptr<Engine> create(std::optional<std::string> model,
                                        std::optional<std::filesystem::path> downloadBase = std::nullopt,
                                        std::optional<std::string> modelRepo = std::nullopt,
                                        std::optional<std::string> modelFolder = std::nullopt,
                                        std::optional<std::filesystem::path> tokenizerFolder = std::nullopt,
                                        std::optional<ModelComputeOptions> computeOptions = std::nullopt,
                                        std::shared_ptr<AudioProcessing> audioProcessor = nullptr,
                                        std::shared_ptr<FeatureExtracting> featureExtractor = nullptr,
                                        std::shared_ptr<AudioEncoding> audioEncoder = nullptr,
                                        std::shared_ptr<TextDecoding> textDecoder = nullptr,
                                        std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> logitsFilters = std::nullopt,
                                        std::shared_ptr<SegmentSeeking> segmentSeeker = nullptr, bool verbose = true,
                                        kestrum::Logging::LogLevel logLevel = kestrum::Logging::LogLevel::info,
                                        std::optional<bool> prewarm = std::nullopt, std::optional<bool> load = std::nullopt,
                                        bool download = true, bool useBackgroundDownloadSession = false) {
    MurmelConfig config;
    config.model = std::move(model);
    config.downloadBase = std::move(downloadBase);
    config.modelRepo = std::move(modelRepo);
    config.modelFolder = std::move(modelFolder);
    config.tokenizerFolder = std::move(tokenizerFolder);
    config.computeOptions = computeOptions;
    config.audioProcessor = std::move(audioProcessor);
    config.featureExtractor = std::move(featureExtractor);
    config.audioEncoder = std::move(audioEncoder);
    config.textDecoder = std::move(textDecoder);
    config.logitsFilters = std::move(logitsFilters);
    config.segmentSeeker = std::move(segmentSeeker);
    config.verbose = verbose;
    config.logLevel = logLevel;
    config.prewarm = prewarm;
    config.load = load;
    config.download = download;
    config.useBackgroundDownloadSession = useBackgroundDownloadSession;
    return create<Engine>(config);
  }

  // Stages, compute units, input config and tokenizer folder from the configuration (defaults for
  // what is absent), fresh timings and progress, and the process-wide log level. Never throws for
  // a configuration; loads nothing. Prefer `create`.
  explicit Murmel(const MurmelConfig& config);
  // Stops live capture first.
  virtual ~Murmel();
  Murmel(const Murmel&) = delete;
  Murmel& operator=(const Murmel&) = delete;

  // ---- state ----
  virtual ModelVariant modelVariant() const;
  virtual kestrum::ModelState modelState() const;
  virtual ModelComputeOptions modelCompute() const;
  virtual void setModelCompute(ModelComputeOptions compute);
  virtual AudioInputConfig audioInputConfig() const;
  virtual void setAudioInputConfig(AudioInputConfig config);
  virtual std::shared_ptr<const WhisperTokenizer> tokenizer() const;
  // Also hands the tokenizer (or its absence) to the text decoder.
  virtual void setTokenizer(std::shared_ptr<const WhisperTokenizer> tokenizer);
  virtual std::shared_ptr<AudioProcessing> audioProcessor() const;
  virtual void setAudioProcessor(std::shared_ptr<AudioProcessing> stage);
  virtual std::shared_ptr<FeatureExtracting> featureExtractor() const;
  virtual void setFeatureExtractor(std::shared_ptr<FeatureExtracting> stage);
  virtual std::shared_ptr<AudioEncoding> audioEncoder() const;
  virtual void setAudioEncoder(std::shared_ptr<AudioEncoding> stage);
  virtual std::shared_ptr<TextDecoding> textDecoder() const;
  virtual void setTextDecoder(std::shared_ptr<TextDecoding> stage);
  virtual std::shared_ptr<SegmentSeeking> segmentSeeker() const;
  virtual void setSegmentSeeker(std::shared_ptr<SegmentSeeking> stage);
  virtual std::shared_ptr<const VoiceActivityDetector> voiceActivityDetector() const;
  virtual void setVoiceActivityDetector(std::shared_ptr<const VoiceActivityDetector> detector);
  virtual TranscriptionTimings currentTimings() const;
  virtual std::shared_ptr<kestrum::Progress> progress() const;
  virtual std::optional<std::filesystem::path> modelFolder() const;
  virtual void setModelFolder(std::optional<std::filesystem::path> folder);
  virtual std::optional<std::filesystem::path> tokenizerFolder() const;
  virtual void setTokenizerFolder(std::optional<std::filesystem::path> folder);
  virtual bool useBackgroundDownloadSession() const;
  virtual SegmentDiscoveryCallback segmentDiscoveryCallback() const;
  virtual void setSegmentDiscoveryCallback(SegmentDiscoveryCallback callback);
  // Called on every state assignment (also an unchanged one), after the state is stored, on the
  // thread that changes it.
  virtual ModelStateCallback modelStateCallback() const;
  virtual void setModelStateCallback(ModelStateCallback callback);
  virtual TranscriptionStateCallback transcriptionStateCallback() const;
  virtual void setTranscriptionStateCallback(TranscriptionStateCallback callback);

  // ---- construction, models ----
  // The rest of construction: the model folder (setupModels with "config.json" and the endpoint or
  // the service default), then prewarm when asked, then load when asked or when the configuration
  // named a folder.
  virtual void initialize(const MurmelConfig& config);
  // A given folder is used as it is; else, when downloading, the named model (or the device's
  // recommendation) is fetched from the repository (absent: the default one). A failed download
  // throws modelsUnavailable naming repository, endpoint and revision ("Model not found. ..." for
  // an answer of the service, "The model repository ... could not be reached." without one) and
  // leaves the folder unchanged.
  virtual void setupModels(const std::optional<std::string>& model,
                           const std::optional<std::filesystem::path>& downloadBase,
                           const std::optional<std::string>& modelRepo, const std::optional<std::string>& modelToken,
                           const std::optional<std::string>& modelFolder, bool download,
                           const std::string& remoteConfigName, const std::string& endpoint);
  virtual void prewarmModels();
  // State loading (prewarming), the three required files checked before anything loads, then
  // feature extractor, prefill, text decoder, audio encoder, and (not prewarming) the tokenizer.
  // A failure leaves the state at loading/prewarming and the stages loaded so far as they are.
  virtual void loadModels(bool prewarmMode = false);
  // Skips when a tokenizer exists; else marks the decoder multilingual unless its vocabulary is
  // 51864, detects the variant and loads the variant's tokenizer.
  virtual void loadTokenizerIfNeeded();
  // Tokenizer, variant, folder and prefill model stay.
  virtual void unloadModels();
  // Stops live capture and resets the timings.
  virtual void clearState();
  // Every log line that passes the level goes to the callback (an empty one: the system log).
  virtual void loggingCallback(kestrum::Logging::Callback callback);

  // ---- language detection (first 30 s only) ----
  virtual DetectedLanguage detectLanguage(const std::string& audioPath);
  virtual DetectedLanguage detectLangauge(const std::vector<float>& audioArray);

  // ---- transcription ----
  // Operations over many inputs never throw: one outcome per input, in input order.
  virtual std::vector<std::optional<TranscriptionResults>> transcribe(const std::vector<std::string>& audioPaths,
                                                                      const std::optional<DecodingOptions>& decodeOptions = std::nullopt,
                                                                      const DecodingCallback& callback = {});
  virtual std::vector<TranscriptionResultsOrError> transcribeWithResults(
      const std::vector<std::string>& audioPaths, const std::optional<DecodingOptions>& decodeOptions = std::nullopt,
      const DecodingCallback& callback = {});
  virtual std::vector<std::optional<TranscriptionResults>> transcribe(const std::vector<std::vector<float>>& audioArrays,
                                                                      const std::optional<DecodingOptions>& decodeOptions = std::nullopt,
                                                                      const DecodingCallback& callback = {});
  virtual std::vector<TranscriptionResultsOrError> transcribeWithResults(
      const std::vector<std::vector<float>>& audioArrays, const std::optional<DecodingOptions>& decodeOptions = std::nullopt,
      const DecodingCallback& callback = {});
  // The batched fan-out: batches of the largest concurrentWorkerCount (absent options count as the
  // defaults; 0 or less runs one input at a time), each batch finished before the next starts;
  // progress reports carry the input's position as windowId; segments go to segmentDiscoveryCallback
  // with the input's seek offset added. Unbalanced counts answer one transcriptionFailed outcome.
  virtual std::vector<TranscriptionResultsOrError> transcribeWithOptions(
      const std::vector<std::vector<float>>& audioArrays, const std::vector<std::optional<DecodingOptions>>& decodeOptionsArray,
      const std::optional<std::vector<std::int64_t>>& seekOffsets = std::nullopt, const DecodingCallback& callback = {});
  // The `transcribeSingle` forms answer the first result, or null when there is none.
  // A file: states convertingAudio, transcribing, finished (not finished when the file fails to load).
  virtual std::shared_ptr<TranscriptionResult> transcribeSingle(const std::string& audioPath,
                                                                const std::optional<DecodingOptions>& decodeOptions = std::nullopt,
                                                                const DecodingCallback& callback = {});
  virtual TranscriptionResults transcribe(const std::string& audioPath,
                                          const std::optional<DecodingOptions>& decodeOptions = std::nullopt,
                                          const DecodingCallback& callback = {});
  virtual std::shared_ptr<TranscriptionResult> transcribeSingle(const std::vector<float>& audioArray,
                                                                const std::optional<DecodingOptions>& decodeOptions = std::nullopt,
                                                                const DecodingCallback& callback = {});
  // With vad chunking and more than one window of audio: one result per chunk, in chunk order; a
  // failed chunk is logged at error level and stands in the list as a FailedChunkResult.
  virtual TranscriptionResults transcribe(const std::vector<float>& audioArray,
                                          const std::optional<DecodingOptions>& decodeOptions = std::nullopt,
                                          const DecodingCallback& callback = {},
                                          const SegmentDiscoveryCallback& segmentCallback = {});
  virtual std::shared_ptr<TranscribeTask> setupTranscribeTask(
      TranscriptionTimings currentTimings, std::shared_ptr<kestrum::Progress> progress,
      std::shared_ptr<AudioProcessing> audioProcessor, std::shared_ptr<AudioEncoding> audioEncoder,
      std::shared_ptr<FeatureExtracting> featureExtractor, std::shared_ptr<SegmentSeeking> segmentSeeker,
      std::shared_ptr<TextDecoding> textDecoder, std::shared_ptr<const WhisperTokenizer> tokenizer);
  // Loads the models when not loaded, then one task run; always one result.
  virtual TranscriptionResults runTranscribeTask(const std::vector<float>& audioArray,
                                                 const std::optional<DecodingOptions>& decodeOptions,
                                                 const DecodingCallback& callback,
                                                 const SegmentDiscoveryCallback& segmentCallback);

  // ---- models of the repository (no engine state) ----
  static std::string deviceName();
  static ModelSupport recommendedModels();
  static ModelSupport recommendedRemoteModels(const std::string& from, const std::optional<std::filesystem::path>& downloadBase = std::nullopt,
                                              const std::optional<std::string>& token = std::nullopt,
                                              const std::string& remoteConfigName = defaultRemoteConfigName,
                                              const std::optional<std::string>& endpoint = std::nullopt);
  static ModelSupportConfig fetchModelSupportConfig(const std::string& from,
                                                    const std::optional<std::filesystem::path>& downloadBase = std::nullopt,
                                                    const std::optional<std::string>& token = std::nullopt,
                                                    const std::string& remoteConfigName = defaultRemoteConfigName,
                                                    const std::optional<std::string>& endpoint = std::nullopt);
  static std::vector<std::string> fetchAvailableModels(const std::string& from, const std::vector<std::string>& matching,
                                                       const std::optional<std::filesystem::path>& downloadBase = std::nullopt,
                                                       const std::optional<std::string>& token = std::nullopt,
                                                       const std::string& remoteConfigName = defaultRemoteConfigName,
                                                       const std::optional<std::string>& endpoint = std::nullopt);
  static std::filesystem::path download(const std::string& variant,
                                        const std::optional<std::filesystem::path>& downloadBase = std::nullopt,
                                        bool useBackgroundSession = false, const std::optional<std::string>& from = std::nullopt,
                                        const std::optional<std::string>& token = std::nullopt,
                                        const std::optional<std::string>& endpoint = std::nullopt,
                                        const std::function<void(const kestrum::Progress&)>& progressCallback = {});
  static std::vector<std::string> formatModelFiles(const std::vector<std::string>& modelFiles);
  // Linux has no device simulator for the engine to run in.
  static constexpr bool isRunningOnSimulator = false;

 protected:
  // Stores the state, then calls the state callback with the previous and the new state.
  virtual void setModelState(kestrum::ModelState state);
  virtual void setModelVariant(ModelVariant variant);
  virtual void setCurrentTimings(TranscriptionTimings timings);
  // A fresh, empty progress object replaces the current one.
  virtual void resetProgress();
  // Changes the timings under the engine's lock.
  void modifyTimings(const std::function<void(TranscriptionTimings&)>& change);
  // Raises the progress object's total unit count to at least `atLeast`.
  void raiseProgressTotal(std::int64_t atLeast);

 private:
  mutable std::mutex mutex_;  // guards every field below
  ModelVariant modelVariant_ = ModelVariant::tiny;
  kestrum::ModelState modelState_ = kestrum::ModelState::unloaded;
  ModelComputeOptions modelCompute_;
  AudioInputConfig audioInputConfig_;
  std::shared_ptr<const WhisperTokenizer> tokenizer_;
  std::shared_ptr<AudioProcessing> audioProcessor_;
  std::shared_ptr<FeatureExtracting> featureExtractor_;
  std::shared_ptr<AudioEncoding> audioEncoder_;
  std::shared_ptr<TextDecoding> textDecoder_;
  std::shared_ptr<SegmentSeeking> segmentSeeker_;
  std::shared_ptr<const VoiceActivityDetector> voiceActivityDetector_;
  TranscriptionTimings currentTimings_;
  std::shared_ptr<kestrum::Progress> progress_;
  std::optional<std::filesystem::path> modelFolder_;
  std::optional<std::filesystem::path> tokenizerFolder_;
  const std::optional<std::string> modelEndpoint_;  // the configuration's; never changes
  bool useBackgroundDownloadSession_ = false;
  SegmentDiscoveryCallback segmentDiscoveryCallback_;
  ModelStateCallback modelStateCallback_;
  TranscriptionStateCallback transcriptionStateCallback_;
};

}  // namespace murmel

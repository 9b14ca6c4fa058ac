#include "Murmel/Murmel.h"

#include <chrono>

#include "Hub/HubApi.h"
#include "KestrumCore/Concurrency.h"
#include "Murmel/audio/AudioProcessor.h"
#include "Murmel/common/EngineLogging.h"
#include "Murmel/common/WhisperError.h"
#include "Murmel/decoding/TokenSampler.h"
#include "Murmel/models/EngineModelUtilities.h"
#include "Murmel/models/ModelDownload.h"
#include "platform/Net/Url.h"
#include "platform/System/NumberText.h"

namespace murmel {
namespace fs = std::filesystem;
using kestrum::ModelState;

namespace {

constexpr std::int64_t kEnglishOnlyVocabulary = 51864;

using platform::system::fixedText;

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

// ---- failed chunks ------------------------------------------------------------------------------

FailedChunkResult::FailedChunkResult(std::int64_t chunkIndex, std::int64_t seekOffsetIndex, std::exception_ptr error)
    : chunkIndex_(chunkIndex), seekOffsetIndex_(seekOffsetIndex), error_(std::move(error)) {
  setSeekTime(static_cast<float>(seekOffsetIndex) / static_cast<float>(Murmel::sampleRate));
}

std::string FailedChunkResult::errorDescription() const {
  try {
    if (error_) std::rethrow_exception(error_);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    // Not a std::exception: nothing to describe it by.
  }
  return "unknown error";
}

// ---- construction -------------------------------------------------------------------------------

Murmel::Murmel(const MurmelConfig& config)
    : modelCompute_(config.computeOptions.value_or(ModelComputeOptions())),
      audioInputConfig_(config.audioInputConfig.value_or(AudioInputConfig{})),
      audioProcessor_(config.audioProcessor ? config.audioProcessor : std::make_shared<AudioProcessor>()),
      featureExtractor_(config.featureExtractor ? config.featureExtractor : std::make_shared<FeatureExtractor>()),
      audioEncoder_(config.audioEncoder ? config.audioEncoder : std::make_shared<AudioEncoder>()),
      textDecoder_(config.textDecoder ? config.textDecoder : std::make_shared<TextDecoder>()),
      segmentSeeker_(config.segmentSeeker ? config.segmentSeeker : std::make_shared<SegmentSeeker>()),
      voiceActivityDetector_(config.voiceActivityDetector),
      progress_(std::make_shared<kestrum::Progress>()),
      tokenizerFolder_(config.tokenizerFolder ? config.tokenizerFolder : config.downloadBase),
      modelEndpoint_(config.modelEndpoint),
      useBackgroundDownloadSession_(config.useBackgroundDownloadSession) {
  if (config.logitsFilters) textDecoder_->setLogitsFilters(config.logitsFilters);
  Logging::shared().setLogLevel(config.verbose ? config.logLevel : Logging::LogLevel::none);
}

Murmel::~Murmel() {
  if (audioProcessor_) audioProcessor_->stopRecording();
}

void Murmel::initialize(const MurmelConfig& config) {
  // The repository client's own default, so that its environment setting applies here too.
  const std::string endpoint = config.modelEndpoint ? *config.modelEndpoint : hub::HubApi().endpoint();
  setupModels(config.model, config.downloadBase, config.modelRepo, config.modelToken, config.modelFolder,
              config.download, defaultRemoteConfigName, endpoint);
  if (config.prewarm.value_or(false)) {
    Logging::info("Prewarming models...");
    prewarmModels();
  }
  // The folder the configuration named, not one found by downloading.
  if (config.load.value_or(config.modelFolder.has_value())) {
    Logging::info("Loading models...");
    loadModels(false);
  }
}

// ---- state --------------------------------------------------------------------------------------

ModelVariant Murmel::modelVariant() const { std::lock_guard hold(mutex_); return modelVariant_; }
ModelState Murmel::modelState() const { std::lock_guard hold(mutex_); return modelState_; }
ModelComputeOptions Murmel::modelCompute() const { std::lock_guard hold(mutex_); return modelCompute_; }
void Murmel::setModelCompute(ModelComputeOptions compute) { std::lock_guard hold(mutex_); modelCompute_ = compute; }
AudioInputConfig Murmel::audioInputConfig() const { std::lock_guard hold(mutex_); return audioInputConfig_; }
void Murmel::setAudioInputConfig(AudioInputConfig config) { std::lock_guard hold(mutex_); audioInputConfig_ = std::move(config); }
std::shared_ptr<const WhisperTokenizer> Murmel::tokenizer() const { std::lock_guard hold(mutex_); return tokenizer_; }
std::shared_ptr<AudioProcessing> Murmel::audioProcessor() const { std::lock_guard hold(mutex_); return audioProcessor_; }
void Murmel::setAudioProcessor(std::shared_ptr<AudioProcessing> stage) { std::lock_guard hold(mutex_); audioProcessor_ = std::move(stage); }
std::shared_ptr<FeatureExtracting> Murmel::featureExtractor() const { std::lock_guard hold(mutex_); return featureExtractor_; }
void Murmel::setFeatureExtractor(std::shared_ptr<FeatureExtracting> stage) { std::lock_guard hold(mutex_); featureExtractor_ = std::move(stage); }
std::shared_ptr<AudioEncoding> Murmel::audioEncoder() const { std::lock_guard hold(mutex_); return audioEncoder_; }
void Murmel::setAudioEncoder(std::shared_ptr<AudioEncoding> stage) { std::lock_guard hold(mutex_); audioEncoder_ = std::move(stage); }
std::shared_ptr<TextDecoding> Murmel::textDecoder() const { std::lock_guard hold(mutex_); return textDecoder_; }
void Murmel::setTextDecoder(std::shared_ptr<TextDecoding> stage) { std::lock_guard hold(mutex_); textDecoder_ = std::move(stage); }
std::shared_ptr<SegmentSeeking> Murmel::segmentSeeker() const { std::lock_guard hold(mutex_); return segmentSeeker_; }
void Murmel::setSegmentSeeker(std::shared_ptr<SegmentSeeking> stage) { std::lock_guard hold(mutex_); segmentSeeker_ = std::move(stage); }
std::shared_ptr<const VoiceActivityDetector> Murmel::voiceActivityDetector() const { std::lock_guard hold(mutex_); return voiceActivityDetector_; }
void Murmel::setVoiceActivityDetector(std::shared_ptr<const VoiceActivityDetector> detector) { std::lock_guard hold(mutex_); voiceActivityDetector_ = std::move(detector); }
TranscriptionTimings Murmel::currentTimings() const { std::lock_guard hold(mutex_); return currentTimings_; }
std::shared_ptr<kestrum::Progress> Murmel::progress() const { std::lock_guard hold(mutex_); return progress_; }
std::optional<fs::path> Murmel::modelFolder() const { std::lock_guard hold(mutex_); return modelFolder_; }
void Murmel::setModelFolder(std::optional<fs::path> folder) { std::lock_guard hold(mutex_); modelFolder_ = std::move(folder); }
std::optional<fs::path> Murmel::tokenizerFolder() const { std::lock_guard hold(mutex_); return tokenizerFolder_; }
void Murmel::setTokenizerFolder(std::optional<fs::path> folder) { std::lock_guard hold(mutex_); tokenizerFolder_ = std::move(folder); }
bool Murmel::useBackgroundDownloadSession() const { std::lock_guard hold(mutex_); return useBackgroundDownloadSession_; }
SegmentDiscoveryCallback Murmel::segmentDiscoveryCallback() const { std::lock_guard hold(mutex_); return segmentDiscoveryCallback_; }
void Murmel::setSegmentDiscoveryCallback(SegmentDiscoveryCallback callback) { std::lock_guard hold(mutex_); segmentDiscoveryCallback_ = std::move(callback); }
ModelStateCallback Murmel::modelStateCallback() const { std::lock_guard hold(mutex_); return modelStateCallback_; }
void Murmel::setModelStateCallback(ModelStateCallback callback) { std::lock_guard hold(mutex_); modelStateCallback_ = std::move(callback); }
TranscriptionStateCallback Murmel::transcriptionStateCallback() const { std::lock_guard hold(mutex_); return transcriptionStateCallback_; }
void Murmel::setTranscriptionStateCallback(TranscriptionStateCallback callback) { std::lock_guard hold(mutex_); transcriptionStateCallback_ = std::move(callback); }

void Murmel::setTokenizer(std::shared_ptr<const WhisperTokenizer> tokenizer) {
  std::shared_ptr<TextDecoding> decoder;
  {
    std::lock_guard hold(mutex_);
    tokenizer_ = tokenizer;
    decoder = textDecoder_;
  }
  if (decoder) decoder->setTokenizer(std::move(tokenizer));
}

void Murmel::setModelState(ModelState state) {
  ModelState old;
  ModelStateCallback callback;
  {
    std::lock_guard hold(mutex_);
    old = modelState_;
    modelState_ = state;
    callback = modelStateCallback_;
  }
  if (callback) callback(old, state);
}

void Murmel::setModelVariant(ModelVariant variant) { std::lock_guard hold(mutex_); modelVariant_ = variant; }
void Murmel::setCurrentTimings(TranscriptionTimings timings) { std::lock_guard hold(mutex_); currentTimings_ = timings; }
void Murmel::resetProgress() { std::lock_guard hold(mutex_); progress_ = std::make_shared<kestrum::Progress>(); }

void Murmel::modifyTimings(const std::function<void(TranscriptionTimings&)>& change) {
  std::lock_guard hold(mutex_);
  change(currentTimings_);
}

void Murmel::raiseProgressTotal(std::int64_t atLeast) {
  std::lock_guard hold(mutex_);
  if (progress_->totalUnitCount() < atLeast) progress_->setTotalUnitCount(atLeast);
}

// ---- model folder -------------------------------------------------------------------------------

namespace {

// A transfer that never got an answer from the service, as opposed to an answer from it.
bool serviceUnreachable(const std::exception& e) {
  if (const auto* client = dynamic_cast<const hub::Hub::HubClientError*>(&e))
    return client->kind() == hub::Hub::HubClientError::Kind::downloadError ||
           client->kind() == hub::Hub::HubClientError::Kind::networkError;
  const auto* transfer = dynamic_cast<const platform::net::TransferError*>(&e);
  return transfer && transfer->kind != platform::net::TransferError::Kind::cancelled;
}

}  // namespace

void Murmel::setupModels(const std::optional<std::string>& model, const std::optional<fs::path>& downloadBase,
                         const std::optional<std::string>& modelRepo, const std::optional<std::string>& modelToken,
                         const std::optional<std::string>& modelFolder, bool download,
                         const std::string& remoteConfigName, const std::string& endpoint) {
  if (modelFolder) {
    setModelFolder(fs::absolute(fs::path(*modelFolder)));
    return;
  }
  if (!download) return;
  std::string variant;
  if (model) {
    variant = *model;
  } else {
    const auto config = fetchModelSupportConfig(modelRepo.value_or(std::string(defaultModelRepo)), downloadBase,
                                                modelToken, remoteConfigName, endpoint);
    variant = config.modelSupport(deviceName()).defaultModel;
  }
  fs::path folder;
  try {
    // An absent repository is the model family's checkpoint repository for the name, else ours.
    folder = Murmel::download(variant, downloadBase, useBackgroundDownloadSession(), modelRepo, modelToken, endpoint);
  } catch (const kestrum::CancellationError&) {
    throw;
  } catch (const std::exception& e) {
    // "openai/whisper-tiny at https://huggingface.co, revision main"
    const std::string where = modelRepo.value_or(defaultModelRepository(variant)) + " at " +
                              (endpoint.empty() ? std::string("(no endpoint)") : platform::net::redactUrl(endpoint)) +
                              ", revision main";
    if (serviceUnreachable(e))
      throw WhisperError::modelsUnavailable("The model repository " + where + " could not be reached.\nError: " +
                                            e.what());
    throw WhisperError::modelsUnavailable(
        "Model not found. Please check the model or repo name and try again.\nError: " + where + ": " + e.what());
  }
  setModelFolder(std::move(folder));
}

// ---- loading ------------------------------------------------------------------------------------

void Murmel::prewarmModels() { loadModels(true); }

void Murmel::loadModels(bool prewarmMode) {
  setModelState(prewarmMode ? ModelState::prewarming : ModelState::loading);
  const auto start = std::chrono::steady_clock::now();
  const auto folder = modelFolder();
  if (!folder) throw WhisperError::modelsUnavailable("Model folder is not set.");
  Logging::debug("Loading models from", folder->string(), "with prewarmMode:", prewarmMode);

  const fs::path melURL = ModelUtilities::detectModelURL(*folder, "MelSpectrogram");
  const fs::path encoderURL = ModelUtilities::detectModelURL(*folder, "AudioEncoder");
  const fs::path decoderURL = ModelUtilities::detectModelURL(*folder, "TextDecoder");
  const fs::path prefillURL = ModelUtilities::detectModelURL(*folder, "TextDecoderContextPrefill");
  for (const fs::path* url : {&melURL, &encoderURL, &decoderURL}) {
    std::error_code error;
    if (!fs::exists(*url, error)) throw WhisperError::modelsUnavailable("Model file not found at " + url->string());
  }

  const ModelComputeOptions compute = modelCompute();
  const auto decoder = textDecoder();
  if (auto stage = std::dynamic_pointer_cast<WhisperMLModel>(featureExtractor())) {
    Logging::debug("Loading feature extractor");
    stage->loadModel(melURL, compute.melCompute, prewarmMode);
    Logging::debug("Loaded feature extractor");
  }
  std::error_code error;
  if (fs::exists(prefillURL, error)) {
    Logging::debug("Loading text decoder prefill data");
    decoder->setPrefillData(std::make_shared<TextDecoderContextPrefill>());
    if (auto prefill = decoder->prefillData()) prefill->loadModel(prefillURL, compute.prefillCompute, prewarmMode);
    Logging::debug("Loaded text decoder prefill data");
  }
  if (auto stage = std::dynamic_pointer_cast<WhisperMLModel>(decoder)) {
    Logging::debug("Loading text decoder");
    const auto decoderStart = std::chrono::steady_clock::now();
    stage->loadModel(decoderURL, compute.textDecoderCompute, prewarmMode);
    const double seconds = secondsSince(decoderStart);
    modifyTimings([&](TranscriptionTimings& t) { (prewarmMode ? t.decoderSpecializationTime : t.decoderLoadTime) = seconds; });
    Logging::debug("Loaded text decoder in " + fixedText(seconds, 2) + "s");
  }
  if (auto stage = std::dynamic_pointer_cast<WhisperMLModel>(audioEncoder())) {
    Logging::debug("Loading audio encoder");
    const auto encoderStart = std::chrono::steady_clock::now();
    stage->loadModel(encoderURL, compute.audioEncoderCompute, prewarmMode);
    const double seconds = secondsSince(encoderStart);
    modifyTimings([&](TranscriptionTimings& t) { (prewarmMode ? t.encoderSpecializationTime : t.encoderLoadTime) = seconds; });
    Logging::debug("Loaded audio encoder in " + fixedText(seconds, 2) + "s");
  }

  if (prewarmMode) {
    setModelState(ModelState::prewarmed);
    const double seconds = secondsSince(start);
    modifyTimings([&](TranscriptionTimings& t) { t.prewarmLoadTime = seconds; });
    return;
  }
  loadTokenizerIfNeeded();
  setModelState(ModelState::loaded);
  double loading = 0;
  modifyTimings([&](TranscriptionTimings& t) { loading = t.modelLoading = secondsSince(start) + t.prewarmLoadTime; });
  Logging::info("Loaded models for whisper size: " + description(modelVariant()) + " in " + fixedText(loading, 2) + "s");
}

void Murmel::loadTokenizerIfNeeded() {
  if (tokenizer()) {
    Logging::debug("Tokenizer already exists on Murmel, skipping load");
    return;
  }
  const auto decoder = textDecoder();
  const auto logitsSize = decoder->logitsSize();
  const auto encoderWidth = audioEncoder()->embedSize();
  if (!logitsSize || !encoderWidth) throw WhisperError::tokenizerUnavailable("Tokenizer is unavailable");
  decoder->setIsModelMultilingual(*logitsSize != kEnglishOnlyVocabulary);
  const ModelVariant variant = ModelUtilities::detectVariant(*logitsSize, *encoderWidth);
  setModelVariant(variant);
  Logging::debug("Loading tokenizer for " + description(variant));
  const auto start = std::chrono::steady_clock::now();

  std::vector<fs::path> searchPaths;
  std::shared_ptr<const WhisperTokenizer> loaded;
  if (const auto folder = modelFolder()) {
    // A packed checkpoint brings its own tokenizer; the variant guessed from the width may not be its size.
    loaded = ModelUtilities::loadCheckpointTokenizer(*folder);
    searchPaths.push_back(*folder);
    const hub::HubApi local(*folder, std::nullopt, std::nullopt, false, std::nullopt);
    searchPaths.push_back(local.localRepoLocation(
        hub::Hub::Repo{ModelUtilities::tokenizerNameForVariant(variant), hub::Hub::RepoType::models}));
  }
  // The download, when one is needed, asks the service the models came from.
  if (!loaded)
    loaded = ModelUtilities::loadTokenizer(variant, tokenizerFolder(), searchPaths, useBackgroundDownloadSession(),
                                           modelEndpoint_);
  const double seconds = secondsSince(start);
  modifyTimings([&](TranscriptionTimings& t) { t.tokenizerLoadTime = seconds; });
  setTokenizer(std::move(loaded));
  Logging::debug("Loaded tokenizer in " + fixedText(seconds, 2) + "s");
}

void Murmel::unloadModels() {
  setModelState(ModelState::unloading);
  if (auto stage = std::dynamic_pointer_cast<WhisperMLModel>(featureExtractor())) stage->unloadModel();
  if (auto stage = std::dynamic_pointer_cast<WhisperMLModel>(audioEncoder())) stage->unloadModel();
  if (auto stage = std::dynamic_pointer_cast<WhisperMLModel>(textDecoder())) stage->unloadModel();
  setModelState(ModelState::unloaded);
  Logging::info("Unloaded all models");
}

void Murmel::clearState() {
  audioProcessor()->stopRecording();
  setCurrentTimings(TranscriptionTimings{});
}

void Murmel::loggingCallback(kestrum::Logging::Callback callback) {
  Logging::shared().setLoggingCallback(std::move(callback));
}

// ---- language detection -------------------------------------------------------------------------

DetectedLanguage Murmel::detectLanguage(const std::string& audioPath) {
  std::error_code error;
  if (!fs::exists(audioPath, error)) throw WhisperError::loadAudioFailed("Resource path does not exist " + audioPath);
  platform::audio::AudioFile file(audioPath);
  // All channels summed whatever the engine's input config says; the first 30 s only.
  auto buffer = AudioProcessor::loadAudio(file, ChannelMode::sumChannels(), 0.0, 30.0);
  return detectLangauge(AudioProcessor::convertBufferToArray(buffer, 1024));
}

DetectedLanguage Murmel::detectLangauge(const std::vector<float>& audioArray) {
  if (modelState() != ModelState::loaded) loadModels(false);
  const auto decoder = textDecoder();
  if (!decoder->isModelMultilingual()) throw WhisperError::decodingFailed("Language detection not supported for this model");
  const auto currentTokenizer = tokenizer();
  if (!currentTokenizer) throw WhisperError::tokenizerUnavailable("Tokenizer is unavailable");

  DecodingOptions options;
  options.verbose = Logging::shared().logLevel() != Logging::LogLevel::none;
  const SpecialTokens& special = currentTokenizer->specialTokens();
  const auto inputs = decoder->prepareDecoderInputs({special.startOfTranscriptToken});
  if (!inputs) throw WhisperError::prepareDecoderInputsFailed("Unable to prepare decoder inputs");

  const std::int64_t windowSamples = featureExtractor()->windowSamples().value_or(480000);
  const auto window = audioProcessor()->padOrTrim(audioArray, 0, windowSamples);
  if (!window) throw WhisperError::transcriptionFailed("Audio samples are nil");
  const auto mel = featureExtractor()->logMelSpectrogram(*window);
  if (!mel) throw WhisperError::transcriptionFailed("Mel output is nil");
  const auto encoded = audioEncoder()->encodeFeatures(*mel);
  if (!encoded) throw WhisperError::transcriptionFailed("Encoder output is nil");

  GreedyTokenSampler sampler(platform::ml::Float16(0.0f), special.endToken, options);
  DecodingResult result;
  try {
    result = decoder->detectLanguage(*encoded, *inputs, sampler, options, platform::ml::Float16(0.0f));
  } catch (const kestrum::CancellationError&) {
    throw;
  } catch (...) {
    throw WhisperError::decodingFailed("Language detection failed");
  }
  return DetectedLanguage{result.language, result.languageProbs};
}

// ---- repository models --------------------------------------------------------------------------

std::string Murmel::deviceName() { return murmel::deviceName(); }
ModelSupport Murmel::recommendedModels() { return murmel::recommendedModels(); }
ModelSupport Murmel::recommendedRemoteModels(const std::string& from, const std::optional<fs::path>& downloadBase,
                                             const std::optional<std::string>& token, const std::string& remoteConfigName,
                                             const std::optional<std::string>& endpoint) {
  return murmel::recommendedRemoteModels(from, downloadBase, token, remoteConfigName, endpoint);
}
ModelSupportConfig Murmel::fetchModelSupportConfig(const std::string& from, const std::optional<fs::path>& downloadBase,
                                                   const std::optional<std::string>& token,
                                                   const std::string& remoteConfigName,
                                                   const std::optional<std::string>& endpoint) {
  return murmel::fetchModelSupportConfig(from, downloadBase, token, remoteConfigName, endpoint);
}
std::vector<std::string> Murmel::fetchAvailableModels(const std::string& from, const std::vector<std::string>& matching,
                                                      const std::optional<fs::path>& downloadBase,
                                                      const std::optional<std::string>& token,
                                                      const std::string& remoteConfigName,
                                                      const std::optional<std::string>& endpoint) {
  return murmel::fetchAvailableModels(from, matching, downloadBase, token, remoteConfigName, endpoint);
}
fs::path Murmel::download(const std::string& variant, const std::optional<fs::path>& downloadBase, bool useBackgroundSession,
                          const std::optional<std::string>& from, const std::optional<std::string>& token,
                          const std::optional<std::string>& endpoint,
                          const std::function<void(const kestrum::Progress&)>& progressCallback) {
  return murmel::download(variant, downloadBase, useBackgroundSession, from, token, endpoint, progressCallback);
}
std::vector<std::string> Murmel::formatModelFiles(const std::vector<std::string>& modelFiles) {
  return ModelUtilities::formatModelFiles(modelFiles);
}

}  // namespace murmel

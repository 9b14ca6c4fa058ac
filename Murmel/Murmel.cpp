#include "Murmel/Murmel.h"

#include <stdexcept>

#include "Murmel/WhisperError.h"

namespace murmel {

namespace {
[[noreturn]] void notReady() { throw WhisperError::modelsUnavailable("Not available yet"); }
}  // namespace

FailedChunkResult::FailedChunkResult(std::int64_t chunkIndex, std::int64_t seekOffsetIndex, std::exception_ptr error)
    : chunkIndex_(chunkIndex), seekOffsetIndex_(seekOffsetIndex), error_(std::move(error)) {
  setSeekTime(float(seekOffsetIndex) / float(Murmel::sampleRate));
}

std::string FailedChunkResult::errorDescription() const {
  try {
    if (error_) std::rethrow_exception(error_);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
  }
  return "unknown error";
}

Murmel::Murmel(const MurmelConfig& config)
    : modelCompute_(config.computeOptions.value_or(ModelComputeOptions())),
      audioInputConfig_(config.audioInputConfig.value_or(AudioInputConfig{})),
      progress_(std::make_shared<hub::Progress>()) {}

Murmel::~Murmel() = default;

ModelVariant Murmel::modelVariant() const { std::lock_guard hold(mutex_); return modelVariant_; }
kestrum::ModelState Murmel::modelState() const { std::lock_guard hold(mutex_); return modelState_; }
ModelComputeOptions Murmel::modelCompute() const { std::lock_guard hold(mutex_); return modelCompute_; }
void Murmel::setModelCompute(ModelComputeOptions compute) { std::lock_guard hold(mutex_); modelCompute_ = compute; }
AudioInputConfig Murmel::audioInputConfig() const { std::lock_guard hold(mutex_); return audioInputConfig_; }
void Murmel::setAudioInputConfig(AudioInputConfig config) { std::lock_guard hold(mutex_); audioInputConfig_ = std::move(config); }
std::shared_ptr<const WhisperTokenizer> Murmel::tokenizer() const { std::lock_guard hold(mutex_); return tokenizer_; }
void Murmel::setTokenizer(std::shared_ptr<const WhisperTokenizer> tokenizer) { std::lock_guard hold(mutex_); tokenizer_ = std::move(tokenizer); }
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
std::shared_ptr<hub::Progress> Murmel::progress() const { std::lock_guard hold(mutex_); return progress_; }
std::optional<std::filesystem::path> Murmel::modelFolder() const { std::lock_guard hold(mutex_); return modelFolder_; }
void Murmel::setModelFolder(std::optional<std::filesystem::path> folder) { std::lock_guard hold(mutex_); modelFolder_ = std::move(folder); }
std::optional<std::filesystem::path> Murmel::tokenizerFolder() const { std::lock_guard hold(mutex_); return tokenizerFolder_; }
void Murmel::setTokenizerFolder(std::optional<std::filesystem::path> folder) { std::lock_guard hold(mutex_); tokenizerFolder_ = std::move(folder); }
bool Murmel::useBackgroundDownloadSession() const { std::lock_guard hold(mutex_); return useBackgroundDownloadSession_; }
SegmentDiscoveryCallback Murmel::segmentDiscoveryCallback() const { std::lock_guard hold(mutex_); return segmentDiscoveryCallback_; }
void Murmel::setSegmentDiscoveryCallback(SegmentDiscoveryCallback callback) { std::lock_guard hold(mutex_); segmentDiscoveryCallback_ = std::move(callback); }
ModelStateCallback Murmel::modelStateCallback() const { std::lock_guard hold(mutex_); return modelStateCallback_; }
void Murmel::setModelStateCallback(ModelStateCallback callback) { std::lock_guard hold(mutex_); modelStateCallback_ = std::move(callback); }
TranscriptionStateCallback Murmel::transcriptionStateCallback() const { std::lock_guard hold(mutex_); return transcriptionStateCallback_; }
void Murmel::setTranscriptionStateCallback(TranscriptionStateCallback callback) { std::lock_guard hold(mutex_); transcriptionStateCallback_ = std::move(callback); }

void Murmel::initialize(const MurmelConfig&) {}
void Murmel::setupModels(const std::optional<std::string>&, const std::optional<std::filesystem::path>&,
                         const std::optional<std::string>&, const std::optional<std::string>&,
                         const std::optional<std::string>&, bool, const std::string&, const std::string&) {}
void Murmel::prewarmModels() { loadModels(true); }
void Murmel::loadModels(bool) { notReady(); }
void Murmel::loadTokenizerIfNeeded() { notReady(); }
void Murmel::unloadModels() {}
void Murmel::clearState() {}
void Murmel::loggingCallback(kestrum::Logging::Callback callback) {
  kestrum::Logging::shared().setLoggingCallback(std::move(callback));
}
DetectedLanguage Murmel::detectLanguage(const std::string&) { notReady(); }
DetectedLanguage Murmel::detectLangauge(const std::vector<float>&) { notReady(); }
std::vector<std::optional<TranscriptionResults>> Murmel::transcribe(const std::vector<std::string>& audioPaths,
                                                                    const std::optional<DecodingOptions>& decodeOptions,
                                                                    const DecodingCallback& callback) {
  return toOptionalArrays(transcribeWithResults(audioPaths, decodeOptions, callback));
}
std::vector<TranscriptionResultsOrError> Murmel::transcribeWithResults(const std::vector<std::string>&,
                                                                       const std::optional<DecodingOptions>&,
                                                                       const DecodingCallback&) { notReady(); }
std::vector<std::optional<TranscriptionResults>> Murmel::transcribe(const std::vector<std::vector<float>>& audioArrays,
                                                                    const std::optional<DecodingOptions>& decodeOptions,
                                                                    const DecodingCallback& callback) {
  return toOptionalArrays(transcribeWithResults(audioArrays, decodeOptions, callback));
}
std::vector<TranscriptionResultsOrError> Murmel::transcribeWithResults(const std::vector<std::vector<float>>&,
                                                                       const std::optional<DecodingOptions>&,
                                                                       const DecodingCallback&) { notReady(); }
std::vector<TranscriptionResultsOrError> Murmel::transcribeWithOptions(const std::vector<std::vector<float>>&,
                                                                       const std::vector<std::optional<DecodingOptions>>&,
                                                                       const std::optional<std::vector<std::int64_t>>&,
                                                                       const DecodingCallback&) { notReady(); }
std::shared_ptr<TranscriptionResult> Murmel::transcribeSingle(const std::string& audioPath,
                                                              const std::optional<DecodingOptions>& decodeOptions,
                                                              const DecodingCallback& callback) {
  auto results = transcribe(audioPath, decodeOptions, callback);
  return results.empty() ? nullptr : results.front();
}
TranscriptionResults Murmel::transcribe(const std::string&, const std::optional<DecodingOptions>&, const DecodingCallback&) { notReady(); }
std::shared_ptr<TranscriptionResult> Murmel::transcribeSingle(const std::vector<float>& audioArray,
                                                              const std::optional<DecodingOptions>& decodeOptions,
                                                              const DecodingCallback& callback) {
  auto results = transcribe(audioArray, decodeOptions, callback, {});
  return results.empty() ? nullptr : results.front();
}
TranscriptionResults Murmel::transcribe(const std::vector<float>&, const std::optional<DecodingOptions>&,
                                        const DecodingCallback&, const SegmentDiscoveryCallback&) { notReady(); }
std::shared_ptr<TranscribeTask> Murmel::setupTranscribeTask(
    TranscriptionTimings currentTimings, std::shared_ptr<hub::Progress> progress,
    std::shared_ptr<AudioProcessing> audioProcessor, std::shared_ptr<AudioEncoding> audioEncoder,
    std::shared_ptr<FeatureExtracting> featureExtractor, std::shared_ptr<SegmentSeeking> segmentSeeker,
    std::shared_ptr<TextDecoding> textDecoder, std::shared_ptr<const WhisperTokenizer> tokenizer) {
  return std::make_shared<TranscribeTask>(std::move(currentTimings), std::move(progress), std::move(audioProcessor),
                                          std::move(audioEncoder), std::move(featureExtractor),
                                          std::move(segmentSeeker), std::move(textDecoder), std::move(tokenizer));
}
TranscriptionResults Murmel::runTranscribeTask(const std::vector<float>&, const std::optional<DecodingOptions>&,
                                               const DecodingCallback&, const SegmentDiscoveryCallback&) { notReady(); }

std::string Murmel::deviceName() { return {}; }
ModelSupport Murmel::recommendedModels() { notReady(); }
ModelSupport Murmel::recommendedRemoteModels(const std::string&, const std::optional<std::filesystem::path>&,
                                             const std::optional<std::string>&, const std::string&,
                                             const std::optional<std::string>&) { notReady(); }
ModelSupportConfig Murmel::fetchModelSupportConfig(const std::string&, const std::optional<std::filesystem::path>&,
                                                   const std::optional<std::string>&, const std::string&,
                                                   const std::optional<std::string>&) { notReady(); }
std::vector<std::string> Murmel::fetchAvailableModels(const std::string&, const std::vector<std::string>&,
                                                      const std::optional<std::filesystem::path>&,
                                                      const std::optional<std::string>&, const std::string&,
                                                      const std::optional<std::string>&) { notReady(); }
std::filesystem::path Murmel::download(const std::string&, const std::optional<std::filesystem::path>&, bool,
                                       const std::optional<std::string>&, const std::optional<std::string>&,
                                       const std::optional<std::string>&,
                                       const std::function<void(const hub::Progress&)>&) { notReady(); }
std::vector<std::string> Murmel::formatModelFiles(const std::vector<std::string>& modelFiles) { return modelFiles; }

void Murmel::setModelState(kestrum::ModelState state) {
  std::optional<kestrum::ModelState> old;
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
void Murmel::resetProgress() { std::lock_guard hold(mutex_); progress_ = std::make_shared<hub::Progress>(); }

}  // namespace murmel

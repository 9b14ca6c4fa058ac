#include "Murmel/audio/AudioEncoder.h"

#include "KestrumCore/Concurrency.h"
#include "KestrumCore/MLModelExtensions.h"
#include "KestrumCore/ModelUtilities.h"
#include "Murmel/common/EngineLogging.h"
#include "Murmel/common/WhisperError.h"
#include "Murmel/data/ModelRecords.h"

namespace murmel {

using platform::ml::MLModel;
using platform::system::Signposter;

namespace {

// Ends the interval however the prediction leaves.
class Interval {
 public:
  Interval(std::string_view name, const Signposter& signposter)
      : name_(name), signposter_(signposter), state_(Logging::beginSignpost(name, signposter)) {}
  ~Interval() { Logging::endSignpost(name_, state_, signposter_); }

 private:
  std::string_view name_;
  const Signposter& signposter_;
  Signposter::IntervalState state_;
};

std::optional<std::shared_ptr<platform::ml::MLMultiArray>> outputArray(const MLFeatureProvider& output,
                                                                        const std::string& name) {
  const auto value = output.featureValue(name);
  auto array = value ? value->multiArrayValue() : nullptr;
  if (!array) return std::nullopt;
  return array;
}

}  // namespace

std::shared_ptr<MLModel> WhisperMLModel::model() const {
  std::lock_guard lock(mutex_);
  return model_;
}

void WhisperMLModel::setModel(std::shared_ptr<MLModel> model) {
  std::lock_guard lock(mutex_);
  model_ = std::move(model);
}

void WhisperMLModel::loadModel(const std::filesystem::path& url, platform::ml::MLComputeUnits computeUnits,
                               bool prewarmMode) {
  platform::ml::MLModelConfiguration configuration;
  configuration.computeUnits = computeUnits;
  auto loaded = MLModel::loadAsync(url, configuration).get();
  setModel(prewarmMode ? nullptr : std::move(loaded));
}

kestrum::ModelState WhisperMLModel::modelState() const {
  return model() ? kestrum::ModelState::loaded : kestrum::ModelState::unloaded;
}

std::optional<std::int64_t> FeatureExtractor::melCount() const {
  return kestrum::ModelUtilities::getModelOutputDimension(model(), "melspectrogram_features", 1);
}

std::optional<std::int64_t> FeatureExtractor::windowSamples() const {
  return kestrum::ModelUtilities::getModelInputDimension(model(), "audio", 0);
}

std::optional<FeatureExtractorOutputType> FeatureExtractor::logMelSpectrogram(const AudioProcessorOutputType& audio) {
  if (!audio) throw WhisperError::audioProcessingFailed("FeatureExtractor input must be MLMultiArray");
  const auto model = this->model();
  if (!model) throw WhisperError::modelsUnavailable("Models are unavailable");
  kestrum::checkCancellation();
  Interval interval("ExtractAudioFeatures", Logging::FeatureExtractor::signposter());
  const auto output = kestrum::asyncPrediction(*model, MelSpectrogramInput(audio));
  return outputArray(*output, "melspectrogram_features");
}

std::optional<std::int64_t> AudioEncoder::embedSize() const {
  return kestrum::ModelUtilities::getModelOutputDimension(model(), "encoder_output_embeds", 1);
}

std::optional<std::int64_t> AudioEncoder::sequenceLength() const {
  return kestrum::ModelUtilities::getModelOutputDimension(model(), "encoder_output_embeds", 3);
}

std::optional<AudioEncoderOutputType> AudioEncoder::encodeFeatures(const FeatureExtractorOutputType& features) {
  if (!features) throw WhisperError::audioProcessingFailed("AudioEncoder input must be MLMultiArray");
  const auto model = this->model();
  if (!model) throw WhisperError::modelsUnavailable("Models are unavailable");
  kestrum::checkCancellation();
  Interval interval("EncodeAudio", Logging::AudioEncoding::signposter());
  const auto output = kestrum::asyncPrediction(*model, AudioEncoderInput(features));
  return outputArray(*output, "encoder_output_embeds");
}

}  // namespace murmel

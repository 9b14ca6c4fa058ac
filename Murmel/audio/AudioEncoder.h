// The model-backed stages that turn a 30 s window into encoder embeddings, and the model-holder
// interface all model-backed stages share. `FeatureExtractor` runs "MelSpectrogram" ("audio" =>
// "melspectrogram_features"), `AudioEncoder` runs "AudioEncoder" ("melspectrogram_features" =>
// "encoder_output_embeds"). Each operation checks, in order, that the input is a multi-array
// (WhisperError::audioProcessingFailed), that a model is loaded (modelsUnavailable) and that the
// task is not cancelled (kestrum::CancellationError), before any work or signpost. The model
// reference is guarded, so one stage may serve several windows at once.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>

#include "KestrumCore/ModelState.h"
#include "Murmel/audio/AudioProcessing.h"
#include "platform/ML/MLModel.h"

namespace murmel {

using FeatureExtractorOutputType = std::shared_ptr<platform::ml::MLMultiArray>;
using AudioEncoderOutputType = std::shared_ptr<platform::ml::MLMultiArray>;

class WhisperMLModel {
 public:
  virtual ~WhisperMLModel() = default;
  virtual std::shared_ptr<platform::ml::MLModel> model() const;
  virtual void setModel(std::shared_ptr<platform::ml::MLModel> model);
  // Loads the compiled model with a fresh configuration of these compute units, on its own thread.
  // With prewarmMode the loaded model is dropped and `model` becomes absent. A load error passes
  // through and leaves `model` as it was.
  virtual void loadModel(const std::filesystem::path& url, platform::ml::MLComputeUnits computeUnits, bool prewarmMode);
  virtual void unloadModel() { setModel(nullptr); }
  // loaded when a model is present, else unloaded.
  kestrum::ModelState modelState() const;

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<platform::ml::MLModel> model_;
};

class FeatureExtracting {
 public:
  virtual ~FeatureExtracting() = default;
  virtual std::optional<std::int64_t> melCount() const = 0;
  // Samples per window; the window loop takes 480,000 when absent.
  virtual std::optional<std::int64_t> windowSamples() const = 0;
  virtual std::optional<FeatureExtractorOutputType> logMelSpectrogram(const AudioProcessorOutputType& audio) = 0;
};

class AudioEncoding {
 public:
  virtual ~AudioEncoding() = default;
  virtual std::optional<std::int64_t> embedSize() const = 0;
  virtual std::optional<AudioEncoderOutputType> encodeFeatures(const FeatureExtractorOutputType& features) = 0;
};

class FeatureExtractor : public FeatureExtracting, public WhisperMLModel {
 public:
  FeatureExtractor() = default;
  // Dimension 1 of the output "melspectrogram_features".
  std::optional<std::int64_t> melCount() const override;
  // Dimension 0 of the input "audio".
  std::optional<std::int64_t> windowSamples() const override;
  // "audio" [480000] => [1, n_mels, 1, 3000] log-mel features; absent when the output lacks them.
  std::optional<FeatureExtractorOutputType> logMelSpectrogram(const AudioProcessorOutputType& audio) override;
};

class AudioEncoder : public AudioEncoding, public WhisperMLModel {
 public:
  AudioEncoder() = default;
  // Dimensions 1 and 3 of the output "encoder_output_embeds".
  std::optional<std::int64_t> embedSize() const override;
  std::optional<std::int64_t> sequenceLength() const;
  // [1, n_mels, 1, 3000] => [1, D, 1, 1500] embeddings; absent when the output lacks them.
  std::optional<AudioEncoderOutputType> encodeFeatures(const FeatureExtractorOutputType& features) override;
};

}  // namespace murmel

// A compiled speech model loaded from a folder "<Name>.mlmodelc" (model.json + weights.safetensors)
// and run on the CPU. `load` throws MLModelError naming the folder, file and tensor at fault;
// nothing is read outside a file. `prediction` is thread-safe: several windows may run at once.
// Compute units are recorded only; everything runs on the CPU.
//   auto model = MLModel::load("AudioEncoder.mlmodelc");
//   auto out = model->prediction(MLDictionaryFeatureProvider({{"melspectrogram_features", MLFeatureValue(mel)}}));
#pragma once

#include <cstdint>
#include <filesystem>
#include <future>
#include <list>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "platform/ML/MLFeature.h"
#include "platform/ML/MLModelDescription.h"

namespace platform::ml {

// Where the model may run. Recorded in the configuration; the CPU runtime ignores it.
enum class MLComputeUnits : int { cpuOnly = 0, cpuAndGPU = 1, all = 2, cpuAndNeuralEngine = 3 };

struct MLModelConfiguration {
  MLComputeUnits computeUnits = MLComputeUnits::all;  // recorded only
};

struct MLPredictionOptions {};

// The state of a stateful model. No model of ours is stateful.
class MLState {};

class MLModelError : public std::runtime_error {
 public:
  enum class Kind { generic, featureType, io, parameters, unsupported };
  MLModelError(Kind kind, const std::string& message) : std::runtime_error(message), kind(kind) {}
  Kind kind;
};

namespace detail { class Kernel; }

class MLModel : public std::enable_shared_from_this<MLModel> {
 public:
  // Loads "<Name>.mlmodelc". Throws MLModelError (io for a missing or unreadable folder or file,
  // parameters for an inconsistent description or weights: a tensor missing, of another shape or
  // dtype, non-finite, beyond half precision (±65504) where the model keeps it in half precision
  // (every weight matrix and the token table), sharing bytes with another, or left unused).
  static std::shared_ptr<MLModel> load(const std::filesystem::path& url,
                                       const MLModelConfiguration& configuration = {});
  // The same load on a separate thread.
  static std::future<std::shared_ptr<MLModel>> loadAsync(const std::filesystem::path& url,
                                                         const MLModelConfiguration& configuration = {});
  ~MLModel();

  const MLModelDescription& modelDescription() const { return description_; }
  const MLModelConfiguration& configuration() const { return configuration_; }
  const std::filesystem::path& url() const { return url_; }

  // Runs the model. Inputs are checked against the description (presence, element type, shape);
  // a mismatch throws MLModelError(featureType) naming the feature. An input of another element type
  // is converted (float to integer only when every value is a whole number); the conversion of an
  // unchanged array is kept and reused, so per-window caches keyed by the array stay valid.
  std::shared_ptr<MLFeatureProvider> prediction(const MLFeatureProvider& input,
                                                const MLPredictionOptions& options = {}) const;
  // The same prediction run on a separate thread.
  std::future<std::shared_ptr<MLFeatureProvider>> predictionAsync(std::shared_ptr<const MLFeatureProvider> input,
                                                                  const MLPredictionOptions& options = {}) const;
  // Stateful prediction: always throws MLModelError(unsupported).
  std::shared_ptr<MLFeatureProvider> prediction(const MLFeatureProvider& input, MLState& state,
                                                const MLPredictionOptions& options = {}) const;

  MLModel(std::filesystem::path url, MLModelConfiguration configuration, MLModelDescription description,
          std::unique_ptr<detail::Kernel> kernel);
  // A model that only describes itself (stand-ins in tests); prediction throws MLModelError.
  MLModel(std::filesystem::path url, MLModelConfiguration configuration, MLModelDescription description);

 private:
  std::filesystem::path url_;
  MLModelConfiguration configuration_;
  MLModelDescription description_;
  std::unique_ptr<detail::Kernel> kernel_;

  struct Conversion {
    std::uint64_t identifier, generation;
    std::shared_ptr<MLMultiArray> array;
  };
  std::shared_ptr<MLMultiArray> converted(const std::shared_ptr<MLMultiArray>& array, MLMultiArrayDataType type) const;
  mutable std::mutex conversionsMutex_;
  mutable std::list<Conversion> conversions_;  // newest first
};

}  // namespace platform::ml

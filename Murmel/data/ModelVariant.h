// Size classes of the speech models and the compute units each of the four models loads with.
// Plain values. Compute units are recorded; everything runs on the CPU here.
//   description(ModelVariant::largev2) == "large-v2";  isMultilingual(ModelVariant::baseEn) == false
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/ML/MLModel.h"

namespace murmel {

// The ordinal (0...10) is the position in this list; other code maps numbers onto it.
enum class ModelVariant { tiny, tinyEn, base, baseEn, small, smallEn, medium, mediumEn, large, largev2, largev3 };

std::string description(ModelVariant variant);  // "tiny", "tiny.en", ..., "large-v2", "large-v3"
bool isMultilingual(ModelVariant variant);      // false for the four ".en" variants
const std::vector<ModelVariant>& allModelVariants();

using platform::ml::MLComputeUnits;

struct ModelComputeOptions {
  // An absent audio encoder choice resolves to cpuAndNeuralEngine, as on a current system.
  explicit ModelComputeOptions(MLComputeUnits melCompute = MLComputeUnits::cpuAndGPU,
                               std::optional<MLComputeUnits> audioEncoderCompute = std::nullopt,
                               MLComputeUnits textDecoderCompute = MLComputeUnits::cpuAndNeuralEngine,
                               MLComputeUnits prefillCompute = MLComputeUnits::cpuOnly);

  MLComputeUnits melCompute;           // "MelSpectrogram"
  MLComputeUnits audioEncoderCompute;  // "AudioEncoder"
  MLComputeUnits textDecoderCompute;   // "TextDecoder"
  MLComputeUnits prefillCompute;       // "TextDecoderContextPrefill"

  friend bool operator==(const ModelComputeOptions&, const ModelComputeOptions&) = default;
};

}  // namespace murmel

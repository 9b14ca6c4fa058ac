// What a loaded model takes and gives: its input and output features by name, each with its
// kind and, for multi-arrays, the constraint (shape and element type) the model was built for.
// Plain values, read-only once the model is loaded.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/ML/MLFeature.h"
#include "platform/ML/MLMultiArray.h"

namespace platform::ml {

struct MLMultiArrayConstraint {
  std::vector<std::int64_t> shape;
  MLMultiArrayDataType dataType = MLMultiArrayDataType::float32;
};

struct MLFeatureDescription {
  std::string name;
  MLFeatureType type = MLFeatureType::multiArray;
  bool isOptional = false;
  std::optional<MLMultiArrayConstraint> multiArrayConstraint;  // present for multi-array features
};

struct MLModelDescription {
  std::map<std::string, MLFeatureDescription> inputDescriptionsByName;
  std::map<std::string, MLFeatureDescription> outputDescriptionsByName;
};

}  // namespace platform::ml

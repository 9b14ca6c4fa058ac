// Finding a model's files in a model folder and reading one dimension of a model's named input or
// output. Never throws: what is missing reads as absent.
//   auto url = ModelUtilities::detectModelURL(folder, "AudioEncoder");  // folder/AudioEncoder.mlmodelc
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/ML/MLModel.h"

namespace kestrum {

struct ModelUtilities {
  // "<name>.mlmodelc" in the folder, or the package's inner model file
  // "<name>.mlpackage/Data/com.apple.CoreML/model.mlmodel" when only that exists.
  static std::filesystem::path detectModelURL(const std::filesystem::path& folder, const std::string& name);
  // Recursive: "<name>.mlmodelc" anywhere under the folder (first in walk order); packages are not searched.
  static std::filesystem::path detectModelURL(const std::filesystem::path& folder, const std::string& name,
                                              bool recursive);
  // The first compiled model of the folder, else the first package's inner model file, else absent.
  static std::optional<std::filesystem::path> detectModelURL(const std::filesystem::path& folder);

  // Entry `position` of the named multi-array feature's constraint shape; absent when the model,
  // the feature, the constraint or the position is missing.
  static std::optional<std::int64_t> getModelInputDimension(const std::shared_ptr<const platform::ml::MLModel>& model,
                                                            const std::string& name, std::int64_t position);
  static std::optional<std::int64_t> getModelOutputDimension(const std::shared_ptr<const platform::ml::MLModel>& model,
                                                             const std::string& name, std::int64_t position);
  // Aliases under the library's historical spelling.
  static std::optional<std::int64_t> getModelInputDimention(const std::shared_ptr<const platform::ml::MLModel>& model,
                                                            const std::string& name, std::int64_t position) {
    return getModelInputDimension(model, name, position);
  }
  static std::optional<std::int64_t> getModelOutputDimention(const std::shared_ptr<const platform::ml::MLModel>& model,
                                                             const std::string& name, std::int64_t position) {
    return getModelOutputDimension(model, name, position);
  }
};

}  // namespace kestrum

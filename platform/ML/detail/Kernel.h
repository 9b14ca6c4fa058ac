// The CPU implementation behind an MLModel: one kernel per model kind ("MelSpectrogram",
// "AudioEncoder", "TextDecoder", "TextDecoderContextPrefill"). A kernel is built from a model
// folder's description and weights, checks that they agree, and is immutable afterwards except
// for internal caches it guards itself, so `predict` may run on several threads at once.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/ML/MLModelDescription.h"
#include "platform/ML/MLMultiArray.h"
#include "platform/ML/detail/LargeBuffer.h"
#include "platform/ML/detail/Safetensors.h"
#include "platform/System/Json.h"

namespace platform::ml::detail {

using ArrayMap = std::map<std::string, std::shared_ptr<MLMultiArray>>;

// A parsed model folder, before its kernel is built.
struct ModelManifest {
  std::filesystem::path folder;
  std::string kind;
  platform::json::Value hyperparameters;
  std::vector<std::pair<int, int>> alignmentHeads;  // (layer, head)
  MLModelDescription description;

  // A non-negative integer hyperparameter; throws a description error naming it.
  std::int64_t hyper(const std::string& name) const;
  // Throws unless the feature exists on that side with exactly this shape.
  void requireFeature(bool input, const std::string& name, const std::vector<std::int64_t>& shape) const;
  // Throws an inconsistency error about the description.
  [[noreturn]] void fail(const std::string& message) const;
};

// The tensors of a model folder's weights file, read as the kernel takes them: `take` checks the
// shape against the header before reading, so a description that disagrees with the weights fails
// before anything is allocated. Errors are WeightsError naming the file and the tensor.
class Weights {
 public:
  static Weights load(const std::filesystem::path& file) { return Weights(file); }

  // A tensor of floats, each finite.
  std::vector<float> take(const std::string& name, const std::vector<std::int64_t>& shape);
  // A tensor of finite floats within the half range, rounded to half precision.
  HalfWeights takeHalves(const std::string& name, const std::vector<std::int64_t>& shape);
  // The same, appended to `out`.
  void takeHalves(const std::string& name, const std::vector<std::int64_t>& shape, HalfWeights& out);
  // A tensor of whole numbers (an integer dtype).
  std::vector<std::int64_t> takeIntegers(const std::string& name, const std::vector<std::int64_t>& shape);
  // An absent tensor gives zeros of the shape (checkpoints omit some biases).
  std::vector<float> takeOrZeros(const std::string& name, const std::vector<std::int64_t>& shape);
  // The shape of a tensor, without taking it.
  std::vector<std::int64_t> shapeOf(const std::string& name) const;
  bool has(const std::string& name) const { return file_.entries().count(name) != 0; }
  // The number of distinct i among tensors named "<prefix>.<i>.…".
  std::int64_t layerCount(const std::string& prefix) const;
  // Throws unless every tensor of the file has been taken.
  void requireAllTaken() const;
  [[noreturn]] void fail(const std::string& name, const std::string& message) const { file_.fail(name, message); }

 private:
  explicit Weights(const std::filesystem::path& file) : file_(file) {}
  void checkShape(const std::string& name, const std::vector<std::int64_t>& shape);

  SafetensorsFile file_;
  std::set<std::string> taken_;
};

class Kernel {
 public:
  virtual ~Kernel() = default;
  // Inputs have the description's names, shapes and element types (checked by the caller).
  virtual ArrayMap predict(const ArrayMap& inputs) const = 0;
};

std::unique_ptr<Kernel> makeKernel(const ModelManifest& manifest);

std::unique_ptr<Kernel> makeMelKernel(const ModelManifest& manifest);
std::unique_ptr<Kernel> makeEncoderKernel(const ModelManifest& manifest);
std::unique_ptr<Kernel> makeDecoderKernel(const ModelManifest& manifest);
std::unique_ptr<Kernel> makePrefillKernel(const ModelManifest& manifest);

// Element access across element types, converting to or from float (offsets in elements).
void readFloats(const MLMultiArray& array, std::int64_t offset, std::int64_t count, float* out);
void writeFloats(MLMultiArray& array, std::int64_t offset, const float* values, std::int64_t count);
// A new output array shaped and typed as the description's output feature.
std::shared_ptr<MLMultiArray> makeOutput(const MLModelDescription& description, const std::string& name);

}  // namespace platform::ml::detail

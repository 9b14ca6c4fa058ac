// The prediction path every model-backed stage of the engine shares, readable names of the compute
// units, and multi-array helpers: creation already filled with one value, int32 arrays from integer
// lists, linear offsets and filling by index lists. The helpers write into the array without
// locking: the caller owns the array while it fills it. Index and type faults throw instead of
// writing outside the array.
//   auto mask = makeMultiArray({1, 224}, MLMultiArrayDataType::float16, Float16(-10000));
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/ML/MLModel.h"
#include "platform/ML/MLMultiArray.h"
#include "platform/ML/MLShapedArray.h"

namespace kestrum {

using platform::ml::Float16;
using platform::ml::MLComputeUnits;
using platform::ml::MLFeatureProvider;
using platform::ml::MLModel;
using platform::ml::MLMultiArray;
using platform::ml::MLMultiArrayDataType;
using platform::ml::MLPredictionOptions;
using platform::ml::MLState;

// Runs a prediction to completion on the calling thread (the caller chooses the thread); errors pass
// through unchanged.
std::shared_ptr<MLFeatureProvider> asyncPrediction(const MLModel& model, const MLFeatureProvider& input,
                                                   const MLPredictionOptions& options = {});
// Stateful form; the runtime has no stateful models, so this reports the runtime's unsupported error.
std::shared_ptr<MLFeatureProvider> asyncPrediction(const MLModel& model, const MLFeatureProvider& input,
                                                   MLState& state, const MLPredictionOptions& options = {});

// "cpuOnly", "cpuAndGPU", "all", "cpuAndNeuralEngine"; "unknown" for any other value.
std::string description(MLComputeUnits units);
// "CPU", "GPU", "All", "Neural Engine"; "Unknown" for any other value.
std::string displayName(MLComputeUnits units);

class MLMultiArrayCreationError : public std::runtime_error {
 public:
  enum class Kind { pixelBufferFailed };
  explicit MLMultiArrayCreationError(Kind kind = Kind::pixelBufferFailed)
      : std::runtime_error("Failed to create IOSurface-backed pixel buffer for MLMultiArray"), kind(kind) {}
  Kind kind;
  friend bool operator==(const MLMultiArrayCreationError& a, const MLMultiArrayCreationError& b) { return a.kind == b.kind; }
};

// The half-precision buffer layout of a shape: width = last dimension, height = product of the others.
struct PixelBufferLayout {
  std::int64_t width = 0, height = 0;
};
std::optional<PixelBufferLayout> pixelBuffer(const std::vector<std::int64_t>& shape);

// A new array of the shape and type, every element set to `initialValue` when its type is exactly
// the element type (Float16, float, double, std::int32_t, std::int8_t); a value of another type
// leaves the array zeroed. An empty float16 shape throws MLMultiArrayCreationError.
template <class T>
std::shared_ptr<MLMultiArray> makeMultiArray(const std::vector<std::int64_t>& shape, MLMultiArrayDataType dataType,
                                             T initialValue);

// An int32 array of shape [1, …, 1, n] with `dims` entries holding the integers in order.
// Throws std::invalid_argument for dims < 1 and std::out_of_range for a value outside int32.
std::shared_ptr<MLMultiArray> multiArrayFrom(const std::vector<std::int64_t>& values, int dims);

// Σ index[i] · strides[i] over the positions both lists have; strides default to the array's own.
std::int64_t linearOffset(const MLMultiArray& array, const std::vector<std::int64_t>& index,
                          const std::optional<std::vector<std::int64_t>>& strides = std::nullopt);

// Writes `value` at indexes [begin, end) of the last dimension of a float16 [1, 1, N] array.
// Throws std::invalid_argument for another shape or type, std::out_of_range outside 0..<N.
void fillLastDimension(MLMultiArray& array, std::int64_t begin, std::int64_t end, Float16 value);

// Writes `value` at each multi-dimensional index in order (a later duplicate overwrites).
// T must be the element type (MLMultiArrayError otherwise); an index outside the shape throws
// std::out_of_range before anything is written.
template <class T>
void fill(MLMultiArray& array, const std::vector<std::vector<std::int64_t>>& indexes, T value);

// A component that loads its model: `loadModel(url, computeUnits, prewarmMode)`.
class MLModelLoading {
 public:
  virtual ~MLModelLoading() = default;
  virtual void loadModel(const std::filesystem::path& url, MLComputeUnits computeUnits, bool prewarmMode) = 0;
  void loadModel(const std::filesystem::path& url, MLComputeUnits computeUnits) { loadModel(url, computeUnits, false); }
};

// ---- templates ----

template <class T>
std::shared_ptr<MLMultiArray> makeMultiArray(const std::vector<std::int64_t>& shape, MLMultiArrayDataType dataType,
                                             T initialValue) {
  if (dataType == MLMultiArrayDataType::float16 && !pixelBuffer(shape)) throw MLMultiArrayCreationError();
  auto array = MLMultiArray::make(shape, dataType);
  constexpr bool elementType = std::is_same_v<T, Float16> || std::is_same_v<T, float> || std::is_same_v<T, double> ||
                               std::is_same_v<T, std::int32_t> || std::is_same_v<T, std::int8_t>;
  if constexpr (elementType) {
    if (array->dataType() == platform::ml::dataTypeOf<T>())
      for (auto& element : array->template data<T>()) element = initialValue;
  }
  return array;
}

template <class T>
void fill(MLMultiArray& array, const std::vector<std::vector<std::int64_t>>& indexes, T value) {
  const auto& strides = array.strides();
  const auto& shape = array.shape();
  std::vector<std::int64_t> offsets;
  offsets.reserve(indexes.size());
  for (const auto& index : indexes) {
    if (index.size() != shape.size()) throw std::out_of_range("fill: index has the wrong number of dimensions");
    for (std::size_t i = 0; i < index.size(); ++i)
      if (index[i] < 0 || index[i] >= shape[i]) throw std::out_of_range("fill: index outside the array");
    offsets.push_back(linearOffset(array, index, strides));
  }
  auto data = array.template data<T>();  // throws for another element type
  for (auto offset : offsets) data[static_cast<std::size_t>(offset)] = value;
}

}  // namespace kestrum

#include "KestrumCore/MLModelExtensions.h"

#include <limits>


namespace kestrum {

std::shared_ptr<MLFeatureProvider> asyncPrediction(const MLModel& model, const MLFeatureProvider& input,
                                                   const MLPredictionOptions& options) {
  // Runs on the caller's thread: waiting here for a job on the shared pool could deadlock when the
  // caller is itself one of the pool's workers.
  return model.prediction(input, options);
}

std::shared_ptr<MLFeatureProvider> asyncPrediction(const MLModel& model, const MLFeatureProvider& input, MLState& state,
                                                   const MLPredictionOptions& options) {
  return model.prediction(input, state, options);
}

std::string description(MLComputeUnits units) {
  switch (static_cast<int>(units)) {
    case 0: return "cpuOnly";
    case 1: return "cpuAndGPU";
    case 2: return "all";
    case 3: return "cpuAndNeuralEngine";
    default: return "unknown";
  }
}

std::string displayName(MLComputeUnits units) {
  switch (static_cast<int>(units)) {
    case 0: return "CPU";
    case 1: return "GPU";
    case 2: return "All";
    case 3: return "Neural Engine";
    default: return "Unknown";
  }
}

std::optional<PixelBufferLayout> pixelBuffer(const std::vector<std::int64_t>& shape) {
  if (shape.empty()) return std::nullopt;
  PixelBufferLayout layout{shape.back(), 1};
  for (std::size_t i = 0; i + 1 < shape.size(); ++i) layout.height *= shape[i];
  return layout;
}

std::shared_ptr<MLMultiArray> multiArrayFrom(const std::vector<std::int64_t>& values, int dims) {
  if (dims < 1) throw std::invalid_argument("multiArrayFrom needs at least one dimension");
  std::vector<std::int64_t> shape(static_cast<std::size_t>(dims), 1);
  shape.back() = static_cast<std::int64_t>(values.size());
  auto array = MLMultiArray::make(shape, MLMultiArrayDataType::int32);
  auto data = array->data<std::int32_t>();
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (values[i] < std::numeric_limits<std::int32_t>::min() || values[i] > std::numeric_limits<std::int32_t>::max())
      throw std::out_of_range("multiArrayFrom: " + std::to_string(values[i]) + " is outside the 32-bit range");
    data[i] = static_cast<std::int32_t>(values[i]);
  }
  return array;
}

std::int64_t linearOffset(const MLMultiArray& array, const std::vector<std::int64_t>& index,
                          const std::optional<std::vector<std::int64_t>>& strides) {
  const auto& s = strides ? *strides : array.strides();
  std::int64_t offset = 0;
  for (std::size_t i = 0; i < std::min(index.size(), s.size()); ++i) offset += index[i] * s[i];
  return offset;
}

void fillLastDimension(MLMultiArray& array, std::int64_t begin, std::int64_t end, Float16 value) {
  const auto& shape = array.shape();
  if (shape.size() != 3 || shape[0] != 1 || shape[1] != 1)
    throw std::invalid_argument("fillLastDimension needs a [1, 1, N] array");
  if (array.dataType() != MLMultiArrayDataType::float16)
    throw std::invalid_argument("fillLastDimension needs a float16 array");
  if (begin < 0 || end > shape[2] || begin > end) throw std::out_of_range("fillLastDimension: range outside 0..<N");
  auto data = array.data<Float16>();
  const std::int64_t stride = array.strides()[2];
  for (std::int64_t k = begin; k < end; ++k) data[static_cast<std::size_t>(k * stride)] = value;
}

}  // namespace kestrum

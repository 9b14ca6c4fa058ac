#include "KestrumCore/TensorConversions.h"

#include <stdexcept>

#include "KestrumCore/Concurrency.h"

namespace kestrum {

using platform::ml::Float16;
using platform::ml::MLMultiArrayDataType;
using platform::ml::MLTensor;

namespace {

[[noreturn]] void unsupported(const MLTensor& tensor) {
  throw std::invalid_argument("Unsupported scalar type: " + tensor.scalarTypeName());
}

std::vector<std::int64_t> intsOf(const MLTensor& tensor) {
  if (tensor.scalarType() != MLMultiArrayDataType::int32) unsupported(tensor);
  const auto& scalars = tensor.shapedArray<std::int32_t>().scalars();
  return {scalars.begin(), scalars.end()};
}

std::vector<float> floatsOf(const MLTensor& tensor) {
  std::vector<float> out;
  auto widen = [&](const auto& scalars) {
    out.reserve(scalars.size());
    for (auto s : scalars) out.push_back(static_cast<float>(s));
  };
  switch (tensor.scalarType()) {
    case MLMultiArrayDataType::float32: return tensor.shapedArray<float>().scalars();
    case MLMultiArrayDataType::float16: widen(tensor.shapedArray<Float16>().scalars()); break;
    case MLMultiArrayDataType::int32: widen(tensor.shapedArray<std::int32_t>().scalars()); break;
    default: unsupported(tensor);
  }
  return out;
}

std::shared_ptr<platform::ml::MLMultiArray> arrayOf(const MLTensor& tensor) {
  switch (tensor.scalarType()) {
    case MLMultiArrayDataType::float32: return tensor.shapedArray<float>().toMultiArray();
    case MLMultiArrayDataType::float16: return tensor.shapedArray<Float16>().toMultiArray();
    case MLMultiArrayDataType::int32: return tensor.shapedArray<std::int32_t>().toMultiArray();
    default: unsupported(tensor);
  }
}

}  // namespace

std::future<std::vector<std::int64_t>> toIntArray(MLTensor tensor) {
  return ThreadPool::shared().submit([tensor = std::move(tensor)] { return intsOf(tensor); });
}

std::future<std::vector<float>> toFloatArray(MLTensor tensor) {
  return ThreadPool::shared().submit([tensor = std::move(tensor)] { return floatsOf(tensor); });
}

std::future<std::shared_ptr<platform::ml::MLMultiArray>> toMLMultiArray(MLTensor tensor) {
  return ThreadPool::shared().submit([tensor = std::move(tensor)] { return arrayOf(tensor); });
}

// The contents are at hand, so the waiting forms convert on the caller's thread: no pool job to
// wait for, and so no deadlock when the caller is a pool worker.
std::vector<std::int64_t> asIntArray(const MLTensor& tensor) { return intsOf(tensor); }
std::vector<float> asFloatArray(const MLTensor& tensor) { return floatsOf(tensor); }
std::shared_ptr<platform::ml::MLMultiArray> asMLMultiArray(const MLTensor& tensor) { return arrayOf(tensor); }

}  // namespace kestrum

// Reading an MLTensor's scalars as plain lists or as a multi-array. The `to…` forms run on the
// shared pool and hand back a future; the `as…` forms return the same values at once, converted on
// the caller's thread (safe from pool workers). A tensor of a scalar type a conversion does not
// take throws std::invalid_argument "Unsupported scalar type: <name>".
//   std::vector<float> logits = asFloatArray(tensor);
#pragma once

#include <cstdint>
#include <future>
#include <memory>
#include <vector>

#include "platform/ML/MLMultiArray.h"
#include "platform/ML/MLTensor.h"

namespace kestrum {

// int32 scalars widened to 64 bits, in scalar order.
std::future<std::vector<std::int64_t>> toIntArray(platform::ml::MLTensor tensor);
// float32 as is, float16 widened, int32 rounded to the nearest float.
std::future<std::vector<float>> toFloatArray(platform::ml::MLTensor tensor);
// A multi-array of the same shape and element type (float32, float16 or int32 tensors).
std::future<std::shared_ptr<platform::ml::MLMultiArray>> toMLMultiArray(platform::ml::MLTensor tensor);

std::vector<std::int64_t> asIntArray(const platform::ml::MLTensor& tensor);
std::vector<float> asFloatArray(const platform::ml::MLTensor& tensor);
std::shared_ptr<platform::ml::MLMultiArray> asMLMultiArray(const platform::ml::MLTensor& tensor);

}  // namespace kestrum

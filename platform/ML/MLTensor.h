// An eager tensor: a shaped array of one of the scalar types float32, float16, int32, float64 or
// int8, whose contents are available at once. A plain value; thread-safe to read.
//   MLTensor t(MLShapedArray<float>({0.5f, -2.0f}, {2}));  t.shapedArray<float>().scalars();
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "platform/ML/MLShapedArray.h"

namespace platform::ml {

class MLTensor {
 public:
  template <class Scalar>
  explicit MLTensor(MLShapedArray<Scalar> array) : value_(std::move(array)) {}

  MLMultiArrayDataType scalarType() const;
  // Fully qualified name of the scalar type ("float", "_Float16", "std::int32_t", "double", "std::int8_t").
  std::string scalarTypeName() const;
  std::vector<std::int64_t> shape() const;

  // The contents as a shaped array of exactly the tensor's scalar type; another type throws
  // std::invalid_argument.
  template <class Scalar> const MLShapedArray<Scalar>& shapedArray() const {
    const auto* array = std::get_if<MLShapedArray<Scalar>>(&value_);
    if (!array) throw std::invalid_argument("MLTensor holds " + scalarTypeName() + " scalars");
    return *array;
  }

 private:
  std::variant<MLShapedArray<float>, MLShapedArray<Float16>, MLShapedArray<std::int32_t>, MLShapedArray<double>,
               MLShapedArray<std::int8_t>>
      value_;
};

}  // namespace platform::ml

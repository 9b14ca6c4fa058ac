// A typed n-dimensional value: scalars in row-major order with their shape. Converts to and from
// MLMultiArray (elements converted to the target type). A plain value, copied on copy.
//   MLShapedArray<std::int32_t> ids({7, 8, 9}, {1, 3});  auto array = ids.toMultiArray();
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/ML/MLMultiArray.h"

namespace platform::ml {

template <class Scalar> constexpr MLMultiArrayDataType dataTypeOf() {
  if constexpr (std::is_same_v<Scalar, Float16>) return MLMultiArrayDataType::float16;
  else if constexpr (std::is_same_v<Scalar, float>) return MLMultiArrayDataType::float32;
  else if constexpr (std::is_same_v<Scalar, double>) return MLMultiArrayDataType::float64;
  else if constexpr (std::is_same_v<Scalar, std::int32_t>) return MLMultiArrayDataType::int32;
  else if constexpr (std::is_same_v<Scalar, std::int8_t>) return MLMultiArrayDataType::int8;
  else static_assert(sizeof(Scalar) == 0, "not a multi-array element type");
}

template <class Scalar>
class MLShapedArray {
 public:
  using ScalarType = Scalar;

  // Throws std::invalid_argument when the scalar count does not match the shape.
  MLShapedArray(std::vector<Scalar> scalars, std::vector<std::int64_t> shape)
      : scalars_(std::move(scalars)), shape_(std::move(shape)) {
    std::int64_t n = 1;
    for (auto d : shape_) {
      if (d < 0) throw std::invalid_argument("MLShapedArray shape has a negative dimension");
      n *= d;
    }
    if (n != static_cast<std::int64_t>(scalars_.size()))
      throw std::invalid_argument("MLShapedArray: " + std::to_string(scalars_.size()) + " scalars for a shape of " +
                                  std::to_string(n));
  }

  // The elements of a multi-array, converted to Scalar.
  explicit MLShapedArray(const MLMultiArray& array) : shape_(array.shape()) {
    scalars_.reserve(static_cast<std::size_t>(array.count()));
    for (std::int64_t i = 0; i < array.count(); ++i) scalars_.push_back(static_cast<Scalar>(array[i]));
  }

  const std::vector<std::int64_t>& shape() const { return shape_; }
  const std::vector<Scalar>& scalars() const { return scalars_; }
  std::int64_t scalarCount() const { return static_cast<std::int64_t>(scalars_.size()); }

  // A new multi-array of the Scalar's element type with the same shape and values.
  std::shared_ptr<MLMultiArray> toMultiArray() const {
    auto array = MLMultiArray::make(shape_, dataTypeOf<Scalar>());
    auto out = array->template data<Scalar>();
    for (std::size_t i = 0; i < scalars_.size(); ++i) out[i] = scalars_[i];
    return array;
  }

  friend bool operator==(const MLShapedArray& a, const MLShapedArray& b) {
    return a.shape_ == b.shape_ && a.scalars_ == b.scalars_;
  }

 private:
  std::vector<Scalar> scalars_;
  std::vector<std::int64_t> shape_;
};

}  // namespace platform::ml

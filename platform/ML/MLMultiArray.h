// A dense n-dimensional array of one element type, the value the speech models exchange.
// Storage is 64-byte aligned, owned by the array and zero-filled at creation; strides are
// row-major (last dimension contiguous). Arrays are shared by reference (std::shared_ptr) and
// changed in place; nothing here locks, so one writer at a time. Each array has a process-unique
// `identifier()` and a `generation()` that every mutable access advances, so a consumer can tell
// whether an array it has seen before still holds the same data (models key per-window caches by
// both). Hence: after handing an array to a prediction, write through a freshly taken mutable
// pointer or span, never through one kept from before.
//   auto a = MLMultiArray::make({1, 3}, MLMultiArrayDataType::float32); a->setValue(2, 0.5);
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

namespace platform::ml {

using Float16 = _Float16;

// Element types with the platform's numeric codes.
enum class MLMultiArrayDataType : std::int32_t {
  float16 = 65552,  // 0x10010
  float32 = 65568,  // 0x10020
  float64 = 65600,  // 0x10040
  int32 = 131104,   // 0x20020
  int8 = 131080,    // 0x20008
};

std::size_t elementSize(MLMultiArrayDataType type);
// "float16", "float32", "float64", "int32", "int8"; throws std::invalid_argument for other names.
MLMultiArrayDataType dataTypeFromName(const std::string& name);
std::string dataTypeName(MLMultiArrayDataType type);

// A shape with a negative dimension, an element count that overflows, or an element type that
// does not match the access asked for.
class MLMultiArrayError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class MLMultiArray {
 public:
  // Throws MLMultiArrayError for a negative dimension or an overflowing element count.
  MLMultiArray(std::vector<std::int64_t> shape, MLMultiArrayDataType dataType);
  ~MLMultiArray();
  MLMultiArray(const MLMultiArray&) = delete;
  MLMultiArray& operator=(const MLMultiArray&) = delete;

  static std::shared_ptr<MLMultiArray> make(std::vector<std::int64_t> shape, MLMultiArrayDataType dataType) {
    return std::make_shared<MLMultiArray>(std::move(shape), dataType);
  }

  const std::vector<std::int64_t>& shape() const { return shape_; }
  const std::vector<std::int64_t>& strides() const { return strides_; }
  MLMultiArrayDataType dataType() const { return dataType_; }
  std::int64_t count() const { return count_; }
  std::size_t byteCount() const { return static_cast<std::size_t>(count_) * elementSize(dataType_); }

  // Raw element storage. The mutable form advances the generation.
  void* dataPointer();
  const void* dataPointer() const { return data_; }

  // Typed storage; throws MLMultiArrayError when T is not the element type.
  template <class T> std::span<T> data() { checkType<T>(); return {static_cast<T*>(dataPointer()), size()}; }
  template <class T> std::span<const T> data() const { checkType<T>(); return {static_cast<const T*>(data_), size()}; }

  // Element at a flat index (bounds-checked), converted from or to double.
  double operator[](std::int64_t index) const;
  void setValue(std::int64_t index, double value);

  // Converts every element to float / writes every element from floats (sizes must match).
  std::vector<float> toFloats() const;
  void assignFloats(std::span<const float> values);

  std::uint64_t identifier() const { return identifier_; }
  std::uint64_t generation() const { return generation_; }
  void markChanged() { ++generation_; }

 private:
  template <class T> void checkType() const;
  std::size_t size() const { return static_cast<std::size_t>(count_); }

  std::vector<std::int64_t> shape_;
  std::vector<std::int64_t> strides_;
  MLMultiArrayDataType dataType_;
  std::int64_t count_ = 0;
  void* data_ = nullptr;
  std::uint64_t identifier_;
  std::uint64_t generation_ = 0;
};

template <class T> void MLMultiArray::checkType() const {
  MLMultiArrayDataType expected;
  if constexpr (std::is_same_v<T, Float16>) expected = MLMultiArrayDataType::float16;
  else if constexpr (std::is_same_v<T, float>) expected = MLMultiArrayDataType::float32;
  else if constexpr (std::is_same_v<T, double>) expected = MLMultiArrayDataType::float64;
  else if constexpr (std::is_same_v<T, std::int32_t>) expected = MLMultiArrayDataType::int32;
  else if constexpr (std::is_same_v<T, std::int8_t>) expected = MLMultiArrayDataType::int8;
  else static_assert(sizeof(T) == 0, "not an element type of MLMultiArray");
  if (expected != dataType_)
    throw MLMultiArrayError("MLMultiArray holds " + dataTypeName(dataType_) + ", not " + dataTypeName(expected));
}

}  // namespace platform::ml

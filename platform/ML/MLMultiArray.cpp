#include "platform/ML/MLMultiArray.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

namespace platform::ml {

namespace {

constexpr std::size_t kAlignment = 64;
std::atomic<std::uint64_t> nextIdentifier{1};

template <class F> decltype(auto) visitElement(MLMultiArrayDataType type, F&& f) {
  switch (type) {
    case MLMultiArrayDataType::float16: return f(Float16{});
    case MLMultiArrayDataType::float32: return f(float{});
    case MLMultiArrayDataType::float64: return f(double{});
    case MLMultiArrayDataType::int32: return f(std::int32_t{});
    case MLMultiArrayDataType::int8: return f(std::int8_t{});
  }
  throw MLMultiArrayError("unknown multi-array element type " + std::to_string(static_cast<int>(type)));
}

template <class T> T fromDouble(double v) {
  if constexpr (std::is_integral_v<T>) {
    // Saturate rather than invoke undefined conversions for out-of-range values.
    if (!(v == v)) return 0;
    if (v <= static_cast<double>(std::numeric_limits<T>::min())) return std::numeric_limits<T>::min();
    if (v >= static_cast<double>(std::numeric_limits<T>::max())) return std::numeric_limits<T>::max();
    return static_cast<T>(v);
  } else {
    return static_cast<T>(v);
  }
}

}  // namespace

std::size_t elementSize(MLMultiArrayDataType type) {
  return visitElement(type, [](auto e) { return sizeof(e); });
}

MLMultiArrayDataType dataTypeFromName(const std::string& name) {
  if (name == "float16") return MLMultiArrayDataType::float16;
  if (name == "float32") return MLMultiArrayDataType::float32;
  if (name == "float64") return MLMultiArrayDataType::float64;
  if (name == "int32") return MLMultiArrayDataType::int32;
  if (name == "int8") return MLMultiArrayDataType::int8;
  throw std::invalid_argument("unknown element type \"" + name + "\"");
}

std::string dataTypeName(MLMultiArrayDataType type) {
  switch (type) {
    case MLMultiArrayDataType::float16: return "float16";
    case MLMultiArrayDataType::float32: return "float32";
    case MLMultiArrayDataType::float64: return "float64";
    case MLMultiArrayDataType::int32: return "int32";
    case MLMultiArrayDataType::int8: return "int8";
  }
  return "unknown(" + std::to_string(static_cast<int>(type)) + ")";
}

MLMultiArray::MLMultiArray(std::vector<std::int64_t> shape, MLMultiArrayDataType dataType)
    : shape_(std::move(shape)), dataType_(dataType), identifier_(nextIdentifier.fetch_add(1)) {
  const std::size_t element = elementSize(dataType_);
  std::int64_t count = 1;
  for (std::int64_t d : shape_) {
    if (d < 0) throw MLMultiArrayError("multi-array shape has a negative dimension");
    if (d != 0 && count > std::numeric_limits<std::int64_t>::max() / static_cast<std::int64_t>(element) / d)
      throw MLMultiArrayError("multi-array shape is too large");
    count *= d;
  }
  count_ = count;
  strides_.assign(shape_.size(), 1);
  for (std::size_t i = shape_.size(); i-- > 1;) strides_[i - 1] = strides_[i] * std::max<std::int64_t>(shape_[i], 1);
  std::size_t bytes = static_cast<std::size_t>(count_) * element;
  bytes = (bytes + kAlignment - 1) / kAlignment * kAlignment;
  if (bytes == 0) bytes = kAlignment;
  data_ = std::aligned_alloc(kAlignment, bytes);
  if (!data_) throw std::bad_alloc();
  std::memset(data_, 0, bytes);
}

MLMultiArray::~MLMultiArray() { std::free(data_); }

void* MLMultiArray::dataPointer() {
  ++generation_;
  return data_;
}

double MLMultiArray::operator[](std::int64_t index) const {
  if (index < 0 || index >= count_) throw std::out_of_range("multi-array index " + std::to_string(index) + " out of range");
  return visitElement(dataType_, [&](auto e) {
    return static_cast<double>(static_cast<const decltype(e)*>(data_)[index]);
  });
}

void MLMultiArray::setValue(std::int64_t index, double value) {
  if (index < 0 || index >= count_) throw std::out_of_range("multi-array index " + std::to_string(index) + " out of range");
  ++generation_;
  visitElement(dataType_, [&](auto e) {
    using T = decltype(e);
    static_cast<T*>(data_)[index] = fromDouble<T>(value);
    return 0;
  });
}

std::vector<float> MLMultiArray::toFloats() const {
  std::vector<float> out(size());
  visitElement(dataType_, [&](auto e) {
    using T = decltype(e);
    const T* p = static_cast<const T*>(data_);
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<float>(p[i]);
    return 0;
  });
  return out;
}

void MLMultiArray::assignFloats(std::span<const float> values) {
  if (values.size() != size()) throw MLMultiArrayError("assignFloats: " + std::to_string(values.size()) +
                                                       " values for " + std::to_string(count_) + " elements");
  ++generation_;
  visitElement(dataType_, [&](auto e) {
    using T = decltype(e);
    T* p = static_cast<T*>(data_);
    for (std::size_t i = 0; i < values.size(); ++i) p[i] = fromDouble<T>(values[i]);
    return 0;
  });
}

}  // namespace platform::ml

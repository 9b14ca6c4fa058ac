#include "platform/ML/MLTensor.h"

namespace platform::ml {

MLMultiArrayDataType MLTensor::scalarType() const {
  return std::visit([](const auto& a) { return dataTypeOf<typename std::decay_t<decltype(a)>::ScalarType>(); }, value_);
}

std::string MLTensor::scalarTypeName() const {
  switch (scalarType()) {
    case MLMultiArrayDataType::float32: return "float";
    case MLMultiArrayDataType::float16: return "_Float16";
    case MLMultiArrayDataType::int32: return "std::int32_t";
    case MLMultiArrayDataType::float64: return "double";
    case MLMultiArrayDataType::int8: return "std::int8_t";
  }
  return "unknown";
}

std::vector<std::int64_t> MLTensor::shape() const {
  return std::visit([](const auto& a) { return a.shape(); }, value_);
}

}  // namespace platform::ml

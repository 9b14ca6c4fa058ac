#include "platform/ML/MLFeature.h"

namespace platform::ml {

MLFeatureType MLFeatureValue::type() const {
  switch (value_.index()) {
    case 0: return MLFeatureType::multiArray;
    case 1: return MLFeatureType::int64;
    case 2: return MLFeatureType::doubleValue;
    default: return MLFeatureType::string;
  }
}

std::shared_ptr<MLMultiArray> MLFeatureValue::multiArrayValue() const {
  const auto* p = std::get_if<std::shared_ptr<MLMultiArray>>(&value_);
  return p ? *p : nullptr;
}

std::int64_t MLFeatureValue::int64Value() const {
  const auto* p = std::get_if<std::int64_t>(&value_);
  return p ? *p : 0;
}

double MLFeatureValue::doubleValue() const {
  const auto* p = std::get_if<double>(&value_);
  return p ? *p : 0;
}

std::string MLFeatureValue::stringValue() const {
  const auto* p = std::get_if<std::string>(&value_);
  return p ? *p : std::string();
}

std::set<std::string> MLDictionaryFeatureProvider::featureNames() const {
  std::set<std::string> names;
  for (const auto& [name, value] : dictionary_) names.insert(name);
  return names;
}

std::optional<MLFeatureValue> MLDictionaryFeatureProvider::featureValue(const std::string& name) const {
  auto it = dictionary_.find(name);
  if (it == dictionary_.end()) return std::nullopt;
  return it->second;
}

}  // namespace platform::ml

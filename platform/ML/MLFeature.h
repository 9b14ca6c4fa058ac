// Feature values and feature providers: how a model takes its named inputs and hands back its
// named outputs. A value is a small immutable handle (a multi-array is shared, not copied).
// Providers are read-only after construction and safe to read from several threads.
//   MLDictionaryFeatureProvider in({{"audio", MLFeatureValue(samples)}});
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <variant>

#include "platform/ML/MLMultiArray.h"

namespace platform::ml {

// The platform's feature kinds with their numeric codes.
enum class MLFeatureType : int {
  invalid = 0, int64 = 1, doubleValue = 2, string = 3, image = 4, multiArray = 5, dictionary = 6,
  sequence = 7, state = 8,
};

class MLFeatureValue {
 public:
  explicit MLFeatureValue(std::shared_ptr<MLMultiArray> array) : value_(std::move(array)) {}
  explicit MLFeatureValue(std::int64_t value) : value_(value) {}
  explicit MLFeatureValue(double value) : value_(value) {}
  explicit MLFeatureValue(std::string value) : value_(std::move(value)) {}

  MLFeatureType type() const;
  // The multi-array, or nullptr when the value holds another kind.
  std::shared_ptr<MLMultiArray> multiArrayValue() const;
  std::int64_t int64Value() const;   // 0 for other kinds
  double doubleValue() const;        // 0 for other kinds
  std::string stringValue() const;   // empty for other kinds

 private:
  std::variant<std::shared_ptr<MLMultiArray>, std::int64_t, double, std::string> value_;
};

class MLFeatureProvider {
 public:
  virtual ~MLFeatureProvider() = default;
  virtual std::set<std::string> featureNames() const = 0;
  virtual std::optional<MLFeatureValue> featureValue(const std::string& name) const = 0;
};

class MLDictionaryFeatureProvider : public MLFeatureProvider {
 public:
  MLDictionaryFeatureProvider() = default;
  explicit MLDictionaryFeatureProvider(std::map<std::string, MLFeatureValue> dictionary)
      : dictionary_(std::move(dictionary)) {}

  std::set<std::string> featureNames() const override;
  std::optional<MLFeatureValue> featureValue(const std::string& name) const override;
  const std::map<std::string, MLFeatureValue>& dictionary() const { return dictionary_; }

 private:
  std::map<std::string, MLFeatureValue> dictionary_;
};

}  // namespace platform::ml

// The core library's error. One kind, invalidConfiguration, whose message is the whole text;
// what() and errorDescription() return it unchanged.
//   throw KestrumCoreError::invalidConfiguration("No model path available. ...");
#pragma once

#include <stdexcept>
#include <string>

namespace kestrum {

class KestrumCoreError : public std::runtime_error {
 public:
  enum class Kind { invalidConfiguration };

  KestrumCoreError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}

  static KestrumCoreError invalidConfiguration(const std::string& message) {
    return KestrumCoreError(Kind::invalidConfiguration, message);
  }

  Kind kind() const { return kind_; }
  std::string errorDescription() const { return what(); }

 private:
  Kind kind_;
};

}  // namespace kestrum

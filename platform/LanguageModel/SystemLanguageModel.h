// The system's on-device language model: its availability and sessions that answer one prompt at a
// time. Linux has no such model, so `defaultModel()` reports `unavailable` (device not eligible)
// and refuses to make sessions. Other implementations (tests) may be available. Thread-safe.
//   if (SystemLanguageModel::defaultModel()->availability().isAvailable()) { ... }
#pragma once

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

namespace platform::languagemodel {

class Availability {
 public:
  enum class UnavailableReason { deviceNotEligible, appleIntelligenceNotEnabled, modelNotReady };

  static Availability available() { return Availability(std::nullopt); }
  static Availability unavailable(UnavailableReason reason) { return Availability(reason); }

  bool isAvailable() const { return !reason_; }
  // Nothing when available.
  std::optional<UnavailableReason> reason() const { return reason_; }

 private:
  explicit Availability(std::optional<UnavailableReason> reason) : reason_(reason) {}
  std::optional<UnavailableReason> reason_;
};

// Generation settings; absent means the model's default.
struct GenerationOptions {
  std::optional<double> temperature;
  std::optional<int> maximumResponseTokens;
};

// A failure to make a session or to answer (guardrails, context size, no model, ...).
class LanguageModelError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class LanguageModelSession {
 public:
  virtual ~LanguageModelSession() = default;
  // The response's text. Throws LanguageModelError.
  virtual std::string respond(const std::string& prompt, const GenerationOptions& options) = 0;
};

class SystemLanguageModel {
 public:
  virtual ~SystemLanguageModel() = default;
  virtual Availability availability() const = 0;
  // A session with no tools and these system instructions. Throws LanguageModelError.
  virtual std::unique_ptr<LanguageModelSession> makeSession(const std::string& instructions) = 0;

  // The platform's default model.
  static std::shared_ptr<SystemLanguageModel> defaultModel();
};

}  // namespace platform::languagemodel

#include "platform/LanguageModel/SystemLanguageModel.h"

namespace platform::languagemodel {
namespace {

class NoLanguageModel final : public SystemLanguageModel {
 public:
  Availability availability() const override {
    return Availability::unavailable(Availability::UnavailableReason::deviceNotEligible);
  }
  std::unique_ptr<LanguageModelSession> makeSession(const std::string&) override {
    throw LanguageModelError("no system language model is available on this platform");
  }
};

}  // namespace

std::shared_ptr<SystemLanguageModel> SystemLanguageModel::defaultModel() {
  static const std::shared_ptr<SystemLanguageModel> model = std::make_shared<NoLanguageModel>();
  return model;
}

}  // namespace platform::languagemodel

#include "platform/LanguageModel/SystemLanguageModel.h"

#include <gtest/gtest.h>

namespace platform::languagemodel {
namespace {

TEST(SystemLanguageModelTest, DefaultModelIsUnavailableAndMakesNoSession) {
  auto model = SystemLanguageModel::defaultModel();
  ASSERT_NE(model, nullptr);
  Availability availability = model->availability();
  EXPECT_FALSE(availability.isAvailable());
  EXPECT_EQ(availability.reason(), Availability::UnavailableReason::deviceNotEligible);
  EXPECT_THROW(model->makeSession("instructions"), LanguageModelError);
}

}  // namespace
}  // namespace platform::languagemodel

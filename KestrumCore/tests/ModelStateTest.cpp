#include "KestrumCore/ModelState.h"

#include <gtest/gtest.h>

#include "KestrumCore/Describe.h"

namespace kestrum {
namespace {

TEST(ModelStateTest, CasesHaveTheirOrderTextsAndBusyFlags) {
  struct Case {
    ModelState state;
    int ordinal;
    const char* text;
    bool busy;
  };
  const Case cases[] = {
      {ModelState::unloading, 0, "Unloading", true},     {ModelState::unloaded, 1, "Unloaded", false},
      {ModelState::loading, 2, "Loading", true},         {ModelState::loaded, 3, "Loaded", false},
      {ModelState::prewarming, 4, "Specializing", true}, {ModelState::prewarmed, 5, "Specialized", false},
      {ModelState::downloading, 6, "Downloading", true}, {ModelState::downloaded, 7, "Downloaded", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(static_cast<int>(c.state), c.ordinal);
    EXPECT_EQ(description(c.state), c.text);
    EXPECT_EQ(describe(c.state), c.text);  // what interpolation into a message prints
    EXPECT_EQ(isBusy(c.state), c.busy) << c.text;
  }
}

}  // namespace
}  // namespace kestrum

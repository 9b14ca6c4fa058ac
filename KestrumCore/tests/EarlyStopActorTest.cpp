#include "KestrumCore/EarlyStopActor.h"

#include <gtest/gtest.h>

#include "KestrumCore/KestrumCoreError.h"

namespace kestrum {
namespace {

TEST(EarlyStopActorTest, FlagsLiveFromSetUntilRemove) {
  EarlyStopActor actor;
  platform::system::UUID run, other;
  EXPECT_FALSE(actor.get(run));
  EXPECT_EQ(actor.remove(run), std::nullopt);

  actor.set(true, run);
  actor.set(false, other);
  EXPECT_TRUE(actor.get(run));
  EXPECT_FALSE(actor.get(other));

  EXPECT_EQ(actor.remove(run), true);
  EXPECT_FALSE(actor.get(run));
  EXPECT_EQ(actor.remove(other), false);
  EXPECT_EQ(actor.remove(other), std::nullopt);
}

TEST(KestrumCoreErrorTest, DescriptionIsTheMessageUnchanged) {
  const std::string message = "No model path available. Call downloadModels() first, or provide modelFolder.";
  try {
    throw KestrumCoreError::invalidConfiguration(message);
  } catch (const KestrumCoreError& error) {
    EXPECT_EQ(error.kind(), KestrumCoreError::Kind::invalidConfiguration);
    EXPECT_EQ(error.what(), message);
    EXPECT_EQ(error.errorDescription(), message);
  }
}

}  // namespace
}  // namespace kestrum

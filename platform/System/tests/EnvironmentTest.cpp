#include "platform/System/Environment.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

namespace platform::system {
namespace {

TEST(EnvironmentTest, SetsReadsAndRemoves) {
  setEnvironmentVariable("PARLET_ENVIRONMENT_TEST", "a value");
  EXPECT_EQ(environmentVariable("PARLET_ENVIRONMENT_TEST"), "a value");
  setEnvironmentVariable("PARLET_ENVIRONMENT_TEST", "");
  EXPECT_EQ(environmentVariable("PARLET_ENVIRONMENT_TEST"), "");  // empty is still set
  setEnvironmentVariable("PARLET_ENVIRONMENT_TEST", std::nullopt);
  EXPECT_EQ(environmentVariable("PARLET_ENVIRONMENT_TEST"), std::nullopt);
}

// A reader on another thread while hundreds of variables come and go, which makes the C library
// move its table: without the lock the reader walks freed memory.
TEST(EnvironmentTest, ReadsOnAnotherThreadSurviveChangesToTheTable) {
  setEnvironmentVariable("PARLET_ENVIRONMENT_READ", "1");
  std::atomic<bool> done{false};
  std::thread reader([&] {
    while (!done.load())
      if (environmentVariable("PARLET_ENVIRONMENT_READ") != "1") ADD_FAILURE() << "the value was lost";
  });
  for (int round = 0; round < 20; ++round) {
    for (int i = 0; i < 200; ++i) setEnvironmentVariable("PARLET_ENVIRONMENT_" + std::to_string(i), std::string(64, 'x'));
    for (int i = 0; i < 200; ++i) setEnvironmentVariable("PARLET_ENVIRONMENT_" + std::to_string(i), std::nullopt);
  }
  done.store(true);
  reader.join();
  setEnvironmentVariable("PARLET_ENVIRONMENT_READ", std::nullopt);
}

}  // namespace
}  // namespace platform::system

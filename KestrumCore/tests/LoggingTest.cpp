#include "KestrumCore/Logging.h"

#include <atomic>
#include <chrono>
#include <limits>
#include <mutex>
#include <regex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "KestrumCore/ModelState.h"

namespace kestrum {
namespace {

using Level = Logging::LogLevel;

// Captures every delivered line; restores the shared logger afterwards.
class LoggingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Logging::shared().setLoggingCallback([this](const std::string& line) {
      std::lock_guard<std::mutex> hold(mutex);
      lines.push_back(line);
    });
  }
  void TearDown() override {
    Logging::shared().setLoggingCallback({});
    Logging::shared().setLogLevel(Level::none);
  }
  std::mutex mutex;
  std::vector<std::string> lines;
};

TEST_F(LoggingTest, LevelsPassOnlyLinesAtOrAboveTheThreshold) {
  struct Case {
    Level level;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {Level::debug, {"d", "i", "e"}},
      {Level::info, {"i", "e"}},
      {Level::error, {"e"}},
      {Level::none, {}},
  };
  for (const auto& c : cases) {
    lines.clear();
    Logging::shared().setLogLevel(c.level);
    Logging::debug("d");
    Logging::info("i");
    Logging::error("e");
    EXPECT_EQ(lines, c.expected) << "level " << static_cast<int>(c.level);
  }
}

TEST_F(LoggingTest, SuppressedLinesAreNotRendered) {
  struct Counted {
    int* renders;
    std::string description() const {
      ++*renders;
      return "x";
    }
  };
  int renders = 0;
  Logging::shared().setLogLevel(Level::error);
  Logging::info(Counted{&renders});
  EXPECT_EQ(renders, 0);
  Logging::error(Counted{&renders});
  EXPECT_EQ(renders, 1);
}

TEST_F(LoggingTest, ItemsAreRenderedAsPrintWritesThem) {
  Logging::shared().setLogLevel(Level::debug);
  Logging::error(Logging::Separator{","}, 1, "a", 2.5);
  Logging::error();
  Logging::info("state", ModelState::prewarmed, true, 1.0, 0.1f, 1e-5, 1e16, -0.0, std::optional<int>());
  Logging::info(std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN(), 1e15,
                static_cast<const char*>(nullptr));
  const std::vector<std::string> expected = {
      "1,a,2.5",
      "",
      "state Specialized true 1.0 0.1 1e-05 1e+16 -0.0 nil",
      "inf nan 1000000000000000.0 nil",
  };
  EXPECT_EQ(lines, expected);
}

TEST_F(LoggingTest, ClearingTheCallbackStopsDeliveryToIt) {
  Logging::shared().setLogLevel(Level::info);
  Logging::info("to callback");
  Logging::shared().setLoggingCallback({});
  EXPECT_FALSE(Logging::shared().loggingCallback());
  Logging::info("to the system log");
  EXPECT_EQ(lines, std::vector<std::string>{"to callback"});
}

TEST_F(LoggingTest, CallbackCanBeReplacedWhileOtherThreadsLog) {
  Logging::shared().setLogLevel(Level::info);
  std::atomic<bool> running{true};
  std::atomic<int> delivered{0};
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([&] {
      while (running) Logging::info("line", 1);
    });
  }
  for (int i = 0; i < 200; ++i) {
    Logging::shared().setLoggingCallback([&delivered](const std::string& line) {
      if (line == "line 1") ++delivered;
    });
    std::this_thread::yield();
  }
  for (int i = 0; i < 1000 && delivered.load() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  running = false;
  for (auto& writer : writers) writer.join();
  EXPECT_GT(delivered.load(), 0);
  // The last callback stays installed until TearDown; no line reached a released one (ASan would tell).
}

TEST(LogLevelTest, RawValuesRunFromOneToFour) {
  EXPECT_FALSE(Logging::logLevel(0));
  EXPECT_FALSE(Logging::logLevel(5));
  EXPECT_EQ(Logging::logLevel(1), Level::debug);
  EXPECT_EQ(Logging::logLevel(4), Level::none);
  EXPECT_EQ(static_cast<int>(Level::debug), 1);
  EXPECT_LT(Level::info, Level::error);
}

TEST(FormatTimeWithPercentageTest, FormatsTimingRows) {
  EXPECT_EQ(Logging::formatTimeWithPercentage(0.5, 0, 1000), "  500.00 ms /      0 runs (    0.00 ms/run) 50.00%");
  EXPECT_EQ(Logging::formatTimeWithPercentage(0.5, 4, 1000), "  500.00 ms /      4 runs (  125.00 ms/run) 50.00%");
  EXPECT_EQ(Logging::formatTimeWithPercentage(0.5, 4, 0), "  500.00 ms /      4 runs (  125.00 ms/run)   inf%");
  EXPECT_EQ(Logging::formatTimeWithPercentage(0, 0, 0), "    0.00 ms /      0 runs (    0.00 ms/run)   nan%");
}

TEST_F(LoggingTest, MemoryUsageIsLoggedOnlyAtDebug) {
  EXPECT_GT(getMemoryUsage(), 0u);
  Logging::shared().setLogLevel(Level::info);
  logCurrentMemoryUsage("after load");
  EXPECT_TRUE(lines.empty());
  Logging::shared().setLogLevel(Level::debug);
  Logging::logCurrentMemoryUsage("after load");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(std::regex_match(lines[0], std::regex("after load - Memory usage: [1-9][0-9]* MB"))) << lines[0];
}

}  // namespace
}  // namespace kestrum

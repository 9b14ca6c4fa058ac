#include "platform/Audio/CaptureEngine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Audio/FakeCaptureEngine.h"

namespace platform::audio {
namespace {

// Whatever the machine has (these build machines have no sound card), listing and starting either
// work or throw CaptureError; they never crash.
TEST(CaptureEngineTest, RealBackendFailsCleanlyWithoutDevices) {
  try {
    for (const auto& device : listInputDevices()) EXPECT_GT(device.inputChannels, 0u);
  } catch (const CaptureError&) {
  }
  auto engine = makeDefaultCaptureEngine();
  EXPECT_NE(engine->setInputDevice(999999), 0);
  try {
    engine->installTap(1600, [](const AudioPCMBuffer&) {});
    engine->start();
    engine->stop();
  } catch (const CaptureError& e) {
    EXPECT_FALSE(std::string(e.what()).empty());
  }
  engine->reset();
}

TEST(FakeCaptureEngineTest, DeliversOnlyWhileRunning) {
  FakeCaptureEngine engine;
  int calls = 0;
  engine.installTap(1600, [&](const AudioPCMBuffer& buffer) { calls += static_cast<int>(buffer.frameLength()); });
  EXPECT_FALSE(engine.push({{1, 2, 3}}));
  engine.start();
  EXPECT_TRUE(engine.push({{1, 2, 3}}));
  engine.pause();
  EXPECT_FALSE(engine.push({{1}}));
  engine.start();
  engine.stop();
  EXPECT_FALSE(engine.push({{1}}));
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(engine.startCount(), 2);
}

TEST(FakeCaptureEngineTest, ACaptureFailureStopsTheEngineAndIsReportedOnce) {
  FakeCaptureEngine engine;
  engine.installTap(1600, [](const AudioPCMBuffer&) {});
  std::vector<std::string> failures;
  engine.setFailureHandler([&](const CaptureError& error) {
    EXPECT_EQ(error.kind, CaptureError::Kind::deviceFailure);
    failures.push_back(error.what());
  });
  EXPECT_FALSE(engine.failCapture("not running"));
  engine.start();
  EXPECT_TRUE(engine.failCapture("gone"));
  EXPECT_FALSE(engine.isRunning());
  EXPECT_FALSE(engine.push({{1}}));
  EXPECT_FALSE(engine.failCapture("again"));
  EXPECT_EQ(failures, std::vector<std::string>{"gone"});
  engine.start();
  EXPECT_TRUE(engine.push({{1}}));
}

}  // namespace
}  // namespace platform::audio

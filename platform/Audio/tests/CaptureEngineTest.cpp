#include "platform/Audio/CaptureEngine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Audio/AudioSystemLog.h"
#include "platform/Audio/CaptureInput.h"
#include "platform/Audio/FakeCaptureEngine.h"
#include "platform/Audio/FakeCaptureInput.h"
#include "platform/Audio/tests/StandardError.h"

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

// Opening the audio system on a machine without a sound card or a JACK server makes ALSA and JACK
// complain; their lines reach the audio-system log, none reaches standard error.
TEST(CaptureEngineTest, TheSoundLibrariesMessagesGoToTheLogNotToStandardError) {
  std::mutex mutex;
  std::vector<std::string> lines;
  setAudioSystemLog([&](const std::string& line) {
    std::lock_guard lock(mutex);
    lines.push_back(line);
  });
  const std::string printed = audiotest::standardErrorOf([] {
    try {
      listInputDevices();
      auto engine = makeDefaultCaptureEngine();
      engine->installTap(1600, [](const AudioPCMBuffer&) {});
      engine->start();
      engine->stop();
    } catch (const CaptureError&) {
    }
  });
  setAudioSystemLog(nullptr);
  EXPECT_EQ(printed, "");
  for (const std::string& line : lines) {
    EXPECT_TRUE(line.starts_with("ALSA: ") || line.starts_with("JACK: ")) << line;
    EXPECT_FALSE(line.ends_with("\n")) << line;
  }
  if (lines.empty()) GTEST_SKIP() << "the sound libraries had nothing to say on this machine";
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

using std::chrono::milliseconds;

// What reached a tap, and on which threads.
struct Received {
  std::mutex mutex;
  std::vector<float> samples;
  std::vector<std::thread::id> threads;
  CaptureEngine::TapBlock tap() {
    return [this](const AudioPCMBuffer& buffer) {
      std::lock_guard lock(mutex);
      samples.insert(samples.end(), buffer.floatChannelData(0), buffer.floatChannelData(0) + buffer.frameLength());
      threads.push_back(std::this_thread::get_id());
    };
  }
  std::size_t count() {
    std::lock_guard lock(mutex);
    return samples.size();
  }
};

std::vector<float> ramp(std::size_t n, float from) {
  std::vector<float> out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = from + static_cast<float>(i);
  return out;
}

// Runs `operation` on a thread of its own; whether it returned within `limit`. One that did not is
// let go by releasing the input, so that a faulty engine fails the test instead of hanging it.
bool returnsWithin(const std::function<void()>& operation, FakeCaptureInput& input, milliseconds limit) {
  std::promise<void> done;
  std::future<void> finished = done.get_future();
  std::thread runner([&] {
    operation();
    done.set_value();
  });
  const bool quick = finished.wait_for(limit) == std::future_status::ready;
  if (!quick) input.release();
  runner.join();
  return quick;
}

TEST(ReaderCaptureEngineTest, DeliversWhatTheInputReadsInOrderOnAThreadOfItsOwn) {
  auto input = std::make_shared<FakeCaptureInput>(16000, 2);
  auto engine = makeReaderCaptureEngine(input);
  EXPECT_EQ(engine->inputFormat(), *AudioFormat::standard(16000, 2));
  EXPECT_NE(engine->setInputDevice(7), 0);
  Received received;
  engine->installTap(160, received.tap());
  input->deliver(ramp(480, 0));
  engine->start();
  EXPECT_TRUE(engine->isRunning());
  ASSERT_TRUE(input->waitForStarvedRead(milliseconds(5000)));  // all three reads done
  engine->stop();
  EXPECT_FALSE(engine->isRunning());
  EXPECT_EQ(received.samples, ramp(480, 0));
  ASSERT_EQ(received.threads.size(), 3u);
  EXPECT_NE(received.threads[0], std::this_thread::get_id());
  input->release();
  EXPECT_TRUE(input->waitForClosed(1, milliseconds(5000)));
  EXPECT_TRUE(input->closedOffTheOpeningThread());
}

// The input stops delivering while a read waits for it. Every way of ending the capture returns at
// once, and so does a new start (a second stream); nothing reaches the tap once the capture ended,
// even when the stuck reads come back with audio; each stuck stream is closed on its reader thread
// when its read returns; and a later start captures again.
TEST(ReaderCaptureEngineTest, EndingTheCaptureNeverWaitsForAStuckRead) {
  const std::vector<std::pair<const char*, std::function<void(std::shared_ptr<CaptureEngine>&)>>> endings = {
      {"pause", [](std::shared_ptr<CaptureEngine>& e) { e->pause(); }},
      {"stop", [](std::shared_ptr<CaptureEngine>& e) { e->stop(); }},
      {"reset", [](std::shared_ptr<CaptureEngine>& e) { e->reset(); }},
      {"destruction", [](std::shared_ptr<CaptureEngine>& e) { e.reset(); }},
  };
  for (const auto& [name, end] : endings) {
    SCOPED_TRACE(name);
    auto input = std::make_shared<FakeCaptureInput>();
    auto engine = makeReaderCaptureEngine(input);
    Received received;
    engine->installTap(160, received.tap());
    input->deliver(ramp(160, 0));
    engine->start();
    ASSERT_TRUE(input->waitForStarvedRead(milliseconds(5000)));
    ASSERT_EQ(received.count(), 160u);

    EXPECT_TRUE(returnsWithin([&] { end(engine); }, *input, milliseconds(200)));
    int stuck = 1;
    if (engine) {
      EXPECT_FALSE(engine->isRunning());
      EXPECT_TRUE(returnsWithin([&] { engine->start(); }, *input, milliseconds(200)));
      EXPECT_TRUE(engine->isRunning());
      EXPECT_TRUE(returnsWithin([&] { end(engine); }, *input, milliseconds(200)));
      stuck = 2;
    }
    for (int i = 0; i < stuck; ++i) input->deliver(ramp(160, 1000));  // too late for the tap
    ASSERT_TRUE(input->waitForClosed(stuck, milliseconds(5000)));
    EXPECT_EQ(received.count(), 160u);

    if (engine) {
      engine->start();
      input->deliver(ramp(160, 3000));
      for (int i = 0; i < 5000 && received.count() < 320; ++i) std::this_thread::sleep_for(milliseconds(1));
      engine->stop();
      std::vector<float> expected = ramp(160, 0);
      for (float v : ramp(160, 3000)) expected.push_back(v);
      EXPECT_EQ(received.samples, expected);
    }
    input->release();
    EXPECT_TRUE(input->waitForClosed(input->opened(), milliseconds(5000)));
    EXPECT_TRUE(input->closedOffTheOpeningThread());
  }
}

TEST(ReaderCaptureEngineTest, AReadErrorStopsTheEngineAndIsReportedOnce) {
  auto input = std::make_shared<FakeCaptureInput>();
  auto engine = makeReaderCaptureEngine(input);
  Received received;
  std::promise<std::string> failure;
  int failures = 0;
  engine->installTap(160, received.tap());
  engine->setFailureHandler([&](const CaptureError& error) {
    EXPECT_EQ(error.kind, CaptureError::Kind::deviceFailure);
    if (++failures == 1) failure.set_value(error.what());
  });
  engine->start();
  input->failReads("Device unavailable");
  std::future<std::string> reported = failure.get_future();
  ASSERT_EQ(reported.wait_for(milliseconds(5000)), std::future_status::ready);
  EXPECT_EQ(reported.get(), "Audio capture stopped: Device unavailable");
  EXPECT_TRUE(input->waitForClosed(1, milliseconds(5000)));
  EXPECT_FALSE(engine->isRunning());
  engine->stop();
  EXPECT_EQ(failures, 1);
  EXPECT_EQ(received.count(), 0u);
}

}  // namespace
}  // namespace platform::audio

// A capture engine for tests: it captures nothing; the test pushes scripted buffers, which reach the
// tap (synchronously, on the pushing thread) only while the engine runs. It counts its calls and can
// be told to have no input device, to fail on start, or to fail while capturing (`failCapture`). Factories hand out shared pointers, so a test
// keeps a handle on the engines it made for the code under test.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Audio/CaptureEngine.h"

namespace platform::audio {

class FakeCaptureEngine : public CaptureEngine {
 public:
  struct Script {
    double sampleRate = 16000;
    std::uint32_t channelCount = 1;
    bool hasInputDevice = true;
    bool failOnStart = false;
    std::vector<std::uint32_t> deviceIds{0};  // ids that setInputDevice accepts
  };

  FakeCaptureEngine();
  explicit FakeCaptureEngine(Script script);

  // Delivers one buffer (channel by channel, all of equal length) to the tap if running.
  // Returns whether the tap received it.
  bool push(const std::vector<std::vector<float>>& channels);
  // A failure while capturing, on the calling thread: if running, the engine stops and the failure
  // handler gets CaptureError(deviceFailure, message). Returns whether it was running.
  bool failCapture(const std::string& message);

  int setInputDevice(std::uint32_t deviceId) override;
  AudioFormat inputFormat() override;
  void installTap(std::uint32_t bufferSize, TapBlock block) override;
  void removeTap() override;
  void setFailureHandler(FailureBlock block) override;
  void start() override;
  void pause() override;
  void stop() override;
  void reset() override;
  bool isRunning() const override { return running_; }

  std::optional<std::uint32_t> selectedDevice() const { return selectedDevice_; }
  std::uint32_t tapBufferSize() const { return tapBufferSize_; }
  bool hasTap() const;
  int startCount() const { return startCount_; }
  int stopCount() const { return stopCount_; }

 private:
  Script script_;
  mutable std::mutex mutex_;
  TapBlock tap_;
  FailureBlock failureHandler_;
  std::atomic<bool> running_{false};
  std::optional<std::uint32_t> selectedDevice_;
  std::uint32_t tapBufferSize_ = 0;
  int startCount_ = 0;
  int stopCount_ = 0;
};

}  // namespace platform::audio

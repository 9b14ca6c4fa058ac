// A capture input for tests of the reader engine: each opened stream serves the buffers the test
// queues (of any length; reads cut them into read-sized pieces) and, when the queue runs dry, blocks
// in its read until more audio comes, `failReads` makes reads fail, or `release` lets every stuck
// read return for good (a device that never delivers again is one the test does not release). It
// counts the streams it opened and closed, and which thread closed them. Thread-safe.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/Audio/CaptureInput.h"

namespace platform::audio {

class FakeCaptureInput : public CaptureInput, public std::enable_shared_from_this<FakeCaptureInput> {
 public:
  explicit FakeCaptureInput(double sampleRate = 16000, std::uint32_t channelCount = 1);

  // Mono audio for the streams' reads (copied into every channel).
  void deliver(const std::vector<float>& samples);
  // Reads fail with `reason` from now on.
  void failReads(const std::string& reason);
  // Every read returns at once from now on (a closing read: the stream's reader then leaves).
  void release();
  // Waits up to `timeout` for `count` streams to be closed.
  bool waitForClosed(int count, std::chrono::milliseconds timeout);
  // Waits up to `timeout` until a read is blocked for want of audio.
  bool waitForStarvedRead(std::chrono::milliseconds timeout);

  int setInputDevice(std::uint32_t deviceId) override;
  AudioFormat inputFormat() override;
  std::unique_ptr<CaptureStream> open(std::uint32_t framesPerRead) override;

  int opened() const;
  int closed() const;
  // Whether every stream was closed on a thread other than the one that opened it.
  bool closedOffTheOpeningThread() const;

 private:
  friend class FakeCaptureStream;
  std::optional<std::string> read(AudioPCMBuffer& buffer);
  void closedFrom(std::thread::id opener);

  AudioFormat format_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<float> pending_;
  std::optional<std::string> failure_;
  bool released_ = false;
  int starved_ = 0;
  int opened_ = 0;
  int closed_ = 0;
  bool closedElsewhere_ = true;
};

}  // namespace platform::audio

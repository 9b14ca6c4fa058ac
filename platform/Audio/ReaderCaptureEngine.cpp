// The capture engine over a CaptureInput. Each start opens a stream and hands it to a detached
// reader thread; the thread owns the stream and closes it when it leaves. The engine and its
// readers share one slot (tap, failure handler, running flag) under one mutex, and each run has a
// number: a reader delivers only while its number is the slot's current one, and checks that under
// the mutex it holds for the tap call. So pause and stop take the mutex, move the number on and
// return: no tap or failure call runs after that, whatever the readers are doing.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/Audio/CaptureInput.h"

namespace platform::audio {
namespace {

struct Slot {
  std::mutex mutex;
  CaptureEngine::TapBlock tap;
  CaptureEngine::FailureBlock failureHandler;
  std::uint64_t run = 0;  // the run allowed to deliver
  std::atomic<bool> running{false};
};

void readLoop(std::shared_ptr<Slot> slot, std::uint64_t run, std::unique_ptr<CaptureStream> stream,
              AudioFormat format, std::uint32_t frames) {
  std::optional<AudioPCMBuffer> buffer = AudioPCMBuffer::make(format, frames);
  for (;;) {
    std::optional<std::string> error =
        buffer ? stream->read(*buffer) : std::optional<std::string>("cannot allocate the capture buffer");
    std::lock_guard lock(slot->mutex);
    if (slot->run != run) break;
    if (error) {
      ++slot->run;
      slot->running = false;
      if (slot->failureHandler)
        slot->failureHandler(CaptureError(CaptureError::Kind::deviceFailure, "Audio capture stopped: " + *error));
      break;
    }
    if (slot->tap) slot->tap(*buffer);
  }
  stream.reset();  // stops and closes the stream here, off the controlling thread
}

class ReaderCaptureEngine final : public CaptureEngine {
 public:
  explicit ReaderCaptureEngine(std::shared_ptr<CaptureInput> input) : input_(std::move(input)) {}
  ~ReaderCaptureEngine() override { halt(); }

  int setInputDevice(std::uint32_t deviceId) override { return input_->setInputDevice(deviceId); }
  AudioFormat inputFormat() override { return input_->inputFormat(); }

  void installTap(std::uint32_t bufferSize, TapBlock block) override {
    std::lock_guard lock(slot_->mutex);
    bufferSize_ = bufferSize > 0 ? bufferSize : 1024;
    slot_->tap = std::move(block);
  }
  void removeTap() override {
    std::lock_guard lock(slot_->mutex);
    slot_->tap = nullptr;
  }
  void setFailureHandler(FailureBlock block) override {
    std::lock_guard lock(slot_->mutex);
    slot_->failureHandler = std::move(block);
  }

  void start() override {
    if (slot_->running) return;
    const AudioFormat format = input_->inputFormat();
    std::uint32_t frames;
    {
      std::lock_guard lock(slot_->mutex);
      frames = bufferSize_;
    }
    std::unique_ptr<CaptureStream> stream = input_->open(frames);
    std::uint64_t run;
    {
      std::lock_guard lock(slot_->mutex);
      run = ++slot_->run;
      slot_->running = true;
    }
    std::thread(readLoop, slot_, run, std::move(stream), format, frames).detach();
  }

  void pause() override { halt(); }
  void stop() override { halt(); }
  void reset() override { halt(); }
  bool isRunning() const override { return slot_->running; }

 private:
  void halt() {
    std::lock_guard lock(slot_->mutex);
    ++slot_->run;
    slot_->running = false;
  }

  std::shared_ptr<CaptureInput> input_;
  std::shared_ptr<Slot> slot_ = std::make_shared<Slot>();
  std::uint32_t bufferSize_ = 1024;
};

}  // namespace

std::shared_ptr<CaptureEngine> makeReaderCaptureEngine(std::shared_ptr<CaptureInput> input) {
  return std::make_shared<ReaderCaptureEngine>(std::move(input));
}

}  // namespace platform::audio

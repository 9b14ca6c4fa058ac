#include "platform/Audio/FakeCaptureEngine.h"

#include <algorithm>

namespace platform::audio {

FakeCaptureEngine::FakeCaptureEngine() : FakeCaptureEngine(Script{}) {}
FakeCaptureEngine::FakeCaptureEngine(Script script) : script_(std::move(script)) {}

bool FakeCaptureEngine::push(const std::vector<std::vector<float>>& channels) {
  std::lock_guard lock(mutex_);
  if (!running_ || !tap_ || channels.empty() || channels[0].empty()) return false;
  auto format = AudioFormat::standard(script_.sampleRate, static_cast<std::uint32_t>(channels.size()));
  auto buffer = AudioPCMBuffer::make(*format, static_cast<std::uint32_t>(channels[0].size()));
  for (std::uint32_t c = 0; c < channels.size(); ++c)
    std::copy_n(channels[c].begin(), std::min(channels[c].size(), channels[0].size()), buffer->floatChannelData(c));
  buffer->setFrameLength(buffer->frameCapacity());
  tap_(*buffer);
  return true;
}

bool FakeCaptureEngine::failCapture(const std::string& message) {
  FailureBlock handler;
  {
    std::lock_guard lock(mutex_);
    if (!running_) return false;
    running_ = false;
    handler = failureHandler_;
  }
  if (handler) handler(CaptureError(CaptureError::Kind::deviceFailure, message));
  return true;
}

int FakeCaptureEngine::setInputDevice(std::uint32_t deviceId) {
  if (std::find(script_.deviceIds.begin(), script_.deviceIds.end(), deviceId) == script_.deviceIds.end()) return -1;
  selectedDevice_ = deviceId;
  return 0;
}

AudioFormat FakeCaptureEngine::inputFormat() {
  if (!script_.hasInputDevice) throw CaptureError(CaptureError::Kind::noInputDevice, "No audio input device");
  return *AudioFormat::standard(script_.sampleRate, script_.channelCount);
}

void FakeCaptureEngine::installTap(std::uint32_t bufferSize, TapBlock block) {
  std::lock_guard lock(mutex_);
  tapBufferSize_ = bufferSize;
  tap_ = std::move(block);
}

void FakeCaptureEngine::removeTap() {
  std::lock_guard lock(mutex_);
  tap_ = nullptr;
}

void FakeCaptureEngine::setFailureHandler(FailureBlock block) {
  std::lock_guard lock(mutex_);
  failureHandler_ = std::move(block);
}

bool FakeCaptureEngine::hasTap() const {
  std::lock_guard lock(mutex_);
  return static_cast<bool>(tap_);
}

void FakeCaptureEngine::start() {
  if (!script_.hasInputDevice) throw CaptureError(CaptureError::Kind::noInputDevice, "No audio input device");
  if (script_.failOnStart) throw CaptureError(CaptureError::Kind::deviceFailure, "The input device failed to start");
  std::lock_guard lock(mutex_);
  running_ = true;
  ++startCount_;
}

void FakeCaptureEngine::pause() {
  std::lock_guard lock(mutex_);
  running_ = false;
}

void FakeCaptureEngine::stop() {
  std::lock_guard lock(mutex_);
  if (running_) ++stopCount_;
  running_ = false;
}

void FakeCaptureEngine::reset() {}

}  // namespace platform::audio

#include "platform/Audio/FakeCaptureInput.h"

#include <algorithm>

namespace platform::audio {

class FakeCaptureStream final : public CaptureStream {
 public:
  explicit FakeCaptureStream(std::shared_ptr<FakeCaptureInput> input)
      : input_(std::move(input)), opener_(std::this_thread::get_id()) {}
  ~FakeCaptureStream() override { input_->closedFrom(opener_); }
  std::optional<std::string> read(AudioPCMBuffer& buffer) override { return input_->read(buffer); }

 private:
  std::shared_ptr<FakeCaptureInput> input_;
  std::thread::id opener_;
};

FakeCaptureInput::FakeCaptureInput(double sampleRate, std::uint32_t channelCount)
    : format_(*AudioFormat::standard(sampleRate, channelCount)) {}

void FakeCaptureInput::deliver(const std::vector<float>& samples) {
  std::lock_guard lock(mutex_);
  pending_.insert(pending_.end(), samples.begin(), samples.end());
  changed_.notify_all();
}

void FakeCaptureInput::failReads(const std::string& reason) {
  std::lock_guard lock(mutex_);
  failure_ = reason;
  changed_.notify_all();
}

void FakeCaptureInput::release() {
  std::lock_guard lock(mutex_);
  released_ = true;
  changed_.notify_all();
}

bool FakeCaptureInput::waitForClosed(int count, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return closed_ >= count; });
}

bool FakeCaptureInput::waitForStarvedRead(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return starved_ > 0; });
}

int FakeCaptureInput::setInputDevice(std::uint32_t deviceId) { return deviceId == 0 ? 0 : -1; }

AudioFormat FakeCaptureInput::inputFormat() { return format_; }

std::unique_ptr<CaptureStream> FakeCaptureInput::open(std::uint32_t) {
  {
    std::lock_guard lock(mutex_);
    ++opened_;
  }
  return std::make_unique<FakeCaptureStream>(shared_from_this());
}

std::optional<std::string> FakeCaptureInput::read(AudioPCMBuffer& buffer) {
  const std::size_t frames = buffer.frameCapacity();
  std::unique_lock lock(mutex_);
  auto ready = [&] { return released_ || failure_ || pending_.size() >= frames; };
  if (!ready()) {
    ++starved_;
    changed_.notify_all();
    changed_.wait(lock, ready);
    --starved_;
  }
  if (failure_) return failure_;
  if (released_ && pending_.size() < frames) {
    std::fill_n(buffer.floatChannelData(0), frames, 0.0f);
  } else {
    std::copy_n(pending_.begin(), frames, buffer.floatChannelData(0));
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(frames));
  }
  for (std::uint32_t c = 1; c < format_.channelCount(); ++c)
    std::copy_n(buffer.floatChannelData(0), frames, buffer.floatChannelData(c));
  buffer.setFrameLength(static_cast<std::uint32_t>(frames));
  return std::nullopt;
}

void FakeCaptureInput::closedFrom(std::thread::id opener) {
  std::lock_guard lock(mutex_);
  ++closed_;
  if (opener == std::this_thread::get_id()) closedElsewhere_ = false;
  changed_.notify_all();
}

int FakeCaptureInput::opened() const {
  std::lock_guard lock(mutex_);
  return opened_;
}

int FakeCaptureInput::closed() const {
  std::lock_guard lock(mutex_);
  return closed_;
}

bool FakeCaptureInput::closedOffTheOpeningThread() const {
  std::lock_guard lock(mutex_);
  return closedElsewhere_;
}

}  // namespace platform::audio

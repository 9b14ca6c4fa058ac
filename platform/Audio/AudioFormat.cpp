#include "platform/Audio/AudioFormat.h"

#include <cmath>
#include <new>
#include <stdexcept>
#include <string>

namespace platform::audio {

std::optional<AudioFormat> AudioFormat::standard(double sampleRate, std::uint32_t channelCount) {
  return make(sampleRate, channelCount, false);
}

std::optional<AudioFormat> AudioFormat::make(double sampleRate, std::uint32_t channelCount, bool interleaved) {
  if (!std::isfinite(sampleRate) || sampleRate <= 0 || channelCount == 0) return std::nullopt;
  return AudioFormat(sampleRate, channelCount, interleaved);
}

AudioPCMBuffer::AudioPCMBuffer(const AudioFormat& format, std::uint32_t frameCapacity)
    : format_(format),
      frameCapacity_(frameCapacity),
      samples_(static_cast<std::size_t>(frameCapacity) * format.channelCount(), 0.0f) {}

std::optional<AudioPCMBuffer> AudioPCMBuffer::make(const AudioFormat& format, std::uint32_t frameCapacity) {
  if (frameCapacity == 0) return std::nullopt;
  try {
    return AudioPCMBuffer(format, frameCapacity);
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  } catch (const std::length_error&) {
    return std::nullopt;
  }
}

void AudioPCMBuffer::setFrameLength(std::uint32_t frameLength) {
  if (frameLength > frameCapacity_)
    throw std::out_of_range("frame length " + std::to_string(frameLength) + " exceeds the capacity " +
                            std::to_string(frameCapacity_));
  frameLength_ = frameLength;
}

float* AudioPCMBuffer::floatChannelData(std::uint32_t channel) {
  if (channel >= format_.channelCount()) return nullptr;
  return samples_.data() + static_cast<std::size_t>(channel) * frameCapacity_;
}

const float* AudioPCMBuffer::floatChannelData(std::uint32_t channel) const {
  if (channel >= format_.channelCount()) return nullptr;
  return samples_.data() + static_cast<std::size_t>(channel) * frameCapacity_;
}

std::vector<float> AudioPCMBuffer::takeChannel0() && {
  std::vector<float> samples = std::move(samples_);
  samples.resize(frameLength_);
  frameCapacity_ = 0;
  frameLength_ = 0;
  return samples;
}

}  // namespace platform::audio

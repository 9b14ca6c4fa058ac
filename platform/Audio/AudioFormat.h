// PCM formats and buffers of 32-bit float samples, the only sample type the engine handles.
// A buffer owns one contiguous block per channel (non-interleaved storage), a capacity fixed at
// creation and a frame length that the writer sets. Values are copyable and movable; a buffer is
// not thread-safe. `AudioPCMBuffer::make` gives nothing instead of throwing when it cannot be made.
//   auto buffer = AudioPCMBuffer::make(*AudioFormat::standard(16000, 1), 1600);
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace platform::audio {

class AudioFormat {
 public:
  // The "standard" format: 32-bit float, non-interleaved. Nothing for a rate that is not finite and
  // positive, or for a channel count of 0.
  static std::optional<AudioFormat> standard(double sampleRate, std::uint32_t channelCount);
  // 32-bit float with the given layout; same validity rules as `standard`.
  static std::optional<AudioFormat> make(double sampleRate, std::uint32_t channelCount, bool interleaved);

  double sampleRate() const { return sampleRate_; }
  std::uint32_t channelCount() const { return channelCount_; }
  bool isInterleaved() const { return interleaved_; }
  // Bytes of one frame in one buffer: 4 when non-interleaved, 4 * channels when interleaved.
  std::uint32_t bytesPerFrame() const { return interleaved_ ? 4 * channelCount_ : 4; }

  friend bool operator==(const AudioFormat&, const AudioFormat&) = default;

 private:
  AudioFormat(double sampleRate, std::uint32_t channelCount, bool interleaved)
      : sampleRate_(sampleRate), channelCount_(channelCount), interleaved_(interleaved) {}
  double sampleRate_;
  std::uint32_t channelCount_;
  bool interleaved_;
};

class AudioPCMBuffer {
 public:
  // Nothing when the capacity is 0 or the storage cannot be had. Samples start at 0.
  static std::optional<AudioPCMBuffer> make(const AudioFormat& format, std::uint32_t frameCapacity);

  const AudioFormat& format() const { return format_; }
  std::uint32_t frameCapacity() const { return frameCapacity_; }
  std::uint32_t frameLength() const { return frameLength_; }
  // Throws std::out_of_range beyond the capacity.
  void setFrameLength(std::uint32_t frameLength);

  // Samples of one channel (frameCapacity() of them); nullptr for a channel that does not exist.
  float* floatChannelData(std::uint32_t channel);
  const float* floatChannelData(std::uint32_t channel) const;

  // Consumes the buffer: the first frameLength() samples of channel 0, without a copy.
  std::vector<float> takeChannel0() &&;

 private:
  AudioPCMBuffer(const AudioFormat& format, std::uint32_t frameCapacity);
  AudioFormat format_;
  std::uint32_t frameCapacity_;
  std::uint32_t frameLength_ = 0;
  std::vector<float> samples_;  // channel-major: channel c starts at c * frameCapacity_
};

}  // namespace platform::audio

// The engine's audio front end as an interface: the live sample store with its energies, capture
// control, and the 30-second window cut. The file loaders are static members of AudioProcessor;
// the statics here are shared by every implementation. Samples everywhere are 16 kHz mono float.
// Implementations must make the store safe against their capture thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "Murmel/audio/AudioStream.h"
#include "platform/Audio/AudioFormat.h"
#include "platform/ML/MLMultiArray.h"

namespace murmel {

// The value a window is handed on as: a one-dimensional float32 multi-array.
using AudioProcessorOutputType = std::shared_ptr<platform::ml::MLMultiArray>;
using AudioBufferCallback = std::function<void(const std::vector<float>&)>;

// A raw bitmap: `height` rows of `bytesPerRow` bytes, 8 bits per component, 32 bits per pixel.
struct WaveformImage {
  static constexpr std::uint32_t bitmapInfo = 8194;  // 32-bit little-endian, premultiplied alpha first
  std::int64_t width = 0;
  std::int64_t height = 0;
  std::int64_t bytesPerRow = 0;
  std::vector<std::uint8_t> pixels;
};

class AudioProcessing {
 public:
  virtual ~AudioProcessing() = default;

  // A copy of every sample captured since the last start.
  virtual std::vector<float> audioSamples() const = 0;
  virtual std::size_t audioSampleCount() const = 0;
  // Keeps only the newest `keepingLast` samples.
  virtual void purgeAudioSamples(std::int64_t keepingLast) = 0;
  // One relative energy (0 ... 1) per captured buffer.
  virtual std::vector<float> relativeEnergy() const = 0;
  virtual std::int64_t relativeEnergyWindow() const = 0;
  virtual void setRelativeEnergyWindow(std::int64_t window) = 0;

  virtual void startRecordingLive(std::optional<std::uint32_t> inputDeviceID = std::nullopt,
                                  AudioBufferCallback callback = nullptr) = 0;
  virtual std::pair<AudioStream, AudioStream::Continuation> startStreamingRecordingLive(
      std::optional<std::uint32_t> inputDeviceID = std::nullopt) = 0;
  virtual void pauseRecording() = 0;
  virtual void stopRecording() = 0;
  virtual void resumeRecordingLive(std::optional<std::uint32_t> inputDeviceID = std::nullopt,
                                   AudioBufferCallback callback = nullptr) = 0;

  virtual std::optional<AudioProcessorOutputType> padOrTrim(std::span<const float> audioArray, std::int64_t startAt,
                                                            std::int64_t toLength) = 0;

  // The window cut: samples startAt ..< min(count, startAt + toLength) followed by zeros, as a float32
  // multi-array of shape [toLength]. Nothing (and an error log line) unless 0 <= startAt < count.
  // `saveSegment` is ignored.
  static std::optional<AudioProcessorOutputType> padOrTrimAudio(std::span<const float> audioArray,
                                                                std::int64_t startAt = 0,
                                                                std::int64_t toLength = 480000,
                                                                bool saveSegment = false);

  // The whole file at `path`, 16 kHz mono, loaded on the calling thread. Throws as AudioProcessor::loadAudio.
  static platform::audio::AudioPCMBuffer loadAudioAsync(const std::string& path);

  // The samples' raw bytes as a width x height bitmap (sizes truncated toward zero). Throws
  // WhisperError::audioProcessingFailed when the size is not positive or needs more samples than given.
  static WaveformImage createWaveformImage(std::span<const float> audio, double width, double height);
};

}  // namespace murmel

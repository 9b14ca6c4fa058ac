// The default audio front end. File half (static, no shared state, any thread): open a file, cut a
// time range, mix its channels to one by a channel mode, resample it as one stream to 16 kHz mono.
// Live half: capture from an input device through a CaptureEngine, convert each buffer to 16 kHz mono,
// append it to one sample store and keep an energy record per buffer; a callback or a stream gets
// each buffer. The capture thread appends under a lock that also guards every read and purge; buffer
// callbacks run on the capture thread and must not start, pause, resume or stop capture.
// Loaders throw WhisperError (loadAudioFailed, audioProcessingFailed) whose message carries the reason
// and the file; file-open errors pass through as platform::audio::AudioFileError. A file holds at most
// AudioFile::maxDurationSeconds of audio, and one load at most maxLoadedSamples samples (refused before
// anything is decoded); memory that cannot be had for it is loadAudioFailed, never std::bad_alloc.
// Live start throws WhisperError or platform::audio::CaptureError.
//   auto samples = AudioProcessor::loadAudioAsFloatArray("talk.flac");
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "Murmel/audio/AudioInputConfig.h"
#include "Murmel/audio/AudioProcessing.h"
#include "Murmel/audio/VoiceActivityDetector.h"
#include "platform/Audio/AudioConverter.h"
#include "platform/Audio/AudioFile.h"
#include "platform/Audio/CaptureEngine.h"

namespace murmel {

using platform::audio::AudioConverter;
using platform::audio::AudioFile;
using platform::audio::AudioPCMBuffer;

struct AudioDevice {
  std::uint32_t id = 0;
  std::string name;  // empty when unknown
  friend bool operator==(const AudioDevice&, const AudioDevice&) = default;
};

// One record per captured buffer.
struct AudioEnergy {
  float rel = 0;  // relative to the quietest recent buffer, 0 ... 1
  float avg = 0;  // root mean square
  float max = 0;  // largest magnitude
  float min = 0;  // smallest magnitude
};

struct EnergyValues {
  float avg = 0;
  float max = 0;
  float min = 0;
};

// A float array or the error that prevented it.
using AudioLoadResult = std::variant<std::vector<float>, std::exception_ptr>;

class AudioProcessor : public AudioProcessing {
 public:
  // `engineFactory` makes a capture engine per start; the default uses the system's input.
  explicit AudioProcessor(platform::audio::CaptureEngineFactory engineFactory = platform::audio::makeDefaultCaptureEngine);
  ~AudioProcessor() override;  // stops recording
  AudioProcessor(const AudioProcessor&) = delete;
  AudioProcessor& operator=(const AudioProcessor&) = delete;

  // ---- file half ----
  static constexpr double sampleRate = 16000;
  // The most samples one load hands out: 4 hours at 16 kHz, 0.9 GB of floats. A dictation holds
  // minutes, a lecture or a meeting hours; a longer file is cut into ranges by the caller.
  static constexpr std::int64_t maxLoadedSamples = std::int64_t{4} * 3600 * 16000;

  static AudioPCMBuffer loadAudio(const std::string& fromPath, const ChannelMode& channelMode = ChannelMode::sumChannels(),
                                  std::optional<double> startTime = std::nullopt,
                                  std::optional<double> endTime = std::nullopt,
                                  std::optional<std::uint32_t> maxReadFrameSize = std::nullopt);
  static AudioPCMBuffer loadAudio(AudioFile& fromFile, const ChannelMode& channelMode = ChannelMode::sumChannels(),
                                  std::optional<double> startTime = std::nullopt,
                                  std::optional<double> endTime = std::nullopt,
                                  std::optional<std::uint32_t> maxReadFrameSize = std::nullopt);
  // Reads from the file's current position in blocks of `maxReadFrameSize` frames and resamples them
  // as one stream to round(duration * toSampleRate) frames; nothing on failure (logged with the
  // reason). Files resample to one channel.
  static std::optional<AudioPCMBuffer> resampleAudio(AudioFile& fromFile, double toSampleRate, std::uint32_t channelCount,
                                                     const ChannelMode& channelMode,
                                                     std::optional<std::uint32_t> frameCount,
                                                     std::uint32_t maxReadFrameSize);
  // The file (or the range start ..< end seconds) as samples, resampled as one stream straight into
  // the array.
  static std::vector<float> loadAudioAsFloatArray(const std::string& fromPath,
                                                  const ChannelMode& channelMode = ChannelMode::sumChannels(),
                                                  std::optional<double> startTime = std::nullopt,
                                                  std::optional<double> endTime = std::nullopt);
  // Channel 0 copied out in runs of `chunkSize` frames; the buffer's samples are zeroed as they go.
  static std::vector<float> convertBufferToArray(AudioPCMBuffer& buffer, std::uint32_t chunkSize = 1024);
  // One result per path, in input order; files load concurrently and fail independently.
  static std::vector<AudioLoadResult> loadAudio(const std::vector<std::string>& at,
                                                const ChannelMode& channelMode = ChannelMode::sumChannels());
  static std::optional<AudioPCMBuffer> convertToMono(const AudioPCMBuffer& buffer, const ChannelMode& mode);
  static std::optional<AudioPCMBuffer> resampleAudio(const AudioPCMBuffer& fromBuffer, double toSampleRate,
                                                     std::uint32_t channelCount);
  // Converts one buffer as one stream: the converter is reset, handed the buffer once, then the end
  // of the stream, and drained.
  static AudioPCMBuffer resampleBuffer(const AudioPCMBuffer& buffer, AudioConverter& converter);

  std::optional<AudioProcessorOutputType> padOrTrim(std::span<const float> audioArray, std::int64_t startAt,
                                                    std::int64_t toLength) override;

  // ---- live half ----
  std::vector<float> audioSamples() const override;
  std::size_t audioSampleCount() const override;
  void purgeAudioSamples(std::int64_t keepingLast) override;
  std::vector<AudioEnergy> audioEnergy() const;
  std::vector<float> relativeEnergy() const override;
  std::int64_t relativeEnergyWindow() const override { return relativeEnergyWindow_; }
  void setRelativeEnergyWindow(std::int64_t window) override { relativeEnergyWindow_ = window; }
  std::int64_t minBufferLength() const { return minBufferLength_; }
  void setMinBufferLength(std::int64_t frames) { minBufferLength_ = frames; }
  AudioBufferCallback audioBufferCallback() const;
  void setAudioBufferCallback(AudioBufferCallback callback);
  bool isInputSuppressed() const { return inputSuppressed_; }
  void setInputSuppressed(bool suppressed) { inputSuppressed_ = suppressed; }
  void suppressInputIfNeeded(std::span<float> samples) const;
  bool isRecording() const;

  // Starting while an engine runs stops that engine first.
  void startRecordingLive(std::optional<std::uint32_t> inputDeviceID = std::nullopt,
                          AudioBufferCallback callback = nullptr) override;
  std::pair<AudioStream, AudioStream::Continuation> startStreamingRecordingLive(
      std::optional<std::uint32_t> inputDeviceID = std::nullopt) override;
  void pauseRecording() override;
  void stopRecording() override;
  void resumeRecordingLive(std::optional<std::uint32_t> inputDeviceID = std::nullopt,
                           AudioBufferCallback callback = nullptr) override;
  void setupAudioSessionForDevice() {}

  // Appends converted samples and their energy record, calls the callback. Runs on the capture thread.
  void processBuffer(const std::vector<float>& samples);

  static std::vector<AudioDevice> getAudioDevices();
  // Linux has no microphone permission: always true.
  static bool requestRecordPermission() { return true; }
  static float calculateAverageEnergy(std::span<const float> samples);
  static EnergyValues calculateEnergy(std::span<const float> samples);
  static float calculateRelativeEnergy(std::span<const float> samples, std::optional<float> relativeTo);
  static bool isVoiceDetected(std::span<const float> energy, float nextBufferInSeconds, float silenceThreshold);
  static std::vector<IndexRange> calculateNonSilentChunks(std::span<const float> samples);
  static std::vector<bool> calculateVoiceActivityInChunks(std::span<const float> samples, std::int64_t chunkCount,
                                                          std::int64_t frameLengthSamples,
                                                          std::int64_t frameOverlapSamples, float energyThreshold);

 private:
  // resampleAudio(fromFile:...) throwing std::runtime_error with the reason instead of logging.
  static AudioPCMBuffer resampleFile(AudioFile& fromFile, double toSampleRate, const ChannelMode& channelMode,
                                     std::optional<std::uint32_t> frameCount, std::uint32_t maxReadFrameSize);
  // convertBufferToArray appending to `out`.
  static void appendBufferToArray(std::vector<float>& out, AudioPCMBuffer& buffer, std::uint32_t chunkSize);
  std::shared_ptr<platform::audio::CaptureEngine> setupEngine(std::optional<std::uint32_t> inputDeviceID);
  void handleCapturedBuffer(const AudioPCMBuffer& buffer, AudioConverter& converter);
  void stopEngineLocked();

  // Lets stream termination handlers reach the processor only while it lives.
  struct Liveness {
    std::mutex mutex;
    AudioProcessor* processor = nullptr;
  };

  platform::audio::CaptureEngineFactory engineFactory_;
  std::shared_ptr<Liveness> liveness_;
  mutable std::mutex controlMutex_;  // start, resume, pause, stop
  std::optional<std::uint32_t> lastInputDevice_;
  std::shared_ptr<platform::audio::CaptureEngine> audioEngine_;

  mutable std::mutex storeMutex_;  // samples, energies, callback
  std::vector<float> audioSamples_;
  std::vector<AudioEnergy> audioEnergy_;
  AudioBufferCallback audioBufferCallback_;

  std::atomic<std::int64_t> relativeEnergyWindow_{20};
  std::atomic<std::int64_t> minBufferLength_{1600};
  std::atomic<bool> inputSuppressed_{false};
};

}  // namespace murmel

template <>
struct std::hash<murmel::AudioDevice> {
  std::size_t operator()(const murmel::AudioDevice& device) const noexcept {
    return std::hash<std::uint32_t>{}(device.id) ^ (std::hash<std::string>{}(device.name) << 1);
  }
};

// The recorder backend: a capture engine delivers blocks of about 32 ms on its capture thread; each
// block is converted to the recording format (resampled and mixed down when the input differs) and
// appended to the file. The meters read the power of the latest captured block. When capture fails,
// recording ends there and `failure` says why. Stopping does not wait for the device: the engine
// returns at once, and the file then holds every block that reached the tap before.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cmath>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "Parlet/core/AudioRecorder.h"
#include "Parlet/core/detail/Level.h"
#include "KestrumCore/Logging.h"
#include "platform/Audio/AudioConverter.h"
#include "platform/Audio/AudioSystemLog.h"
#include "platform/Audio/AudioFileWriter.h"

namespace parlet {
namespace {

using platform::audio::AudioConverter;
using platform::audio::AudioFileType;
using platform::audio::AudioFileWriter;
using platform::audio::AudioFormat;
using platform::audio::AudioPCMBuffer;
using platform::audio::CaptureEngine;

constexpr double kBlockSeconds = 0.032;
constexpr std::uint32_t kConvertedFrames = 4096;

AudioFileType fileType(const RecordingSettings& settings) {
  if (settings.formatID == RecordingSettings{}.formatID && settings.sampleRate > 0 && settings.numberOfChannels > 0 &&
      !settings.linearPCMIsBigEndian) {
    if (!settings.linearPCMIsFloat && settings.linearPCMBitDepth == 16) return AudioFileType::wav16;
    if (settings.linearPCMIsFloat && settings.linearPCMBitDepth == 32) return AudioFileType::wavFloat;
  }
  throw RecorderError("unsupported recording settings");
}

class CaptureRecorder final : public PlatformRecorder {
 public:
  CaptureRecorder(const std::filesystem::path& url, const RecordingSettings& settings,
                  std::shared_ptr<CaptureEngine> engine)
      : channels_(settings.numberOfChannels), engine_(std::move(engine)) {
    const AudioFileType type = fileType(settings);
    if (!engine_) throw RecorderError("no audio capture engine");
    std::uint32_t blockFrames = 0;
    try {
      const AudioFormat input = engine_->inputFormat();
      const AudioFormat output = *AudioFormat::standard(settings.sampleRate, static_cast<std::uint32_t>(channels_));
      converter_ = AudioConverter::make(input, output);
      if (!converter_) throw RecorderError("cannot convert the captured audio to the recording format");
      converted_ = AudioPCMBuffer::make(output, kConvertedFrames);
      if (!converted_) throw RecorderError("cannot allocate the recording buffer");
      blockFrames = static_cast<std::uint32_t>(std::max(1L, std::lround(input.sampleRate() * kBlockSeconds)));
      // Last, so that no failure above leaves a file behind.
      writer_.emplace(url, settings.sampleRate, static_cast<std::uint32_t>(channels_), type);
    } catch (const platform::audio::CaptureError& error) {
      throw RecorderError(error.what());
    } catch (const platform::audio::AudioFileError& error) {
      throw RecorderError(error.what());
    }
    engine_->installTap(blockFrames, [this](const AudioPCMBuffer& block) { capture(block); });
    engine_->setFailureHandler([this](const platform::audio::CaptureError& error) {
      std::lock_guard lock(failureMutex_);
      failure_ = error.what();
      running_ = false;
    });
  }

  ~CaptureRecorder() override {
    stop();
    engine_->removeTap();
    engine_->setFailureHandler(nullptr);
    engine_->reset();
  }

  void setMeteringEnabled(bool enabled) override { metering_ = enabled; }

  bool record() override {
    if (running_) return true;
    if (!writer_) return false;  // finished
    try {
      engine_->start();
    } catch (const std::exception&) {
      return false;
    }
    running_ = true;
    return true;
  }

  void stop() override {
    if (!writer_) return;
    engine_->stop();  // no tap call runs after this
    running_ = false;
    convert([](std::uint32_t, AudioConverter::InputStatus& status) -> const AudioPCMBuffer* {
      status = AudioConverter::InputStatus::endOfStream;
      return nullptr;
    });
    try {
      writer_->close();
    } catch (const platform::audio::AudioFileError&) {
      // The file keeps what was written; the transcriber reports a file it cannot read.
    }
    writer_.reset();
  }

  bool isRecording() const override { return running_ && engine_->isRunning(); }

  void updateMeters() override { metered_ = metering_ ? latest_.load() : -160.0f; }

  float averagePower(int channel) const override { return channel >= 0 && channel < channels_ ? metered_ : -160.0f; }

  std::optional<std::string> failure() const override {
    std::lock_guard lock(failureMutex_);
    return failure_;
  }

  std::optional<std::uint64_t> capturedFrames() const override { return captured_.load(); }
  std::optional<std::uint64_t> recordedFrames() const override { return recorded_.load(); }

  std::optional<std::chrono::steady_clock::time_point> firstCaptureTime() const override {
    const std::int64_t at = firstCapture_.load();
    if (at == 0) return std::nullopt;
    return std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(at));
  }

 private:
  // On the capture thread.
  void capture(const AudioPCMBuffer& block) {
    latest_ = detail::averagePowerDecibels(block);
    if (captured_ == 0) firstCapture_ = std::chrono::steady_clock::now().time_since_epoch().count();
    captured_ += block.frameLength();
    bool taken = false;
    convert([&](std::uint32_t, AudioConverter::InputStatus& status) -> const AudioPCMBuffer* {
      status = taken ? AudioConverter::InputStatus::noDataNow : AudioConverter::InputStatus::haveData;
      return std::exchange(taken, true) ? nullptr : &block;
    });
  }

  // Converts what `input` gives until it runs dry or ends, appending each output buffer to the file.
  // A block that cannot be converted or written is dropped.
  void convert(const AudioConverter::InputBlock& input) {
    for (;;) {
      converted_->setFrameLength(0);
      AudioConverter::OutputStatus status = converter_->convert(*converted_, nullptr, input);
      if (status == AudioConverter::OutputStatus::error) return;
      try {
        writer_->write(*converted_);
      } catch (const platform::audio::AudioFileError&) {
        return;
      }
      recorded_ = static_cast<std::uint64_t>(writer_->framesWritten());
      if (status != AudioConverter::OutputStatus::haveData) return;
    }
  }

  int channels_;
  std::shared_ptr<CaptureEngine> engine_;
  std::optional<AudioConverter> converter_;
  std::optional<AudioPCMBuffer> converted_;
  std::optional<AudioFileWriter> writer_;  // empty once the file is finished
  std::atomic<bool> running_{false};
  std::atomic<bool> metering_{false};
  std::atomic<float> latest_{-160.0f};
  std::atomic<std::uint64_t> captured_{0};  // input frames that reached the tap
  std::atomic<std::uint64_t> recorded_{0};  // frames in the file
  std::atomic<std::int64_t> firstCapture_{0};  // steady-clock ticks when the first block came; 0 before
  float metered_ = -160.0f;
  mutable std::mutex failureMutex_;
  std::optional<std::string> failure_;  // set on the capture thread
};

}  // namespace

PlatformRecorderFactory captureRecorderFactory(platform::audio::CaptureEngineFactory engines) {
  // The sound libraries' chatter on each recording start goes to the library log, at debug level.
  static std::once_flag routed;
  std::call_once(routed, [] {
    platform::audio::setAudioSystemLog([](const std::string& line) { kestrum::Logging::debug(line); });
  });
  return [engines = std::move(engines)](const std::filesystem::path& url, const RecordingSettings& settings) {
    return std::unique_ptr<PlatformRecorder>(std::make_unique<CaptureRecorder>(url, settings, engines ? engines() : nullptr));
  };
}

}  // namespace parlet

// The recorder backend: the default PortAudio input device read in blocking mode on a worker
// thread and written through CaptureFileWriter (at 16 kHz when the device offers it, else at the
// device's own rate and resampled). The meters read the power of the latest block.
#include <atomic>
#include <cmath>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <portaudio.h>

#include "Parlet/core/AudioRecorder.h"
#include "Parlet/core/detail/CaptureFileWriter.h"
#include "Parlet/core/detail/Level.h"

namespace parlet {
namespace detail {

float averagePowerDecibels(const float* samples, std::size_t count) {
  if (count == 0) return -160.0f;
  double sum = 0;
  for (std::size_t i = 0; i < count; ++i) sum += static_cast<double>(samples[i]) * samples[i];
  double rms = std::sqrt(sum / static_cast<double>(count));
  if (!(rms > 0)) return -160.0f;
  double decibels = 20.0 * std::log10(rms);
  return decibels < -160.0 ? -160.0f : static_cast<float>(decibels);
}

}  // namespace detail

namespace {

constexpr double kBlockSeconds = 0.032;

std::string paError(const char* what, PaError error) { return std::string(what) + ": " + Pa_GetErrorText(error); }

class PortAudioRecorder final : public PlatformRecorder {
 public:
  PortAudioRecorder(const std::filesystem::path& url, const RecordingSettings& settings)
      : channels_(settings.numberOfChannels) {
    if (channels_ <= 0) throw RecorderError("unsupported recording settings");
    PaError error = Pa_Initialize();
    if (error != paNoError) throw RecorderError(paError("cannot initialise audio input", error));
    initialised_ = true;
    try {
      PaStreamParameters input{};
      input.device = Pa_GetDefaultInputDevice();
      if (input.device == paNoDevice) throw RecorderError("no audio input device");
      const PaDeviceInfo* info = Pa_GetDeviceInfo(input.device);
      input.channelCount = channels_;
      input.sampleFormat = paFloat32;
      input.suggestedLatency = info ? info->defaultLowInputLatency : 0.05;
      double rate = settings.sampleRate;
      if (Pa_IsFormatSupported(&input, nullptr, rate) != paFormatIsSupported && info && info->defaultSampleRate > 0)
        rate = info->defaultSampleRate;
      framesPerRead_ = static_cast<unsigned long>(std::lround(rate * kBlockSeconds));
      error = Pa_OpenStream(&stream_, &input, nullptr, rate, framesPerRead_, paClipOff, nullptr, nullptr);
      if (error != paNoError) throw RecorderError(paError("cannot open audio input", error));
      writer_ = std::make_unique<detail::CaptureFileWriter>(url, settings, rate);
    } catch (...) {
      release();
      throw;
    }
  }

  ~PortAudioRecorder() override {
    stop();
    release();
  }

  void setMeteringEnabled(bool enabled) override { metering_ = enabled; }

  bool record() override {
    if (running_) return true;
    if (!stream_ || !writer_ || Pa_StartStream(stream_) != paNoError) return false;
    running_ = true;
    worker_ = std::thread([this] { capture(); });
    return true;
  }

  void stop() override {
    if (worker_.joinable()) {
      running_ = false;
      worker_.join();
    }
    if (stream_ && Pa_IsStreamActive(stream_) == 1) Pa_StopStream(stream_);
    if (writer_) writer_->finish();
  }

  bool isRecording() const override { return running_; }

  void updateMeters() override { metered_ = metering_ ? latest_.load() : -160.0f; }

  float averagePower(int channel) const override { return channel >= 0 && channel < channels_ ? metered_ : -160.0f; }

 private:
  void capture() {
    std::vector<float> block(framesPerRead_ * static_cast<std::size_t>(channels_));
    while (running_) {
      PaError error = Pa_ReadStream(stream_, block.data(), framesPerRead_);
      if (error != paNoError && error != paInputOverflowed) break;
      writer_->write(block.data(), framesPerRead_);
      latest_ = detail::averagePowerDecibels(block.data(), block.size());
    }
    running_ = false;
  }

  void release() {
    if (stream_) {
      Pa_CloseStream(stream_);
      stream_ = nullptr;
    }
    writer_.reset();
    if (initialised_) {
      Pa_Terminate();
      initialised_ = false;
    }
  }

  int channels_;
  unsigned long framesPerRead_ = 512;
  bool initialised_ = false;
  PaStream* stream_ = nullptr;
  std::unique_ptr<detail::CaptureFileWriter> writer_;
  std::thread worker_;
  std::atomic<bool> running_{false};
  std::atomic<bool> metering_{false};
  std::atomic<float> latest_{-160.0f};
  float metered_ = -160.0f;
};

}  // namespace

std::unique_ptr<PlatformRecorder> makePortAudioRecorder(const std::filesystem::path& url,
                                                        const RecordingSettings& settings) {
  return std::make_unique<PortAudioRecorder>(url, settings);
}

}  // namespace parlet

// The recorder backend: the default PortAudio input device read in blocking mode on a worker
// thread and written through libsndfile. The meters read the power of the latest block.
#include <atomic>
#include <fcntl.h>
#include <system_error>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include <portaudio.h>
#include <sndfile.h>

#include "Parlet/core/AudioRecorder.h"
#include "Parlet/core/detail/Level.h"
#include "platform/System/Folders.h"

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

constexpr unsigned long kFramesPerRead = 512;  // 32 ms at 16 kHz

std::string paError(const char* what, PaError error) { return std::string(what) + ": " + Pa_GetErrorText(error); }

class PortAudioRecorder final : public PlatformRecorder {
 public:
  PortAudioRecorder(const std::filesystem::path& url, const RecordingSettings& settings)
      : channels_(settings.numberOfChannels) {
    if (settings.formatID != RecordingSettings{}.formatID || settings.sampleRate <= 0 || channels_ <= 0 ||
        settings.linearPCMIsBigEndian || !(settings.linearPCMIsFloat ? settings.linearPCMBitDepth == 32
                                                                     : settings.linearPCMBitDepth == 16))
      throw RecorderError("unsupported recording settings");

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
      error = Pa_OpenStream(&stream_, &input, nullptr, settings.sampleRate, kFramesPerRead, paClipOff, nullptr,
                            nullptr);
      if (error != paNoError) throw RecorderError(paError("cannot open audio input", error));

      SF_INFO format{};
      format.samplerate = settings.sampleRate;
      format.channels = channels_;
      format.format = SF_FORMAT_WAV | (settings.linearPCMIsFloat ? SF_FORMAT_FLOAT : SF_FORMAT_PCM_16);
      // Opened without following a link planted at the name; libsndfile closes the descriptor.
      platform::system::UniqueFd fd;
      try {
        fd = platform::system::openNoFollow(url, O_RDWR | O_CREAT | O_TRUNC, 0600);
      } catch (const std::exception& error) {
        throw RecorderError(error.what());
      }
      file_ = sf_open_fd(fd.get(), SFM_WRITE, &format, SF_TRUE);
      if (!file_) {
        std::error_code ignored;
        std::filesystem::remove(url, ignored);
        throw RecorderError("cannot create " + url.string() + ": " + sf_strerror(nullptr));
      }
      fd.release();
      sf_command(file_, SFC_SET_CLIPPING, nullptr, SF_TRUE);
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
    if (!stream_ || !file_ || Pa_StartStream(stream_) != paNoError) return false;
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
    if (file_) {
      sf_close(file_);
      file_ = nullptr;
    }
  }

  bool isRecording() const override { return running_; }

  void updateMeters() override { metered_ = metering_ ? latest_.load() : -160.0f; }

  float averagePower(int channel) const override { return channel >= 0 && channel < channels_ ? metered_ : -160.0f; }

 private:
  void capture() {
    std::vector<float> block(kFramesPerRead * static_cast<std::size_t>(channels_));
    while (running_) {
      PaError error = Pa_ReadStream(stream_, block.data(), kFramesPerRead);
      if (error != paNoError && error != paInputOverflowed) break;
      sf_writef_float(file_, block.data(), kFramesPerRead);
      latest_ = detail::averagePowerDecibels(block.data(), block.size());
    }
    running_ = false;
  }

  void release() {
    if (stream_) {
      Pa_CloseStream(stream_);
      stream_ = nullptr;
    }
    if (file_) {
      sf_close(file_);
      file_ = nullptr;
    }
    if (initialised_) {
      Pa_Terminate();
      initialised_ = false;
    }
  }

  int channels_;
  bool initialised_ = false;
  PaStream* stream_ = nullptr;
  SNDFILE* file_ = nullptr;
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

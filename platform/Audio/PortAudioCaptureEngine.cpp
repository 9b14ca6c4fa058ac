// The PortAudio backend of CaptureEngine and the device list. Capture runs a blocking read loop on a
// thread of its own, so the tap never runs on the real-time audio callback. Only the reader thread
// touches the stream while it runs: pause and stop ask it to leave, join it (it returns from
// Pa_ReadStream within one buffer), and only then stop the stream. A read error ends the loop, stops
// the engine and goes to the failure handler.
#include <portaudio.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/Audio/CaptureEngine.h"

namespace platform::audio {
namespace {

// Pa_Initialize/Pa_Terminate are reference-counted; one session per user of the library.
class PaSession {
 public:
  PaSession() : status_(Pa_Initialize()) {}
  ~PaSession() {
    if (status_ == paNoError) Pa_Terminate();
  }
  PaSession(const PaSession&) = delete;
  PaSession& operator=(const PaSession&) = delete;
  bool ok() const { return status_ == paNoError; }
  std::string error() const { return Pa_GetErrorText(status_); }

 private:
  PaError status_;
};

class PortAudioCaptureEngine : public CaptureEngine {
 public:
  ~PortAudioCaptureEngine() override { closeStream(); }

  int setInputDevice(std::uint32_t deviceId) override {
    if (!session_.ok()) return paNotInitialized;
    if (deviceId >= static_cast<std::uint32_t>(Pa_GetDeviceCount())) return paInvalidDevice;
    const PaDeviceInfo* info = Pa_GetDeviceInfo(static_cast<PaDeviceIndex>(deviceId));
    if (!info || info->maxInputChannels <= 0) return paInvalidDevice;
    closeStream();
    device_ = static_cast<PaDeviceIndex>(deviceId);
    return paNoError;
  }

  AudioFormat inputFormat() override {
    const PaDeviceInfo* info = deviceInfo();
    // Mono or stereo is enough for dictation; the processor mixes down to one channel.
    auto channels = static_cast<std::uint32_t>(std::min(info->maxInputChannels, 2));
    auto format = AudioFormat::standard(info->defaultSampleRate, channels);
    if (!format) throw CaptureError(CaptureError::Kind::deviceFailure, "The input device reports no usable format");
    return *format;
  }

  void installTap(std::uint32_t bufferSize, TapBlock block) override {
    std::lock_guard lock(tapMutex_);
    bufferSize_ = bufferSize > 0 ? bufferSize : 1024;
    tap_ = std::move(block);
  }

  void removeTap() override {
    std::lock_guard lock(tapMutex_);
    tap_ = nullptr;
  }

  void setFailureHandler(FailureBlock block) override {
    std::lock_guard lock(tapMutex_);
    failureHandler_ = std::move(block);
  }

  void start() override {
    if (running_) return;
    halt();  // a reader that ended on an error is joined and its stream stopped
    if (!stream_) openStream();
    PaError err = Pa_StartStream(stream_);
    if (err != paNoError) fail(err, "Cannot start audio capture");
    stopRequested_ = false;
    running_ = true;
    reader_ = std::thread([this] { readLoop(); });
  }

  void pause() override { halt(); }
  void stop() override { halt(); }
  void reset() override { closeStream(); }
  bool isRunning() const override { return running_; }

 private:
  [[noreturn]] static void fail(PaError err, const std::string& what) {
    throw CaptureError(err == paNoDevice ? CaptureError::Kind::noInputDevice : CaptureError::Kind::deviceFailure,
                       what + ": " + Pa_GetErrorText(err));
  }

  const PaDeviceInfo* deviceInfo() {
    if (!session_.ok())
      throw CaptureError(CaptureError::Kind::deviceFailure, "Cannot open the audio system: " + session_.error());
    PaDeviceIndex device = device_ != paNoDevice ? device_ : Pa_GetDefaultInputDevice();
    const PaDeviceInfo* info = device == paNoDevice ? nullptr : Pa_GetDeviceInfo(device);
    if (!info || info->maxInputChannels <= 0)
      throw CaptureError(CaptureError::Kind::noInputDevice, "No audio input device is available");
    current_ = device;
    return info;
  }

  void openStream() {
    AudioFormat format = inputFormat();
    format_ = format;
    PaStreamParameters params{};
    params.device = current_;
    params.channelCount = static_cast<int>(format.channelCount());
    params.sampleFormat = paFloat32 | paNonInterleaved;
    params.suggestedLatency = Pa_GetDeviceInfo(current_)->defaultLowInputLatency;
    std::uint32_t frames;
    {
      std::lock_guard lock(tapMutex_);
      frames = bufferSize_;
    }
    PaError err = Pa_OpenStream(&stream_, &params, nullptr, format.sampleRate(), frames, paClipOff, nullptr, nullptr);
    if (err != paNoError) {
      stream_ = nullptr;
      fail(err, "Cannot open the audio input");
    }
    framesPerRead_ = frames;
  }

  void readLoop() {
    auto buffer = AudioPCMBuffer::make(*format_, framesPerRead_);
    if (!buffer) return failCapture("Audio capture stopped: cannot allocate the capture buffer");
    std::vector<void*> channels(format_->channelCount());
    for (std::uint32_t c = 0; c < channels.size(); ++c) channels[c] = buffer->floatChannelData(c);
    while (!stopRequested_) {
      PaError err = Pa_ReadStream(stream_, channels.data(), framesPerRead_);
      if (err != paNoError && err != paInputOverflowed)
        return failCapture(std::string("Audio capture stopped: ") + Pa_GetErrorText(err));
      if (stopRequested_) break;
      buffer->setFrameLength(framesPerRead_);
      std::lock_guard lock(tapMutex_);
      if (tap_) tap_(*buffer);
    }
  }

  // On the reader thread: the loop ends and the handler hears why, once.
  void failCapture(const std::string& message) {
    running_ = false;
    FailureBlock handler;
    {
      std::lock_guard lock(tapMutex_);
      handler = failureHandler_;
    }
    if (handler) handler(CaptureError(CaptureError::Kind::deviceFailure, message));
  }

  void halt() {
    stopRequested_ = true;
    if (reader_.joinable()) reader_.join();
    running_ = false;
    if (stream_ && Pa_IsStreamStopped(stream_) == 0) Pa_StopStream(stream_);
  }

  void closeStream() {
    halt();
    if (stream_) Pa_CloseStream(stream_);
    stream_ = nullptr;
  }

  PaSession session_;
  PaDeviceIndex device_ = paNoDevice;   // chosen device, paNoDevice for the default
  PaDeviceIndex current_ = paNoDevice;  // device of the open stream
  PaStream* stream_ = nullptr;
  std::optional<AudioFormat> format_;
  std::uint32_t framesPerRead_ = 0;
  std::mutex tapMutex_;
  std::uint32_t bufferSize_ = 1024;
  TapBlock tap_;
  FailureBlock failureHandler_;
  std::atomic<bool> running_{false};        // capturing: set by start, cleared by halt or a read error
  std::atomic<bool> stopRequested_{false};  // asks the reader to leave its loop
  std::thread reader_;
};

}  // namespace

std::shared_ptr<CaptureEngine> makeDefaultCaptureEngine() { return std::make_shared<PortAudioCaptureEngine>(); }

std::vector<InputDeviceInfo> listInputDevices() {
  PaSession session;
  if (!session.ok()) throw CaptureError(CaptureError::Kind::deviceFailure, "Cannot open the audio system: " + session.error());
  PaDeviceIndex count = Pa_GetDeviceCount();
  if (count < 0) throw CaptureError(CaptureError::Kind::deviceFailure, std::string("Cannot list audio devices: ") + Pa_GetErrorText(count));
  std::vector<InputDeviceInfo> devices;
  for (PaDeviceIndex i = 0; i < count; ++i) {
    const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
    if (!info || info->maxInputChannels <= 0) continue;
    devices.push_back({static_cast<std::uint32_t>(i), info->name ? info->name : "",
                       static_cast<std::uint32_t>(info->maxInputChannels)});
  }
  return devices;
}

}  // namespace platform::audio

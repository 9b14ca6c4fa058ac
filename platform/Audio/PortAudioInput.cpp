// The PortAudio input and the device list. Streams use PortAudio's blocking reads, run by the reader
// engine on threads of their own, so the tap never runs on the real-time audio callback. Every
// stream holds the audio system open (Pa_Initialize is reference-counted), so a stream that is still
// stuck in a read when its engine has gone keeps a valid system until it closes. A stream closes on
// its reader thread while the next recording may be opening one: PortAudio's set-up, tear-down,
// opening and closing (which share its global state) take one lock; reads do not.
#include <portaudio.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Audio/AudioSystemLog.h"
#include "platform/Audio/CaptureInput.h"

namespace platform::audio {
namespace {

std::mutex& lifecycleMutex() {
  static std::mutex mutex;
  return mutex;
}

class PaSession {
 public:
  PaSession() : status_(initialize()) {}
  ~PaSession() {
    std::lock_guard lock(lifecycleMutex());
    if (status_ == paNoError) Pa_Terminate();
  }
  PaSession(const PaSession&) = delete;
  PaSession& operator=(const PaSession&) = delete;
  bool ok() const { return status_ == paNoError; }
  std::string error() const { return Pa_GetErrorText(status_); }

 private:
  static PaError initialize() {
    detail::routeAudioSystemMessages();
    std::lock_guard lock(lifecycleMutex());
    return Pa_Initialize();
  }
  PaError status_;
};

// A reader late by this much loses no audio: the device's buffer holds it (dictation needs no
// low latency; the blocking read returns as soon as one read's frames are there).
constexpr double kInputBufferSeconds = 0.5;

[[noreturn]] void fail(PaError err, const std::string& what) {
  throw CaptureError(err == paNoDevice ? CaptureError::Kind::noInputDevice : CaptureError::Kind::deviceFailure,
                     what + ": " + Pa_GetErrorText(err));
}

class PortAudioStream final : public CaptureStream {
 public:
  PortAudioStream(std::shared_ptr<PaSession> session, PaStream* stream, std::uint32_t channels)
      : session_(std::move(session)), stream_(stream), channels_(channels) {}
  ~PortAudioStream() override {
    std::lock_guard lock(lifecycleMutex());
    Pa_StopStream(stream_);
    Pa_CloseStream(stream_);
  }

  std::optional<std::string> read(AudioPCMBuffer& buffer) override {
    for (std::uint32_t c = 0; c < channels_.size(); ++c) channels_[c] = buffer.floatChannelData(c);
    PaError err = Pa_ReadStream(stream_, channels_.data(), buffer.frameCapacity());
    // An overflow lost frames before this read; the read itself is whole.
    if (err == paInputOverflowed) logAudioSystem("PortAudio: the input overflowed; captured audio was lost");
    else if (err != paNoError) return std::string(Pa_GetErrorText(err));
    buffer.setFrameLength(buffer.frameCapacity());
    return std::nullopt;
  }

 private:
  std::shared_ptr<PaSession> session_;
  PaStream* stream_;
  std::vector<void*> channels_;
};

class PortAudioInput final : public CaptureInput {
 public:
  int setInputDevice(std::uint32_t deviceId) override {
    if (!session_->ok()) return paNotInitialized;
    if (deviceId >= static_cast<std::uint32_t>(Pa_GetDeviceCount())) return paInvalidDevice;
    const PaDeviceInfo* info = Pa_GetDeviceInfo(static_cast<PaDeviceIndex>(deviceId));
    if (!info || info->maxInputChannels <= 0) return paInvalidDevice;
    device_ = static_cast<PaDeviceIndex>(deviceId);
    return paNoError;
  }

  AudioFormat inputFormat() override {
    const PaDeviceInfo* info = deviceInfo(nullptr);
    // Mono or stereo is enough for dictation; the processor mixes down to one channel.
    auto channels = static_cast<std::uint32_t>(std::min(info->maxInputChannels, 2));
    auto format = AudioFormat::standard(info->defaultSampleRate, channels);
    if (!format) throw CaptureError(CaptureError::Kind::deviceFailure, "The input device reports no usable format");
    return *format;
  }

  std::unique_ptr<CaptureStream> open(std::uint32_t framesPerRead) override {
    const AudioFormat format = inputFormat();
    PaDeviceIndex device = paNoDevice;
    const PaDeviceInfo* info = deviceInfo(&device);
    PaStreamParameters params{};
    params.device = device;
    params.channelCount = static_cast<int>(format.channelCount());
    params.sampleFormat = paFloat32 | paNonInterleaved;
    params.suggestedLatency = std::max(info->defaultHighInputLatency, kInputBufferSeconds);
    PaStream* stream = nullptr;
    std::lock_guard lock(lifecycleMutex());
    PaError err = Pa_OpenStream(&stream, &params, nullptr, format.sampleRate(), framesPerRead, paClipOff, nullptr, nullptr);
    if (err != paNoError) fail(err, "Cannot open the audio input");
    err = Pa_StartStream(stream);
    if (err != paNoError) {
      Pa_CloseStream(stream);
      fail(err, "Cannot start audio capture");
    }
    return std::make_unique<PortAudioStream>(session_, stream, format.channelCount());
  }

 private:
  const PaDeviceInfo* deviceInfo(PaDeviceIndex* chosen) {
    if (!session_->ok())
      throw CaptureError(CaptureError::Kind::deviceFailure, "Cannot open the audio system: " + session_->error());
    PaDeviceIndex device = device_ != paNoDevice ? device_ : Pa_GetDefaultInputDevice();
    const PaDeviceInfo* info = device == paNoDevice ? nullptr : Pa_GetDeviceInfo(device);
    if (!info || info->maxInputChannels <= 0)
      throw CaptureError(CaptureError::Kind::noInputDevice, "No audio input device is available");
    if (chosen) *chosen = device;
    return info;
  }

  std::shared_ptr<PaSession> session_ = std::make_shared<PaSession>();
  PaDeviceIndex device_ = paNoDevice;  // chosen device, paNoDevice for the default
};

}  // namespace

std::shared_ptr<CaptureInput> makePortAudioInput() { return std::make_shared<PortAudioInput>(); }

std::shared_ptr<CaptureEngine> makeDefaultCaptureEngine() { return makeReaderCaptureEngine(makePortAudioInput()); }

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

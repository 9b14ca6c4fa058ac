// The ALSA input and the device list. A capture opens the one PCM it records from ("default" unless
// a device was chosen) through the ALSA configuration the process read once; nothing else is opened
// or probed, so the plugins a configuration defines (JACK, OSS, encoders, up- and down-mixers) stay
// unloaded unless one of them is the input. prepareCapture reads the configuration and loads the
// default input's plugin on a thread of its own; the configuration is kept, read again when one of
// its files changes, and read afresh once before a device that cannot be opened is given up (a
// sound server or a card that came since the last reading). Reading the configuration, opening and
// closing take one lock; reads do not, and each stream is read on its reader thread only.
#include <alsa/asoundlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/Audio/AudioSystemLog.h"
#include "platform/Audio/CaptureInput.h"

namespace platform::audio {
namespace {

const char* const kDefaultDevice = "default";

// A reader late by this much loses no audio: the device's buffer holds it. Each period is delivered
// as soon as it is captured, so the first audio of a recording is not held back for the buffer.
constexpr double kBufferSeconds = 0.5;
constexpr double kPeriodSeconds = 0.01;

// The process's reading of the ALSA configuration; never destroyed, so that a reader thread that
// outlives everything else still finds it.
class AudioSystem {
 public:
  static AudioSystem& shared() {
    static AudioSystem* system = new AudioSystem;
    return *system;
  }

  std::mutex mutex;  // the configuration, and every open and close

  // The configuration as its files say now, read when it was not or one of them changed; nullptr,
  // with `error` set, when it cannot be read. Under `mutex`.
  snd_config_t* configuration(std::string* error) {
    detail::routeAudioSystemMessages();
    const auto begin = std::chrono::steady_clock::now();
    const int status = snd_config_update_r(&top_, &update_, nullptr);
    if (status < 0) {
      if (error) *error = std::string("Cannot read the sound configuration: ") + snd_strerror(status);
      forget();
      return nullptr;
    }
    if (status > 0) {
      char line[96];
      std::snprintf(line, sizeof line, "ALSA: read the sound configuration in %.1f ms",
                    std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count());
      logAudioSystem(line);
    }
    return top_;
  }

  // Drops the reading: the next configuration() reads every file again and runs its hooks (the
  // one that routes "default" to a running sound server among them). Under `mutex`.
  void forget() {
    if (top_) snd_config_delete(top_);
    if (update_) snd_config_update_free(update_);
    top_ = nullptr;
    update_ = nullptr;
  }

 private:
  AudioSystem() = default;
  snd_config_t* top_ = nullptr;
  snd_config_update_t* update_ = nullptr;
};

std::string describe(int status) { return snd_strerror(status); }

CaptureError::Kind kindOf(int status) {
  switch (status) {
    case -ENOENT: case -ENODEV: case -ENXIO: case -ECONNREFUSED: case -EHOSTDOWN:
      return CaptureError::Kind::noInputDevice;
    default:
      return CaptureError::Kind::deviceFailure;
  }
}

// Opens `device` for capture, without touching the device beyond opening it. A failure reads the
// configuration afresh and tries once more; then it throws CaptureError. Under the system's mutex.
snd_pcm_t* openPcm(AudioSystem& system, const std::string& device) {
  std::string error;
  int status = -ENOENT;
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (attempt > 0) system.forget();
    snd_config_t* configuration = system.configuration(&error);
    if (!configuration) continue;
    snd_pcm_t* pcm = nullptr;
    // The device's own rate: the converter resamples better than ALSA's default rate plugin.
    // A busy device fails at once instead of holding the key press until it is free; reads block.
    status = snd_pcm_open_lconf(&pcm, device.c_str(), SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK | SND_PCM_NO_AUTO_RESAMPLE,
                                configuration);
    detail::routeAudioSystemMessages();  // a plugin may have brought a library of its own
    if (status >= 0 && (status = snd_pcm_nonblock(pcm, 0)) >= 0) return pcm;
    if (pcm) snd_pcm_close(pcm);
    error = "Cannot open the audio input \"" + device + "\": " + describe(status);
  }
  throw CaptureError(kindOf(status), error);
}

// The sample layouts asked for, best first; each becomes float in the reader.
constexpr snd_pcm_format_t kFormats[] = {SND_PCM_FORMAT_FLOAT_LE, SND_PCM_FORMAT_S32_LE, SND_PCM_FORMAT_S16_LE};

struct Negotiated {
  AudioFormat format;
  snd_pcm_format_t sampleFormat;
};

// Sets up an open PCM for interleaved capture, and prepares it: 16 kHz where it offers that (a sound
// server does), else the first of the usual rates it has (48, 44.1, 32, 96 kHz) or the nearest to
// 16 kHz; one channel, or the fewest it has; periods of 10 ms in a buffer of 0.5 s. Throws CaptureError.
Negotiated configure(snd_pcm_t* pcm) {
  snd_pcm_hw_params_t* hw;
  snd_pcm_hw_params_alloca(&hw);
  auto check = [](int status, const char* what) {
    if (status < 0) throw CaptureError(CaptureError::Kind::deviceFailure, std::string(what) + ": " + describe(status));
  };
  check(snd_pcm_hw_params_any(pcm, hw), "The audio input offers no configuration");
  check(snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED), "The audio input cannot be read");
  std::optional<snd_pcm_format_t> sampleFormat;
  for (snd_pcm_format_t f : kFormats)
    if (!sampleFormat && snd_pcm_hw_params_test_format(pcm, hw, f) == 0) sampleFormat = f;
  if (!sampleFormat) throw CaptureError(CaptureError::Kind::deviceFailure, "The audio input offers no usable sample format");
  check(snd_pcm_hw_params_set_format(pcm, hw, *sampleFormat), "The audio input refused its sample format");
  unsigned channels = 1;
  check(snd_pcm_hw_params_set_channels_near(pcm, hw, &channels), "The audio input refused its channels");
  unsigned rate = 0;
  for (unsigned wanted : {16000u, 48000u, 44100u, 32000u, 96000u})
    if (rate == 0 && snd_pcm_hw_params_test_rate(pcm, hw, wanted, 0) == 0) rate = wanted;
  int direction = 0;
  if (rate == 0) {
    rate = 16000;
    check(snd_pcm_hw_params_set_rate_near(pcm, hw, &rate, &direction), "The audio input refused its rate");
  } else {
    check(snd_pcm_hw_params_set_rate(pcm, hw, rate, 0), "The audio input refused its rate");
  }
  snd_pcm_uframes_t period = std::max<snd_pcm_uframes_t>(1, static_cast<snd_pcm_uframes_t>(rate * kPeriodSeconds));
  snd_pcm_uframes_t buffer = static_cast<snd_pcm_uframes_t>(rate * kBufferSeconds);
  snd_pcm_hw_params_set_period_size_near(pcm, hw, &period, &direction);  // the nearest the device has will do
  snd_pcm_hw_params_set_buffer_size_near(pcm, hw, &buffer);
  check(snd_pcm_hw_params(pcm, hw), "The audio input refused its configuration");

  snd_pcm_sw_params_t* sw;
  snd_pcm_sw_params_alloca(&sw);
  // A read after an overflow starts the capture again by itself.
  if (snd_pcm_sw_params_current(pcm, sw) == 0 && snd_pcm_sw_params_set_start_threshold(pcm, sw, 1) == 0)
    snd_pcm_sw_params(pcm, sw);
  const auto format = AudioFormat::standard(rate, channels);
  if (!format) throw CaptureError(CaptureError::Kind::deviceFailure, "The audio input reports no usable format");
  return {*format, *sampleFormat};
}

void closePcm(snd_pcm_t* pcm) {
  std::lock_guard lock(AudioSystem::shared().mutex);
  snd_pcm_drop(pcm);
  snd_pcm_close(pcm);
}

class AlsaStream final : public CaptureStream {
 public:
  AlsaStream(snd_pcm_t* pcm, Negotiated negotiated)
      : pcm_(pcm), negotiated_(negotiated), frameBytes_(snd_pcm_format_physical_width(negotiated.sampleFormat) / 8 *
                                                        negotiated.format.channelCount()) {}
  ~AlsaStream() override { closePcm(pcm_); }

  std::optional<std::string> read(AudioPCMBuffer& buffer) override {
    const std::uint32_t frames = buffer.frameCapacity();
    interleaved_.resize(static_cast<std::size_t>(frames) * frameBytes_);
    for (std::uint32_t done = 0; done < frames;) {
      const snd_pcm_sframes_t n = snd_pcm_readi(pcm_, interleaved_.data() + static_cast<std::size_t>(done) * frameBytes_, frames - done);
      if (n >= 0) {
        done += static_cast<std::uint32_t>(n);
        continue;
      }
      if (n == -EPIPE) logAudioSystem("ALSA: the input overflowed; captured audio was lost");
      const int recovered = snd_pcm_recover(pcm_, static_cast<int>(n), 1);
      if (recovered < 0) return describe(recovered);
    }
    deinterleave(buffer, frames);
    buffer.setFrameLength(frames);
    return std::nullopt;
  }

 private:
  // "L R L R" => [L L], [R R], as floats.
  void deinterleave(AudioPCMBuffer& buffer, std::uint32_t frames) const {
    const std::uint32_t channels = negotiated_.format.channelCount();
    for (std::uint32_t c = 0; c < channels; ++c) {
      float* out = buffer.floatChannelData(c);
      for (std::uint32_t i = 0; i < frames; ++i) out[i] = sample(static_cast<std::size_t>(i) * channels + c);
    }
  }

  float sample(std::size_t index) const {
    const unsigned char* at = interleaved_.data();
    switch (negotiated_.sampleFormat) {
      case SND_PCM_FORMAT_S32_LE: {
        std::int32_t v;
        std::memcpy(&v, at + index * 4, 4);
        return static_cast<float>(v / 2147483648.0);
      }
      case SND_PCM_FORMAT_S16_LE: {
        std::int16_t v;
        std::memcpy(&v, at + index * 2, 2);
        return static_cast<float>(v / 32768.0);
      }
      default: {
        float v;
        std::memcpy(&v, at + index * 4, 4);
        return v;
      }
    }
  }

  snd_pcm_t* pcm_;
  Negotiated negotiated_;
  std::size_t frameBytes_;
  std::vector<unsigned char> interleaved_;
};

// The input-capable PCM names the configuration lists, in its order: every hint that is not for
// playback only. A device id is a place in this list.
std::vector<std::string> inputNames() {
  void** hints = nullptr;
  std::vector<std::string> names;
  if (snd_device_name_hint(-1, "pcm", &hints) < 0) return names;
  for (void** hint = hints; *hint; ++hint) {
    char* name = snd_device_name_get_hint(*hint, "NAME");
    char* direction = snd_device_name_get_hint(*hint, "IOID");
    if (name && (!direction || std::strcmp(direction, "Input") == 0)) names.emplace_back(name);
    std::free(name);
    std::free(direction);
  }
  snd_device_name_free_hint(hints);
  return names;
}

class AlsaInput final : public CaptureInput {
 public:
  ~AlsaInput() override {
    if (prepared_) closePcm(prepared_);
  }

  int setInputDevice(std::uint32_t deviceId) override {
    std::vector<std::string> names;
    {
      std::lock_guard lock(AudioSystem::shared().mutex);
      names = inputNames();
    }
    if (deviceId >= names.size()) return -EINVAL;
    dropPrepared();
    reportedChannels_ = 0;
    device_ = names[deviceId];
    return 0;
  }

  // Opens and sets up the device, which the next open() then starts, so that a key press opens
  // the device once.
  AudioFormat inputFormat() override {
    if (!prepared_) prepare();
    reportedRate_ = negotiated_->format.sampleRate();
    reportedChannels_ = negotiated_->format.channelCount();
    return negotiated_->format;
  }

  std::unique_ptr<CaptureStream> open(std::uint32_t) override {
    if (!prepared_) prepare();
    const AudioFormat& format = negotiated_->format;
    if (reportedChannels_ != 0 && (format.sampleRate() != reportedRate_ || format.channelCount() != reportedChannels_)) {
      dropPrepared();
      throw CaptureError(CaptureError::Kind::deviceFailure, "The audio input changed its format");
    }
    snd_pcm_t* pcm = std::exchange(prepared_, nullptr);
    const int status = snd_pcm_start(pcm);
    if (status < 0) {
      closePcm(pcm);
      throw CaptureError(kindOf(status), "Cannot start audio capture: " + describe(status));
    }
    return std::make_unique<AlsaStream>(pcm, *negotiated_);
  }

 private:
  void prepare() {
    AudioSystem& system = AudioSystem::shared();
    std::lock_guard lock(system.mutex);
    snd_pcm_t* pcm = openPcm(system, device_);
    try {
      negotiated_ = configure(pcm);
    } catch (const CaptureError&) {
      snd_pcm_close(pcm);
      throw;
    }
    prepared_ = pcm;
  }

  void dropPrepared() {
    if (prepared_) closePcm(std::exchange(prepared_, nullptr));
    negotiated_.reset();
  }

  std::string device_ = kDefaultDevice;
  snd_pcm_t* prepared_ = nullptr;  // opened and set up, not started
  std::optional<Negotiated> negotiated_;
  double reportedRate_ = 0;  // the format inputFormat() last reported; no channels before it did
  std::uint32_t reportedChannels_ = 0;
};

}  // namespace

std::shared_ptr<CaptureInput> makeAlsaInput() { return std::make_shared<AlsaInput>(); }

std::shared_ptr<CaptureEngine> makeDefaultCaptureEngine() { return makeReaderCaptureEngine(makeAlsaInput()); }

void prepareCapture() {
  static std::once_flag once;
  std::call_once(once, [] {
    std::thread([] {
      AudioSystem& system = AudioSystem::shared();
      std::lock_guard lock(system.mutex);
      // Opened and closed unconfigured: its plugin and libraries load, no stream starts, the
      // microphone stays closed.
      try {
        snd_pcm_close(openPcm(system, kDefaultDevice));
      } catch (const CaptureError& error) {
        logAudioSystem(std::string("ALSA: ") + error.what());
      }
    }).detach();
  });
}

std::vector<InputDeviceInfo> listInputDevices() {
  AudioSystem& system = AudioSystem::shared();
  std::lock_guard lock(system.mutex);
  std::string error;
  snd_config_t* configuration = system.configuration(&error);
  if (!configuration) throw CaptureError(CaptureError::Kind::deviceFailure, error);
  const std::vector<std::string> names = inputNames();
  const detail::JackMessagesRouted jack;  // the list may hold a JACK device
  std::vector<InputDeviceInfo> devices;
  snd_pcm_hw_params_t* hw;
  snd_pcm_hw_params_alloca(&hw);
  for (std::size_t i = 0; i < names.size(); ++i) {
    snd_pcm_t* pcm = nullptr;
    if (snd_pcm_open_lconf(&pcm, names[i].c_str(), SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK, configuration) < 0) continue;
    unsigned channels = 0;
    if (snd_pcm_hw_params_any(pcm, hw) >= 0 && snd_pcm_hw_params_get_channels_max(hw, &channels) >= 0 && channels > 0)
      devices.push_back({static_cast<std::uint32_t>(i), names[i], channels});
    snd_pcm_close(pcm);
  }
  return devices;
}

}  // namespace platform::audio

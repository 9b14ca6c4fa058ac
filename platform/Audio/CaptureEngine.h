// A live input engine: one input (the default device or a chosen one), one tap that receives buffers
// of captured float frames in the input's own format on the engine's capture thread, and
// start/pause/stop/reset. `makeDefaultCaptureEngine` gives the ALSA engine (CaptureInput.h);
// tests use FakeCaptureEngine. Engines are driven from one controlling thread; the tap runs on the capture
// thread. Failures throw CaptureError; with no sound card, `inputFormat` and `start` throw. A failure
// while capturing (a read error, a device that went away) stops the engine and is reported once to
// the failure handler, on the capture thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Audio/AudioFormat.h"

namespace platform::audio {

class CaptureError : public std::runtime_error {
 public:
  enum class Kind { noInputDevice, deviceFailure };
  CaptureError(Kind kind, const std::string& message) : std::runtime_error(message), kind(kind) {}
  Kind kind;
};

// An input-capable device of the system.
struct InputDeviceInfo {
  std::uint32_t id = 0;
  std::string name;
  std::uint32_t inputChannels = 0;
};

class CaptureEngine {
 public:
  using TapBlock = std::function<void(const AudioPCMBuffer&)>;
  using FailureBlock = std::function<void(const CaptureError&)>;

  virtual ~CaptureEngine() = default;

  // Selects the input device; 0 on success, else a nonzero status (the id names no input device).
  virtual int setInputDevice(std::uint32_t deviceId) = 0;
  // The format in which the input delivers frames (its rate and channel count, float, non-interleaved).
  // Throws CaptureError(noInputDevice) when there is no input.
  virtual AudioFormat inputFormat() = 0;
  // Installs the one tap (replacing any); buffers hold about `bufferSize` frames each.
  virtual void installTap(std::uint32_t bufferSize, TapBlock block) = 0;
  virtual void removeTap() = 0;
  // Installs the one failure handler (replacing any; nullptr removes it). When capture fails after
  // start(), the engine stops delivering buffers, isRunning() turns false and the handler is called
  // once on the capture thread; it must not call start, pause, stop or reset. No handler call runs
  // once pause() or stop() returns.
  virtual void setFailureHandler(FailureBlock block) = 0;
  // Starts (or restarts after pause) capture. Throws CaptureError.
  virtual void start() = 0;
  // Stops delivering buffers; start() resumes. No tap call runs once pause() or stop() returns, and
  // neither waits for the device: a read still under way is left to end on the capture thread.
  virtual void pause() = 0;
  virtual void stop() = 0;
  // Releases the device resources; the engine can be started again.
  virtual void reset() = 0;
  virtual bool isRunning() const = 0;
};

using CaptureEngineFactory = std::function<std::shared_ptr<CaptureEngine>()>;

// The ALSA engine on the default input device. Starting it opens that one device and nothing else.
std::shared_ptr<CaptureEngine> makeDefaultCaptureEngine();

// Readies the audio system for the first capture on a thread of its own, once per process, and
// returns at once: reads the sound configuration and loads the default input's libraries (the
// device is opened and closed again unstarted; the microphone stays off). Captures keep using what
// it read; without it the first capture does the reading.
void prepareCapture();

// The input-capable devices in the order the system lists them (every one is opened to ask for its
// channels). Throws CaptureError(deviceFailure) when the audio system cannot be queried.
std::vector<InputDeviceInfo> listInputDevices();

}  // namespace platform::audio

// The device side of the capture engine: an input that opens streams read with blocking reads.
// `makeReaderCaptureEngine` runs each stream on a reader thread of its own and never waits for a
// read: pause, stop and reset return at once, and a read that does not come back keeps only its own
// thread, which closes the stream when the read returns. The controlling thread calls the input
// (setInputDevice, inputFormat, open); a stream is read, and destroyed, on its reader thread only.
// ALSA is the real input (`makeAlsaInput`); tests use FakeCaptureInput.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/Audio/CaptureEngine.h"

namespace platform::audio {

// A started input stream. Destroying it stops and closes it.
class CaptureStream {
 public:
  virtual ~CaptureStream() = default;
  // Blocks until `buffer` holds its capacity of frames (its frame length is set), or fails with the
  // reason. `buffer` is in the input format the stream was opened with.
  virtual std::optional<std::string> read(AudioPCMBuffer& buffer) = 0;
};

class CaptureInput {
 public:
  virtual ~CaptureInput() = default;
  // As CaptureEngine::setInputDevice.
  virtual int setInputDevice(std::uint32_t deviceId) = 0;
  // As CaptureEngine::inputFormat. An input may open the device to learn it, and keep it open for
  // the next open().
  virtual AudioFormat inputFormat() = 0;
  // Opens and starts a stream in inputFormat() whose reads take `framesPerRead` frames. Throws
  // CaptureError, also when the device no longer has the format inputFormat() reported.
  virtual std::unique_ptr<CaptureStream> open(std::uint32_t framesPerRead) = 0;
};

std::shared_ptr<CaptureEngine> makeReaderCaptureEngine(std::shared_ptr<CaptureInput> input);

// The default input device through ALSA, opened through the process's one reading of the sound
// configuration (prepareCapture); inputFormat() opens and sets up the device, open() starts it.
std::shared_ptr<CaptureInput> makeAlsaInput();

}  // namespace platform::audio

// Converts float PCM from one format to another: sample rate (libsoxr, high quality) and channel count
// (same count, or any count mixed down to one by averaging). Pull model: `convert` fills an output
// buffer and asks an input block for data whenever it needs more. After the input reports end of
// stream the resampler is drained (flushed) and `convert` reports endOfStream; `reset` makes the
// converter ready for a new, independent stream. One converter is used by one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Audio/AudioFormat.h"

namespace platform::audio {

class AudioConverter {
 public:
  enum class InputStatus { haveData, noDataNow, endOfStream };
  enum class OutputStatus { haveData, inputRanDry, endOfStream, error };

  // Asked for input; returns a buffer in inputFormat() with status haveData, or nullptr with
  // noDataNow or endOfStream. `packetCount` is a hint of the frames wanted. The converter copies what
  // it needs before asking again.
  using InputBlock = std::function<const AudioPCMBuffer*(std::uint32_t packetCount, InputStatus& status)>;

  // Nothing when the channel counts cannot be mapped (neither equal nor many to one) or the
  // resampler cannot be made.
  static std::optional<AudioConverter> make(const AudioFormat& from, const AudioFormat& to);
  ~AudioConverter();
  AudioConverter(AudioConverter&&) noexcept;
  AudioConverter& operator=(AudioConverter&&) noexcept;

  const AudioFormat& inputFormat() const { return from_; }
  const AudioFormat& outputFormat() const { return to_; }

  // Appends converted frames to `output` (from its current frame length up to its capacity).
  // haveData: the output is full; inputRanDry: the input had nothing now; endOfStream: everything,
  // flushed tail included, has been delivered; error: `error` (if given) says why.
  OutputStatus convert(AudioPCMBuffer& output, std::string* error, const InputBlock& input);

  // Discards buffered frames and resampler state.
  void reset();

 private:
  struct State;
  AudioConverter(const AudioFormat& from, const AudioFormat& to, std::unique_ptr<State> state);
  AudioFormat from_;
  AudioFormat to_;
  std::unique_ptr<State> state_;
};

}  // namespace platform::audio

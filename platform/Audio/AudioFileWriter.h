// Writes float samples to audio files through libsndfile: all at once (`writeAudioFile`, test
// signals) or streamed buffer by buffer (`AudioFileWriter`, the recorder's WAV files). Failures throw
// AudioFileError naming the file. Thread-safe (no shared state); one AudioFileWriter is used by one
// thread at a time.
//   writeAudioFile("tone.wav", 44100, {left, right}, AudioFileType::wav16);
//   AudioFileWriter writer("take.wav", 16000, 1, AudioFileType::wav16);  writer.write(buffer);  writer.close();
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

#include "platform/Audio/AudioFile.h"

namespace platform::audio {

enum class AudioFileType {
  wav16,     // WAV, 16-bit integer PCM
  wavFloat,  // WAV, 32-bit float
  flac16,    // FLAC, 16-bit
};

// One vector per channel, all of the same length.
void writeAudioFile(const std::filesystem::path& path, double sampleRate,
                    const std::vector<std::vector<float>>& channels, AudioFileType type);

// A file being written. Integer formats clip out-of-range samples instead of wrapping.
class AudioFileWriter {
 public:
  // Creates `path` (mode 0600) or truncates it, refusing a symbolic link at the name. When the
  // rate (1 Hz ... 1 MHz), channel count or encoder is unusable it throws and leaves no file it made.
  AudioFileWriter(const std::filesystem::path& path, double sampleRate, std::uint32_t channelCount,
                  AudioFileType type);
  // Closes the file if `close` was not called, ignoring errors.
  ~AudioFileWriter();
  AudioFileWriter(AudioFileWriter&&) noexcept;
  AudioFileWriter& operator=(AudioFileWriter&&) noexcept;

  const std::filesystem::path& url() const { return path_; }
  // The buffers `write` takes: float, non-interleaved, the file's rate and channel count.
  const AudioFormat& processingFormat() const { return format_; }
  std::int64_t framesWritten() const { return frames_; }

  // Appends the buffer's frameLength() frames. Throws on a buffer not in processingFormat(), a
  // write error, or after close().
  void write(const AudioPCMBuffer& buffer);
  // Finishes the header and closes the file; later calls do nothing. Throws when it cannot finish.
  void close();

 private:
  struct Handle;
  std::filesystem::path path_;
  AudioFormat format_;
  std::unique_ptr<Handle> handle_;
  std::vector<float> interleaved_;
  std::int64_t frames_ = 0;
};

}  // namespace platform::audio

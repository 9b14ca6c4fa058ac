// An audio file opened for reading (WAV, AIFF, FLAC, Ogg, MP3: whatever libsndfile reads), delivered
// as 32-bit float, non-interleaved frames. The object owns the open file and a read position; it is
// movable, not thread-safe. Every failure throws AudioFileError naming the file; a data chunk that is
// shorter than its header declares, or data that ends early, counts as a failure.
//   AudioFile file("talk.wav"); auto buffer = *AudioPCMBuffer::make(file.processingFormat(), 4096);
//   file.read(buffer, 4096);
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include "platform/Audio/AudioFormat.h"

namespace platform::audio {

class AudioFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class AudioFile {
 public:
  // Opens `path` for reading. Throws AudioFileError when it cannot be opened or is truncated.
  explicit AudioFile(const std::filesystem::path& path);
  ~AudioFile();
  AudioFile(AudioFile&&) noexcept;
  AudioFile& operator=(AudioFile&&) noexcept;

  const std::filesystem::path& url() const { return path_; }
  // The file's own rate and channel count (interleaved, as stored).
  const AudioFormat& fileFormat() const { return fileFormat_; }
  // The same rate and channels as float, non-interleaved: the format of the buffers `read` fills.
  const AudioFormat& processingFormat() const { return processingFormat_; }
  // Frames in the file.
  std::int64_t length() const { return length_; }

  std::int64_t framePosition() const { return position_; }
  // Clamped to 0 ... length(). Throws AudioFileError when the file cannot seek.
  void setFramePosition(std::int64_t frame);

  // Reads min(frameCount, capacity, frames left) frames from the read position into `buffer`, sets its
  // frame length to that count and advances the position. The buffer must have the processing format.
  // Throws AudioFileError on a format mismatch, a read error or data that ends before length().
  void read(AudioPCMBuffer& buffer, std::uint32_t frameCount);

 private:
  struct Handle;
  std::filesystem::path path_;
  std::unique_ptr<Handle> handle_;
  AudioFormat fileFormat_;
  AudioFormat processingFormat_;
  std::int64_t length_ = 0;
  std::int64_t position_ = 0;
};

}  // namespace platform::audio

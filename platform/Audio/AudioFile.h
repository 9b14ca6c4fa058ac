// An audio file opened for reading (WAV, AIFF, FLAC, Ogg, MP3: whatever libsndfile or libmpg123
// reads), delivered as 32-bit float, non-interleaved frames. The object owns the open file and a read
// position; it is movable, not thread-safe. Every failure throws AudioFileError naming the file and
// saying what is wrong. Only regular files are opened (a FIFO or a folder is refused, never waited
// on); channel counts, rates and durations outside the limits below are refused. A WAV/AIFF data
// chunk shorter than its header declares, or data that ends before it, counts as a failure; a length
// the header only estimates or leaves open (MP3 without a Xing/Info header, FLAC written to a pipe)
// is counted from the data itself.
//   AudioFile file("talk.wav"); auto buffer = *AudioPCMBuffer::make(file.processingFormat(), 4096);
//   file.read(buffer, 4096);
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
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
  static constexpr std::uint32_t maxChannelCount = 64;
  static constexpr double minSampleRate = 1000;    // Hz
  static constexpr double maxSampleRate = 768000;  // Hz
  static constexpr double maxDurationSeconds = 24 * 3600;

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
  // Throws AudioFileError on a format mismatch, a read error, or WAV/AIFF data that ends before
  // length(); where the length was counted, a decoder that ends sooner shortens length() instead.
  void read(AudioPCMBuffer& buffer, std::uint32_t frameCount);

 private:
  struct Handle;
  void openMpeg(long long& rate, long long& channels);
  std::int64_t countFrames(double rate, std::uint32_t channels);
  std::int64_t decode(float* interleaved, std::int64_t frames);

  std::filesystem::path path_;
  std::unique_ptr<Handle> handle_;
  AudioFormat fileFormat_;
  AudioFormat processingFormat_;
  std::int64_t length_ = 0;
  std::int64_t position_ = 0;
  bool estimated_ = false;  // length_ came from a scan or count, not from an exact header
};

}  // namespace platform::audio

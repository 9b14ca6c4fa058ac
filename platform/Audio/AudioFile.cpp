#include "platform/Audio/AudioFile.h"

#include <fcntl.h>
#include <mpg123.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

namespace platform::audio {

// One decoder at a time: libsndfile for every format it reads but MPEG, whose frame count it takes
// from an estimate when the file has no Xing/Info header and then stops reading at that estimate;
// libmpg123 for MPEG, which scans the frames for the true length.
struct AudioFile::Handle {
  int fd = -1;
  SNDFILE* file = nullptr;
  mpg123_handle* mpeg = nullptr;
  ~Handle() {
    closeDecoders();
    if (fd >= 0) ::close(fd);
  }
  void closeDecoders() {
    if (file) sf_close(file);
    file = nullptr;
    if (mpeg) {
      mpg123_close(mpeg);
      mpg123_delete(mpeg);
    }
    mpeg = nullptr;
  }
};

namespace {

[[noreturn]] void fail(const std::filesystem::path& path, const std::string& what) {
  throw AudioFileError("Cannot read audio file " + path.string() + ": " + what);
}

// The number after `label :` in libsndfile's log of a failed open, if any.
std::optional<long long> logValue(const std::string& log, const char* label) {
  for (std::size_t at = log.find(label); at != std::string::npos; at = log.find(label, at + 1)) {
    const std::size_t colon = log.find(':', at);
    if (colon == std::string::npos) return std::nullopt;
    long long value = 0;
    if (std::sscanf(log.c_str() + colon + 1, " %lld", &value) == 1) return value;
  }
  return std::nullopt;
}

// Why libsndfile could not open the file, in words a user can act on.
std::string openFailure() {
  const std::string message = sf_strerror(nullptr);
  char buffer[4096] = {};
  sf_command(nullptr, SFC_GET_LOG_INFO, buffer, sizeof buffer);
  const std::string log = buffer;
  if (auto rate = logValue(log, "Sample Rate"); rate && *rate <= 0)
    return "the header declares a sample rate of " + std::to_string(*rate) + " Hz";
  if (auto channels = logValue(log, "Channels"); channels && *channels <= 0)
    return "the header declares " + std::to_string(*channels) + " channels";
  if (sf_error(nullptr) == SF_ERR_UNRECOGNISED_FORMAT) return "not an audio file in a known format (" + message + ")";
  return message;
}

// libsndfile opens a RIFF/AIFF file whose data chunk was cut short and silently shortens it; its log
// then holds a line like "data : 400000 (should be 200000)". A declared size of 0 or 0xFFFFFFFF-ish
// marks a file written as a stream, which is not truncation.
bool dataChunkIsShort(SNDFILE* file) {
  char log[4096] = {};
  sf_command(file, SFC_GET_LOG_INFO, log, sizeof log);
  for (const char* line = log; line && *line;) {
    const char* end = std::strchr(line, '\n');
    std::string text(line, end ? static_cast<std::size_t>(end - line) : std::strlen(line));
    line = end ? end + 1 : nullptr;
    if (text.rfind("data", 0) != 0 && text.rfind("SSND", 0) != 0) continue;
    unsigned long long declared = 0, actual = 0;
    auto colon = text.find(':');
    if (colon == std::string::npos) continue;
    if (std::sscanf(text.c_str() + colon + 1, " %llu (should be %llu)", &declared, &actual) == 2 &&
        actual < declared && declared != 0 && declared < 0x7FFFFFFFull)
      return true;
  }
  return false;
}

void checkFormat(const std::filesystem::path& path, long long rate, long long channels) {
  if (channels < 1 || channels > AudioFile::maxChannelCount)
    fail(path, "the file declares " + std::to_string(channels) + " channels; 1 to " +
                   std::to_string(AudioFile::maxChannelCount) + " are supported");
  if (rate < AudioFile::minSampleRate || rate > AudioFile::maxSampleRate)
    fail(path, "the file declares a sample rate of " + std::to_string(rate) + " Hz; " +
                   std::to_string(static_cast<long>(AudioFile::minSampleRate)) + " to " +
                   std::to_string(static_cast<long>(AudioFile::maxSampleRate)) + " Hz are supported");
}

void checkLength(const std::filesystem::path& path, std::int64_t frames, double rate) {
  if (static_cast<double>(frames) > AudioFile::maxDurationSeconds * rate)
    fail(path, "the audio is longer than " + std::to_string(static_cast<long>(AudioFile::maxDurationSeconds / 3600)) +
                   " hours");
}

SNDFILE* openSndfile(const std::filesystem::path& path, int fd, SF_INFO& info) {
  if (::lseek(fd, 0, SEEK_SET) != 0) fail(path, std::strerror(errno));
  info = SF_INFO{};
  SNDFILE* file = sf_open_fd(fd, SFM_READ, &info, SF_FALSE);
  if (!file) fail(path, openFailure());
  return file;
}

std::string mpegError(mpg123_handle* mpeg, int code) {
  return code == MPG123_ERR && mpeg ? mpg123_strerror(mpeg) : mpg123_plain_strerror(code);
}

}  // namespace

AudioFile::AudioFile(const std::filesystem::path& path)
    : path_(path), handle_(std::make_unique<Handle>()),
      fileFormat_(*AudioFormat::standard(1, 1)), processingFormat_(fileFormat_) {
  // Non-blocking, so that a FIFO cannot hang the open; the type is checked on the open descriptor.
  handle_->fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (handle_->fd < 0) fail(path, std::strerror(errno));
  struct stat status {};
  if (::fstat(handle_->fd, &status) != 0) fail(path, std::strerror(errno));
  if (S_ISDIR(status.st_mode)) fail(path, "it is a folder, not an audio file");
  if (!S_ISREG(status.st_mode)) fail(path, "not a regular file (a pipe, socket or device is not read as audio)");
  const int flags = ::fcntl(handle_->fd, F_GETFL);
  if (flags < 0 || ::fcntl(handle_->fd, F_SETFL, flags & ~O_NONBLOCK) != 0) fail(path, std::strerror(errno));

  SF_INFO info{};
  handle_->file = openSndfile(path, handle_->fd, info);
  long long rate = info.samplerate, channels = info.channels;
  if ((info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_MPEG) {
    sf_close(handle_->file);
    handle_->file = nullptr;
    openMpeg(rate, channels);
  } else {
    checkFormat(path, rate, channels);
    if (dataChunkIsShort(handle_->file))
      fail(path, "the audio data is shorter than the header declares (truncated file)");
    // Integer files become floats in -1 ... 1.
    sf_command(handle_->file, SFC_SET_NORM_FLOAT, nullptr, SF_TRUE);
    if (info.frames < 0 || info.frames == SF_COUNT_MAX) {
      length_ = countFrames(static_cast<double>(rate), static_cast<std::uint32_t>(channels));
      handle_->closeDecoders();
      handle_->file = openSndfile(path, handle_->fd, info);
      sf_command(handle_->file, SFC_SET_NORM_FLOAT, nullptr, SF_TRUE);
    } else {
      length_ = info.frames;
    }
  }
  checkLength(path, length_, static_cast<double>(rate));
  fileFormat_ = *AudioFormat::make(static_cast<double>(rate), static_cast<std::uint32_t>(channels), true);
  processingFormat_ = *AudioFormat::make(static_cast<double>(rate), static_cast<std::uint32_t>(channels), false);
}

void AudioFile::openMpeg(long long& rate, long long& channels) {
  static std::once_flag initialised;
  std::call_once(initialised, [] { mpg123_init(); });
  int error = MPG123_OK;
  handle_->mpeg = mpg123_new(nullptr, &error);
  if (!handle_->mpeg) fail(path_, "cannot start the MPEG decoder: " + mpegError(nullptr, error));
  mpg123_handle* mpeg = handle_->mpeg;
  mpg123_param(mpeg, MPG123_ADD_FLAGS, MPG123_QUIET, 0);
  mpg123_format_none(mpeg);
  const long* rates = nullptr;
  std::size_t rateCount = 0;
  mpg123_rates(&rates, &rateCount);
  for (std::size_t i = 0; i < rateCount; ++i)
    mpg123_format(mpeg, rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_FLOAT_32);
  if (::lseek(handle_->fd, 0, SEEK_SET) != 0) fail(path_, std::strerror(errno));
  if ((error = mpg123_open_fd(mpeg, handle_->fd)) != MPG123_OK) fail(path_, mpegError(mpeg, error));
  // The frame count of a file without a Xing/Info header is an estimate until every frame is seen.
  if ((error = mpg123_scan(mpeg)) != MPG123_OK) fail(path_, mpegError(mpeg, error));
  long mpegRate = 0;
  int mpegChannels = 0, encoding = 0;
  if ((error = mpg123_getformat(mpeg, &mpegRate, &mpegChannels, &encoding)) != MPG123_OK)
    fail(path_, mpegError(mpeg, error));
  rate = mpegRate;
  channels = mpegChannels;
  checkFormat(path_, rate, channels);
  // Keep that one format for the whole stream.
  mpg123_format_none(mpeg);
  mpg123_format(mpeg, mpegRate, mpegChannels, MPG123_ENC_FLOAT_32);
  const off_t frames = mpg123_length(mpeg);
  if (frames < 0) fail(path_, "the MPEG stream has no frames");
  length_ = frames;
  estimated_ = true;
}

std::int64_t AudioFile::countFrames(double rate, std::uint32_t channels) {
  // The header leaves the length open (a file written to a pipe): decode once to learn it.
  constexpr sf_count_t block = 8192;
  std::vector<float> scratch(static_cast<std::size_t>(block) * channels);
  std::int64_t frames = 0;
  for (sf_count_t got; (got = sf_readf_float(handle_->file, scratch.data(), block)) > 0;) {
    frames += got;
    checkLength(path_, frames, rate);
  }
  if (sf_error(handle_->file) != SF_ERR_NO_ERROR) fail(path_, sf_strerror(handle_->file));
  estimated_ = true;
  return frames;
}

AudioFile::~AudioFile() = default;
AudioFile::AudioFile(AudioFile&&) noexcept = default;
AudioFile& AudioFile::operator=(AudioFile&&) noexcept = default;

void AudioFile::setFramePosition(std::int64_t frame) {
  frame = std::clamp<std::int64_t>(frame, 0, length_);
  if (frame == position_) return;
  const bool moved = handle_->mpeg ? mpg123_seek(handle_->mpeg, static_cast<off_t>(frame), SEEK_SET) >= 0
                                   : sf_seek(handle_->file, frame, SEEK_SET) >= 0;
  if (!moved) fail(path_, "cannot seek to frame " + std::to_string(frame));
  position_ = frame;
}

// Up to `frames` interleaved frames; 0 at the end of the data; throws on a decoding error.
std::int64_t AudioFile::decode(float* interleaved, std::int64_t frames) {
  const std::uint32_t channels = processingFormat_.channelCount();
  if (!handle_->mpeg) {
    const sf_count_t got = sf_readf_float(handle_->file, interleaved, frames);
    if (got < frames && sf_error(handle_->file) != SF_ERR_NO_ERROR)
      fail(path_, std::string(sf_strerror(handle_->file)) + " at frame " + std::to_string(position_ + got));
    return got;
  }
  const std::size_t frameBytes = sizeof(float) * channels;
  std::size_t bytes = 0;
  while (bytes < static_cast<std::size_t>(frames) * frameBytes) {
    std::size_t done = 0;
    const int status = mpg123_read(handle_->mpeg, reinterpret_cast<unsigned char*>(interleaved) + bytes,
                                   static_cast<std::size_t>(frames) * frameBytes - bytes, &done);
    bytes += done;
    if (status == MPG123_DONE) break;
    if (status == MPG123_NEW_FORMAT) {
      long rate = 0;
      int count = 0, encoding = 0;
      mpg123_getformat(handle_->mpeg, &rate, &count, &encoding);
      if (static_cast<double>(rate) != processingFormat_.sampleRate() || static_cast<std::uint32_t>(count) != channels)
        fail(path_, "the MPEG stream changes its format at frame " + std::to_string(position_ + bytes / frameBytes));
      continue;
    }
    if (status != MPG123_OK)
      fail(path_, mpegError(handle_->mpeg, status) + " at frame " + std::to_string(position_ + bytes / frameBytes));
  }
  return static_cast<std::int64_t>(bytes / frameBytes);
}

void AudioFile::read(AudioPCMBuffer& buffer, std::uint32_t frameCount) {
  if (buffer.format() != processingFormat_) fail(path_, "buffer format does not match the file");
  const std::uint32_t channels = processingFormat_.channelCount();
  std::int64_t wanted = std::min<std::int64_t>({frameCount, buffer.frameCapacity(), length_ - position_});
  buffer.setFrameLength(0);
  if (wanted <= 0) return;

  constexpr std::int64_t block = 8192;
  std::vector<float> interleaved(static_cast<std::size_t>(std::min(wanted, block)) * channels);
  std::int64_t done = 0;
  while (done < wanted) {
    const std::int64_t want = std::min(wanted - done, block);
    const std::int64_t got = decode(interleaved.data(), want);
    if (got > 0) {
      for (std::uint32_t c = 0; c < channels; ++c) {
        float* out = buffer.floatChannelData(c) + done;
        for (std::int64_t i = 0; i < got; ++i) out[i] = interleaved[static_cast<std::size_t>(i) * channels + c];
      }
      done += got;
      position_ += got;
    }
    if (got < want) {
      // A decoder whose length was counted in advance ends where it ends; a header's exact size
      // that the data does not fill is a truncated file.
      if (estimated_) {
        length_ = position_;
        break;
      }
      fail(path_, "unexpected end of audio data at frame " + std::to_string(position_) + " of " +
                      std::to_string(length_));
    }
  }
  buffer.setFrameLength(static_cast<std::uint32_t>(done));
}

}  // namespace platform::audio

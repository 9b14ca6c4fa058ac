#include "platform/Audio/AudioFile.h"

#include <sndfile.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace platform::audio {

struct AudioFile::Handle {
  SNDFILE* file = nullptr;
  ~Handle() {
    if (file) sf_close(file);
  }
};

namespace {

[[noreturn]] void fail(const std::filesystem::path& path, const std::string& what) {
  throw AudioFileError("Cannot read audio file " + path.string() + ": " + what);
}

AudioFormat formatOrFail(const std::filesystem::path& path, double rate, int channels, bool interleaved) {
  auto format = AudioFormat::make(rate, channels > 0 ? static_cast<std::uint32_t>(channels) : 0, interleaved);
  if (!format) fail(path, "invalid sample rate or channel count");
  return *format;
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

}  // namespace

AudioFile::AudioFile(const std::filesystem::path& path)
    : path_(path), handle_(std::make_unique<Handle>()),
      fileFormat_(*AudioFormat::standard(1, 1)), processingFormat_(fileFormat_) {
  SF_INFO info{};
  handle_->file = sf_open(path.c_str(), SFM_READ, &info);
  if (!handle_->file) fail(path, sf_strerror(nullptr));
  if (info.frames < 0 || info.channels <= 0) fail(path, "invalid header");
  fileFormat_ = formatOrFail(path, info.samplerate, info.channels, true);
  processingFormat_ = formatOrFail(path, info.samplerate, info.channels, false);
  if (dataChunkIsShort(handle_->file)) fail(path, "the audio data is shorter than the header declares (truncated file)");
  length_ = info.frames;
  // Integer files become floats in -1 ... 1.
  sf_command(handle_->file, SFC_SET_NORM_FLOAT, nullptr, SF_TRUE);
}

AudioFile::~AudioFile() = default;
AudioFile::AudioFile(AudioFile&&) noexcept = default;
AudioFile& AudioFile::operator=(AudioFile&&) noexcept = default;

void AudioFile::setFramePosition(std::int64_t frame) {
  frame = std::clamp<std::int64_t>(frame, 0, length_);
  if (frame == position_) return;
  if (sf_seek(handle_->file, frame, SEEK_SET) < 0) fail(path_, "cannot seek to frame " + std::to_string(frame));
  position_ = frame;
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
    sf_count_t want = std::min(wanted - done, block);
    sf_count_t got = sf_readf_float(handle_->file, interleaved.data(), want);
    if (got > 0) {
      for (std::uint32_t c = 0; c < channels; ++c) {
        float* out = buffer.floatChannelData(c) + done;
        for (sf_count_t i = 0; i < got; ++i) out[i] = interleaved[static_cast<std::size_t>(i) * channels + c];
      }
      done += got;
      position_ += got;
    }
    if (got < want) {
      int code = sf_error(handle_->file);
      std::string reason = code != SF_ERR_NO_ERROR ? sf_strerror(handle_->file) : "unexpected end of audio data";
      fail(path_, reason + " at frame " + std::to_string(position_) + " of " + std::to_string(length_));
    }
  }
  buffer.setFrameLength(static_cast<std::uint32_t>(done));
}

}  // namespace platform::audio

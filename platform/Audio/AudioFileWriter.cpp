#include "platform/Audio/AudioFileWriter.h"

#include <fcntl.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <system_error>

#include "platform/System/Folders.h"

namespace platform::audio {
namespace {

[[noreturn]] void fail(const std::filesystem::path& path, const std::string& why) {
  throw AudioFileError("Cannot write audio file " + path.string() + ": " + why);
}

bool usableRate(double sampleRate) { return sampleRate >= 1 && sampleRate <= 1e6; }

SF_INFO describe(double sampleRate, std::size_t channels, AudioFileType type) {
  SF_INFO info{};
  info.samplerate = static_cast<int>(std::lround(sampleRate));
  info.channels = static_cast<int>(channels);
  switch (type) {
    case AudioFileType::wav16: info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16; break;
    case AudioFileType::wavFloat: info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT; break;
    case AudioFileType::flac16: info.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_16; break;
  }
  return info;
}

}  // namespace

void writeAudioFile(const std::filesystem::path& path, double sampleRate,
                    const std::vector<std::vector<float>>& channels, AudioFileType type) {
  if (channels.empty()) fail(path, "no channels");
  const std::size_t frames = channels[0].size();
  for (const auto& channel : channels)
    if (channel.size() != frames) fail(path, "channels differ in length");
  if (!usableRate(sampleRate)) fail(path, "invalid sample rate");

  SF_INFO info = describe(sampleRate, channels.size(), type);
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!file) fail(path, sf_strerror(nullptr));
  sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);

  constexpr std::size_t block = 8192;
  std::vector<float> interleaved(block * channels.size());
  for (std::size_t done = 0; done < frames;) {
    std::size_t n = std::min(block, frames - done);
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t c = 0; c < channels.size(); ++c) interleaved[i * channels.size() + c] = channels[c][done + i];
    if (sf_writef_float(file, interleaved.data(), static_cast<sf_count_t>(n)) != static_cast<sf_count_t>(n)) {
      std::string why = sf_strerror(file);
      sf_close(file);
      fail(path, why);
    }
    done += n;
  }
  if (sf_close(file) != 0) fail(path, "cannot finish the file");
}

struct AudioFileWriter::Handle {
  SNDFILE* file = nullptr;
  ~Handle() {
    if (file) sf_close(file);
  }
};

namespace {

AudioFormat formatOrFail(const std::filesystem::path& path, double sampleRate, std::uint32_t channelCount) {
  auto format = AudioFormat::standard(sampleRate, channelCount);
  if (!format || !usableRate(sampleRate)) fail(path, "invalid sample rate or channel count");
  return *format;
}

}  // namespace

AudioFileWriter::AudioFileWriter(const std::filesystem::path& path, double sampleRate, std::uint32_t channelCount,
                                 AudioFileType type)
    : path_(path), format_(formatOrFail(path, sampleRate, channelCount)), handle_(std::make_unique<Handle>()) {
  SF_INFO info = describe(sampleRate, channelCount, type);
  if (!sf_format_check(&info)) fail(path, "unsupported format");
  system::UniqueFd fd;
  try {
    fd = system::openNoFollow(path, O_RDWR | O_CREAT | O_TRUNC, 0600);
  } catch (const std::system_error& error) {
    fail(path, error.code().message());
  }
  handle_->file = sf_open_fd(fd.get(), SFM_WRITE, &info, SF_TRUE);
  if (!handle_->file) {
    std::string why = sf_strerror(nullptr);
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
    fail(path, why);
  }
  fd.release();  // closed by sf_close
  sf_command(handle_->file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
}

AudioFileWriter::~AudioFileWriter() = default;
AudioFileWriter::AudioFileWriter(AudioFileWriter&&) noexcept = default;
AudioFileWriter& AudioFileWriter::operator=(AudioFileWriter&&) noexcept = default;

void AudioFileWriter::write(const AudioPCMBuffer& buffer) {
  if (!handle_ || !handle_->file) fail(path_, "the file is closed");
  if (buffer.format() != format_) fail(path_, "buffer format does not match the file");
  const std::size_t frames = buffer.frameLength();
  if (frames == 0) return;
  const std::size_t channels = format_.channelCount();
  const float* samples = buffer.floatChannelData(0);
  if (channels > 1) {
    // [l0 l1 ...][r0 r1 ...] => [l0 r0 l1 r1 ...]
    interleaved_.resize(frames * channels);
    for (std::size_t c = 0; c < channels; ++c) {
      const float* in = buffer.floatChannelData(static_cast<std::uint32_t>(c));
      for (std::size_t i = 0; i < frames; ++i) interleaved_[i * channels + c] = in[i];
    }
    samples = interleaved_.data();
  }
  if (sf_writef_float(handle_->file, samples, static_cast<sf_count_t>(frames)) != static_cast<sf_count_t>(frames))
    fail(path_, sf_strerror(handle_->file));
  frames_ += static_cast<std::int64_t>(frames);
}

void AudioFileWriter::close() {
  if (!handle_ || !handle_->file) return;
  SNDFILE* file = handle_->file;
  handle_->file = nullptr;
  if (sf_close(file) != 0) fail(path_, "cannot finish the file");
}

}  // namespace platform::audio

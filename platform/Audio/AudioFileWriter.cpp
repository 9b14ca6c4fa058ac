#include "platform/Audio/AudioFileWriter.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>

namespace platform::audio {

void writeAudioFile(const std::filesystem::path& path, double sampleRate,
                    const std::vector<std::vector<float>>& channels, AudioFileType type) {
  auto fail = [&](const std::string& why) {
    throw AudioFileError("Cannot write audio file " + path.string() + ": " + why);
  };
  if (channels.empty()) fail("no channels");
  const std::size_t frames = channels[0].size();
  for (const auto& channel : channels)
    if (channel.size() != frames) fail("channels differ in length");
  if (!(sampleRate >= 1 && sampleRate <= 1e6)) fail("invalid sample rate");

  SF_INFO info{};
  info.samplerate = static_cast<int>(std::lround(sampleRate));
  info.channels = static_cast<int>(channels.size());
  switch (type) {
    case AudioFileType::wav16: info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16; break;
    case AudioFileType::wavFloat: info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT; break;
    case AudioFileType::flac16: info.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_16; break;
  }
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!file) fail(sf_strerror(nullptr));
  // Integer formats clip instead of wrapping around.
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
      fail(why);
    }
    done += n;
  }
  if (sf_close(file) != 0) fail("cannot finish the file");
}

}  // namespace platform::audio

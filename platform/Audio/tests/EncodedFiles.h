// Compressed test files made with the libraries the build links (libsndfile and its MP3 encoder),
// and byte-level edits that give them the headers users' files come with: an MP3 without its
// Xing/Info frame, a FLAC whose length is left open as when it is written to a pipe, a WAV header
// that declares any rate and channel count.
#pragma once

#include <sndfile.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace audiotest {

inline std::vector<unsigned char> fileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

inline void writeBytes(const std::filesystem::path& path, const std::vector<unsigned char>& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                               static_cast<std::streamsize>(bytes.size()));
}

// MPEG-1 Layer III, mono, at a constant or a variable bit rate. The encoder puts a Xing/Info frame first.
inline void writeMp3(const std::filesystem::path& path, int rate, const std::vector<float>& samples, bool variable) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = 1;
  info.format = SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!file) throw std::runtime_error("cannot write " + path.string() + ": " + sf_strerror(nullptr));
  int mode = variable ? SF_BITRATE_MODE_VARIABLE : SF_BITRATE_MODE_CONSTANT;
  sf_command(file, SFC_SET_BITRATE_MODE, &mode, sizeof mode);
  sf_writef_float(file, samples.data(), static_cast<sf_count_t>(samples.size()));
  sf_close(file);
}

// Removes the first frame of an MPEG-1 Layer III file, which must be the Xing/Info frame:
// frame bytes = 144 * bit rate / sample rate + padding.
inline void removeXingFrame(const std::filesystem::path& path) {
  auto bytes = fileBytes(path);
  static const int kbps[16] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0};
  static const int rates[4] = {44100, 48000, 32000, 0};
  if (bytes.size() < 4 || bytes[0] != 0xFF || (bytes[1] & 0xFE) != 0xFA)
    throw std::runtime_error("not an MPEG-1 Layer III frame at the start of " + path.string());
  const int bitrate = kbps[bytes[2] >> 4] * 1000, rate = rates[(bytes[2] >> 2) & 3], padding = (bytes[2] >> 1) & 1;
  const std::size_t frame = static_cast<std::size_t>(144 * bitrate / rate + padding);
  const std::string head(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min(frame, bytes.size())));
  if (head.find("Xing") == std::string::npos && head.find("Info") == std::string::npos)
    throw std::runtime_error("no Xing/Info frame at the start of " + path.string());
  bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(frame));
  writeBytes(path, bytes);
}

// Clears the 36-bit total-samples field of the FLAC STREAMINFO block: "length unknown".
inline void clearFlacLength(const std::filesystem::path& path) {
  auto bytes = fileBytes(path);
  if (bytes.size() < 42 || std::memcmp(bytes.data(), "fLaC", 4) != 0 || (bytes[4] & 0x7F) != 0)
    throw std::runtime_error("no STREAMINFO at the start of " + path.string());
  // STREAMINFO starts at byte 8; the field is the low 4 bits of its byte 13 and bytes 14...17.
  bytes[21] &= 0xF0;
  for (int i = 22; i < 26; ++i) bytes[i] = 0;
  writeBytes(path, bytes);
}

// A 16-bit PCM WAV file whose header declares `channels` and `rate`, holding `dataBytes` zero bytes
// (a sparse stretch: no disk space is taken for them).
inline void writeWavHeaderAndSilence(const std::filesystem::path& path, std::uint16_t channels, std::uint32_t rate,
                                     std::uint32_t dataBytes) {
  std::vector<unsigned char> bytes;
  auto tag = [&](const char* t) { bytes.insert(bytes.end(), t, t + 4); };
  auto u16 = [&](std::uint32_t v) {
    bytes.push_back(static_cast<unsigned char>(v));
    bytes.push_back(static_cast<unsigned char>(v >> 8));
  };
  auto u32 = [&](std::uint32_t v) {
    u16(v & 0xFFFF);
    u16(v >> 16);
  };
  tag("RIFF");
  u32(36 + dataBytes);
  tag("WAVE");
  tag("fmt ");
  u32(16);
  u16(1);
  u16(channels);
  u32(rate);
  u32(rate * channels * 2u);
  u16(channels * 2u);
  u16(16);
  tag("data");
  u32(dataBytes);
  writeBytes(path, bytes);
  std::filesystem::resize_file(path, bytes.size() + dataBytes);
}

}  // namespace audiotest

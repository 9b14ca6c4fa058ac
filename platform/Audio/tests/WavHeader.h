// Reads the format of a RIFF WAVE file straight from its chunks, independently of libsndfile.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace audiotest {

struct WavHeader {
  std::uint16_t formatTag = 0;  // 1 integer PCM, 3 IEEE float
  std::uint16_t channels = 0;
  std::uint32_t sampleRate = 0;
  std::uint16_t bitsPerSample = 0;
  std::uint32_t dataBytes = 0;
  std::uint32_t frames() const { return channels && bitsPerSample ? dataBytes / (channels * bitsPerSample / 8u) : 0; }
};

inline WavHeader readWavHeader(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  auto u32 = [&] {
    unsigned char b[4] = {};
    in.read(reinterpret_cast<char*>(b), 4);
    return std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 | std::uint32_t(b[2]) << 16 | std::uint32_t(b[3]) << 24;
  };
  auto tag = [&] {
    std::string t(4, '\0');
    in.read(t.data(), 4);
    return t;
  };
  if (tag() != "RIFF") throw std::runtime_error("not RIFF: " + path.string());
  u32();
  if (tag() != "WAVE") throw std::runtime_error("not WAVE: " + path.string());
  WavHeader header;
  bool haveFormat = false;
  while (in) {
    std::string id = tag();
    std::uint32_t size = u32();
    if (!in) break;
    std::streampos next = in.tellg() + std::streamoff(size + (size & 1));
    if (id == "fmt ") {
      std::uint32_t tagAndChannels = u32();
      header.formatTag = static_cast<std::uint16_t>(tagAndChannels & 0xFFFF);
      header.channels = static_cast<std::uint16_t>(tagAndChannels >> 16);
      header.sampleRate = u32();
      u32();  // byte rate
      header.bitsPerSample = static_cast<std::uint16_t>(u32() >> 16);
      haveFormat = true;
    } else if (id == "data") {
      header.dataBytes = size;
      if (!haveFormat) throw std::runtime_error("data before fmt: " + path.string());
      return header;
    }
    in.seekg(next);
  }
  throw std::runtime_error("no data chunk: " + path.string());
}

}  // namespace audiotest

// Test signals with known properties and measures to check them against.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstddef>
#include <numbers>
#include <vector>

#include "platform/Audio/AudioFormat.h"

namespace audiotest {

// A buffer in the standard format at `rate`, one channel per vector, filled to its capacity.
inline platform::audio::AudioPCMBuffer bufferOf(const std::vector<std::vector<float>>& channels, double rate) {
  using platform::audio::AudioFormat;
  using platform::audio::AudioPCMBuffer;
  auto buffer = AudioPCMBuffer::make(*AudioFormat::standard(rate, static_cast<std::uint32_t>(channels.size())),
                                     static_cast<std::uint32_t>(channels[0].size()));
  for (std::uint32_t c = 0; c < channels.size(); ++c)
    std::copy(channels[c].begin(), channels[c].end(), buffer->floatChannelData(c));
  buffer->setFrameLength(buffer->frameCapacity());
  return *buffer;
}

inline std::vector<float> sine(double frequency, double sampleRate, std::size_t count, double amplitude = 0.5,
                               double phase = 0) {
  std::vector<float> out(count);
  for (std::size_t i = 0; i < count; ++i)
    out[i] = static_cast<float>(amplitude * std::sin(2 * std::numbers::pi * frequency * i / sampleRate + phase));
  return out;
}

inline double rms(const float* x, std::size_t n) {
  double sum = 0;
  for (std::size_t i = 0; i < n; ++i) sum += double(x[i]) * x[i];
  return n ? std::sqrt(sum / n) : 0;
}

// Magnitude of one frequency component (Goertzel), normalised so that a sine of amplitude A gives ~A.
inline double toneMagnitude(const float* x, std::size_t n, double frequency, double sampleRate) {
  double w = 2 * std::numbers::pi * frequency / sampleRate, re = 0, im = 0;
  for (std::size_t i = 0; i < n; ++i) {
    re += x[i] * std::cos(w * i);
    im -= x[i] * std::sin(w * i);
  }
  return 2 * std::sqrt(re * re + im * im) / n;
}

// A 16 kHz sweep from 300 Hz to 3 kHz: where a stretch of it lies in the clip shows from its pitch
// alone, so it stands for speech whose start must not be lost.
inline std::vector<float> sweep(double seconds) {
  std::vector<float> out(static_cast<std::size_t>(16000 * seconds));
  const double rise = (3000.0 - 300.0) / seconds;
  for (std::size_t i = 0; i < out.size(); ++i) {
    const double t = static_cast<double>(i) / 16000;
    out[i] = static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * (300 * t + rise * t * t / 2)));
  }
  return out;
}

// Where in `clip` (16 kHz) the recording begins, in seconds: the lag at which the clip best matches
// the recording's first 50 ms (at least 800 samples).
inline double startWithin(const std::vector<float>& clip, const std::vector<float>& recording) {
  constexpr std::size_t kWindow = 800;
  double best = -1;
  std::size_t at = 0;
  for (std::size_t lag = 0; lag + kWindow <= clip.size(); ++lag) {
    double dot = 0, energy = 0;
    for (std::size_t i = 0; i < kWindow; ++i) {
      dot += static_cast<double>(recording[i]) * clip[lag + i];
      energy += static_cast<double>(clip[lag + i]) * clip[lag + i];
    }
    const double score = dot / std::sqrt(energy + 1e-12);
    if (score > best) best = score, at = lag;
  }
  return static_cast<double>(at) / 16000;
}

}  // namespace audiotest

#include "Parlet/core/detail/Level.h"

#include <cmath>

namespace parlet::detail {
namespace {

double sumOfSquares(const float* samples, std::size_t count) {
  double sum = 0;
  for (std::size_t i = 0; i < count; ++i) sum += static_cast<double>(samples[i]) * samples[i];
  return sum;
}

float decibels(double sumOfSquares, std::size_t count) {
  if (count == 0) return -160.0f;
  double rms = std::sqrt(sumOfSquares / static_cast<double>(count));
  if (!(rms > 0)) return -160.0f;
  double decibels = 20.0 * std::log10(rms);
  return decibels < -160.0 ? -160.0f : static_cast<float>(decibels);
}

}  // namespace

float averagePowerDecibels(const float* samples, std::size_t count) {
  return decibels(count ? sumOfSquares(samples, count) : 0, count);
}

float averagePowerDecibels(const platform::audio::AudioPCMBuffer& buffer) {
  const std::uint32_t channels = buffer.format().channelCount();
  double sum = 0;
  for (std::uint32_t c = 0; c < channels; ++c) sum += sumOfSquares(buffer.floatChannelData(c), buffer.frameLength());
  return decibels(sum, static_cast<std::size_t>(buffer.frameLength()) * channels);
}

}  // namespace parlet::detail

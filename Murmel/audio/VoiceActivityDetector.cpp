#include "Murmel/audio/VoiceActivityDetector.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "KestrumCore/Concurrency.h"

namespace murmel {

VoiceActivityDetector::VoiceActivityDetector(std::int64_t sampleRate, std::int64_t frameLengthSamples,
                                             std::int64_t frameOverlapSamples)
    : sampleRate_(sampleRate), frameLengthSamples_(frameLengthSamples), frameOverlapSamples_(frameOverlapSamples) {
  if (sampleRate <= 0) throw std::invalid_argument("sampleRate must be positive");
  if (frameLengthSamples <= 0) throw std::invalid_argument("frameLengthSamples must be positive");
  if (frameOverlapSamples < 0) throw std::invalid_argument("frameOverlapSamples must not be negative");
}

std::vector<bool> VoiceActivityDetector::voiceActivity(std::span<const float>) const {
  throw std::logic_error("`voiceActivity` must be implemented by subclass");
}

std::vector<bool> VoiceActivityDetector::voiceActivityAsync(std::span<const float> samples) const {
  kestrum::checkCancellation();
  return voiceActivity(samples);
}

std::vector<IndexRange> VoiceActivityDetector::calculateActiveChunks(std::span<const float> samples) const {
  const std::vector<bool> flags = voiceActivity(samples);
  const auto count = static_cast<std::int64_t>(samples.size());
  std::vector<IndexRange> spans;
  bool previousActive = false;
  for (std::size_t i = 0; i < flags.size(); ++i) {
    if (flags[i]) {
      const std::int64_t start = static_cast<std::int64_t>(i) * frameLengthSamples_;
      const std::int64_t end = std::min(count, start + frameLengthSamples_);
      if (!previousActive) spans.push_back({start, end});
      else spans.back().endIndex = end;
    }
    previousActive = flags[i];
  }
  return spans;
}

std::int64_t VoiceActivityDetector::voiceActivityIndexToAudioSampleIndex(std::int64_t index) const {
  return index * frameLengthSamples_;
}

float VoiceActivityDetector::voiceActivityIndexToSeconds(std::int64_t index) const {
  return static_cast<float>(index * frameLengthSamples_) / static_cast<float>(sampleRate_);
}

// [true, false, false, true, false, false, true] => {1, 3}: the first of equally long runs wins.
std::optional<IndexRange> VoiceActivityDetector::findLongestSilence(const std::vector<bool>& flags) const {
  std::optional<IndexRange> best;
  const auto n = static_cast<std::int64_t>(flags.size());
  for (std::int64_t j = 0; j < n;) {
    if (flags[j]) {
      ++j;
      continue;
    }
    std::int64_t k = j;
    while (k < n && !flags[k]) ++k;
    if (!best || k - j > best->endIndex - best->startIndex) best = IndexRange{j, k};
    j = k;
  }
  return best;
}

EnergyVAD::EnergyVAD(std::int64_t sampleRate, std::int64_t frameLengthSamples, std::int64_t frameOverlapSamples,
                     float energyThreshold)
    : VoiceActivityDetector(sampleRate, frameLengthSamples, frameOverlapSamples), energyThreshold_(energyThreshold) {}

EnergyVAD EnergyVAD::fromSeconds(std::int64_t sampleRate, float frameLength, float frameOverlap, float energyThreshold) {
  auto samples = [&](float seconds) -> std::int64_t {
    float product = static_cast<float>(sampleRate) * seconds;
    if (!std::isfinite(product) || std::fabs(product) >= 9.2e18f)
      throw std::invalid_argument("frame length in seconds is out of range");
    return static_cast<std::int64_t>(product);  // truncates toward zero
  };
  return EnergyVAD(sampleRate, samples(frameLength), samples(frameOverlap), energyThreshold);
}

std::vector<bool> EnergyVAD::voiceActivity(std::span<const float> samples) const {
  const auto chunkCount = static_cast<std::int64_t>(
      std::ceil(static_cast<double>(samples.size()) / static_cast<double>(frameLengthSamples())));
  return detail::energyVoiceActivity(samples, chunkCount, frameLengthSamples(), frameOverlapSamples(),
                                     energyThreshold_);
}

namespace detail {

float rootMeanSquare(std::span<const float> samples) {
  if (samples.empty()) return 0.0f;
  double sum = 0;
  for (float x : samples) sum += static_cast<double>(x) * x;
  return static_cast<float>(std::sqrt(sum / static_cast<double>(samples.size())));
}

std::vector<bool> energyVoiceActivity(std::span<const float> samples, std::int64_t chunkCount,
                                      std::int64_t frameLengthSamples, std::int64_t frameOverlapSamples,
                                      float energyThreshold) {
  const auto count = static_cast<std::int64_t>(samples.size());
  std::vector<bool> flags(static_cast<std::size_t>(std::max<std::int64_t>(chunkCount, 0)));
  // Frame bounds in 128 bits and clamped to the samples: a negative or huge geometry gives empty
  // frames instead of reads outside the samples.
  auto clamped = [count](__int128 index) {
    return static_cast<std::int64_t>(std::clamp<__int128>(index, 0, count));
  };
  for (std::int64_t i = 0; i < chunkCount; ++i) {
    const __int128 frameStart = static_cast<__int128>(i) * frameLengthSamples;
    const std::int64_t start = clamped(frameStart);
    const std::int64_t end = clamped(frameStart + frameLengthSamples + frameOverlapSamples);
    const float energy = rootMeanSquare(samples.subspan(static_cast<std::size_t>(start),
                                                        static_cast<std::size_t>(std::max<std::int64_t>(end - start, 0))));
    flags[static_cast<std::size_t>(i)] = energy > energyThreshold;
  }
  return flags;
}

}  // namespace detail
}  // namespace murmel

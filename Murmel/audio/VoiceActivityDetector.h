// Frame-wise voice activity over 16 kHz mono samples. `VoiceActivityDetector` fixes the frame
// geometry (frames start `frameLengthSamples` apart and may reach `frameOverlapSamples` further) and
// derives active spans, positions, times and the longest silence from a detector's per-frame flags;
// `EnergyVAD` flags frames whose root-mean-square energy is above a threshold. Detectors are
// immutable and may be shared between threads. Constructors throw std::invalid_argument for a
// frame length of 0 or less, a negative overlap or a sample rate of 0 or less.
//   EnergyVAD().calculateActiveChunks(samples)  // => [{16000, 48000}, ...] sample spans
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace murmel {

// A span of indices, `endIndex` exclusive (samples, or frames for a silence).
struct IndexRange {
  std::int64_t startIndex = 0;
  std::int64_t endIndex = 0;
  friend bool operator==(const IndexRange&, const IndexRange&) = default;
};

class VoiceActivityDetector {
 public:
  VoiceActivityDetector(std::int64_t sampleRate, std::int64_t frameLengthSamples, std::int64_t frameOverlapSamples);
  virtual ~VoiceActivityDetector() = default;

  std::int64_t sampleRate() const { return sampleRate_; }
  std::int64_t frameLengthSamples() const { return frameLengthSamples_; }
  std::int64_t frameOverlapSamples() const { return frameOverlapSamples_; }

  // One flag per frame, true for a voiced frame. The base class has no rule and throws
  // std::logic_error("`voiceActivity` must be implemented by subclass").
  virtual std::vector<bool> voiceActivity(std::span<const float> samples) const;
  // The flags of voiceActivity; throws kestrum::CancellationError when the current task is cancelled.
  virtual std::vector<bool> voiceActivityAsync(std::span<const float> samples) const;
  // Sample spans of runs of active frames; the overlap does not widen them.
  virtual std::vector<IndexRange> calculateActiveChunks(std::span<const float> samples) const;
  virtual std::int64_t voiceActivityIndexToAudioSampleIndex(std::int64_t index) const;
  virtual float voiceActivityIndexToSeconds(std::int64_t index) const;
  // The first longest run of false flags as frame indices; nothing when there is none.
  virtual std::optional<IndexRange> findLongestSilence(const std::vector<bool>& flags) const;

 private:
  std::int64_t sampleRate_;
  std::int64_t frameLengthSamples_;
  std::int64_t frameOverlapSamples_;
};

class EnergyVAD : public VoiceActivityDetector {
 public:
  // The standard detector: 16 kHz, frames of 1,600 samples (0.1 s), no overlap, threshold 0.02.
  EnergyVAD() : EnergyVAD(16000, std::int64_t{1600}, std::int64_t{0}, 0.02f) {}
  EnergyVAD(std::int64_t sampleRate, std::int64_t frameLengthSamples, std::int64_t frameOverlapSamples,
            float energyThreshold);
  // Lengths in seconds: samples = Int(Float(sampleRate) * seconds), truncated after a float multiply.
  static EnergyVAD fromSeconds(std::int64_t sampleRate = 16000, float frameLength = 0.1f, float frameOverlap = 0.0f,
                               float energyThreshold = 0.02f);

  float energyThreshold() const { return energyThreshold_; }

  // Frames = ceil(count / frameLengthSamples), so a last partial frame counts.
  std::vector<bool> voiceActivity(std::span<const float> samples) const override;

 private:
  float energyThreshold_;
};

namespace detail {
// Frame i covers samples [i * frameLength, min(count, i * frameLength + frameLength + overlap)); its flag
// is rms > threshold (an empty frame has energy 0).
std::vector<bool> energyVoiceActivity(std::span<const float> samples, std::int64_t chunkCount,
                                      std::int64_t frameLengthSamples, std::int64_t frameOverlapSamples,
                                      float energyThreshold);
// Root mean square, accumulated in double precision.
float rootMeanSquare(std::span<const float> samples);
}  // namespace detail

}  // namespace murmel

// Stand-ins for the feature extractor and the audio encoder in transcription tests: the extractor
// returns a 1 × 1 spectrogram and records the length of each window it was given; the encoder
// returns the same output for every window. Neither is safe to share between threads.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "Murmel/audio/AudioEncoder.h"

namespace murmel::testing {

class FakeExtractor : public FeatureExtracting {
 public:
  std::optional<std::int64_t> melCount() const override { return 80; }
  std::optional<std::int64_t> windowSamples() const override { return 480000; }
  std::optional<FeatureExtractorOutputType> logMelSpectrogram(const AudioProcessorOutputType& audio) override {
    windows.push_back(audio->count());
    return platform::ml::MLMultiArray::make({1, 1}, platform::ml::MLMultiArrayDataType::float16);
  }
  std::vector<std::int64_t> windows;  // samples in each window, in call order
};

class FakeEncoder : public AudioEncoding {
 public:
  explicit FakeEncoder(AudioEncoderOutputType output) : output_(std::move(output)) {}
  std::optional<std::int64_t> embedSize() const override { return 6; }
  std::optional<AudioEncoderOutputType> encodeFeatures(const FeatureExtractorOutputType&) override { return output_; }

 private:
  AudioEncoderOutputType output_;
};

}  // namespace murmel::testing

// Token samplers: turn one step's [.., V] float16 logits into the next token and its
// log-probability, and close a finished sequence with the end token. `GreedyTokenSampler` takes the
// arg-max at temperature 0 (the lowest id among equal maxima) and otherwise draws from the `topK`
// most probable tokens of softmax(logits / temperature), topK clamped to 1..V. Logits without a
// finite maximum throw WhisperError::decodingFailed. One sampler serves one decoding loop at a time.
//   GreedyTokenSampler s(0, 50257, options);  auto r = s.update({50258}, logits, {0});
#pragma once

#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "Murmel/data/DecodingOptions.h"
#include "platform/ML/MLMultiArray.h"

namespace murmel {

struct SamplingResult {
  std::vector<std::int64_t> tokens;  // the whole sequence, the new token last
  std::vector<float> logProbs;       // one per token
  bool completed = false;            // the sequence has ended
};

class TokenSampling {
 public:
  virtual ~TokenSampling() = default;
  virtual SamplingResult update(const std::vector<std::int64_t>& tokens,
                                const std::shared_ptr<platform::ml::MLMultiArray>& logits,
                                const std::vector<float>& logProbs) = 0;
  virtual SamplingResult finalize(const std::vector<std::int64_t>& tokens, const std::vector<float>& logProbs) = 0;
};

class GreedyTokenSampler : public TokenSampling {
 public:
  // Throws WhisperError::decodingFailed for a NaN temperature. `seed` fixes the draws (tests);
  // without it they come from the system's random device.
  GreedyTokenSampler(platform::ml::Float16 temperature, std::int64_t eotToken, DecodingOptions decodingOptions);
  GreedyTokenSampler(platform::ml::Float16 temperature, std::int64_t eotToken, DecodingOptions decodingOptions,
                     std::uint64_t seed);

  SamplingResult update(const std::vector<std::int64_t>& tokens, const std::shared_ptr<platform::ml::MLMultiArray>& logits,
                        const std::vector<float>& logProbs) override;
  // Appends the end token (log-probability 0) unless it is already last; completed.
  SamplingResult finalize(const std::vector<std::int64_t>& tokens, const std::vector<float>& logProbs) override;

  platform::ml::Float16 temperature;
  std::int64_t eotToken;
  DecodingOptions decodingOptions;  // only topK is read

 private:
  std::mt19937_64 random_;
};

// Parameters of a beam search; the search itself is not provided.
class BeamSearchTokenSampler : public TokenSampling {
 public:
  // maxCandidates = int(beamSize × patience); throws std::invalid_argument when that is not above 0.
  BeamSearchTokenSampler(std::int64_t beamSize, std::int64_t eotToken, float patience = 1);
  void reset() { finishedSequences.clear(); }
  // Both throw std::logic_error ("Not implemented: …").
  SamplingResult update(const std::vector<std::int64_t>& tokens, const std::shared_ptr<platform::ml::MLMultiArray>& logits,
                        const std::vector<float>& logProbs) override;
  SamplingResult finalize(const std::vector<std::int64_t>& tokens, const std::vector<float>& logProbs) override;

  std::int64_t beamSize;
  std::int64_t eotToken;
  float patience;
  std::int64_t maxCandidates;
  std::vector<float> finishedSequences;
};

}  // namespace murmel

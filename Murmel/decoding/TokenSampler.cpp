#include "Murmel/decoding/TokenSampler.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <sstream>
#include <stdexcept>

#include "Murmel/common/WhisperError.h"
#include "Murmel/decoding/detail/HalfFloats.h"

namespace murmel {
namespace {

using platform::ml::Float16;

void checkTemperature(Float16 temperature) {
  if (std::isnan(static_cast<float>(temperature))) throw WhisperError::decodingFailed("Sampling temperature is not a number");
}

}  // namespace

GreedyTokenSampler::GreedyTokenSampler(Float16 temperature, std::int64_t eotToken, DecodingOptions decodingOptions)
    : temperature(temperature), eotToken(eotToken), decodingOptions(std::move(decodingOptions)), random_(std::random_device{}()) {
  checkTemperature(temperature);
}

GreedyTokenSampler::GreedyTokenSampler(Float16 temperature, std::int64_t eotToken, DecodingOptions decodingOptions,
                                       std::uint64_t seed)
    : temperature(temperature), eotToken(eotToken), decodingOptions(std::move(decodingOptions)), random_(seed) {
  checkTemperature(temperature);
}

SamplingResult GreedyTokenSampler::update(const std::vector<std::int64_t>& tokens,
                                          const std::shared_ptr<platform::ml::MLMultiArray>& logits,
                                          const std::vector<float>& logProbs) {
  const auto data = logits->data<Float16>();
  const std::size_t n = data.size();
  const float t = static_cast<float>(temperature);
  const bool greedy = t == 0;
  const float scale = greedy ? 1.0f : 1.0f / t;

  // Scaled logits as floats; the maximum (lowest id on ties); the softmax normaliser from the
  // terms within 30 of the maximum (the rest add less than 1e-8 relative for any vocabulary here).
  thread_local std::vector<float> scaled;
  scaled.resize(n);
  const float* table = detail::halfToFloatTable();
  for (std::size_t i = 0; i < n; ++i) scaled[i] = detail::toFloat(table, data[i]) * scale;
  std::size_t best = 0;
  float maxScaled = -std::numeric_limits<float>::infinity();
  bool nan = false;
  for (std::size_t i = 0; i < n; ++i) {
    nan |= std::isnan(scaled[i]);
    if (scaled[i] > maxScaled) maxScaled = scaled[i], best = i;
  }
  if (n == 0 || nan || !std::isfinite(maxScaled))
    throw WhisperError::decodingFailed("Sampling failed: the logits hold no finite maximum or a NaN");
  double sum = 0;
  const float floor = maxScaled - 30.0f;
  for (std::size_t i = 0; i < n; ++i)
    if (scaled[i] > floor) sum += std::exp(static_cast<double>(scaled[i] - maxScaled));
  const double logNormaliser = maxScaled + std::log(sum);

  std::size_t token = best;
  if (!greedy) {
    const std::size_t k = static_cast<std::size_t>(std::clamp<std::int64_t>(decodingOptions.topK, 1, static_cast<std::int64_t>(n)));
    std::vector<std::uint32_t> order(n);
    std::iota(order.begin(), order.end(), 0u);
    // Largest first; equal values by lower id.
    auto larger = [&](std::uint32_t a, std::uint32_t b) { return scaled[a] > scaled[b] || (scaled[a] == scaled[b] && a < b); };
    std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(k), order.end(), larger);
    std::vector<float> probabilities(k);
    float total = 0;
    for (std::size_t j = 0; j < k; ++j) {
      probabilities[j] = static_cast<float>(std::exp(static_cast<double>(scaled[order[j]]) - logNormaliser));
      total += probabilities[j];
    }
    const float r = std::uniform_real_distribution<float>(0.0f, 1.0f)(random_) * total;
    std::size_t pick = 0;
    float running = 0;
    for (std::size_t j = 0; j < k; ++j) {
      running += probabilities[j];
      if (running > r) {
        pick = j;
        break;
      }
    }
    token = order[pick];
  }
  const float logprob = static_cast<float>(static_cast<double>(scaled[token]) - logNormaliser);

  SamplingResult result{tokens, logProbs, false};
  result.tokens.push_back(static_cast<std::int64_t>(token));
  result.logProbs.push_back(logprob);
  result.completed = static_cast<std::int64_t>(token) == eotToken;
  return result;
}

SamplingResult GreedyTokenSampler::finalize(const std::vector<std::int64_t>& tokens, const std::vector<float>& logProbs) {
  SamplingResult result{tokens, logProbs, true};
  if (result.tokens.empty() || result.tokens.back() != eotToken) {
    result.tokens.push_back(eotToken);
    result.logProbs.push_back(0);
  }
  return result;
}

BeamSearchTokenSampler::BeamSearchTokenSampler(std::int64_t beamSize, std::int64_t eotToken, float patience)
    : beamSize(beamSize), eotToken(eotToken), patience(patience) {
  const float candidates = static_cast<float>(beamSize) * patience;
  maxCandidates = std::isfinite(candidates) && std::fabs(candidates) < 9.0e18f ? static_cast<std::int64_t>(candidates) : 0;
  if (maxCandidates <= 0) {
    std::ostringstream message;
    message << "Invalid beam size " << beamSize << " or patience " << patience;
    throw std::invalid_argument(message.str());
  }
}

SamplingResult BeamSearchTokenSampler::update(const std::vector<std::int64_t>&, const std::shared_ptr<platform::ml::MLMultiArray>&,
                                              const std::vector<float>&) {
  throw std::logic_error("Not implemented: update(tokens:logits:logProbs:)");
}

SamplingResult BeamSearchTokenSampler::finalize(const std::vector<std::int64_t>&, const std::vector<float>&) {
  throw std::logic_error("Not implemented: finalize(tokens:logProbs:)");
}

}  // namespace murmel

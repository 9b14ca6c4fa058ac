#include "Murmel/decoding/LogitsFilter.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "KestrumCore/MLModelExtensions.h"
#include "Murmel/decoding/detail/HalfFloats.h"

namespace murmel {
namespace {

using platform::ml::Float16;

const Float16 kMinusInfinity = static_cast<Float16>(-std::numeric_limits<float>::infinity());

std::vector<std::vector<std::int64_t>> indexesOf(const std::vector<std::int64_t>& ids) {
  std::vector<std::vector<std::int64_t>> out;
  out.reserve(ids.size());
  for (auto id : ids) out.push_back({0, 0, id});
  return out;
}

std::vector<std::vector<std::int64_t>> nonLanguageIndexes(std::int64_t logitsDim, const std::set<std::int64_t>& languages) {
  std::vector<std::vector<std::int64_t>> out;
  for (std::int64_t i = 0; i < logitsDim; ++i)
    if (!languages.count(i)) out.push_back({0, 0, i});
  return out;
}

void forbid(platform::ml::MLMultiArray& logits, std::int64_t begin, std::int64_t end) {
  if (end > begin) kestrum::fillLastDimension(logits, begin, end, kMinusInfinity);
}

}  // namespace

SuppressTokensFilter::SuppressTokensFilter(std::vector<std::int64_t> suppressTokens)
    : suppressTokens(std::move(suppressTokens)), suppressTokenIndexes(indexesOf(this->suppressTokens)) {}

LogitsRef SuppressTokensFilter::filterLogits(const LogitsRef& logits, const std::vector<std::int64_t>&) const {
  kestrum::fill(*logits, suppressTokenIndexes, kMinusInfinity);
  return logits;
}

SuppressBlankFilter::SuppressBlankFilter(const SpecialTokens& specialTokens, std::int64_t sampleBegin)
    : specialTokens(specialTokens),
      sampleBegin(sampleBegin),
      suppressTokenIndexes(indexesOf({specialTokens.whitespaceToken, specialTokens.endToken})) {}

LogitsRef SuppressBlankFilter::filterLogits(const LogitsRef& logits, const std::vector<std::int64_t>& tokens) const {
  if (static_cast<std::int64_t>(tokens.size()) == sampleBegin) kestrum::fill(*logits, suppressTokenIndexes, kMinusInfinity);
  return logits;
}

TimestampRulesFilter::TimestampRulesFilter(const SpecialTokens& specialTokens, std::int64_t sampleBegin,
                                           std::optional<std::int64_t> maxInitialTimestampIndex, bool isModelMultilingual)
    : specialTokens(specialTokens),
      sampleBeginIndex(sampleBegin),
      maxInitialTimestampIndex(maxInitialTimestampIndex),
      isModelMultilingual(isModelMultilingual) {}

std::optional<std::int64_t> TimestampRulesFilter::sampleBegin(const std::vector<std::int64_t>& tokens) const {
  if (!isModelMultilingual) return sampleBeginIndex;
  for (std::size_t p = 0; p < std::min<std::size_t>(3, tokens.size()); ++p)
    if (tokens[p] == specialTokens.transcribeToken || tokens[p] == specialTokens.translateToken)
      return std::max<std::int64_t>(static_cast<std::int64_t>(p) + 1, sampleBeginIndex);
  return std::nullopt;
}

LogitsRef TimestampRulesFilter::filterLogits(const LogitsRef& logits, const std::vector<std::int64_t>& tokens) const {
  const auto begin = sampleBegin(tokens);
  if (!begin || static_cast<std::int64_t>(tokens.size()) < *begin) return logits;
  const std::int64_t T = specialTokens.timeTokenBegin;
  const std::int64_t V = logits->count();
  kestrum::fill(*logits, {{0, 0, specialTokens.noTimestampsToken}}, kMinusInfinity);

  const std::vector<std::int64_t> sampled(tokens.begin() + *begin, tokens.end());
  if (sampled.empty() && maxInitialTimestampIndex) {
    // The first timestamp lies at most maxInitialTimestampIndex steps into the window.
    const std::int64_t lastAllowed = T + std::max<std::int64_t>(0, *maxInitialTimestampIndex);
    if (lastAllowed < V) forbid(*logits, lastAllowed + 1, V);
  }
  if (!sampled.empty()) {
    const bool lastWasTimestamp = sampled.back() >= T;
    const bool penultimateWasTimestamp = sampled.size() == 1 || sampled[sampled.size() - 2] >= T;
    if (lastWasTimestamp) {
      if (penultimateWasTimestamp) forbid(*logits, T, V);
      else forbid(*logits, 0, specialTokens.endToken);
    }
    std::optional<std::int64_t> lastTimestamp;
    for (auto token : sampled)
      if (token >= T) lastTimestamp = token;
    if (lastTimestamp) {
      // Timestamps never decrease; a closing one may repeat the opening one, others must advance.
      const std::int64_t last = *lastTimestamp + ((lastWasTimestamp && !penultimateWasTimestamp) ? 0 : 1);
      forbid(*logits, T, std::min(last, V));
    }
  }
  if (sumOfProbabilityOverTimestampsIsAboveAnyOtherToken(*logits, T)) forbid(*logits, 0, T);
  return logits;
}

bool TimestampRulesFilter::sumOfProbabilityOverTimestampsIsAboveAnyOtherToken(const platform::ml::MLMultiArray& logits,
                                                                            std::int64_t timeTokenBegin) {
  // Both sides are log-probabilities under one softmax, so its normaliser cancels: compare
  // log Σ exp(l[T..]) with max l[..T) on the raw logits.
  const auto data = logits.data<Float16>();
  const std::int64_t n = static_cast<std::int64_t>(data.size());
  const std::int64_t offset = std::clamp<std::int64_t>(kestrum::linearOffset(logits, {0, 0, timeTokenBegin}), 0, n);
  const float* table = detail::halfToFloatTable();
  float maxText = -std::numeric_limits<float>::infinity();
  for (std::int64_t i = 0; i < offset; ++i) maxText = std::max(maxText, detail::toFloat(table, data[i]));
  float maxTime = -std::numeric_limits<float>::infinity();
  for (std::int64_t i = offset; i < n; ++i) maxTime = std::max(maxTime, detail::toFloat(table, data[i]));
  if (std::isinf(maxTime) && maxTime < 0) return false;  // no timestamp left
  if (!std::isfinite(maxTime) || std::isnan(maxText)) return false;
  double sum = 0;
  for (std::int64_t i = offset; i < n; ++i) sum += std::exp(static_cast<double>(detail::toFloat(table, data[i]) - maxTime));
  const double timestampLogProb = maxTime + std::log(sum);
  return timestampLogProb > static_cast<double>(maxText);
}

LanguageLogitsFilter::LanguageLogitsFilter(std::set<std::int64_t> allLanguageTokens, std::int64_t logitsDim,
                                           std::int64_t sampleBegin)
    : allLanguageTokens(std::move(allLanguageTokens)),
      logitsDim(logitsDim),
      sampleBegin(sampleBegin),
      nonLanguageTokenIndexes(nonLanguageIndexes(logitsDim, this->allLanguageTokens)) {}

LogitsRef LanguageLogitsFilter::filterLogits(const LogitsRef& logits, const std::vector<std::int64_t>& tokens) const {
  if (static_cast<std::int64_t>(tokens.size()) >= sampleBegin) kestrum::fill(*logits, nonLanguageTokenIndexes, kMinusInfinity);
  return logits;
}

}  // namespace murmel

// Filters that forbid tokens of one decoding step by writing half-precision −infinity into the
// [1, 1, V] float16 logits, in place; the token loop applies its list in order. `tokens` is the
// window's sequence so far (forced prompt, then sampled tokens); `sampleBegin` is where sampling
// starts in it. Filters hold only what their constructor set, so one may serve several decodes at
// once. Token ids written must lie in 0..<V (std::out_of_range otherwise, before any write).
//   SuppressTokensFilter({5, 9}).filterLogits(logits, tokens);  // logits[5] == logits[9] == -inf
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "Murmel/decoding/WhisperTokenizer.h"
#include "platform/ML/MLMultiArray.h"

namespace murmel {

using LogitsRef = std::shared_ptr<platform::ml::MLMultiArray>;

class LogitsFiltering {
 public:
  virtual ~LogitsFiltering() = default;
  // Changes the logits in place and returns the same array.
  virtual LogitsRef filterLogits(const LogitsRef& logits, const std::vector<std::int64_t>& tokens) const = 0;
};

// Always forbids a fixed list of ids.
class SuppressTokensFilter : public LogitsFiltering {
 public:
  explicit SuppressTokensFilter(std::vector<std::int64_t> suppressTokens);
  LogitsRef filterLogits(const LogitsRef& logits, const std::vector<std::int64_t>& tokens) const override;
  const std::vector<std::int64_t> suppressTokens;
  const std::vector<std::vector<std::int64_t>> suppressTokenIndexes;
};

// No blank and no end of text as the first sampled token (tokens.count == sampleBegin).
class SuppressBlankFilter : public LogitsFiltering {
 public:
  SuppressBlankFilter(const SpecialTokens& specialTokens, std::int64_t sampleBegin);
  LogitsRef filterLogits(const LogitsRef& logits, const std::vector<std::int64_t>& tokens) const override;
  const SpecialTokens specialTokens;
  const std::int64_t sampleBegin;
  const std::vector<std::vector<std::int64_t>> suppressTokenIndexes;
};

// The grammar of timestamp tokens (T = timeTokenBegin), over the sampled part of the sequence:
//   no <|notimestamps|>; after "ts ts" no timestamp; after "text ts" no text (only a timestamp or
//   the end); timestamps never go back; when the timestamps together outweigh the best text token,
//   only timestamps; the first sample is no timestamp beyond T + maxInitialTimestampIndex.
//   [.., 440, T+5] => ids 0..<endToken and T..<T+5 forbidden.
class TimestampRulesFilter : public LogitsFiltering {
 public:
  TimestampRulesFilter(const SpecialTokens& specialTokens, std::int64_t sampleBegin,
                       std::optional<std::int64_t> maxInitialTimestampIndex, bool isModelMultilingual);
  LogitsRef filterLogits(const LogitsRef& logits, const std::vector<std::int64_t>& tokens) const override;
  // Where sampling starts: sampleBegin, or for a multilingual model just after a task token among
  // the first three (absent without one).
  std::optional<std::int64_t> sampleBegin(const std::vector<std::int64_t>& tokens) const;
  // log Σ exp over the timestamps > the largest text logit (both relative to the same softmax).
  static bool sumOfProbabilityOverTimestampsIsAboveAnyOtherToken(const platform::ml::MLMultiArray& logits,
                                                                 std::int64_t timeTokenBegin);
  const SpecialTokens specialTokens;
  const std::int64_t sampleBeginIndex;
  const std::optional<std::int64_t> maxInitialTimestampIndex;
  const bool isModelMultilingual;
};

// Only language tokens may come out (tokens.count >= sampleBegin).
class LanguageLogitsFilter : public LogitsFiltering {
 public:
  LanguageLogitsFilter(std::set<std::int64_t> allLanguageTokens, std::int64_t logitsDim, std::int64_t sampleBegin);
  LogitsRef filterLogits(const LogitsRef& logits, const std::vector<std::int64_t>& tokens) const override;
  const std::set<std::int64_t> allLanguageTokens;
  const std::int64_t logitsDim;
  const std::int64_t sampleBegin;
  const std::vector<std::vector<std::int64_t>> nonLanguageTokenIndexes;
};

}  // namespace murmel

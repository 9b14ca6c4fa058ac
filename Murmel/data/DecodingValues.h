// Values that carry one decoding step between the engine's parts: the decoder's input arrays with
// their per-window reset, the key-value cache handed back, one window's result, and the fallback
// verdict. `DecodingInputs` holds shared multi-arrays that are changed in place and has no lock:
// one decode uses it at a time. The other types are plain values.
//   inputs.reset(3, 8);  // cache length 3; padding mask 0 0 0 0 -1e4…; update mask 1 at 3
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Murmel/data/DecodingOptions.h"
#include "Murmel/data/TranscriptionTimings.h"
#include "platform/ML/MLMultiArray.h"

namespace murmel {

using MultiArrayRef = std::shared_ptr<platform::ml::MLMultiArray>;

class DecodingInputsType {
 public:
  virtual ~DecodingInputsType() = default;
  virtual const std::vector<std::int64_t>& initialPrompt() const = 0;
  virtual void setInitialPrompt(std::vector<std::int64_t> prompt) = 0;
  virtual MultiArrayRef inputIds() const = 0;
  virtual void setInputIds(MultiArrayRef array) = 0;
  virtual MultiArrayRef cacheLength() const = 0;
  virtual void setCacheLength(MultiArrayRef array) = 0;
  // Positions 0...prefilledCacheSize visible, the update mask on prefilledCacheSize (see DecodingInputs).
  virtual void reset(std::int64_t prefilledCacheSize, std::int64_t maxTokenContext) = 0;
};

class DecodingInputs : public DecodingInputsType {
 public:
  // Stores the references as given; nothing is copied.
  DecodingInputs(std::vector<std::int64_t> initialPrompt, MultiArrayRef inputIds, MultiArrayRef cacheLength,
                 MultiArrayRef keyCache, MultiArrayRef valueCache, MultiArrayRef alignmentWeights,
                 MultiArrayRef kvCacheUpdateMask, MultiArrayRef decoderKeyPaddingMask, MultiArrayRef prefillKeyCache,
                 MultiArrayRef prefillValueCache);

  const std::vector<std::int64_t>& initialPrompt() const override { return initialPrompt_; }
  void setInitialPrompt(std::vector<std::int64_t> prompt) override { initialPrompt_ = std::move(prompt); }
  MultiArrayRef inputIds() const override { return inputIds_; }
  void setInputIds(MultiArrayRef array) override { inputIds_ = std::move(array); }
  MultiArrayRef cacheLength() const override { return cacheLength_; }
  void setCacheLength(MultiArrayRef array) override { cacheLength_ = std::move(array); }
  virtual MultiArrayRef keyCache() const { return keyCache_; }
  virtual void setKeyCache(MultiArrayRef array) { keyCache_ = std::move(array); }
  virtual MultiArrayRef valueCache() const { return valueCache_; }
  virtual void setValueCache(MultiArrayRef array) { valueCache_ = std::move(array); }
  virtual MultiArrayRef alignmentWeights() const { return alignmentWeights_; }
  virtual void setAlignmentWeights(MultiArrayRef array) { alignmentWeights_ = std::move(array); }
  virtual MultiArrayRef kvCacheUpdateMask() const { return kvCacheUpdateMask_; }
  virtual void setKvCacheUpdateMask(MultiArrayRef array) { kvCacheUpdateMask_ = std::move(array); }
  virtual MultiArrayRef decoderKeyPaddingMask() const { return decoderKeyPaddingMask_; }
  virtual void setDecoderKeyPaddingMask(MultiArrayRef array) { decoderKeyPaddingMask_ = std::move(array); }
  virtual MultiArrayRef prefillKeyCache() const { return prefillKeyCache_; }
  virtual void setPrefillKeyCache(MultiArrayRef array) { prefillKeyCache_ = std::move(array); }
  virtual MultiArrayRef prefillValueCache() const { return prefillValueCache_; }
  virtual void setPrefillValueCache(MultiArrayRef array) { prefillValueCache_ = std::move(array); }

  // cacheLength[0] = p; positions i ≤ p get padding 0, the rest −10000; the update mask is 1 at p
  // alone (at n − 1 when p ≥ n, nowhere when p < 0). Only cacheLength and the two masks change.
  // Throws std::out_of_range, before writing, when n < 0 or the masks hold fewer than n elements.
  void reset(std::int64_t prefilledCacheSize, std::int64_t maxTokenContext) override;

 private:
  std::vector<std::int64_t> initialPrompt_;
  MultiArrayRef inputIds_, cacheLength_, keyCache_, valueCache_, alignmentWeights_, kvCacheUpdateMask_,
      decoderKeyPaddingMask_, prefillKeyCache_, prefillValueCache_;
};

struct DecodingCache {
  MultiArrayRef keyCache;
  MultiArrayRef valueCache;
  MultiArrayRef alignmentWeights;
};

// Whether a window must be decoded again at a higher temperature, and why.
struct DecodingFallback {
  bool needsFallback = false;
  std::string fallbackReason;

  // The first rule that holds decides, in this order: first token too unlikely
  // ("firstTokenLogProbThreshold", fallback), no-speech probability above its threshold ("silence",
  // no fallback), compression ratio above ("compressionRatioThreshold", fallback), average
  // log-probability below ("logProbThreshold", fallback). Absent when none holds; comparisons are
  // strict and a NaN measure never triggers its rule.
  static std::optional<DecodingFallback> make(const DecodingOptions& options, bool isFirstTokenLogProbTooLow,
                                              float noSpeechProb, float compressionRatio, float avgLogProb);

  friend bool operator==(const DecodingFallback&, const DecodingFallback&) = default;
};

struct DecodingResult {
  std::string language;
  std::map<std::string, float> languageProbs;
  std::vector<std::int64_t> tokens;
  std::vector<std::map<std::int64_t, float>> tokenLogProbs;
  std::string text;
  float avgLogProb = 0;
  float noSpeechProb = 0;
  float temperature = 0;
  float compressionRatio = 0;
  std::optional<DecodingCache> cache;
  std::optional<TranscriptionTimings> timings;
  std::optional<DecodingFallback> fallback;

  // Empty texts, maps and lists, zero measures, no cache, timings or fallback.
  static DecodingResult emptyResults() { return {}; }
};

}  // namespace murmel

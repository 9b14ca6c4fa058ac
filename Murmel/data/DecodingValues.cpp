#include "Murmel/data/DecodingValues.h"

#include <stdexcept>

namespace murmel {

DecodingInputs::DecodingInputs(std::vector<std::int64_t> initialPrompt, MultiArrayRef inputIds, MultiArrayRef cacheLength,
                               MultiArrayRef keyCache, MultiArrayRef valueCache, MultiArrayRef alignmentWeights,
                               MultiArrayRef kvCacheUpdateMask, MultiArrayRef decoderKeyPaddingMask,
                               MultiArrayRef prefillKeyCache, MultiArrayRef prefillValueCache)
    : initialPrompt_(std::move(initialPrompt)),
      inputIds_(std::move(inputIds)),
      cacheLength_(std::move(cacheLength)),
      keyCache_(std::move(keyCache)),
      valueCache_(std::move(valueCache)),
      alignmentWeights_(std::move(alignmentWeights)),
      kvCacheUpdateMask_(std::move(kvCacheUpdateMask)),
      decoderKeyPaddingMask_(std::move(decoderKeyPaddingMask)),
      prefillKeyCache_(std::move(prefillKeyCache)),
      prefillValueCache_(std::move(prefillValueCache)) {}

void DecodingInputs::reset(std::int64_t p, std::int64_t n) {
  auto cacheLength = this->cacheLength();
  auto padding = decoderKeyPaddingMask();
  auto update = kvCacheUpdateMask();
  if (!cacheLength || cacheLength->count() < 1) throw std::out_of_range("reset: cacheLength has no element 0");
  if (n < 0 || !padding || !update || padding->count() < n || update->count() < n)
    throw std::out_of_range("reset: the masks hold fewer than " + std::to_string(n) + " positions");
  cacheLength->setValue(0, static_cast<double>(p));
  for (std::int64_t i = 0; i < n; ++i) {
    if (i <= p) {
      padding->setValue(i, 0);
      if (i >= 1) update->setValue(i - 1, 0);
      update->setValue(i, 1);
    } else {
      padding->setValue(i, -10000);
      update->setValue(i, 0);
    }
  }
}

std::optional<DecodingFallback> DecodingFallback::make(const DecodingOptions& options, bool isFirstTokenLogProbTooLow,
                                                       float noSpeechProb, float compressionRatio, float avgLogProb) {
  if (isFirstTokenLogProbTooLow) return DecodingFallback{true, "firstTokenLogProbThreshold"};
  if (options.noSpeechThreshold && noSpeechProb > *options.noSpeechThreshold) return DecodingFallback{false, "silence"};
  if (options.compressionRatioThreshold && compressionRatio > *options.compressionRatioThreshold)
    return DecodingFallback{true, "compressionRatioThreshold"};
  if (options.logProbThreshold && avgLogProb < *options.logProbThreshold) return DecodingFallback{true, "logProbThreshold"};
  return std::nullopt;
}

}  // namespace murmel

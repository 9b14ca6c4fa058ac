// The text decoder stage: one decoder model step per token over an explicit key-value cache, the
// optional context-prefill model, the per-window decoder inputs, the token loop with logits
// filters, sampler and early stop, and language detection. Calls block the calling thread; several
// windows may be decoded at once with one decoder, each with its own DecodingInputs (changed in
// place). Errors are WhisperError; model errors and kestrum::CancellationError pass through.
//   auto inputs = decoder.prepareDecoderInputs({sot});  decoder.prefillDecoderInputs(*inputs, options);
//   auto result = decoder.decodeText(encoderOutput, *inputs, sampler, options);
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "KestrumCore/EarlyStopActor.h"
#include "Murmel/audio/AudioEncoder.h"
#include "Murmel/data/DecodingValues.h"
#include "Murmel/data/TranscriptionResult.h"
#include "Murmel/decoding/LogitsFilter.h"
#include "Murmel/decoding/TokenSampler.h"
#include "Murmel/decoding/WhisperTokenizer.h"

namespace murmel {

// The seven decoder model inputs of one step.
struct TextDecoderMLMultiArrayInputType {
  MultiArrayRef inputIds, cacheLength, keyCache, valueCache, kvCacheUpdateMask, encoderOutputEmbeds, decoderKeyPaddingMask;
};

// One step's outputs: logits [1, 1, V] and the cache updates [1, E, 1, n] (+ alignment weights [1, W]).
struct TextDecoderMLMultiArrayOutputType {
  MultiArrayRef logits;
  std::optional<DecodingCache> cache;
};

// Answers false to ask for an early stop; true or nothing lets decoding go on.
using DecodingCallback = std::function<std::optional<bool>(const TranscriptionProgress&)>;

class TextDecoding {
 public:
  virtual ~TextDecoding() = default;

  virtual std::shared_ptr<const WhisperTokenizer> tokenizer() const = 0;
  virtual void setTokenizer(std::shared_ptr<const WhisperTokenizer> tokenizer) = 0;
  virtual std::shared_ptr<WhisperMLModel> prefillData() const = 0;
  virtual void setPrefillData(std::shared_ptr<WhisperMLModel> prefill) = 0;
  virtual bool isModelMultilingual() const = 0;
  virtual void setIsModelMultilingual(bool multilingual) = 0;
  virtual bool supportsWordTimestamps() const = 0;
  virtual std::optional<std::int64_t> logitsSize() const = 0;
  // Extra filters that run before the built-in ones.
  virtual std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> logitsFilters() const = 0;
  virtual void setLogitsFilters(std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> filters) = 0;
  virtual std::optional<std::int64_t> kvCacheEmbedDim() const = 0;
  virtual std::optional<std::int64_t> kvCacheMaxSequenceLength() const = 0;
  virtual std::optional<std::int64_t> windowSize() const = 0;
  virtual std::optional<std::int64_t> embedSize() const = 0;

  // One decoder step; absent when no model is loaded.
  virtual std::optional<TextDecoderMLMultiArrayOutputType> predictLogits(const TextDecoderMLMultiArrayInputType& input) = 0;

  // Fresh inputs: caches zero, update mask 1 at 0, padding mask 0 at 0 and −10000 beyond.
  // Throws prepareDecoderInputsFailed when a model dimension is unknown.
  virtual std::shared_ptr<DecodingInputs> prepareDecoderInputs(const std::vector<std::int64_t>& prompt);
  // Sets the forced prompt (start, [language, task,] timestamp mode, previous-text prompt, prefix)
  // and, when the prefill model can serve it, the cache of its first positions.
  virtual DecodingInputsType& prefillDecoderInputs(DecodingInputsType& inputs, const std::optional<DecodingOptions>& options);
  // The prefill model's cache for task (0 transcribe, 1 translate) and language token; absent without it.
  virtual std::optional<DecodingCache> prefillKVCache(const MultiArrayRef& task, const MultiArrayRef& language);

  // Decodes one window at the sampler's temperature.
  virtual DecodingResult decodeText(const AudioEncoderOutputType& encoderOutput, DecodingInputsType& inputs,
                                    TokenSampling& sampler, const DecodingOptions& options,
                                    const DecodingCallback& callback = {}) = 0;
  // One step from the start of transcript at position 0 with only language tokens allowed; leaves
  // cache and masks as they were (inputIds = start of transcript, cacheLength = 0).
  virtual DecodingResult detectLanguage(const AudioEncoderOutputType& encoderOutput, DecodingInputsType& inputs,
                                        TokenSampling& sampler, const DecodingOptions& options,
                                        platform::ml::Float16 temperature) = 0;

  // Copies the slices' columns [1, E, 1, n] into the caches [1, E, 1, S] from column insertAtIndex.
  // Throws std::out_of_range, before writing, when they do not fit or are not float16.
  static void updateKVCache(platform::ml::MLMultiArray& keyTensor, const platform::ml::MLMultiArray& keySlice,
                            platform::ml::MLMultiArray& valueTensor, const platform::ml::MLMultiArray& valueSlice,
                            std::int64_t insertAtIndex);
  // Copies a step's weights [1, W] into row insertAtIndex + 1 of the [S, W] table (same checks).
  static void updateAlignmentWeights(platform::ml::MLMultiArray& alignmentTensor,
                                     const platform::ml::MLMultiArray& alignmentSlice, std::int64_t insertAtIndex);
  // After the step at `position`: stores its cache column (and its alignment weights, when it has
  // them: then true), opens the padding mask at position + 1 and moves the update mask there.
  // Throws std::out_of_range, as the copies do.
  static bool storeStep(DecodingInputs& inputs, const DecodingCache& step, std::int64_t position);
};

// The context-prefill model's holder.
class TextDecoderContextPrefill : public WhisperMLModel {};

class TextDecoder : public TextDecoding, public WhisperMLModel {
 public:
  TextDecoder() = default;

  std::shared_ptr<const WhisperTokenizer> tokenizer() const override;
  void setTokenizer(std::shared_ptr<const WhisperTokenizer> tokenizer) override;
  std::shared_ptr<WhisperMLModel> prefillData() const override;
  void setPrefillData(std::shared_ptr<WhisperMLModel> prefill) override;
  bool isModelMultilingual() const override;
  void setIsModelMultilingual(bool multilingual) override;
  std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> logitsFilters() const override;
  void setLogitsFilters(std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> filters) override;

  // Read from the loaded model's description; absent without a model.
  bool supportsWordTimestamps() const override;         // has "alignment_heads_weights"
  std::optional<std::int64_t> logitsSize() const override;               // "logits" dim 2
  std::optional<std::int64_t> kvCacheEmbedDim() const override;          // "key_cache" dim 1
  std::optional<std::int64_t> kvCacheMaxSequenceLength() const override;  // "key_cache" dim 3
  std::optional<std::int64_t> windowSize() const override;               // "encoder_output_embeds" dim 3
  std::optional<std::int64_t> embedSize() const override;                // "encoder_output_embeds" dim 1

  // Also forgets the prefill model and the language filter.
  void unloadModel() override;

  // Throws decodingLogitsFailed("Invalid model output") when an output lacks logits or cache updates.
  std::optional<TextDecoderMLMultiArrayOutputType> predictLogits(const TextDecoderMLMultiArrayInputType& input) override;

  // The loop runs positions cacheLength[0] ..< min(sampleLength, 223, S − 1). End of text and the
  // first-token threshold count only for tokens sampled after the forced prompt. Alignment rows
  // after the start position are cleared first, so no row of an earlier attempt is read. Without
  // a model it fails with decodingLogitsFailed; non-finite model logits fail with decodingFailed.
  // The callback runs on the loop's thread after each step; a false answer after the prompt stops
  // the loop at that step's early-stop check. The result's noSpeechProb is the softmax probability
  // of the no-speech token in the model's logits after the start of transcript (0 when a prefill
  // cache holds that position); it enters the fallback verdict.
  DecodingResult decodeText(const AudioEncoderOutputType& encoderOutput, DecodingInputsType& inputs, TokenSampling& sampler,
                            const DecodingOptions& options, const DecodingCallback& callback = {}) override;
  DecodingResult detectLanguage(const AudioEncoderOutputType& encoderOutput, DecodingInputsType& inputs, TokenSampling& sampler,
                                const DecodingOptions& options, platform::ml::Float16 temperature) override;

  // Caller's filters, then suppress-blank (from the prompt's end), suppress-tokens (ids below
  // specialTokenBegin) and the timestamp rules (unless withoutTimestamps). A NaN
  // maxInitialTimestamp throws decodingFailed; others are clamped to 0...30 s before the index.
  virtual std::vector<std::shared_ptr<LogitsFiltering>> createLogitsFilters(const DecodingOptions& options,
                                                                           std::int64_t prefilledIndex,
                                                                           std::int64_t initialPromptIndex,
                                                                           const WhisperTokenizer& tokenizer) const;

  kestrum::EarlyStopActor& earlyStopActor() { return earlyStopActor_; }

 private:
  mutable std::mutex mutex_;  // guards the fields below
  std::shared_ptr<const WhisperTokenizer> tokenizer_;
  std::shared_ptr<WhisperMLModel> prefillData_;
  bool isModelMultilingual_ = false;
  std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> logitsFilters_{std::vector<std::shared_ptr<LogitsFiltering>>{}};
  std::shared_ptr<const LanguageLogitsFilter> languageLogitsFilter_;
  kestrum::EarlyStopActor earlyStopActor_;
};

// Seconds on the clock of TranscriptionTimings' absolute fields (the system clock's epoch).
double currentAbsoluteTime();

}  // namespace murmel

#include "Murmel/decoding/TextDecoder.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <numeric>

#include "KestrumCore/Concurrency.h"
#include "KestrumCore/MLModelExtensions.h"
#include "KestrumCore/ModelUtilities.h"
#include "Murmel/common/EngineLogging.h"
#include "Murmel/common/EngineUtilities.h"
#include "Murmel/common/WhisperError.h"
#include "Murmel/data/Constants.h"
#include "Murmel/data/ModelRecords.h"
#include "Murmel/decoding/detail/HalfFloats.h"
#include "Murmel/decoding/TextUtilities.h"

namespace murmel {
namespace {

using platform::ml::Float16;
using platform::ml::MLMultiArray;
using platform::ml::MLMultiArrayDataType;
using Clock = std::chrono::steady_clock;

constexpr std::int64_t kLoopCeiling = 223;       // positions a window's loop may reach, exclusive
constexpr std::int64_t kMaxPromptTokens = 111;   // previous-text prompt tokens kept
constexpr std::int64_t kMaxPrefixTokens = 112;   // prefix tokens kept
constexpr double kTimestampStep = 0.02;          // seconds per timestamp token
constexpr double kMaxInitialTimestampIndex = 1500;  // a 30 s window

double since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

bool debugLogging() { return Logging::shared().logLevel() <= kestrum::Logging::LogLevel::debug; }

DecodingInputs& requireDecodingInputs(DecodingInputsType& inputs, const char* message) {
  auto* concrete = dynamic_cast<DecodingInputs*>(&inputs);
  if (!concrete) throw WhisperError::prepareDecoderInputsFailed(message);
  return *concrete;
}

void requireHalves(const MLMultiArray& array, const char* what) {
  if (array.dataType() != MLMultiArrayDataType::float16)
    throw std::out_of_range(std::string(what) + " must hold float16, not " + platform::ml::dataTypeName(array.dataType()));
}

std::int64_t firstIndexOf(const std::vector<std::int64_t>& tokens, std::int64_t token) {
  auto it = std::find(tokens.begin(), tokens.end(), token);
  return it == tokens.end() ? -1 : static_cast<std::int64_t>(it - tokens.begin());
}

std::vector<std::int64_t> belowSpecial(const std::vector<std::int64_t>& tokens, std::int64_t specialTokenBegin) {
  std::vector<std::int64_t> out;
  for (auto t : tokens)
    if (t < specialTokenBegin) out.push_back(t);
  return out;
}

// The last `count` tokens that are below specialTokenBegin.
std::vector<std::int64_t> lastOrdinary(const std::vector<std::int64_t>& tokens, std::int64_t count, std::int64_t specialTokenBegin) {
  const std::size_t from = tokens.size() > static_cast<std::size_t>(count) ? tokens.size() - static_cast<std::size_t>(count) : 0;
  return belowSpecial(std::vector<std::int64_t>(tokens.begin() + static_cast<std::ptrdiff_t>(from), tokens.end()), specialTokenBegin);
}

// A damaged model: logits must be finite (filters add −infinity only afterwards).
void requireFiniteLogits(const MLMultiArray& logits) {
  bool finite = true;
  if (logits.dataType() == MLMultiArrayDataType::float16) {
    finite = detail::allFinite(logits.data<Float16>());
  } else {
    for (float v : logits.toFloats()) finite &= std::isfinite(v);
  }
  if (!finite) throw WhisperError::decodingFailed("The decoder model produced logits that are not finite");
}

float rounded3(float value) { return std::round(value * 1000.0f) / 1000.0f; }

// The softmax probability of `token` among the model's logits [1, 1, V]; 0 for a token outside them.
//   logits [2, 0, 0], token 0 => e² / (e² + 2) ≈ 0.787
float softmaxProbability(const MLMultiArray& logits, std::int64_t token) {
  const std::vector<float> values = logits.toFloats();
  if (token < 0 || token >= static_cast<std::int64_t>(values.size())) return 0;
  const double top = *std::max_element(values.begin(), values.end());
  double sum = 0;
  for (float v : values) sum += std::exp(static_cast<double>(v) - top);
  return static_cast<float>(std::exp(static_cast<double>(values[static_cast<std::size_t>(token)]) - top) / sum);
}

void debugCaches(const DecodingInputs& inputs, std::int64_t prefillSize) {
  Logging::debug("--------------- DECODER INPUTS DEBUG ---------------");
  char line[160];
  std::snprintf(line, sizeof line, "Cache Length: %2.0f Input Token: %4.0f", (*inputs.cacheLength())[0], (*inputs.inputIds())[0]);
  Logging::debug(std::string(line));
  Logging::debug("Key Cache | Val Cache | Align Cache | Update Mask | Decoder Mask | Position");
  const auto rows = std::min<std::int64_t>({prefillSize + 4, 224, inputs.kvCacheUpdateMask()->count(), inputs.keyCache()->count()});
  for (std::int64_t i = 0; i < rows; ++i) {
    std::snprintf(line, sizeof line, "%9.6f | %9.6f | %9.6f | %11.0f | %12.0f | %d", (*inputs.keyCache())[i], (*inputs.valueCache())[i],
                  (*inputs.alignmentWeights())[i] * 1500, (*inputs.kvCacheUpdateMask())[i], (*inputs.decoderKeyPaddingMask())[i],
                  static_cast<int>(i));
    Logging::debug(std::string(line));
  }
}

std::string decodedText(const WhisperTokenizer& tokenizer, std::int64_t token) { return tokenizer.decode({token}); }

// Rows after `position` of the [S, W] alignment table go back to zero, so that an attempt reads
// none left by an earlier window or attempt (the step that samples the end writes no row).
void clearAlignmentRowsAfter(DecodingInputsType& inputs, std::int64_t position) {
  auto* concrete = dynamic_cast<DecodingInputs*>(&inputs);
  if (!concrete || !concrete->alignmentWeights()) return;
  auto& table = *concrete->alignmentWeights();
  if (table.shape().empty() || table.strides().empty()) return;
  const std::int64_t from = std::clamp<std::int64_t>(position + 1, 0, table.shape()[0]) * table.strides()[0];
  if (from >= table.count()) return;
  const std::size_t size = platform::ml::elementSize(table.dataType());
  std::memset(static_cast<unsigned char*>(table.dataPointer()) + static_cast<std::size_t>(from) * size, 0,
              static_cast<std::size_t>(table.count() - from) * size);
}

}  // namespace

double currentAbsoluteTime() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// ---- TextDecoding defaults ------------------------------------------------------------------

std::shared_ptr<DecodingInputs> TextDecoding::prepareDecoderInputs(const std::vector<std::int64_t>& prompt) {
  const auto embedDim = kvCacheEmbedDim();
  if (!embedDim) throw WhisperError::prepareDecoderInputsFailed("Unable to determine kvCacheEmbedDim");
  const auto sequenceLength = kvCacheMaxSequenceLength();
  if (!sequenceLength) throw WhisperError::prepareDecoderInputsFailed("Unable to determine kvCacheMaxSequenceLength");
  const auto window = windowSize();
  if (!window) throw WhisperError::prepareDecoderInputsFailed("Unable to determine encoderOutputDim");
  const std::int64_t E = *embedDim, S = *sequenceLength, W = *window;
  if (E < 1 || S < 1 || W < 1)
    throw WhisperError::prepareDecoderInputsFailed("Decoder model dimensions must be positive");

  auto inputIds = kestrum::makeMultiArray({1}, MLMultiArrayDataType::int32, std::int32_t{0});
  auto cacheLength = kestrum::makeMultiArray({1}, MLMultiArrayDataType::int32, std::int32_t{0});
  auto keyCache = kestrum::makeMultiArray({1, E, 1, S}, MLMultiArrayDataType::float16, Float16(0));
  auto valueCache = kestrum::makeMultiArray({1, E, 1, S}, MLMultiArrayDataType::float16, Float16(0));
  auto alignmentWeights = kestrum::makeMultiArray({S, W}, MLMultiArrayDataType::float16, Float16(0));
  auto updateMask = kestrum::makeMultiArray({1, S}, MLMultiArrayDataType::int32, std::int32_t{0});
  auto paddingMask = kestrum::makeMultiArray({1, S}, MLMultiArrayDataType::float16, Float16(-10000));
  auto prefillKeyCache = MLMultiArray::make({1, E, 1, S}, MLMultiArrayDataType::float16);
  auto prefillValueCache = MLMultiArray::make({1, E, 1, S}, MLMultiArrayDataType::float16);
  updateMask->setValue(0, 1);
  paddingMask->setValue(0, 0);
  return std::make_shared<DecodingInputs>(prompt, inputIds, cacheLength, keyCache, valueCache, alignmentWeights, updateMask,
                                          paddingMask, prefillKeyCache, prefillValueCache);
}

DecodingInputsType& TextDecoding::prefillDecoderInputs(DecodingInputsType& decoderInputs, const std::optional<DecodingOptions>& options) {
  const auto tokenizer = this->tokenizer();
  if (!tokenizer) throw WhisperError::tokenizerUnavailable();
  auto& inputs = requireDecodingInputs(decoderInputs, "Unable to cast decoderInputs to DecodingInputs");
  const auto& special = tokenizer->specialTokens();

  std::vector<std::int64_t> prompt{special.startOfTranscriptToken};
  std::int64_t languageToken = special.englishToken;
  std::int64_t taskToken = special.transcribeToken;
  if (options) {
    if (isModelMultilingual()) {
      const std::string code = options->language.value_or("en");
      languageToken = tokenizer->convertTokenToId("<|" + code + "|>").value_or(special.englishToken);
      prompt.push_back(languageToken);
      const char* taskText = options->task == DecodingTask::translate ? "<|translate|>" : "<|transcribe|>";
      taskToken = tokenizer->convertTokenToId(taskText).value_or(special.transcribeToken);
      prompt.push_back(taskToken);
    }
    prompt.push_back(options->withoutTimestamps ? special.noTimestampsToken : special.timeTokenBegin);
    if (options->promptTokens) {
      auto previous = lastOrdinary(*options->promptTokens, kMaxPromptTokens, special.specialTokenBegin);
      previous.insert(previous.begin(), special.startOfPreviousToken);
      prompt.insert(prompt.begin(), previous.begin(), previous.end());
    }
    if (options->prefixTokens) {
      auto prefix = lastOrdinary(*options->prefixTokens, kMaxPrefixTokens, special.specialTokenBegin);
      prompt.insert(prompt.end(), prefix.begin(), prefix.end());
    }
  }
  inputs.setInitialPrompt(prompt);

  const bool usePrefill = options && options->usePrefillCache && prefillData() && !options->promptTokens;
  if (!usePrefill) return decoderInputs;

  auto task = kestrum::multiArrayFrom({taskToken != special.transcribeToken ? 1 : 0}, 1);
  auto language = kestrum::multiArrayFrom({languageToken}, 1);
  auto prefilled = prefillKVCache(task, language);
  if (!prefilled) {
    Logging::error("Unable to prefill cache");
    return decoderInputs;
  }
  if (!prefilled->keyCache || !prefilled->valueCache) throw WhisperError::prefillFailed("Invalid prefill output");
  inputs.setPrefillKeyCache(prefilled->keyCache);
  inputs.setPrefillValueCache(prefilled->valueCache);
  const std::int64_t insertAt = std::max<std::int64_t>(0, firstIndexOf(prompt, special.startOfTranscriptToken));
  const auto& prefillShape = prefilled->keyCache->shape();
  if (prefillShape.size() != 4) throw WhisperError::prefillFailed("Invalid prefill output: the key cache is not [1, E, 1, P]");
  const std::int64_t P = prefillShape[3];
  const std::int64_t S = inputs.kvCacheUpdateMask()->count();
  if (insertAt + P >= S) throw WhisperError::prefillFailed("Invalid prefill output: " + std::to_string(P) + " positions do not fit the cache");
  try {
    updateKVCache(*inputs.keyCache(), *prefilled->keyCache, *inputs.valueCache(), *prefilled->valueCache, insertAt);
  } catch (const std::out_of_range& e) {
    throw WhisperError::prefillFailed(std::string("Invalid prefill output: ") + e.what());
  }
  inputs.cacheLength()->setValue(0, static_cast<double>(P));
  for (std::int64_t i = 0; i <= P; ++i) {
    inputs.kvCacheUpdateMask()->setValue(i, 0);
    inputs.decoderKeyPaddingMask()->setValue(i, 0);
  }
  inputs.kvCacheUpdateMask()->setValue(P, 1);
  return decoderInputs;
}

std::optional<DecodingCache> TextDecoding::prefillKVCache(const MultiArrayRef& task, const MultiArrayRef& language) {
  TextDecoderCachePrefillInput input(task, language);
  auto prefill = prefillData();
  auto model = prefill ? prefill->model() : nullptr;
  if (!model) return std::nullopt;
  kestrum::checkCancellation();
  TextDecoderCachePrefillOutput output(kestrum::asyncPrediction(*model, input));
  auto keys = output.key_cache_prefill();
  auto values = output.value_cache_prefill();
  if (!keys || !values) throw WhisperError::prefillFailed("Invalid prefill output: key_cache_prefill or value_cache_prefill missing");
  return DecodingCache{keys, values, nullptr};
}

void TextDecoding::updateKVCache(MLMultiArray& keyTensor, const MLMultiArray& keySlice, MLMultiArray& valueTensor,
                                 const MLMultiArray& valueSlice, std::int64_t insertAtIndex) {
  requireHalves(keyTensor, "key cache");
  requireHalves(valueTensor, "value cache");
  requireHalves(keySlice, "key slice");
  requireHalves(valueSlice, "value slice");
  const auto& tensorShape = keyTensor.shape();
  const auto& sliceShape = keySlice.shape();
  if (tensorShape.size() != 4 || sliceShape.size() != 4 || valueTensor.shape() != tensorShape || valueSlice.shape() != sliceShape)
    throw std::out_of_range("cache update: caches must be [1, E, 1, S] and slices [1, E, 1, n] alike");
  const std::int64_t E = tensorShape[1], n = sliceShape[3];
  if (sliceShape[1] != E || insertAtIndex < 0 || insertAtIndex + n > tensorShape[3])
    throw std::out_of_range("cache update: " + std::to_string(n) + " columns at " + std::to_string(insertAtIndex) +
                            " do not fit a cache of " + std::to_string(tensorShape[3]) + " positions and width " + std::to_string(E));
  const auto& ss = keySlice.strides();
  const auto& ks = keyTensor.strides();
  const auto& vs = valueTensor.strides();
  const auto* keySource = static_cast<const Float16*>(keySlice.dataPointer());
  const auto* valueSource = static_cast<const Float16*>(valueSlice.dataPointer());
  auto* keys = static_cast<Float16*>(keyTensor.dataPointer());
  auto* values = static_cast<Float16*>(valueTensor.dataPointer());
  for (std::int64_t j = 0; j < E; ++j) {
    for (std::int64_t k = 0; k < n; ++k) {
      const std::int64_t source = j * ss[1] + k * ss[3];
      keys[j * ks[1] + (insertAtIndex + k) * ks[3]] = keySource[source];
      values[j * vs[1] + (insertAtIndex + k) * vs[3]] = valueSource[source];  // one layout for both slices
    }
  }
}

void TextDecoding::updateAlignmentWeights(MLMultiArray& alignmentTensor, const MLMultiArray& alignmentSlice,
                                          std::int64_t insertAtIndex) {
  requireHalves(alignmentTensor, "alignment table");
  requireHalves(alignmentSlice, "alignment weights");
  const auto& shape = alignmentTensor.shape();
  const auto& sliceShape = alignmentSlice.shape();
  if (shape.size() != 2 || sliceShape.size() < 2 || insertAtIndex < -1 || insertAtIndex + 1 >= shape[0] ||
      sliceShape[1] < shape[1])
    throw std::out_of_range("alignment update: row " + std::to_string(insertAtIndex + 1) + " does not fit the table");
  const auto& ts = alignmentTensor.strides();
  const auto& ss = alignmentSlice.strides();
  const auto* source = static_cast<const Float16*>(alignmentSlice.dataPointer());
  auto* target = static_cast<Float16*>(alignmentTensor.dataPointer());
  for (std::int64_t i = 0; i < shape[1]; ++i) target[(insertAtIndex + 1) * ts[0] + i * ts[1]] = source[i * ss[1]];
}

// ---- TextDecoder fields ---------------------------------------------------------------------

std::shared_ptr<const WhisperTokenizer> TextDecoder::tokenizer() const {
  std::lock_guard lock(mutex_);
  return tokenizer_;
}
void TextDecoder::setTokenizer(std::shared_ptr<const WhisperTokenizer> tokenizer) {
  std::lock_guard lock(mutex_);
  tokenizer_ = std::move(tokenizer);
}
std::shared_ptr<WhisperMLModel> TextDecoder::prefillData() const {
  std::lock_guard lock(mutex_);
  return prefillData_;
}
void TextDecoder::setPrefillData(std::shared_ptr<WhisperMLModel> prefill) {
  std::lock_guard lock(mutex_);
  prefillData_ = std::move(prefill);
}
bool TextDecoder::isModelMultilingual() const {
  std::lock_guard lock(mutex_);
  return isModelMultilingual_;
}
void TextDecoder::setIsModelMultilingual(bool multilingual) {
  std::lock_guard lock(mutex_);
  isModelMultilingual_ = multilingual;
}
std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> TextDecoder::logitsFilters() const {
  std::lock_guard lock(mutex_);
  return logitsFilters_;
}
void TextDecoder::setLogitsFilters(std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> filters) {
  std::lock_guard lock(mutex_);
  logitsFilters_ = std::move(filters);
}

bool TextDecoder::supportsWordTimestamps() const {
  return kestrum::ModelUtilities::getModelOutputDimension(model(), "alignment_heads_weights", 0).has_value();
}
std::optional<std::int64_t> TextDecoder::logitsSize() const {
  return kestrum::ModelUtilities::getModelOutputDimension(model(), "logits", 2);
}
std::optional<std::int64_t> TextDecoder::kvCacheEmbedDim() const {
  return kestrum::ModelUtilities::getModelInputDimension(model(), "key_cache", 1);
}
std::optional<std::int64_t> TextDecoder::kvCacheMaxSequenceLength() const {
  return kestrum::ModelUtilities::getModelInputDimension(model(), "key_cache", 3);
}
std::optional<std::int64_t> TextDecoder::windowSize() const {
  return kestrum::ModelUtilities::getModelInputDimension(model(), "encoder_output_embeds", 3);
}
std::optional<std::int64_t> TextDecoder::embedSize() const {
  return kestrum::ModelUtilities::getModelInputDimension(model(), "encoder_output_embeds", 1);
}

void TextDecoder::unloadModel() {
  setModel(nullptr);
  std::lock_guard lock(mutex_);
  prefillData_ = nullptr;
  languageLogitsFilter_ = nullptr;
}

std::optional<TextDecoderMLMultiArrayOutputType> TextDecoder::predictLogits(const TextDecoderMLMultiArrayInputType& in) {
  auto model = this->model();
  if (!model) return TextDecoderMLMultiArrayOutputType{};
  TextDecoderInput input(in.inputIds, in.cacheLength, in.keyCache, in.valueCache, in.kvCacheUpdateMask, in.encoderOutputEmbeds,
                         in.decoderKeyPaddingMask);
  kestrum::checkCancellation();
  TextDecoderOutput output(kestrum::asyncPrediction(*model, input));
  auto logits = output.logits();
  auto keys = output.key_cache_updates();
  auto values = output.value_cache_updates();
  if (!logits || !keys || !values) throw WhisperError::decodingLogitsFailed("Invalid model output");
  return TextDecoderMLMultiArrayOutputType{logits, DecodingCache{keys, values, output.alignment_heads_weights()}};
}

std::vector<std::shared_ptr<LogitsFiltering>> TextDecoder::createLogitsFilters(const DecodingOptions& options,
                                                                              std::int64_t prefilledIndex,
                                                                              std::int64_t initialPromptIndex,
                                                                              const WhisperTokenizer& tokenizer) const {
  std::vector<std::shared_ptr<LogitsFiltering>> filters = logitsFilters().value_or(std::vector<std::shared_ptr<LogitsFiltering>>{});
  const auto& special = tokenizer.specialTokens();
  (void)prefilledIndex;  // sampling starts after the whole prompt, wherever the prefill stopped
  if (options.suppressBlank) filters.push_back(std::make_shared<SuppressBlankFilter>(special, initialPromptIndex));
  auto suppress = belowSpecial(options.supressTokens, special.specialTokenBegin);
  if (!suppress.empty()) filters.push_back(std::make_shared<SuppressTokensFilter>(std::move(suppress)));
  if (!options.withoutTimestamps) {
    std::optional<std::int64_t> maxInitialTimestampIndex;
    if (options.maxInitialTimestamp) {
      const double seconds = *options.maxInitialTimestamp;
      if (std::isnan(seconds)) throw WhisperError::decodingFailed("maxInitialTimestamp is not a number");
      maxInitialTimestampIndex = static_cast<std::int64_t>(std::clamp(seconds / kTimestampStep, 0.0, kMaxInitialTimestampIndex));
    }
    filters.push_back(std::make_shared<TimestampRulesFilter>(special, initialPromptIndex, maxInitialTimestampIndex,
                                                             isModelMultilingual()));
  }
  return filters;
}

// ---- The token loop -------------------------------------------------------------------------

bool TextDecoding::storeStep(DecodingInputs& inputs, const DecodingCache& step, std::int64_t position) {
  updateKVCache(*inputs.keyCache(), *step.keyCache, *inputs.valueCache(), *step.valueCache, position);
  inputs.decoderKeyPaddingMask()->setValue(position + 1, 0);
  inputs.kvCacheUpdateMask()->setValue(position, 0);
  inputs.kvCacheUpdateMask()->setValue(position + 1, 1);
  if (!step.alignmentWeights) return false;
  updateAlignmentWeights(*inputs.alignmentWeights(), *step.alignmentWeights, position);
  return true;
}

namespace {

// A window's flag in the decoder's early-stop tracker, from its registration until `remove` or,
// when the window ends by an error or a cancellation, until the entry goes.
class EarlyStopEntry {
 public:
  EarlyStopEntry(kestrum::EarlyStopActor& tracker, const platform::system::UUID& id) : tracker_(tracker), id_(id) {
    tracker_.set(false, id_);
  }
  ~EarlyStopEntry() {
    if (!removed_) tracker_.remove(id_);
  }
  EarlyStopEntry(const EarlyStopEntry&) = delete;
  EarlyStopEntry& operator=(const EarlyStopEntry&) = delete;
  // False when the flag was gone already.
  bool remove() {
    removed_ = true;
    return tracker_.remove(id_).has_value();
  }

 private:
  kestrum::EarlyStopActor& tracker_;
  const platform::system::UUID& id_;
  bool removed_ = false;
};

// One window's decoding: the state the steps of decodeText share.
class WindowDecoding {
 public:
  WindowDecoding(TextDecoder& decoder, const AudioEncoderOutputType& encoderOutput, DecodingInputsType& decoderInputs,
                 TokenSampling& sampler, const DecodingOptions& options, const DecodingCallback& callback)
      : decoder_(decoder),
        tokenizer_(decoder.tokenizer()),
        encoderOutput_(encoderOutput),
        decoderInputs_(decoderInputs),
        sampler_(sampler),
        options_(options),
        callback_(callback) {
    if (!tokenizer_) throw WhisperError::tokenizerUnavailable();
  }

  DecodingResult run() {
    start();
    for (std::int64_t t = std::max<std::int64_t>(prefilledIndex_, 0); t < loopLimit_; ++t)
      if (!step(t)) break;
    return finish();
  }

 private:
  struct Sample {
    std::int64_t token;
    float logProb;
    bool completed;
  };

  const SpecialTokens& special() const { return tokenizer_->specialTokens(); }
  void start();
  // One position: force or predict the next token, store the step; false when the loop ends here.
  bool step(std::int64_t t);
  void forcePromptToken(std::int64_t t);
  TextDecoderMLMultiArrayOutputType predict(DecodingInputs& inputs, std::int64_t t);
  Sample sample(const TextDecoderMLMultiArrayOutputType& output, std::int64_t t);
  bool stopsAt(std::int64_t t, const Sample& sampled);
  void storeStep(DecodingInputs& inputs, const TextDecoderMLMultiArrayOutputType& output, std::int64_t t);
  void reportProgress(std::int64_t t);
  void countStep(Clock::time_point stepStart, Clock::time_point predictionEnd);
  DecodingResult finish();
  void setLanguage(DecodingResult& result) const;

  TextDecoder& decoder_;
  const std::shared_ptr<const WhisperTokenizer> tokenizer_;
  const AudioEncoderOutputType& encoderOutput_;
  DecodingInputsType& decoderInputs_;
  TokenSampling& sampler_;
  const DecodingOptions& options_;
  const DecodingCallback& callback_;
  const bool debug_ = debugLogging();
  const platform::system::UUID windowId_;
  std::optional<EarlyStopEntry> earlyStop_;

  std::int64_t prefilledIndex_ = 0;
  std::int64_t initialPromptIndex_ = 0;
  std::int64_t firstSampledIndex_ = 0;
  std::int64_t loopLimit_ = 0;
  std::int64_t startOfTranscriptIndex_ = -1;  // the position whose logits tell speech from silence
  float noSpeechProb_ = 0;
  std::vector<std::shared_ptr<LogitsFiltering>> filters_;
  std::vector<std::int64_t> currentTokens_;
  std::vector<float> logProbs_;
  std::int64_t nextToken_ = 0;
  TranscriptionTimings timings_;
  bool alignmentSeen_ = false;
  bool firstTokenTooUnlikely_ = false;
};

// Reads the prompt and where the cache stands, builds the filters, bounds the loop and registers
// the window with the early-stop tracker.
void WindowDecoding::start() {
  prefilledIndex_ = static_cast<std::int64_t>((*decoderInputs_.cacheLength())[0]);
  currentTokens_ = decoderInputs_.initialPrompt();
  if (currentTokens_.empty()) throw WhisperError::prepareDecoderInputsFailed("The decoder prompt is empty");
  initialPromptIndex_ = static_cast<std::int64_t>(currentTokens_.size());
  nextToken_ = currentTokens_.back();
  logProbs_.assign(currentTokens_.size(), 0.0f);
  filters_ = decoder_.createLogitsFilters(options_, prefilledIndex_, initialPromptIndex_, *tokenizer_);
  // Predictions before the prompt's last position are dropped (the prompt forces the next token),
  // so the stop tests start at the first sample kept: after the whole prompt, or where a prefill or
  // an earlier call left the cache.
  firstSampledIndex_ = std::max(prefilledIndex_, initialPromptIndex_ - 1);
  clearAlignmentRowsAfter(decoderInputs_, prefilledIndex_);
  // The no-speech probability is read from the logits that follow the start of transcript. A
  // prefill cache (or an earlier call) that already holds that position skips its model call, so
  // the probability is not available then and stays 0.
  startOfTranscriptIndex_ = firstIndexOf(currentTokens_, special().startOfTranscriptToken);
  if (startOfTranscriptIndex_ < prefilledIndex_) startOfTranscriptIndex_ = -1;

  // The cache step writes column t and the masks at t + 1, so t stays below S − 1.
  loopLimit_ = std::min(options_.sampleLength, kLoopCeiling);
  if (auto* concrete = dynamic_cast<DecodingInputs*>(&decoderInputs_); concrete && concrete->kvCacheUpdateMask())
    loopLimit_ = std::min(loopLimit_, concrete->kvCacheUpdateMask()->count() - 1);
  if (auto S = decoder_.kvCacheMaxSequenceLength()) loopLimit_ = std::min(loopLimit_, *S - 1);
  Logging::debug("Running main loop for a maximum of " + std::to_string(loopLimit_) + " iterations, starting at index " +
                 std::to_string(prefilledIndex_));
  earlyStop_.emplace(decoder_.earlyStopActor(), windowId_);
}

bool WindowDecoding::step(std::int64_t t) {
  const auto stepStart = Clock::now();
  if (t < initialPromptIndex_) forcePromptToken(t);
  auto& inputs = requireDecodingInputs(decoderInputs_, "DecodingInputsType must be DecodingInputs");
  const auto output = predict(inputs, t);
  const auto predictionEnd = Clock::now();
  // Before the filters: the model's own belief that the window holds no speech.
  if (t == startOfTranscriptIndex_) noSpeechProb_ = softmaxProbability(*output.logits, special().noSpeechToken);
  const Sample sampled = sample(output, t);
  nextToken_ = sampled.token;
  if (stopsAt(t, sampled)) {
    countStep(stepStart, predictionEnd);
    return false;
  }
  if (t >= initialPromptIndex_ - 1) {
    currentTokens_.push_back(sampled.token);
    logProbs_.push_back(sampled.logProb);
  }
  storeStep(inputs, output, t);
  reportProgress(t);
  countStep(stepStart, predictionEnd);
  if (t == firstSampledIndex_) {
    timings_.firstTokenTime = currentAbsoluteTime();
    if (debug_) Logging::debug("Found first token at: " + std::to_string(timings_.firstTokenTime));
  }
  return !decoder_.earlyStopActor().get(windowId_);
}

// At a prompt position the next input is the prompt's token, except that the model's own first
// timestamp replaces the prompt's last one.
void WindowDecoding::forcePromptToken(std::int64_t t) {
  const std::int64_t promptToken = currentTokens_[static_cast<std::size_t>(t)];
  if (t == initialPromptIndex_ - 1 && promptToken >= special().timeTokenBegin && nextToken_ >= special().timeTokenBegin) {
    currentTokens_[static_cast<std::size_t>(t)] = nextToken_;
    if (debug_)
      Logging::debug("Skipping prompt tokenIndex: " + std::to_string(t) + ", token: " + std::to_string(nextToken_) +
                     ", text: " + decodedText(*tokenizer_, nextToken_));
  } else {
    nextToken_ = promptToken;
    if (debug_)
      Logging::debug("Forcing prompt tokenIndex: " + std::to_string(t) + ", token: " + std::to_string(nextToken_) +
                     ", text: " + decodedText(*tokenizer_, nextToken_));
  }
}

// Runs the model on the next token at position t; the logits must be finite.
TextDecoderMLMultiArrayOutputType WindowDecoding::predict(DecodingInputs& inputs, std::int64_t t) {
  inputs.inputIds()->setValue(0, static_cast<double>(nextToken_));
  inputs.cacheLength()->setValue(0, static_cast<double>(t));
  if (debug_ && t <= prefilledIndex_ + 3) debugCaches(inputs, prefilledIndex_);
  const auto predictionStart = Clock::now();
  if (!encoderOutput_) throw WhisperError::prepareDecoderInputsFailed("Input must be MLMultiArray");
  auto output = decoder_.predictLogits({inputs.inputIds(), inputs.cacheLength(), inputs.keyCache(), inputs.valueCache(),
                                        inputs.kvCacheUpdateMask(), encoderOutput_, inputs.decoderKeyPaddingMask()});
  if (!output || !output->logits) throw WhisperError::decodingLogitsFailed("Unable to decode logits");
  timings_.decodingPredictions += since(predictionStart);
  requireFiniteLogits(*output->logits);
  return *output;
}

// Filters the logits and samples the next token from them.
WindowDecoding::Sample WindowDecoding::sample(const TextDecoderMLMultiArrayOutputType& output, std::int64_t t) {
  const auto filteringStart = Clock::now();
  auto logits = output.logits;
  for (const auto& filter : filters_) logits = filter->filterLogits(logits, currentTokens_);
  timings_.decodingFiltering += since(filteringStart);

  const auto samplingStart = Clock::now();
  const auto sampled = sampler_.update(currentTokens_, logits, logProbs_);
  if (sampled.tokens.empty() || sampled.logProbs.empty()) throw WhisperError::decodingFailed("The sampler returned no token");
  const Sample next{sampled.tokens.back(), sampled.logProbs.back(), sampled.completed};
  if (debug_)
    Logging::debug("Predicted next tokenIndex: " + std::to_string(t + 1) + ", token: " + std::to_string(next.token) +
                   ", text: " + decodedText(*tokenizer_, next.token));
  timings_.decodingSampling += since(samplingStart);
  return next;
}

// End of text and the first-token threshold count only for samples after the forced prompt; the
// window's token ceiling always does.
bool WindowDecoding::stopsAt(std::int64_t t, const Sample& sampled) {
  bool stop = false;
  if (t >= firstSampledIndex_) {
    stop = sampled.completed;
    if (t == firstSampledIndex_ && options_.firstTokenLogProbThreshold &&
        sampled.logProb < *options_.firstTokenLogProbThreshold) {
      firstTokenTooUnlikely_ = true;
      stop = true;
    }
  }
  return stop || static_cast<std::int64_t>(currentTokens_.size()) >= kLoopCeiling;
}

// Stores the step's cache column (and alignment weights) at position t and moves the masks on.
void WindowDecoding::storeStep(DecodingInputs& inputs, const TextDecoderMLMultiArrayOutputType& output, std::int64_t t) {
  if (!output.cache || !output.cache->keyCache || !output.cache->valueCache)
    throw WhisperError::decodingLogitsFailed("Invalid model output");
  const auto cachingStart = Clock::now();
  try {
    if (TextDecoding::storeStep(inputs, *output.cache, t)) alignmentSeen_ = true;
  } catch (const std::out_of_range& e) {
    throw WhisperError::decodingLogitsFailed(std::string("Invalid model output: ") + e.what());
  }
  timings_.decodingKvCaching += since(cachingStart);
  timings_.totalKVUpdateRuns += 1;
}

// Tells the callback how the window stands; its false after the prompt stops the window early.
void WindowDecoding::reportProgress(std::int64_t t) {
  if (!callback_) return;
  const std::vector<std::int64_t> textTokens =
      options_.skipSpecialTokens ? belowSpecial(currentTokens_, special().specialTokenBegin) : currentTokens_;
  TranscriptionProgress progress;
  progress.timings = timings_;
  progress.text = tokenizer_->decode(textTokens);
  progress.tokens = currentTokens_;
  progress.avgLogprob = std::accumulate(logProbs_.begin(), logProbs_.end(), 0.0f) / static_cast<float>(logProbs_.size());
  progress.compressionRatio = TextUtilities::compressionRatio(currentTokens_);
  const bool promptPhase = t < initialPromptIndex_ - 1;
  if (callback_(progress) == std::optional<bool>(false) && !promptPhase) {
    Logging::debug("Early stopping");
    decoder_.earlyStopActor().set(true, windowId_);
  }
}

void WindowDecoding::countStep(Clock::time_point stepStart, Clock::time_point predictionEnd) {
  timings_.decodingNonPrediction += since(predictionEnd);
  timings_.decodingLoop += since(stepStart);
  timings_.totalDecodingLoops += 1;
}

// Unregisters the window and cuts the sampler's final tokens from the start of transcript to the
// end of text into the result, with its scores, language and fallback verdict.
DecodingResult WindowDecoding::finish() {
  if (!earlyStop_->remove())
    Logging::error("Early stop flag not found for window: " + windowId_.uuidString());

  std::optional<DecodingCache> cache;
  if (auto* inputs = dynamic_cast<DecodingInputs*>(&decoderInputs_))
    cache = DecodingCache{inputs->keyCache(), inputs->valueCache(), alignmentSeen_ ? inputs->alignmentWeights() : nullptr};

  const auto finalized = sampler_.finalize(currentTokens_, logProbs_);
  const auto& finalTokens = finalized.tokens;
  const std::int64_t begin = std::max<std::int64_t>(0, firstIndexOf(finalTokens, special().startOfTranscriptToken));
  std::int64_t end = firstIndexOf(finalTokens, special().endToken);
  end = end < begin ? static_cast<std::int64_t>(finalTokens.size()) : end + 1;
  end = std::min<std::int64_t>(end, static_cast<std::int64_t>(std::min(finalTokens.size(), finalized.logProbs.size())));

  DecodingResult result;
  result.tokens.assign(finalTokens.begin() + begin, finalTokens.begin() + end);
  std::vector<float> cutLogProbs(finalized.logProbs.begin() + begin, finalized.logProbs.begin() + end);
  result.avgLogProb = cutLogProbs.empty() ? 0.0f
                                          : std::accumulate(cutLogProbs.begin(), cutLogProbs.end(), 0.0f) / static_cast<float>(cutLogProbs.size());
  for (std::size_t i = 0; i < result.tokens.size(); ++i) result.tokenLogProbs.push_back({{result.tokens[i], cutLogProbs[i]}});
  result.compressionRatio = TextUtilities::compressionRatio(belowSpecial(result.tokens, special().specialTokenBegin));
  if (auto* greedy = dynamic_cast<GreedyTokenSampler*>(&sampler_)) result.temperature = rounded3(static_cast<float>(greedy->temperature));
  else result.temperature = options_.temperature;
  setLanguage(result);
  result.text = tokenizer_->decode(result.tokens);
  Logging::debug("Completed window: " + result.text);
  result.noSpeechProb = noSpeechProb_;
  result.cache = cache;
  result.timings = timings_;
  result.fallback =
      DecodingFallback::make(options_, firstTokenTooUnlikely_, noSpeechProb_, result.compressionRatio, result.avgLogProb);
  return result;
}

// The language the options name, else the first language token decoded, else English.
void WindowDecoding::setLanguage(DecodingResult& result) const {
  if (options_.language) {
    result.language = *options_.language;
    result.languageProbs = {{*options_.language, 0.0f}};
    return;
  }
  const auto& languages = tokenizer_->allLanguageTokens();
  auto it = std::find_if(result.tokens.begin(), result.tokens.end(), [&](std::int64_t t) { return languages.count(t) != 0; });
  if (it == result.tokens.end()) {
    result.language = "en";
    result.languageProbs = {{"en", 0.0f}};
    return;
  }
  result.language = trimmingSpecialTokenCharacters(tokenizer_->decode({*it}));
  const auto& entry = result.tokenLogProbs[static_cast<std::size_t>(it - result.tokens.begin())];
  auto found = entry.find(*it);
  result.languageProbs = {{result.language, found == entry.end() ? 0.0f : found->second}};
}

}  // namespace

DecodingResult TextDecoder::decodeText(const AudioEncoderOutputType& encoderOutput, DecodingInputsType& decoderInputs,
                                       TokenSampling& sampler, const DecodingOptions& options, const DecodingCallback& callback) {
  return WindowDecoding(*this, encoderOutput, decoderInputs, sampler, options, callback).run();
}

// ---- Language detection ---------------------------------------------------------------------

DecodingResult TextDecoder::detectLanguage(const AudioEncoderOutputType& encoderOutput, DecodingInputsType& decoderInputs,
                                           TokenSampling& sampler, const DecodingOptions&, Float16) {
  const auto tokenizer = this->tokenizer();
  if (!tokenizer) throw WhisperError::tokenizerUnavailable();
  const auto logitsDim = logitsSize();
  if (!logitsDim) throw WhisperError::modelsUnavailable("Failed to read logits size from model");
  const auto& special = tokenizer->specialTokens();
  const std::vector<std::int64_t> currentTokens{special.startOfTranscriptToken};
  const std::vector<float> logProbs{0.0f};

  std::shared_ptr<const LanguageLogitsFilter> filter;
  {
    std::lock_guard lock(mutex_);
    filter = languageLogitsFilter_;
  }
  if (!filter) {
    filter = std::make_shared<LanguageLogitsFilter>(tokenizer->allLanguageTokens(), *logitsDim, 0);
    std::lock_guard lock(mutex_);
    languageLogitsFilter_ = filter;
  }

  decoderInputs.inputIds()->setValue(0, static_cast<double>(special.startOfTranscriptToken));
  decoderInputs.cacheLength()->setValue(0, 0);
  const auto start = Clock::now();
  Logging::debug("Detecting language...");
  if (!encoderOutput) throw WhisperError::prepareDecoderInputsFailed("Input must be MLMultiArray");
  auto& inputs = requireDecodingInputs(decoderInputs, "DecodingInputsType must be DecodingInputs");
  auto output = predictLogits({inputs.inputIds(), inputs.cacheLength(), inputs.keyCache(), inputs.valueCache(),
                               inputs.kvCacheUpdateMask(), encoderOutput, inputs.decoderKeyPaddingMask()});
  if (!output || !output->logits) {
    Logging::error("Unable to decode logits");
    throw WhisperError::decodingLogitsFailed("Unable to decode logits from the model output");
  }
  const double predictionTime = since(start);
  requireFiniteLogits(*output->logits);
  auto logits = filter->filterLogits(output->logits, currentTokens);

  const auto samplingStart = Clock::now();
  const auto sampled = sampler.update(currentTokens, logits, logProbs);
  if (sampled.tokens.empty()) throw WhisperError::decodingFailed("The sampler returned no token");
  const std::int64_t detected = sampled.tokens.back();
  const double samplingTime = since(samplingStart);

  DecodingResult result;
  const auto& languages = tokenizer->allLanguageTokens();
  for (std::size_t i = 0; i < sampled.tokens.size(); ++i)
    if (languages.count(sampled.tokens[i]) && i < sampled.logProbs.size())
      result.languageProbs[trimmingSpecialTokenCharacters(tokenizer->decode({sampled.tokens[i]}))] = sampled.logProbs[i];
  const std::string code = trimmingSpecialTokenCharacters(tokenizer->decode({detected}));
  if (Constants::languageCodes().count(code)) {
    Logging::debug("Detected language: " + code);
    result.language = code;
  } else {
    Logging::error("Detected language " + code + " is not supported, defaulting to " + std::string(Constants::defaultLanguageCode));
    result.language = std::string(Constants::defaultLanguageCode);
  }
  TranscriptionTimings timings;
  timings.decodingPredictions = predictionTime;
  timings.decodingSampling = samplingTime;
  result.timings = timings;
  return result;
}

}  // namespace murmel

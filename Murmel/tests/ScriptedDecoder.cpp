#include "Murmel/tests/ScriptedDecoder.h"

#include <cmath>
#include <limits>

#include "platform/ML/detail/Kernel.h"

namespace murmel::testing {
namespace {

using platform::ml::Float16;
using platform::ml::MLFeatureDescription;
using platform::ml::MLModel;
using platform::ml::MLModelDescription;
using platform::ml::MLMultiArray;
using platform::ml::MLMultiArrayDataType;
using platform::ml::detail::ArrayMap;

MLFeatureDescription feature(const std::string& name, MLMultiArrayDataType type, std::vector<std::int64_t> shape,
                             bool optional = false) {
  MLFeatureDescription d;
  d.name = name;
  d.isOptional = optional;
  d.multiArrayConstraint = platform::ml::MLMultiArrayConstraint{std::move(shape), type};
  return d;
}

void add(std::map<std::string, MLFeatureDescription>& map, MLFeatureDescription d) { map.emplace(d.name, std::move(d)); }

// Column `column` of a [1, E, 1, n] array: token / 256, token % 256, sign × (position + 1).
void writeColumn(MLMultiArray& array, std::int64_t column, std::int64_t token, std::int64_t position, double sign) {
  const auto& s = array.strides();
  array.setValue(0 * s[1] + column * s[3], static_cast<double>(token / 256));
  array.setValue(1 * s[1] + column * s[3], static_cast<double>(token % 256));
  array.setValue(2 * s[1] + column * s[3], sign * static_cast<double>(position + 1));
}

}  // namespace

class ScriptedKernel : public platform::ml::detail::Kernel {
 public:
  explicit ScriptedKernel(ScriptedDecoder& owner) : owner_(owner) {}

  ArrayMap predict(const ArrayMap& inputs) const override {
    const auto& shape = owner_.shape;
    const std::int64_t S = shape.cacheLength;
    const auto token = static_cast<std::int64_t>((*inputs.at("input_ids"))[0]);
    const auto position = static_cast<std::int64_t>((*inputs.at("cache_length"))[0]);
    const auto& keys = *inputs.at("key_cache");
    const auto& values = *inputs.at("value_cache");
    const auto& update = *inputs.at("kv_cache_update_mask");
    const auto& padding = *inputs.at("decoder_key_padding_mask");

    std::vector<std::string> faults;
    ScriptedDecoder::Call call{token, position, {}};
    const auto& ks = keys.strides();
    const auto& vs = values.strides();
    for (std::int64_t c = 0; c < std::min(position, S); ++c) {
      call.history.push_back(static_cast<std::int64_t>(keys[c * ks[3]]) * 256 + static_cast<std::int64_t>(keys[ks[1] + c * ks[3]]));
      if (keys[2 * ks[1] + c * ks[3]] != static_cast<double>(c + 1) || values[2 * vs[1] + c * vs[3]] != -static_cast<double>(c + 1))
        faults.push_back("position " + std::to_string(position) + ": cache column " + std::to_string(c) + " holds key position " +
                         std::to_string(keys[2 * ks[1] + c * ks[3]] - 1) + ", value position " +
                         std::to_string(-values[2 * vs[1] + c * vs[3]] - 1));
      if (static_cast<std::int64_t>(values[c * vs[3]]) * 256 + static_cast<std::int64_t>(values[vs[1] + c * vs[3]]) != call.history.back())
        faults.push_back("position " + std::to_string(position) + ": key and value caches disagree at column " + std::to_string(c));
    }
    for (std::int64_t i = 0; i < S; ++i) {
      const double expectedUpdate = i == position ? 1 : 0;
      const double expectedPadding = i <= position ? 0 : -10000;
      if (update[i] != expectedUpdate)
        faults.push_back("position " + std::to_string(position) + ": update mask[" + std::to_string(i) + "] = " + std::to_string(update[i]));
      if (padding[i] != expectedPadding)
        faults.push_back("position " + std::to_string(position) + ": padding mask[" + std::to_string(i) + "] = " + std::to_string(padding[i]));
    }

    ScriptedStep step;
    bool damaged;
    {
      std::lock_guard lock(owner_.mutex_);
      auto it = owner_.script.find(position);
      step = it == owner_.script.end() ? owner_.fallback : it->second;
      damaged = owner_.damagedFromCall && owner_.calls_.size() >= *owner_.damagedFromCall;
      owner_.calls_.push_back(std::move(call));
      owner_.faults_.insert(owner_.faults_.end(), faults.begin(), faults.end());
    }

    const std::int64_t V = shape.vocabulary;
    std::vector<float> logits(static_cast<std::size_t>(V), 0.0f);
    for (const auto& [id, value] : step.logits) logits[static_cast<std::size_t>(id)] = value;
    float winner = 20;
    if (step.logProb) {
      double others = 0;
      for (std::int64_t i = 0; i < V; ++i)
        if (i != step.token) others += std::exp(static_cast<double>(logits[static_cast<std::size_t>(i)]));
      const double p = std::exp(static_cast<double>(*step.logProb));
      winner = static_cast<float>(std::log(p * others / (1 - p)));
    }
    logits[static_cast<std::size_t>(step.token)] = winner;
    if (step.uncertain)
      for (std::int64_t i = step.token + 1; i < std::min(V, step.token + 3); ++i) logits[static_cast<std::size_t>(i)] = winner;
    if (damaged) logits[static_cast<std::size_t>(V / 2)] = std::numeric_limits<float>::quiet_NaN();

    ArrayMap out;
    auto logitsArray = MLMultiArray::make({1, 1, V}, MLMultiArrayDataType::float16);
    logitsArray->assignFloats(logits);
    out["logits"] = logitsArray;
    auto keyUpdates = MLMultiArray::make({1, shape.embedDim, 1, 1}, MLMultiArrayDataType::float16);
    auto valueUpdates = MLMultiArray::make({1, shape.embedDim, 1, 1}, MLMultiArrayDataType::float16);
    writeColumn(*keyUpdates, 0, token, position, 1);
    writeColumn(*valueUpdates, 0, token, position, -1);
    out["key_cache_updates"] = keyUpdates;
    out["value_cache_updates"] = valueUpdates;
    if (shape.alignment) {
      auto weights = MLMultiArray::make({1, shape.window}, MLMultiArrayDataType::float16);
      if (step.alignmentFrame) weights->setValue(*step.alignmentFrame, step.alignmentWeight);
      out["alignment_heads_weights"] = weights;
    }
    return out;
  }

 private:
  ScriptedDecoder& owner_;
};

class ScriptedPrefillKernel : public platform::ml::detail::Kernel {
 public:
  explicit ScriptedPrefillKernel(ScriptedDecoder& owner) : owner_(owner) {}

  ArrayMap predict(const ArrayMap& inputs) const override {
    const auto& shape = owner_.shape;
    const auto task = static_cast<std::int64_t>((*inputs.at("task"))[0]);
    const auto language = static_cast<std::int64_t>((*inputs.at("language"))[0]);
    {
      std::lock_guard lock(owner_.mutex_);
      owner_.prefillCalls_.emplace_back(task, language);
    }
    const std::int64_t tokens[] = {shape.startOfTranscript, language, task == 1 ? shape.translate : shape.transcribe};
    auto keys = MLMultiArray::make({1, shape.embedDim, 1, shape.prefillLength}, MLMultiArrayDataType::float16);
    auto values = MLMultiArray::make({1, shape.embedDim, 1, shape.prefillLength}, MLMultiArrayDataType::float16);
    for (std::int64_t p = 0; p < shape.prefillLength; ++p) {
      writeColumn(*keys, p, tokens[p % 3], p, 1);
      writeColumn(*values, p, tokens[p % 3], p, -1);
    }
    return {{"key_cache_prefill", keys}, {"value_cache_prefill", values}};
  }

 private:
  ScriptedDecoder& owner_;
};

ScriptedDecoder::ScriptedDecoder(ScriptedDecoderShape shape) : shape(shape) { fallback.token = 40; }

std::shared_ptr<MLModel> ScriptedDecoder::decoderModel() {
  MLModelDescription d;
  const std::int64_t E = shape.embedDim, S = shape.cacheLength;
  add(d.inputDescriptionsByName, feature("input_ids", MLMultiArrayDataType::int32, {1}));
  add(d.inputDescriptionsByName, feature("cache_length", MLMultiArrayDataType::int32, {1}));
  add(d.inputDescriptionsByName, feature("key_cache", MLMultiArrayDataType::float16, {1, E, 1, S}));
  add(d.inputDescriptionsByName, feature("value_cache", MLMultiArrayDataType::float16, {1, E, 1, S}));
  add(d.inputDescriptionsByName, feature("kv_cache_update_mask", MLMultiArrayDataType::int32, {1, S}));
  add(d.inputDescriptionsByName,
      feature("encoder_output_embeds", MLMultiArrayDataType::float16, {1, shape.embedSize, 1, shape.window}));
  add(d.inputDescriptionsByName, feature("decoder_key_padding_mask", MLMultiArrayDataType::float16, {1, S}));
  add(d.outputDescriptionsByName, feature("logits", MLMultiArrayDataType::float16, {1, 1, shape.vocabulary}));
  add(d.outputDescriptionsByName, feature("key_cache_updates", MLMultiArrayDataType::float16, {1, E, 1, 1}));
  add(d.outputDescriptionsByName, feature("value_cache_updates", MLMultiArrayDataType::float16, {1, E, 1, 1}));
  if (shape.alignment)
    add(d.outputDescriptionsByName, feature("alignment_heads_weights", MLMultiArrayDataType::float16, {1, shape.window}, true));
  return std::make_shared<MLModel>("TextDecoder.mlmodelc", platform::ml::MLModelConfiguration{}, d,
                                   std::make_unique<ScriptedKernel>(*this));
}

std::shared_ptr<MLModel> ScriptedDecoder::prefillModel() {
  MLModelDescription d;
  add(d.inputDescriptionsByName, feature("task", MLMultiArrayDataType::int32, {1}));
  add(d.inputDescriptionsByName, feature("language", MLMultiArrayDataType::int32, {1}));
  add(d.outputDescriptionsByName,
      feature("key_cache_prefill", MLMultiArrayDataType::float16, {1, shape.embedDim, 1, shape.prefillLength}));
  add(d.outputDescriptionsByName,
      feature("value_cache_prefill", MLMultiArrayDataType::float16, {1, shape.embedDim, 1, shape.prefillLength}));
  return std::make_shared<MLModel>("TextDecoderContextPrefill.mlmodelc", platform::ml::MLModelConfiguration{}, d,
                                   std::make_unique<ScriptedPrefillKernel>(*this));
}

std::shared_ptr<MLMultiArray> ScriptedDecoder::encoderOutput() const {
  return MLMultiArray::make({1, shape.embedSize, 1, shape.window}, MLMultiArrayDataType::float16);
}

std::vector<ScriptedDecoder::Call> ScriptedDecoder::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

std::vector<std::pair<std::int64_t, std::int64_t>> ScriptedDecoder::prefillCalls() const {
  std::lock_guard lock(mutex_);
  return prefillCalls_;
}

std::vector<std::string> ScriptedDecoder::faults() const {
  std::lock_guard lock(mutex_);
  return faults_;
}

}  // namespace murmel::testing

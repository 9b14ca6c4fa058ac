// Feature providers naming the inputs and outputs of the engine's four models. Input records hold
// one multi-array per feature ("audio", "input_ids", …) and answer `featureValue` with the current
// field; output records wrap the provider a prediction returned and read its features by name
// (absent when the provider lacks one). Not locked: one caller at a time.
//   auto out = model->prediction(MelSpectrogramInput(audio));  MelSpectrogramOutput(out).melspectrogramFeatures();
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "platform/ML/MLFeature.h"
#include "platform/ML/MLMultiArray.h"
#include "platform/ML/MLShapedArray.h"

namespace murmel {

using platform::ml::Float16;
using platform::ml::MLFeatureProvider;
using platform::ml::MLFeatureValue;
using platform::ml::MLShapedArray;
using MultiArrayRef = std::shared_ptr<platform::ml::MLMultiArray>;

class MelSpectrogramInput : public MLFeatureProvider {
 public:
  explicit MelSpectrogramInput(MultiArrayRef audio) : audio(std::move(audio)) {}
  explicit MelSpectrogramInput(const MLShapedArray<float>& audio) : audio(audio.toMultiArray()) {}
  std::set<std::string> featureNames() const override { return {"audio"}; }
  std::optional<MLFeatureValue> featureValue(const std::string& name) const override;
  MultiArrayRef audio;
};

class AudioEncoderInput : public MLFeatureProvider {
 public:
  explicit AudioEncoderInput(MultiArrayRef melspectrogram_features) : melspectrogram_features(std::move(melspectrogram_features)) {}
  explicit AudioEncoderInput(const MLShapedArray<float>& melspectrogram_features)
      : melspectrogram_features(melspectrogram_features.toMultiArray()) {}
  std::set<std::string> featureNames() const override { return {"melspectrogram_features"}; }
  std::optional<MLFeatureValue> featureValue(const std::string& name) const override;
  MultiArrayRef melspectrogram_features;
};

class TextDecoderInput : public MLFeatureProvider {
 public:
  TextDecoderInput(MultiArrayRef input_ids, MultiArrayRef cache_length, MultiArrayRef key_cache, MultiArrayRef value_cache,
                   MultiArrayRef kv_cache_update_mask, MultiArrayRef encoder_output_embeds, MultiArrayRef decoder_key_padding_mask);
  TextDecoderInput(const MLShapedArray<std::int32_t>& input_ids, const MLShapedArray<std::int32_t>& cache_length,
                   const MLShapedArray<float>& key_cache, const MLShapedArray<float>& value_cache,
                   const MLShapedArray<float>& kv_cache_update_mask, const MLShapedArray<float>& encoder_output_embeds,
                   const MLShapedArray<float>& decoder_key_padding_mask);
  std::set<std::string> featureNames() const override;
  std::optional<MLFeatureValue> featureValue(const std::string& name) const override;
  MultiArrayRef input_ids, cache_length, key_cache, value_cache, kv_cache_update_mask, encoder_output_embeds,
      decoder_key_padding_mask;
};

class TextDecoderCachePrefillInput : public MLFeatureProvider {
 public:
  TextDecoderCachePrefillInput(MultiArrayRef task, MultiArrayRef language) : task(std::move(task)), language(std::move(language)) {}
  TextDecoderCachePrefillInput(const MLShapedArray<std::int32_t>& task, const MLShapedArray<std::int32_t>& language)
      : task(task.toMultiArray()), language(language.toMultiArray()) {}
  std::set<std::string> featureNames() const override { return {"task", "language"}; }
  std::optional<MLFeatureValue> featureValue(const std::string& name) const override;
  MultiArrayRef task, language;
};

// Output records: `provider` is fixed at construction; accessors read it by feature name.
class ModelOutputRecord : public MLFeatureProvider {
 public:
  explicit ModelOutputRecord(std::shared_ptr<const MLFeatureProvider> features) : provider(std::move(features)) {}
  std::set<std::string> featureNames() const override { return provider->featureNames(); }
  std::optional<MLFeatureValue> featureValue(const std::string& name) const override { return provider->featureValue(name); }
  const std::shared_ptr<const MLFeatureProvider> provider;

 protected:
  MultiArrayRef array(const std::string& name) const;  // null when absent or not a multi-array
  std::optional<MLShapedArray<Float16>> halves(const std::string& name) const;
};

class MelSpectrogramOutput : public ModelOutputRecord {
 public:
  using ModelOutputRecord::ModelOutputRecord;
  explicit MelSpectrogramOutput(MultiArrayRef melspectrogram_features);
  MultiArrayRef melspectrogramFeatures() const { return array("melspectrogram_features"); }
  std::optional<MLShapedArray<Float16>> melspectrogram_featuresShapedArray() const { return halves("melspectrogram_features"); }
};

class AudioEncoderOutput : public ModelOutputRecord {
 public:
  using ModelOutputRecord::ModelOutputRecord;
  explicit AudioEncoderOutput(MultiArrayRef encoder_output_embeds);
  MultiArrayRef encoder_output_embeds() const { return array("encoder_output_embeds"); }
  std::optional<MLShapedArray<Float16>> encoder_output_embedsShapedArray() const { return halves("encoder_output_embeds"); }
};

class TextDecoderOutput : public ModelOutputRecord {
 public:
  using ModelOutputRecord::ModelOutputRecord;
  TextDecoderOutput(MultiArrayRef logits, MultiArrayRef key_cache_updates, MultiArrayRef value_cache_updates);
  MultiArrayRef logits() const { return array("logits"); }
  std::optional<MLShapedArray<Float16>> logitsShapedArray() const { return halves("logits"); }
  MultiArrayRef key_cache_updates() const { return array("key_cache_updates"); }
  std::optional<MLShapedArray<Float16>> key_cache_updatesShapedArray() const { return halves("key_cache_updates"); }
  MultiArrayRef value_cache_updates() const { return array("value_cache_updates"); }
  std::optional<MLShapedArray<Float16>> value_cache_updatesShapedArray() const { return halves("value_cache_updates"); }
  MultiArrayRef alignment_heads_weights() const { return array("alignment_heads_weights"); }
  std::optional<MLShapedArray<Float16>> alignment_heads_weightsShapedArray() const { return halves("alignment_heads_weights"); }
};

class TextDecoderCachePrefillOutput : public ModelOutputRecord {
 public:
  using ModelOutputRecord::ModelOutputRecord;
  TextDecoderCachePrefillOutput(MultiArrayRef key_cache_prefill, MultiArrayRef value_cache_prefill);
  MultiArrayRef key_cache_prefill() const { return array("key_cache_prefill"); }
  std::optional<MLShapedArray<Float16>> key_cache_prefillShapedArray() const { return halves("key_cache_prefill"); }
  MultiArrayRef value_cache_prefill() const { return array("value_cache_prefill"); }
  std::optional<MLShapedArray<Float16>> value_cache_prefillShapedArray() const { return halves("value_cache_prefill"); }
};

}  // namespace murmel

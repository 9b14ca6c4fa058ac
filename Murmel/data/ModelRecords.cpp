#include "Murmel/data/ModelRecords.h"

#include <map>
#include <utility>
#include <vector>

namespace murmel {

namespace {

// The first field whose name equals `name` exactly, in the record's feature order.
std::optional<MLFeatureValue> lookup(const std::string& name, std::initializer_list<std::pair<const char*, const MultiArrayRef*>> fields) {
  for (const auto& [field, value] : fields)
    if (name == field) return MLFeatureValue(*value);
  return std::nullopt;
}

std::shared_ptr<const MLFeatureProvider> dictionary(std::initializer_list<std::pair<const char*, MultiArrayRef>> features) {
  std::map<std::string, MLFeatureValue> map;
  for (const auto& [name, array] : features) map.emplace(name, MLFeatureValue(array));
  return std::make_shared<platform::ml::MLDictionaryFeatureProvider>(std::move(map));
}

}  // namespace

std::optional<MLFeatureValue> MelSpectrogramInput::featureValue(const std::string& name) const {
  return lookup(name, {{"audio", &audio}});
}

std::optional<MLFeatureValue> AudioEncoderInput::featureValue(const std::string& name) const {
  return lookup(name, {{"melspectrogram_features", &melspectrogram_features}});
}

TextDecoderInput::TextDecoderInput(MultiArrayRef input_ids, MultiArrayRef cache_length, MultiArrayRef key_cache, MultiArrayRef value_cache,
                                   MultiArrayRef kv_cache_update_mask, MultiArrayRef encoder_output_embeds,
                                   MultiArrayRef decoder_key_padding_mask)
    : input_ids(std::move(input_ids)),
      cache_length(std::move(cache_length)),
      key_cache(std::move(key_cache)),
      value_cache(std::move(value_cache)),
      kv_cache_update_mask(std::move(kv_cache_update_mask)),
      encoder_output_embeds(std::move(encoder_output_embeds)),
      decoder_key_padding_mask(std::move(decoder_key_padding_mask)) {}

TextDecoderInput::TextDecoderInput(const MLShapedArray<std::int32_t>& input_ids,
                                   const MLShapedArray<std::int32_t>& cache_length, const MLShapedArray<float>& key_cache,
                                   const MLShapedArray<float>& value_cache, const MLShapedArray<float>& kv_cache_update_mask,
                                   const MLShapedArray<float>& encoder_output_embeds,
                                   const MLShapedArray<float>& decoder_key_padding_mask)
    : TextDecoderInput(input_ids.toMultiArray(), cache_length.toMultiArray(), key_cache.toMultiArray(),
                       value_cache.toMultiArray(), kv_cache_update_mask.toMultiArray(),
                       encoder_output_embeds.toMultiArray(), decoder_key_padding_mask.toMultiArray()) {}

std::set<std::string> TextDecoderInput::featureNames() const {
  return {"input_ids", "cache_length", "key_cache", "value_cache", "kv_cache_update_mask", "encoder_output_embeds",
          "decoder_key_padding_mask"};
}

std::optional<MLFeatureValue> TextDecoderInput::featureValue(const std::string& name) const {
  return lookup(name, {{"input_ids", &input_ids},
                       {"cache_length", &cache_length},
                       {"key_cache", &key_cache},
                       {"value_cache", &value_cache},
                       {"kv_cache_update_mask", &kv_cache_update_mask},
                       {"encoder_output_embeds", &encoder_output_embeds},
                       {"decoder_key_padding_mask", &decoder_key_padding_mask}});
}

std::optional<MLFeatureValue> TextDecoderCachePrefillInput::featureValue(const std::string& name) const {
  return lookup(name, {{"task", &task}, {"language", &language}});
}

MultiArrayRef ModelOutputRecord::array(const std::string& name) const {
  const auto value = provider->featureValue(name);
  return value ? value->multiArrayValue() : nullptr;
}

std::optional<MLShapedArray<Float16>> ModelOutputRecord::halves(const std::string& name) const {
  const auto a = array(name);
  if (!a) return std::nullopt;
  return MLShapedArray<Float16>(*a);
}

MelSpectrogramOutput::MelSpectrogramOutput(MultiArrayRef melspectrogram_features)
    : ModelOutputRecord(dictionary({{"melspectrogram_features", std::move(melspectrogram_features)}})) {}

AudioEncoderOutput::AudioEncoderOutput(MultiArrayRef encoder_output_embeds)
    : ModelOutputRecord(dictionary({{"encoder_output_embeds", std::move(encoder_output_embeds)}})) {}

TextDecoderOutput::TextDecoderOutput(MultiArrayRef logits, MultiArrayRef key_cache_updates, MultiArrayRef value_cache_updates)
    : ModelOutputRecord(dictionary({{"logits", std::move(logits)},
                                    {"key_cache_updates", std::move(key_cache_updates)},
                                    {"value_cache_updates", std::move(value_cache_updates)}})) {}

TextDecoderCachePrefillOutput::TextDecoderCachePrefillOutput(MultiArrayRef key_cache_prefill, MultiArrayRef value_cache_prefill)
    : ModelOutputRecord(dictionary({{"key_cache_prefill", std::move(key_cache_prefill)},
                                    {"value_cache_prefill", std::move(value_cache_prefill)}})) {}

}  // namespace murmel

// Drives the text decoder model the way the engine does: caches and masks prepared as for a fresh
// window, one token per call, and after each call the new keys and values copied into column t of
// both caches with the masks moved on (padding mask 0 at t + 1, update mask 1 at t + 1 only).
#pragma once

#include <memory>
#include <vector>

#include "platform/ML/MLModel.h"

namespace platform::ml::testing {

struct DecoderSession {
  std::shared_ptr<MLModel> model;
  std::int64_t layersTimesWidth, cacheLength;
  std::shared_ptr<MLMultiArray> inputIds, position, keyCache, valueCache, updateMask, paddingMask;

  DecoderSession(std::shared_ptr<MLModel> m) : model(std::move(m)) {
    const auto& shape = model->modelDescription().inputDescriptionsByName.at("key_cache").multiArrayConstraint->shape;
    layersTimesWidth = shape[1];
    cacheLength = shape[3];
    inputIds = MLMultiArray::make({1}, MLMultiArrayDataType::int32);
    position = MLMultiArray::make({1}, MLMultiArrayDataType::int32);
    keyCache = MLMultiArray::make({1, layersTimesWidth, 1, cacheLength}, MLMultiArrayDataType::float16);
    valueCache = MLMultiArray::make({1, layersTimesWidth, 1, cacheLength}, MLMultiArrayDataType::float16);
    updateMask = MLMultiArray::make({1, cacheLength}, MLMultiArrayDataType::int32);
    paddingMask = MLMultiArray::make({1, cacheLength}, MLMultiArrayDataType::float16);
    for (std::int64_t i = 0; i < cacheLength; ++i) paddingMask->setValue(i, -10000);
    updateMask->setValue(0, 1);
    paddingMask->setValue(0, 0);
  }

  // Puts prefilled keys and values ([1, L·D, 1, P]) at positions 0..P-1; the next step writes P.
  void prefill(const MLMultiArray& keys, const MLMultiArray& values) {
    const std::int64_t p = keys.shape()[3];
    copyColumns(keys, *keyCache, 0);
    copyColumns(values, *valueCache, 0);
    for (std::int64_t i = 0; i <= p; ++i) {
      updateMask->setValue(i, 0);
      paddingMask->setValue(i, 0);
    }
    updateMask->setValue(p, 1);
    next = p;
  }

  // One step at the next position: returns the model's outputs after updating caches and masks.
  std::shared_ptr<MLFeatureProvider> step(int token, const std::shared_ptr<MLMultiArray>& encoderOutput) {
    const std::int64_t t = next++;
    inputIds->setValue(0, token);
    position->setValue(0, static_cast<double>(t));
    MLDictionaryFeatureProvider input({{"input_ids", MLFeatureValue(inputIds)},
                                       {"cache_length", MLFeatureValue(position)},
                                       {"key_cache", MLFeatureValue(keyCache)},
                                       {"value_cache", MLFeatureValue(valueCache)},
                                       {"kv_cache_update_mask", MLFeatureValue(updateMask)},
                                       {"encoder_output_embeds", MLFeatureValue(encoderOutput)},
                                       {"decoder_key_padding_mask", MLFeatureValue(paddingMask)}});
    auto out = model->prediction(input);
    copyColumns(*out->featureValue("key_cache_updates")->multiArrayValue(), *keyCache, t);
    copyColumns(*out->featureValue("value_cache_updates")->multiArrayValue(), *valueCache, t);
    if (t + 1 < cacheLength) {
      paddingMask->setValue(t + 1, 0);
      updateMask->setValue(t, 0);
      updateMask->setValue(t + 1, 1);
    }
    return out;
  }

  std::int64_t next = 0;

 private:
  // Columns of a [1, E, 1, n] slice into a [1, E, 1, S] cache from column `at`, element by element.
  static void copyColumns(const MLMultiArray& slice, MLMultiArray& cache, std::int64_t at) {
    const auto& ss = slice.strides();
    const auto& cs = cache.strides();
    for (std::int64_t j = 0; j < slice.shape()[1]; ++j)
      for (std::int64_t k = 0; k < slice.shape()[3]; ++k)
        cache.setValue(j * cs[1] + (at + k) * cs[3], slice[j * ss[1] + k * ss[3]]);
  }
};

}  // namespace platform::ml::testing

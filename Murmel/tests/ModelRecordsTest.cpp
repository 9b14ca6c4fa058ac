#include <gtest/gtest.h>

#include "Murmel/data/ModelRecords.h"

namespace murmel {
namespace {

using platform::ml::MLMultiArray;
using platform::ml::MLMultiArrayDataType;

MultiArrayRef array(std::vector<std::int64_t> shape = {1}) { return MLMultiArray::make(std::move(shape), MLMultiArrayDataType::float16); }

TEST(ModelRecordsTest, DecoderInputNamesAndCurrentFields) {
  TextDecoderInput input(array(), array(), array(), array(), array(), array(), array());
  EXPECT_EQ(input.featureNames(), (std::set<std::string>{"input_ids", "cache_length", "key_cache", "value_cache",
                                                         "kv_cache_update_mask", "encoder_output_embeds",
                                                         "decoder_key_padding_mask"}));
  auto replaced = array({1, 4, 1, 8});
  input.key_cache = replaced;
  EXPECT_EQ(input.featureValue("key_cache")->multiArrayValue(), replaced);
  EXPECT_FALSE(input.featureValue("logits"));
  EXPECT_FALSE(MelSpectrogramInput(array()).featureValue("Audio"));
  EXPECT_TRUE(MelSpectrogramInput(array()).featureValue("audio"));
}

TEST(ModelRecordsTest, ShapedArrayInitialisersKeepShapesAndValues) {
  TextDecoderCachePrefillInput input(MLShapedArray<std::int32_t>({1}, {1}), MLShapedArray<std::int32_t>({50259, 7}, {1, 2}));
  const auto language = input.featureValue("language")->multiArrayValue();
  EXPECT_EQ(language->shape(), (std::vector<std::int64_t>{1, 2}));
  EXPECT_EQ(language->dataType(), MLMultiArrayDataType::int32);
  EXPECT_EQ((*language)[0], 50259.0);
  EXPECT_EQ((*input.featureValue("task")->multiArrayValue())[0], 1.0);
}

TEST(ModelRecordsTest, DecoderOutputWithoutAlignmentWeights) {
  auto logits = array({1, 1, 3});
  logits->setValue(2, -1.5);
  TextDecoderOutput output(logits, array(), array());
  EXPECT_EQ(output.featureNames(), (std::set<std::string>{"logits", "key_cache_updates", "value_cache_updates"}));
  EXPECT_EQ(output.logits(), logits);
  EXPECT_EQ(output.logitsShapedArray()->scalars()[2], Float16(-1.5));
  EXPECT_EQ(output.alignment_heads_weights(), nullptr);
  EXPECT_FALSE(output.alignment_heads_weightsShapedArray());
  // A provider lacking a required feature reads as absent rather than failing.
  MelSpectrogramOutput broken(std::make_shared<platform::ml::MLDictionaryFeatureProvider>());
  EXPECT_EQ(broken.melspectrogramFeatures(), nullptr);
}

}  // namespace
}  // namespace murmel

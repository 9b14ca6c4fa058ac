// DecodingInputs driving the runtime's decoder model through the cache-copy and mask protocol:
// after `reset`, stale cache columns of an earlier attempt must not leak into the next one.
#include <gtest/gtest.h>

#include <cmath>

#include "KestrumCore/MLModelExtensions.h"
#include "Murmel/data/DecodingValues.h"
#include "Murmel/data/ModelRecords.h"
#include "Murmel/decoding/TextDecoder.h"
#include "platform/ML/ModelFolders.h"
#include "testsupport/Fixtures.h"

namespace murmel {
namespace {

using namespace platform::ml;

class DecodingInputsProtocolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dims.nMels = 4, dims.nAudioCtx = 6, dims.nAudioState = dims.nTextState = 8, dims.nAudioHead = dims.nTextHead = 2;
    dims.nAudioLayer = dims.nTextLayer = 2, dims.nVocab = 12, dims.nTextCtx = 8, dims.nFf = 16, dims.kvCacheLength = 8;
    writeModelFolders(dir.path(), dims, randomWeights(dims, 9));
    model = MLModel::load(dir.path() / "TextDecoder.mlmodelc");
    decoder.setModel(model);
    encoderOutput = MLMultiArray::make({1, 8, 1, 6}, MLMultiArrayDataType::float16);
    for (std::int64_t i = 0; i < encoderOutput->count(); ++i) encoderOutput->setValue(i, std::sin(0.7 * static_cast<double>(i)));
  }

  // Fresh inputs, as the decoder prepares them for a window.
  DecodingInputs prepared() { return *decoder.prepareDecoderInputs({0}); }

  // One step at position t, through the decoder's own prediction and step store.
  std::vector<float> step(DecodingInputs& in, int token, std::int64_t t) {
    in.inputIds()->setValue(0, token);
    in.cacheLength()->setValue(0, static_cast<double>(t));
    auto out = decoder.predictLogits({in.inputIds(), in.cacheLength(), in.keyCache(), in.valueCache(),
                                      in.kvCacheUpdateMask(), encoderOutput, in.decoderKeyPaddingMask()});
    TextDecoding::storeStep(in, *out->cache, t);
    return out->logits->toFloats();
  }

  testsupport::TempDir dir;
  WhisperDimensions dims;
  std::shared_ptr<MLModel> model;
  TextDecoder decoder;
  std::shared_ptr<MLMultiArray> encoderOutput;
};

TEST_F(DecodingInputsProtocolTest, ResetAttemptIgnoresStaleCacheColumns) {
  DecodingInputs fresh = prepared();
  std::vector<float> expected;
  for (auto [token, t] : {std::pair{1, 0}, {2, 1}, {5, 2}}) expected = step(fresh, token, t);

  DecodingInputs reused = prepared();
  for (auto [token, t] : {std::pair{1, 0}, {2, 1}, {3, 2}, {4, 3}}) step(reused, token, t);
  reused.reset(2, 8);  // keep the first two positions; columns 2 and 3 hold the earlier attempt
  EXPECT_EQ(step(reused, 5, 2), expected);
}

TEST_F(DecodingInputsProtocolTest, RecordFromShapedArraysFeedsTheModel) {
  // The shaped-array initialiser makes float32 caches and masks; the model takes float16 caches and
  // an int32 update mask, and converts.
  DecodingInputs in = prepared();
  in.inputIds()->setValue(0, 3);
  const auto asFloats = [](const MultiArrayRef& a) { return MLShapedArray<float>(a->toFloats(), a->shape()); };
  TextDecoderInput shaped(MLShapedArray<std::int32_t>({3}, {1}), MLShapedArray<std::int32_t>({0}, {1}),
                          asFloats(in.keyCache()), asFloats(in.valueCache()), asFloats(in.kvCacheUpdateMask()),
                          asFloats(encoderOutput), asFloats(in.decoderKeyPaddingMask()));
  EXPECT_EQ(shaped.kv_cache_update_mask->dataType(), MLMultiArrayDataType::float32);
  const auto viaShaped = TextDecoderOutput(kestrum::asyncPrediction(*model, shaped)).logits()->toFloats();
  EXPECT_EQ(viaShaped, step(in, 3, 0));
}

}  // namespace
}  // namespace murmel

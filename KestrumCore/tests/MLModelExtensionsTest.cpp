#include <gtest/gtest.h>

#include "KestrumCore/MLModelExtensions.h"
#include "platform/ML/ModelFolders.h"
#include "testsupport/Fixtures.h"

namespace kestrum {
namespace {

using platform::ml::MLDictionaryFeatureProvider;
using platform::ml::MLFeatureValue;

TEST(MLModelExtensionsTest, ComputeUnitNames) {
  struct Case {
    int value;
    const char* description;
    const char* displayName;
  };
  for (const Case& c : {Case{0, "cpuOnly", "CPU"}, Case{1, "cpuAndGPU", "GPU"}, Case{2, "all", "All"},
                        Case{3, "cpuAndNeuralEngine", "Neural Engine"}, Case{7, "unknown", "Unknown"}}) {
    EXPECT_EQ(description(static_cast<MLComputeUnits>(c.value)), c.description);
    EXPECT_EQ(displayName(static_cast<MLComputeUnits>(c.value)), c.displayName);
  }
}

TEST(MLModelExtensionsTest, InitialValueFillsOnlyItsOwnElementType) {
  auto mask = makeMultiArray({2, 3}, MLMultiArrayDataType::float16, Float16(-10000));
  for (std::int64_t i = 0; i < 6; ++i) EXPECT_EQ((*mask)[i], -10000.0);
  auto ints = makeMultiArray({4}, MLMultiArrayDataType::int32, std::int32_t{7});
  EXPECT_EQ((*ints)[3], 7.0);
  auto bytes = makeMultiArray({2}, MLMultiArrayDataType::int8, std::int8_t{-3});
  EXPECT_EQ((*bytes)[1], -3.0);
  // A double for a float32 array, or a plain integer, leaves the array as made: zeroed.
  auto floats = makeMultiArray({3}, MLMultiArrayDataType::float32, 2.5);
  EXPECT_EQ(floats->toFloats(), std::vector<float>(3, 0.0f));
  auto widened = makeMultiArray({3}, MLMultiArrayDataType::float64, 1);
  EXPECT_EQ((*widened)[0], 0.0);
  EXPECT_THROW(makeMultiArray({}, MLMultiArrayDataType::float16, Float16(0)), MLMultiArrayCreationError);
  try {
    makeMultiArray({}, MLMultiArrayDataType::float16, Float16(0));
  } catch (const MLMultiArrayCreationError& e) {
    EXPECT_STREQ(e.what(), "Failed to create IOSurface-backed pixel buffer for MLMultiArray");
  }
}

TEST(MLModelExtensionsTest, PixelBufferLayoutOfAShape) {
  EXPECT_EQ(pixelBuffer({2, 3})->width, 3);
  EXPECT_EQ(pixelBuffer({2, 3})->height, 2);
  EXPECT_EQ(pixelBuffer({5})->width, 5);
  EXPECT_EQ(pixelBuffer({5})->height, 1);
  EXPECT_FALSE(pixelBuffer({}));
}

TEST(MLModelExtensionsTest, IntegerListsBecomeInt32Arrays) {
  auto a = multiArrayFrom({7, 8, 9}, 3);
  EXPECT_EQ(a->shape(), (std::vector<std::int64_t>{1, 1, 3}));
  EXPECT_EQ(a->dataType(), MLMultiArrayDataType::int32);
  EXPECT_EQ((*a)[2], 9.0);
  EXPECT_EQ(multiArrayFrom({7, 8, 9}, 1)->shape(), (std::vector<std::int64_t>{3}));
  EXPECT_THROW(multiArrayFrom({1}, 0), std::invalid_argument);
  EXPECT_THROW(multiArrayFrom({std::int64_t{1} << 40}, 1), std::out_of_range);
}

TEST(MLModelExtensionsTest, OffsetsAndFills) {
  MLMultiArray array({1, 1, 6}, MLMultiArrayDataType::float16);
  EXPECT_EQ(linearOffset(array, {1, 2}, std::vector<std::int64_t>{10, 1, 5}), 12);
  EXPECT_EQ(linearOffset(array, {0, 0, 4}), 4);

  fillLastDimension(array, 2, 4, Float16(1));
  EXPECT_EQ(array.toFloats(), (std::vector<float>{0, 0, 1, 1, 0, 0}));
  fillLastDimension(array, 3, 3, Float16(5));  // empty range
  EXPECT_EQ(array[3], 1.0);
  EXPECT_THROW(fillLastDimension(array, 5, 7, Float16(1)), std::out_of_range);
  MLMultiArray wide({2, 1, 6}, MLMultiArrayDataType::float16);
  EXPECT_THROW(fillLastDimension(wide, 0, 1, Float16(1)), std::invalid_argument);
  MLMultiArray singles({1, 1, 6}, MLMultiArrayDataType::float32);
  EXPECT_THROW(fillLastDimension(singles, 0, 1, Float16(1)), std::invalid_argument);
  EXPECT_EQ(singles[0], 0.0);

  const auto negativeInfinity = static_cast<Float16>(-std::numeric_limits<float>::infinity());
  fill(array, {{0, 0, 0}, {0, 0, 5}, {0, 0, 0}}, negativeInfinity);
  EXPECT_EQ(array[0], -std::numeric_limits<double>::infinity());
  EXPECT_EQ(array[5], -std::numeric_limits<double>::infinity());
  EXPECT_THROW(fill(array, {{0, 0, 6}}, Float16(0)), std::out_of_range);
  EXPECT_THROW(fill(array, {{0, 0, 1}}, 1.0f), platform::ml::MLMultiArrayError);
  EXPECT_EQ(array[1], 0.0);  // nothing written by the failed fills
}

TEST(MLModelExtensionsTest, PredictionOnAPoolThreadPassesErrorsThrough) {
  testsupport::TempDir dir;
  platform::ml::WhisperDimensions dims;
  dims.nMels = 4, dims.nAudioCtx = 4, dims.nAudioState = dims.nTextState = 8, dims.nAudioHead = dims.nTextHead = 2;
  dims.nAudioLayer = dims.nTextLayer = 1, dims.nVocab = 10, dims.nTextCtx = 8, dims.nFf = 8, dims.kvCacheLength = 8;
  platform::ml::writeModelFolders(dir.path(), dims, platform::ml::randomWeights(dims, 1));
  auto model = MLModel::load(dir.path() / "MelSpectrogram.mlmodelc");
  auto audio = MLMultiArray::make({1280}, MLMultiArrayDataType::float32);
  MLDictionaryFeatureProvider input({{"audio", MLFeatureValue(audio)}});
  auto out = asyncPrediction(*model, input);
  EXPECT_EQ(out->featureValue("melspectrogram_features")->multiArrayValue()->shape(),
            (std::vector<std::int64_t>{1, 4, 1, 8}));
  EXPECT_THROW(asyncPrediction(*model, MLDictionaryFeatureProvider()), platform::ml::MLModelError);
  MLState state;
  EXPECT_THROW(asyncPrediction(*model, input, state), platform::ml::MLModelError);
}

}  // namespace
}  // namespace kestrum

#include <gtest/gtest.h>

#include <cmath>

#include "Murmel/data/DecodingValues.h"

namespace murmel {
namespace {

using platform::ml::MLMultiArray;
using platform::ml::MLMultiArrayDataType;

struct Inputs {
  std::shared_ptr<MLMultiArray> ids = MLMultiArray::make({1}, MLMultiArrayDataType::int32);
  std::shared_ptr<MLMultiArray> length = MLMultiArray::make({1}, MLMultiArrayDataType::int32);
  std::shared_ptr<MLMultiArray> keys = MLMultiArray::make({1, 4, 1, 8}, MLMultiArrayDataType::float16);
  std::shared_ptr<MLMultiArray> update = MLMultiArray::make({1, 8}, MLMultiArrayDataType::int32);
  std::shared_ptr<MLMultiArray> padding = MLMultiArray::make({1, 8}, MLMultiArrayDataType::float16);
  DecodingInputs inputs{{50258}, ids, length, keys, keys, nullptr, update, padding, nullptr, nullptr};
};

std::vector<float> values(const MLMultiArray& a) { return a.toFloats(); }

TEST(DecodingInputsTest, ResetMovesMasksToThePrefilledPosition) {
  struct Case {
    std::int64_t prefilled;
    std::vector<float> padding, update;
  };
  const float m = -10000;
  for (const Case& c : {Case{3, {0, 0, 0, 0, m, m, m, m}, {0, 0, 0, 1, 0, 0, 0, 0}},
                        Case{7, {0, 0, 0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0, 1}},
                        Case{12, {0, 0, 0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0, 1}},
                        Case{0, {0, m, m, m, m, m, m, m}, {1, 0, 0, 0, 0, 0, 0, 0}},
                        Case{-1, {m, m, m, m, m, m, m, m}, {0, 0, 0, 0, 0, 0, 0, 0}}}) {
    Inputs in;
    in.keys->setValue(5, 0.25);
    in.update->setValue(5, 1);  // a stale mark from an earlier attempt
    in.inputs.reset(c.prefilled, 8);
    EXPECT_EQ((*in.length)[0], static_cast<double>(c.prefilled)) << c.prefilled;
    EXPECT_EQ(values(*in.padding), c.padding) << c.prefilled;
    EXPECT_EQ(values(*in.update), c.update) << c.prefilled;
    EXPECT_EQ((*in.keys)[5], 0.25);  // caches are left alone
  }
}

TEST(DecodingInputsTest, ResetRefusesMasksShorterThanTheContext) {
  Inputs in;
  EXPECT_THROW(in.inputs.reset(3, 9), std::out_of_range);
  EXPECT_EQ((*in.length)[0], 0.0);  // nothing written
  in.inputs.reset(3, 0);            // only the cache length
  EXPECT_EQ((*in.length)[0], 3.0);
  EXPECT_EQ((*in.update)[3], 0.0);
}

TEST(DecodingInputsTest, FieldsShareTheirArrays) {
  Inputs in;
  in.inputs.inputIds()->setValue(0, 7);
  EXPECT_EQ((*in.ids)[0], 7.0);
  auto other = MLMultiArray::make({1}, MLMultiArrayDataType::int32);
  in.inputs.setInputIds(other);
  EXPECT_EQ(in.inputs.inputIds(), other);
}

TEST(DecodingFallbackTest, RulesInOrder) {
  DecodingOptions options;  // thresholds 2.4, -1.0, -1.5 (first token), 0.6 (no speech)
  struct Case {
    bool firstTooLow;
    float noSpeech, compression, avgLogProb;
    std::optional<DecodingFallback> expected;
  };
  const float nan = std::nanf("");
  for (const Case& c : {
           Case{true, 0.9f, 3.0f, -2.0f, DecodingFallback{true, "firstTokenLogProbThreshold"}},
           Case{false, 0.9f, 3.0f, -2.0f, DecodingFallback{false, "silence"}},
           Case{false, 0.6f, 3.0f, -2.0f, DecodingFallback{true, "compressionRatioThreshold"}},
           Case{false, 0.1f, 2.4f, -2.0f, DecodingFallback{true, "logProbThreshold"}},
           Case{false, 0.1f, 2.4f, -1.0f, std::nullopt},  // equal to the thresholds passes
           Case{false, nan, nan, nan, std::nullopt},
       })
    EXPECT_EQ(DecodingFallback::make(options, c.firstTooLow, c.noSpeech, c.compression, c.avgLogProb), c.expected)
        << c.noSpeech << " " << c.compression << " " << c.avgLogProb;

  options.noSpeechThreshold.reset();
  options.compressionRatioThreshold.reset();
  options.logProbThreshold.reset();
  EXPECT_EQ(DecodingFallback::make(options, false, 1.0f, 100.0f, -100.0f), std::nullopt);
}

TEST(DecodingResultTest, EmptyResults) {
  const auto r = DecodingResult::emptyResults();
  EXPECT_TRUE(r.language.empty() && r.text.empty() && r.tokens.empty() && r.tokenLogProbs.empty());
  EXPECT_EQ(r.avgLogProb, 0.0f);
  EXPECT_FALSE(r.cache || r.timings || r.fallback);
}

}  // namespace
}  // namespace murmel

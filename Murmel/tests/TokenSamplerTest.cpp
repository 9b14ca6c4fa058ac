#include "Murmel/decoding/TokenSampler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "Murmel/common/WhisperError.h"

namespace murmel {
namespace {

using platform::ml::Float16;
using platform::ml::MLMultiArray;
using platform::ml::MLMultiArrayDataType;

std::shared_ptr<MLMultiArray> logitsOf(const std::vector<float>& values) {
  auto logits = MLMultiArray::make({1, 1, static_cast<std::int64_t>(values.size())}, MLMultiArrayDataType::float16);
  logits->assignFloats(values);
  return logits;
}

DecodingOptions withTopK(std::int64_t k) {
  DecodingOptions o;
  o.topK = k;
  return o;
}

constexpr float kInf = std::numeric_limits<float>::infinity();

TEST(GreedyTokenSamplerTest, ZeroTemperatureTakesTheLowestOfEqualMaxima) {
  GreedyTokenSampler sampler(Float16(0), 9, withTopK(5));
  auto result = sampler.update({7}, logitsOf({1, 3, 3, 2}), {0.0f});
  EXPECT_EQ(result.tokens, (std::vector<std::int64_t>{7, 1}));
  const double expected = 3 - std::log(std::exp(1.0) + 2 * std::exp(3.0) + std::exp(2.0));
  ASSERT_EQ(result.logProbs.size(), 2u);
  EXPECT_NEAR(result.logProbs[1], expected, 1e-5);
  EXPECT_FALSE(result.completed);
  // Negative zero is zero; the end token completes.
  GreedyTokenSampler negativeZero(Float16(-0.0f), 3, withTopK(5));
  auto end = negativeZero.update({}, logitsOf({0, 0, -kInf, 4}), {});
  EXPECT_EQ(end.tokens, (std::vector<std::int64_t>{3}));
  EXPECT_TRUE(end.completed);
}

TEST(GreedyTokenSamplerTest, DrawsFromTopKOfTheScaledSoftmax) {
  // Temperature 0.5 doubles the logits: [0, ln 3 / 2] becomes [0, ln 3], i.e. 1/4 and 3/4.
  const float half = static_cast<float>(std::log(3.0) / 2);
  GreedyTokenSampler sampler(Float16(0.5f), 99, withTopK(2), 12345);
  int ones = 0;
  const int draws = 4000;
  for (int i = 0; i < draws; ++i) {
    auto r = sampler.update({}, logitsOf({0, half, -kInf, -kInf}), {});
    ASSERT_LE(r.tokens[0], 1);
    if (r.tokens[0] == 1) {
      ++ones;
      EXPECT_NEAR(r.logProbs[0], std::log(0.75), 2e-3);
    } else {
      EXPECT_NEAR(r.logProbs[0], std::log(0.25), 2e-3);
    }
  }
  EXPECT_NEAR(static_cast<double>(ones) / draws, 0.75, 0.03);
}

TEST(GreedyTokenSamplerTest, TopKIsClampedToTheVocabulary) {
  struct Case {
    std::int64_t topK;
    bool alwaysArgMax;
  } cases[] = {{1, true}, {0, true}, {-5, true}, {1000000, false}};
  for (const auto& c : cases) {
    GreedyTokenSampler sampler(Float16(1.0f), 99, withTopK(c.topK), 7);
    std::set<std::int64_t> seen;
    for (int i = 0; i < 200; ++i) seen.insert(sampler.update({}, logitsOf({0.5f, 1.0f, 0.9f}), {}).tokens[0]);
    if (c.alwaysArgMax) EXPECT_EQ(seen, (std::set<std::int64_t>{1})) << c.topK;
    else EXPECT_EQ(seen.size(), 3u) << c.topK;
  }
}

TEST(GreedyTokenSamplerTest, DamagedLogitsAreADecodingError) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (const auto& values : {std::vector<float>{0, nan, 1}, std::vector<float>{0, kInf, 1}, std::vector<float>{-kInf, -kInf}}) {
    for (float t : {0.0f, 1.0f}) {
      GreedyTokenSampler sampler(Float16(t), 9, withTopK(5), 1);
      try {
        sampler.update({}, logitsOf(values), {});
        ADD_FAILURE() << "no error at temperature " << t;
      } catch (const WhisperError& e) {
        EXPECT_EQ(e.kind(), WhisperError::Kind::decodingFailed);
      }
    }
  }
  EXPECT_THROW(GreedyTokenSampler(Float16(std::numeric_limits<float>::quiet_NaN()), 9, withTopK(5)), WhisperError);
}

TEST(GreedyTokenSamplerTest, FinalizeEndsWithOneEndToken) {
  GreedyTokenSampler sampler(Float16(0), 9, withTopK(5));
  struct Case {
    std::vector<std::int64_t> tokens;
    std::vector<float> logProbs;
    std::vector<std::int64_t> expectedTokens;
    std::vector<float> expectedLogProbs;
  } cases[] = {{{}, {}, {9}, {0}}, {{1, 2}, {-0.5f, -1}, {1, 2, 9}, {-0.5f, -1, 0}}, {{1, 9}, {0, -0.25f}, {1, 9}, {0, -0.25f}}};
  for (const auto& c : cases) {
    auto r = sampler.finalize(c.tokens, c.logProbs);
    EXPECT_EQ(r.tokens, c.expectedTokens);
    EXPECT_EQ(r.logProbs, c.expectedLogProbs);
    EXPECT_TRUE(r.completed);
  }
}

TEST(BeamSearchTokenSamplerTest, KeepsItsParametersAndRefusesWhatItLacks) {
  BeamSearchTokenSampler sampler(5, 9, 1.0f);
  EXPECT_EQ(sampler.maxCandidates, 5);
  EXPECT_TRUE(sampler.finishedSequences.empty());
  EXPECT_THROW(sampler.update({}, logitsOf({1}), {}), std::logic_error);
  EXPECT_THROW(sampler.finalize({}, {}), std::logic_error);
  try {
    BeamSearchTokenSampler(5, 9, 0.1f);
    ADD_FAILURE() << "accepted 5 x 0.1";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "Invalid beam size 5 or patience 0.1");
  }
  EXPECT_THROW(BeamSearchTokenSampler(5, 9, std::numeric_limits<float>::quiet_NaN()), std::invalid_argument);
}

}  // namespace
}  // namespace murmel

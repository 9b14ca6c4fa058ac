// The real runtime at a real model width (past its threading thresholds): the token loop's cached
// decoding must pick, token for token, what a replay from an empty cache picks at each position.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "Murmel/decoding/TextDecoder.h"
#include "Murmel/tests/FakeTokenizer.h"
#include "platform/ML/ModelFolders.h"
#include "platform/ML/tests/DecoderSession.h"
#include "testsupport/Fixtures.h"

namespace murmel {
namespace {

using platform::ml::Float16;
using platform::ml::MLMultiArray;
using platform::ml::MLMultiArrayDataType;

// Keeps a copy of every step's logits as the model gave them (it runs first).
class RecordingFilter : public LogitsFiltering {
 public:
  LogitsRef filterLogits(const LogitsRef& logits, const std::vector<std::int64_t>&) const override {
    steps.push_back(logits->toFloats());
    return logits;
  }
  mutable std::vector<std::vector<float>> steps;
};

// Forbids every token already in the sequence, so that a random model, which tends to echo its
// input, keeps producing new tokens.
class NoRepeatFilter : public LogitsFiltering {
 public:
  LogitsRef filterLogits(const LogitsRef& logits, const std::vector<std::int64_t>& tokens) const override {
    for (auto t : tokens) logits->setValue(t, -std::numeric_limits<float>::infinity());
    return logits;
  }
};

TEST(DecoderExactnessTest, CachedLoopEqualsReplayFromAnEmptyCacheAtRealWidth) {
  platform::ml::WhisperDimensions dims;
  dims.nMels = 80;
  dims.nAudioCtx = 1500;
  dims.nAudioState = dims.nTextState = 384;
  dims.nAudioHead = dims.nTextHead = 6;
  dims.nAudioLayer = dims.nTextLayer = 1;
  dims.nVocab = 51865;
  dims.nTextCtx = 448;
  dims.nFf = 1536;
  dims.kvCacheLength = 224;
  testsupport::TempDir dir;
  platform::ml::writeModelFolders(dir.path(), dims, platform::ml::randomWeights(dims, 11));
  auto model = platform::ml::MLModel::load(dir.path() / "TextDecoder.mlmodelc");

  auto encoderOutput = MLMultiArray::make({1, dims.nAudioState, 1, dims.nAudioCtx}, MLMultiArrayDataType::float16);
  std::mt19937 random(5);
  std::normal_distribution<float> normal;
  for (auto& v : encoderOutput->data<Float16>()) v = static_cast<Float16>(normal(random));

  TextDecoder decoder;
  decoder.setModel(model);
  auto tokenizer = std::make_shared<WhisperTokenizerWrapper>(std::make_shared<testing::FakeTokenizer>(std::map<tokenizers::TokenId, std::string>{}));
  decoder.setTokenizer(tokenizer);
  const auto& special = tokenizer->specialTokens();  // the fallback ids
  auto recorder = std::make_shared<RecordingFilter>();
  decoder.setLogitsFilters(std::vector<std::shared_ptr<LogitsFiltering>>{
      recorder, std::make_shared<NoRepeatFilter>(), std::make_shared<SuppressTokensFilter>(std::vector<std::int64_t>{special.endToken})});

  DecodingOptions options;
  options.withoutTimestamps = true;
  options.sampleLength = 31;  // positions 0 … 30: the prompt's two, then 30 samples
  options.compressionRatioThreshold = std::nullopt;
  auto inputs = decoder.prepareDecoderInputs({special.startOfTranscriptToken});
  decoder.prefillDecoderInputs(*inputs, options);
  GreedyTokenSampler sampler(Float16(0), special.endToken, options);
  const auto result = decoder.decodeText(encoderOutput, *inputs, sampler, options);

  const std::vector<std::int64_t> prompt{special.startOfTranscriptToken, special.noTimestampsToken};
  ASSERT_EQ(result.tokens.size(), prompt.size() + 30 + 1);
  ASSERT_EQ(std::vector<std::int64_t>(result.tokens.begin(), result.tokens.begin() + 2), prompt);
  ASSERT_EQ(recorder->steps.size(), 31u);

  // Step t of the loop saw tokens 0 … t; the replay feeds them to a fresh cache one by one.
  for (std::size_t t = 0; t <= 30; ++t) {
    platform::ml::testing::DecoderSession session(model);
    std::shared_ptr<platform::ml::MLFeatureProvider> out;
    for (std::size_t i = 0; i <= t; ++i) out = session.step(static_cast<int>(result.tokens[i]), encoderOutput);
    const auto logits = out->featureValue("logits")->multiArrayValue()->toFloats();
    ASSERT_EQ(logits, recorder->steps[t]) << "logits of step " << t;
    if (t == 0) continue;  // the prediction after the start token is dropped: the prompt goes on
    std::set<std::int64_t> forbidden(result.tokens.begin(), result.tokens.begin() + static_cast<std::ptrdiff_t>(t) + 1);
    forbidden.insert(special.endToken);
    std::size_t best = 0;
    while (forbidden.count(static_cast<std::int64_t>(best))) ++best;
    for (std::size_t i = 0; i < logits.size(); ++i)
      if (!forbidden.count(static_cast<std::int64_t>(i)) && logits[i] > logits[best]) best = i;
    double normaliser = 0;
    for (std::size_t i = 0; i < logits.size(); ++i)
      if (!forbidden.count(static_cast<std::int64_t>(i))) normaliser += std::exp(static_cast<double>(logits[i] - logits[best]));
    ASSERT_EQ(result.tokens[t + 1], static_cast<std::int64_t>(best)) << "sample after position " << t;
    EXPECT_NEAR(result.tokenLogProbs[t + 1].at(result.tokens[t + 1]), -std::log(normaliser), 1e-3) << "sample after position " << t;
  }
}

}  // namespace
}  // namespace murmel

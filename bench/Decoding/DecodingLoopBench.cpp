// bench_decoding [--smoke]: the token loop of TextDecoder (filters with timestamp rules, greedy
// sampler, cache and mask steps) on a random-weight decoder of base.en size (D = 512, 6 layers,
// 8 heads, V = 51864, S = 224, W = 1500), per token, beside the bare model step over the same
// positions (prediction and cache copy only) in the same run, rounds alternating. --smoke runs one
// short round. The model folders go into a private temporary folder, removed at the end.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "Murmel/decoding/TextDecoder.h"
#include "Tokenizers/Tokenizer.h"
#include "platform/ML/ModelFolders.h"
#include "testsupport/Fixtures.h"

using namespace murmel;
using platform::ml::Float16;
using platform::ml::MLMultiArray;
using platform::ml::MLMultiArrayDataType;
using Clock = std::chrono::steady_clock;

namespace {

double seconds(Clock::time_point from) { return std::chrono::duration<double>(Clock::now() - from).count(); }

// Knows no token text: the special tokens take their usual ids; decoding gives "".
class SilentTokenizer : public tokenizers::Tokenizer {
 public:
  std::vector<std::string> tokenize(std::string_view) const override { return {}; }
  std::vector<tokenizers::TokenId> encode(std::string_view) const override { return {}; }
  std::vector<tokenizers::TokenId> encode(std::string_view, bool) const override { return {}; }
  using tokenizers::Tokenizer::decode;
  std::string decode(const std::vector<tokenizers::TokenId>&, bool) const override { return {}; }
  std::optional<tokenizers::TokenId> convertTokenToId(std::string_view) const override { return std::nullopt; }
  std::optional<std::string> convertIdToToken(tokenizers::TokenId) const override { return std::nullopt; }
  std::optional<std::string> bosToken() const override { return std::nullopt; }
  std::optional<tokenizers::TokenId> bosTokenId() const override { return std::nullopt; }
  std::optional<std::string> eosToken() const override { return std::nullopt; }
  std::optional<tokenizers::TokenId> eosTokenId() const override { return std::nullopt; }
  std::optional<std::string> unknownToken() const override { return std::nullopt; }
  std::optional<tokenizers::TokenId> unknownTokenId() const override { return std::nullopt; }
};

// Bare steps at positions 0 ..< n: the model call and the cache copy, nothing else.
double bareSteps(TextDecoder& decoder, const std::shared_ptr<MLMultiArray>& encoderOutput, std::int64_t n) {
  auto inputs = decoder.prepareDecoderInputs({50258});
  const auto start = Clock::now();
  for (std::int64_t t = 0; t < n; ++t) {
    inputs->inputIds()->setValue(0, 50258);
    inputs->cacheLength()->setValue(0, static_cast<double>(t));
    auto out = decoder.predictLogits({inputs->inputIds(), inputs->cacheLength(), inputs->keyCache(), inputs->valueCache(),
                                      inputs->kvCacheUpdateMask(), encoderOutput, inputs->decoderKeyPaddingMask()});
    TextDecoding::updateKVCache(*inputs->keyCache(), *out->cache->keyCache, *inputs->valueCache(), *out->cache->valueCache, t);
    inputs->decoderKeyPaddingMask()->setValue(t + 1, 0);
    inputs->kvCacheUpdateMask()->setValue(t, 0);
    inputs->kvCacheUpdateMask()->setValue(t + 1, 1);
  }
  return seconds(start);
}

}  // namespace

int main(int argc, char** argv) {
  const bool smoke = argc > 1 && std::strcmp(argv[1], "--smoke") == 0;
  platform::ml::WhisperDimensions dims;  // base.en
  dims.nVocab = 51864;
  dims.nAudioLayer = 1;  // the encoder is not run; keep its folder small
  testsupport::TempDir dir;
  platform::ml::writeModelFolders(dir.path(), dims, platform::ml::randomWeights(dims, 3));

  TextDecoder decoder;
  decoder.setModel(platform::ml::MLModel::load(dir.path() / "TextDecoder.mlmodelc"));
  decoder.setTokenizer(std::make_shared<WhisperTokenizerWrapper>(std::make_shared<SilentTokenizer>()));
  const auto& special = decoder.tokenizer()->specialTokens();

  auto encoderOutput = MLMultiArray::make({1, dims.nAudioState, 1, dims.nAudioCtx}, MLMultiArrayDataType::float16);
  std::mt19937 random(1);
  std::normal_distribution<float> normal;
  for (auto& v : encoderOutput->data<Float16>()) v = static_cast<Float16>(normal(random));

  bareSteps(decoder, encoderOutput, 2);  // the cross-attention cache of this encoder output is built once

  DecodingOptions options;  // timestamps on: the timestamp rules run every step
  options.sampleLength = smoke ? 8 : 224;
  const int rounds = smoke ? 1 : 5;
  double loopSeconds = 0, loopPredictionSeconds = 0, bareSeconds = 0, filtering = 0, sampling = 0, caching = 0;
  double loopTokens = 0;
  std::int64_t bareTokens = 0;
  for (int round = 0; round < rounds; ++round) {
    auto inputs = decoder.prepareDecoderInputs({special.startOfTranscriptToken});
    decoder.prefillDecoderInputs(*inputs, options);
    GreedyTokenSampler sampler(Float16(0), special.endToken, options);
    const auto start = Clock::now();
    const auto result = decoder.decodeText(encoderOutput, *inputs, sampler, options);
    loopSeconds += seconds(start);
    loopTokens += result.timings->totalDecodingLoops;
    loopPredictionSeconds += result.timings->decodingPredictions;
    filtering += result.timings->decodingFiltering;
    sampling += result.timings->decodingSampling;
    caching += result.timings->decodingKvCaching;
    const auto n = static_cast<std::int64_t>(result.timings->totalDecodingLoops);
    bareSeconds += bareSteps(decoder, encoderOutput, n);
    bareTokens += n;
  }
  const double perToken = loopSeconds / loopTokens * 1000;
  const double barePerToken = bareSeconds / static_cast<double>(bareTokens) * 1000;
  std::printf("token loop:        %.3f ms per token (%.0f tokens in %d windows)\n", perToken, loopTokens, rounds);
  std::printf("  its model calls: %.3f ms per token\n", loopPredictionSeconds / loopTokens * 1000);
  std::printf("  filters %.3f, sampler %.3f, cache step %.3f ms per token\n", filtering / loopTokens * 1000,
              sampling / loopTokens * 1000, caching / loopTokens * 1000);
  std::printf("bare model step:   %.3f ms per token (%lld tokens)\n", barePerToken, static_cast<long long>(bareTokens));
  std::printf("loop / bare step:  %.3f\n", perToken / barePerToken);
  return 0;
}

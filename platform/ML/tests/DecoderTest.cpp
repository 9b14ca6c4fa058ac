#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <thread>

#include "platform/ML/tests/DecoderSession.h"
#include "platform/ML/tests/InstructionSets.h"
#include "platform/ML/tests/TinyModel.h"

namespace platform::ml::testing {
namespace {

using Vec = std::vector<double>;

// A plain full forward pass over a whole token sequence (causal self-attention), in double,
// written from the architecture rather than from the kernel: the reference for cached decoding.
struct ReferenceDecoder {
  const WeightMap& w;
  WhisperDimensions d;
  std::vector<std::pair<int, int>> alignmentHeads;

  const std::vector<float>& t(const std::string& name) const { return w.at(name).data; }

  Vec norm(const Vec& x, const std::string& name) const {
    double mean = 0, var = 0;
    for (double v : x) mean += v;
    mean /= static_cast<double>(x.size());
    for (double v : x) var += (v - mean) * (v - mean);
    var /= static_cast<double>(x.size());
    Vec y(x.size());
    for (std::size_t i = 0; i < x.size(); ++i)
      y[i] = (x[i] - mean) / std::sqrt(var + 1e-5) * t(name + ".weight")[i] + t(name + ".bias")[i];
    return y;
  }
  Vec proj(const Vec& x, const std::string& name, bool bias = true) const {
    const auto& m = t(name + ".weight");
    const std::size_t out = m.size() / x.size();
    Vec y(out, 0.0);
    for (std::size_t o = 0; o < out; ++o) {
      for (std::size_t i = 0; i < x.size(); ++i) y[o] += m[o * x.size() + i] * x[i];
      if (bias) y[o] += t(name + ".bias")[o];
    }
    return y;
  }
  // softmax(q·kᵀ/√dh)·v per head; `weights` receives each head's attention row.
  static Vec attend(const Vec& q, const std::vector<Vec>& keys, const std::vector<Vec>& values, std::size_t heads,
                    std::vector<Vec>* weights = nullptr) {
    const std::size_t dh = q.size() / heads;
    Vec out(q.size(), 0.0);
    for (std::size_t h = 0; h < heads; ++h) {
      Vec s(keys.size());
      double top = -1e300;
      for (std::size_t j = 0; j < keys.size(); ++j) {
        s[j] = 0;
        for (std::size_t r = 0; r < dh; ++r) s[j] += q[h * dh + r] * keys[j][h * dh + r];
        s[j] /= std::sqrt(static_cast<double>(dh));
        top = std::max(top, s[j]);
      }
      double sum = 0;
      for (double& v : s) sum += (v = std::exp(v - top));
      for (double& v : s) v /= sum;
      for (std::size_t j = 0; j < keys.size(); ++j)
        for (std::size_t r = 0; r < dh; ++r) out[h * dh + r] += s[j] * values[j][h * dh + r];
      if (weights) weights->push_back(s);
    }
    return out;
  }

  // Logits for every position of `tokens`, and the alignment row of the last position.
  std::vector<Vec> run(const std::vector<int>& tokens, const std::vector<Vec>& frames, Vec* alignment = nullptr) const {
    const auto D = static_cast<std::size_t>(d.nTextState), H = static_cast<std::size_t>(d.nTextHead);
    std::vector<Vec> x;
    for (std::size_t p = 0; p < tokens.size(); ++p) {
      Vec v(D);
      for (std::size_t i = 0; i < D; ++i)
        v[i] = t("model.decoder.embed_tokens.weight")[static_cast<std::size_t>(tokens[p]) * D + i] +
               t("model.decoder.embed_positions.weight")[p * D + i];
      x.push_back(v);
    }
    if (alignment) alignment->assign(frames.size(), 0.0);
    for (int l = 0; l < d.nTextLayer; ++l) {
      const std::string p = "model.decoder.layers." + std::to_string(l);
      std::vector<Vec> q, k, v;
      for (const auto& xi : x) {
        Vec h = norm(xi, p + ".self_attn_layer_norm");
        q.push_back(proj(h, p + ".self_attn.q_proj"));
        k.push_back(proj(h, p + ".self_attn.k_proj", false));
        v.push_back(proj(h, p + ".self_attn.v_proj"));
      }
      std::vector<Vec> ck, cv;
      for (const auto& f : frames) {
        ck.push_back(proj(f, p + ".encoder_attn.k_proj", false));
        cv.push_back(proj(f, p + ".encoder_attn.v_proj"));
      }
      for (std::size_t i = 0; i < x.size(); ++i) {
        std::vector<Vec> kp(k.begin(), k.begin() + static_cast<std::ptrdiff_t>(i + 1)),
            vp(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(i + 1));
        Vec a = proj(attend(q[i], kp, vp, H), p + ".self_attn.out_proj");
        for (std::size_t j = 0; j < D; ++j) x[i][j] += a[j];
        Vec cq = proj(norm(x[i], p + ".encoder_attn_layer_norm"), p + ".encoder_attn.q_proj");
        std::vector<Vec> heads;
        Vec c = proj(attend(cq, ck, cv, H, &heads), p + ".encoder_attn.out_proj");
        for (std::size_t j = 0; j < D; ++j) x[i][j] += c[j];
        if (alignment && i + 1 == x.size())
          for (auto [al, ah] : alignmentHeads)
            if (al == l)
              for (std::size_t f = 0; f < frames.size(); ++f)
                (*alignment)[f] += heads[static_cast<std::size_t>(ah)][f] / static_cast<double>(alignmentHeads.size());
        Vec m = proj(norm(x[i], p + ".final_layer_norm"), p + ".fc1");
        for (double& z : m) z = 0.5 * z * (1 + std::erf(z / std::sqrt(2.0)));
        m = proj(m, p + ".fc2");
        for (std::size_t j = 0; j < D; ++j) x[i][j] += m[j];
      }
    }
    std::vector<Vec> logits;
    for (const auto& xi : x) {
      Vec h = norm(xi, "model.decoder.layer_norm");
      Vec out(static_cast<std::size_t>(d.nVocab), 0.0);
      for (std::size_t o = 0; o < out.size(); ++o)
        for (std::size_t i = 0; i < D; ++i) out[o] += t("model.decoder.embed_tokens.weight")[o * D + i] * h[i];
      logits.push_back(out);
    }
    return logits;
  }
};

std::shared_ptr<MLMultiArray> randomEncoderOutput(const WhisperDimensions& d, std::uint32_t seed) {
  auto a = MLMultiArray::make({1, d.nAudioState, 1, d.nAudioCtx}, MLMultiArrayDataType::float16);
  std::mt19937 rng(seed);
  std::normal_distribution<float> normal;
  for (std::int64_t i = 0; i < a->count(); ++i) a->setValue(i, normal(rng));
  return a;
}

std::vector<Vec> framesOf(const MLMultiArray& encoderOutput) {
  const std::int64_t D = encoderOutput.shape()[1], W = encoderOutput.shape()[3];
  std::vector<Vec> frames(static_cast<std::size_t>(W), Vec(static_cast<std::size_t>(D)));
  for (std::int64_t c = 0; c < D; ++c)
    for (std::int64_t t = 0; t < W; ++t) frames[static_cast<std::size_t>(t)][static_cast<std::size_t>(c)] = encoderOutput[c * W + t];
  return frames;
}

std::vector<float> floats(const MLFeatureProvider& out, const std::string& name) {
  return out.featureValue(name)->multiArrayValue()->toFloats();
}

// Logits are float16: compare within half precision of their magnitude plus the cache's rounding.
void expectClose(const std::vector<float>& actual, const Vec& expected, const std::string& what) {
  ASSERT_EQ(actual.size(), expected.size()) << what;
  for (std::size_t i = 0; i < actual.size(); ++i)
    ASSERT_NEAR(actual[i], expected[i], 0.02 + 0.004 * std::abs(expected[i])) << what << " index " << i;
}

using CachedDecodingTest = EveryInstructionSet;

TEST_P(CachedDecodingTest, CachedStepsEqualFullForwardPass) {
  TinyModel tiny;
  const auto weights = randomWeights(tiny.dims, 7);
  ReferenceDecoder reference{weights, tiny.dims, {{1, 0}, {1, 3}}};
  auto encoderOutput = randomEncoderOutput(tiny.dims, 3);
  const std::vector<int> tokens{1, 5, 9, 2, 33, 7, 7, 0};  // more than half the cache, repeats included

  Vec alignment;
  const auto expected = reference.run(tokens, framesOf(*encoderOutput), &alignment);
  DecoderSession session(tiny.load("TextDecoder"));
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    auto out = session.step(tokens[i], encoderOutput);
    expectClose(floats(*out, "logits"), expected[i], "logits at position " + std::to_string(i));
    if (i + 1 == tokens.size()) {
      auto weightsOut = floats(*out, "alignment_heads_weights");
      for (std::size_t f = 0; f < alignment.size(); ++f) EXPECT_NEAR(weightsOut[f], alignment[f], 2e-3) << f;
    }
  }
}

PARLET_ON_EVERY_INSTRUCTION_SET(CachedDecodingTest);

TEST(DecoderTest, CrossAttentionIsRecomputedForAnotherOrChangedEncoderOutput) {
  TinyModel tiny;
  auto a = randomEncoderOutput(tiny.dims, 1), b = randomEncoderOutput(tiny.dims, 2);
  auto firstStep = [&](const std::shared_ptr<MLMultiArray>& encoderOutput) {
    DecoderSession fresh(tiny.load("TextDecoder"));
    return floats(*fresh.step(4, encoderOutput), "logits");
  };
  const auto expectedA = firstStep(a), expectedB = firstStep(b);
  ASSERT_NE(expectedA, expectedB);

  auto model = tiny.load("TextDecoder");  // one model, so its cache sees every output in turn
  EXPECT_EQ(floats(*DecoderSession(model).step(4, a), "logits"), expectedA);
  EXPECT_EQ(floats(*DecoderSession(model).step(4, b), "logits"), expectedB);
  EXPECT_EQ(floats(*DecoderSession(model).step(4, a), "logits"), expectedA);

  a->setValue(5, 3.0);  // changed in place: same identity, new generation
  EXPECT_EQ(floats(*DecoderSession(model).step(4, a), "logits"), firstStep(a));
}

TEST(DecoderTest, ConcurrentWindowsOnOneModelDoNotDisturbEachOther) {
  TinyModel tiny;
  auto model = tiny.load("TextDecoder");
  const std::vector<int> tokens{1, 5, 9, 2, 33, 7};
  auto decode = [&](const std::shared_ptr<MLMultiArray>& encoderOutput) {
    DecoderSession session(model);
    std::vector<float> all;
    for (int token : tokens) {
      auto logits = floats(*session.step(token, encoderOutput), "logits");
      all.insert(all.end(), logits.begin(), logits.end());
    }
    return all;
  };
  std::vector<std::shared_ptr<MLMultiArray>> outputs;
  std::vector<std::vector<float>> expected;
  for (std::uint32_t seed = 0; seed < 6; ++seed) {  // more windows than the cross-attention cache keeps
    outputs.push_back(randomEncoderOutput(tiny.dims, 100 + seed));
    expected.push_back(decode(outputs.back()));
  }
  std::vector<std::vector<float>> actual(outputs.size());
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < outputs.size(); ++i) threads.emplace_back([&, i] { actual[i] = decode(outputs[i]); });
  for (auto& t : threads) t.join();
  for (std::size_t i = 0; i < outputs.size(); ++i) EXPECT_EQ(actual[i], expected[i]) << "window " << i;
}

TEST(DecoderTest, EncoderOutputOfAnotherFloatTypeIsConvertedAndFollowsChanges) {
  TinyModel tiny;
  auto half = randomEncoderOutput(tiny.dims, 4);
  auto single = MLMultiArray::make(half->shape(), MLMultiArrayDataType::float32);
  single->assignFloats(half->toFloats());
  auto model = tiny.load("TextDecoder");
  DecoderSession a(model), b(model);
  for (int token : {3, 8, 1}) EXPECT_EQ(floats(*a.step(token, single), "logits"), floats(*b.step(token, half), "logits"));

  single->setValue(7, 2.0);  // same array, new contents: the kept conversion must not be reused
  half->setValue(7, 2.0);
  EXPECT_EQ(floats(*a.step(5, single), "logits"), floats(*b.step(5, half), "logits"));
}

TEST(DecoderTest, PrefilledCachesAreAttendedFromPositionP) {
  TinyModel tiny;
  auto prefill = tiny.load("TextDecoderContextPrefill");
  auto task = MLMultiArray::make({1}, MLMultiArrayDataType::int32);
  auto language = MLMultiArray::make({1}, MLMultiArrayDataType::int32);
  language->setValue(0, 31);
  auto caches = prefill->prediction(MLDictionaryFeatureProvider(
      {{"task", MLFeatureValue(task)}, {"language", MLFeatureValue(language)}}));
  const auto keys = caches->featureValue("key_cache_prefill")->multiArrayValue();
  const auto values = caches->featureValue("value_cache_prefill")->multiArrayValue();
  ASSERT_EQ(keys->shape(), (std::vector<std::int64_t>{1, 32, 1, 3}));

  // The table row of (transcribe, second language) is what the model hands out.
  const auto tables = randomPrefill(tiny.dims, {30, 31}, 3, 8);
  for (std::int64_t i = 0; i < keys->count(); ++i)
    ASSERT_EQ((*keys)[i], static_cast<double>(static_cast<Float16>(tables.keys.data[static_cast<std::size_t>(32 * 3 + i)])));

  auto encoderOutput = randomEncoderOutput(tiny.dims, 3);
  DecoderSession withPrefill(tiny.load("TextDecoder")), without(tiny.load("TextDecoder"));
  withPrefill.prefill(*keys, *values);
  EXPECT_EQ(withPrefill.next, 3);
  const auto a = floats(*withPrefill.step(6, encoderOutput), "logits");
  without.next = 3;  // same position, nothing cached before it
  without.paddingMask->setValue(0, -10000);
  without.updateMask->setValue(0, 0);
  without.paddingMask->setValue(3, 0);
  without.updateMask->setValue(3, 1);
  const auto b = floats(*without.step(6, encoderOutput), "logits");
  EXPECT_NE(a, b);  // the prefilled positions take part in attention

  language->setValue(0, 29);
  EXPECT_THROW(prefill->prediction(MLDictionaryFeatureProvider(
                   {{"task", MLFeatureValue(task)}, {"language", MLFeatureValue(language)}})),
               MLModelError);
}

TEST(DecoderTest, RejectsTokensAndPositionsOutsideTheModel) {
  TinyModel tiny;
  auto encoderOutput = randomEncoderOutput(tiny.dims, 3);
  DecoderSession session(tiny.load("TextDecoder"));
  EXPECT_THROW(session.step(40, encoderOutput), MLModelError);  // vocabulary is 40
  EXPECT_THROW(session.step(-1, encoderOutput), MLModelError);
  session.next = 10;  // cache holds 10 positions
  try {
    session.step(1, encoderOutput);
    FAIL() << "no error";
  } catch (const MLModelError& e) {
    EXPECT_NE(std::string(e.what()).find("cache_length"), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace platform::ml::testing

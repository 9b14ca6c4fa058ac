// Audio encoder: [1, n_mels, 1, 2·W] log-mel => [1, D, 1, W] embeddings.
// conv1 (k 3, pad 1) + GELU, conv2 (k 3, stride 2, pad 1) + GELU, stored positions [W × D],
// pre-norm blocks (self-attention, MLP), final layer norm. Convolutions run as im2col + sgemm;
// attention is fused where that pays (see fusedAttentionPays), else BLAS products per block of rows.
#include <cblas.h>

#include <algorithm>
#include <cmath>

#include "platform/ML/detail/Kernel.h"
#include "platform/ML/detail/Ops.h"
#include "platform/ML/detail/Parallel.h"
#include "platform/ML/detail/Profile.h"
#include "platform/ML/detail/Transformer.h"
#include "platform/ML/detail/Vector.h"

namespace platform::ml::detail {

namespace {

struct EncoderLayer {
  NormWeights attnNorm, mlpNorm;
  AttentionWeights attn;
  MlpWeights mlp;
};

// The rows of channels [begin, end) of im2col for a 3-tap convolution over x[channels × inLen]:
// cols[(c·3 + k) × outLen] for c in [begin, end).
void im2colRows(const float* x, std::size_t begin, std::size_t end, std::size_t inLen, std::size_t stride,
                std::size_t outLen, float* cols) {
  for (std::size_t c = begin; c < end; ++c)
    for (std::size_t k = 0; k < 3; ++k) {
      float* row = &cols[(c * 3 + k) * outLen];
      for (std::size_t t = 0; t < outLen; ++t) {
        const std::ptrdiff_t i = static_cast<std::ptrdiff_t>(t * stride + k) - 1;
        row[t] = (i < 0 || i >= static_cast<std::ptrdiff_t>(inLen)) ? 0.0f : x[c * inLen + static_cast<std::size_t>(i)];
      }
    }
}

class EncoderKernel : public Kernel {
 public:
  explicit EncoderKernel(const ModelManifest& manifest) : description_(manifest.description) {
    nMels_ = manifest.hyper("n_mels");
    ctx_ = manifest.hyper("n_audio_ctx");
    d_ = manifest.hyper("n_audio_state");
    heads_ = manifest.hyper("n_audio_head");
    const std::int64_t layers = manifest.hyper("n_audio_layer");
    if (d_ == 0 || heads_ == 0 || d_ % heads_ || ctx_ == 0 || nMels_ == 0)
      manifest.fail("n_audio_state must be a positive multiple of n_audio_head, n_audio_ctx and n_mels positive");
    manifest.requireFeature(true, "melspectrogram_features", {1, nMels_, 1, 2 * ctx_});
    manifest.requireFeature(false, "encoder_output_embeds", {1, d_, 1, ctx_});

    Weights w = Weights::load(manifest.folder / "weights.safetensors");
    if (const auto stored = w.layerCount("model.encoder.layers"); stored != layers)
      manifest.fail("n_audio_layer is " + std::to_string(layers) + ", the weights hold " + std::to_string(stored) + " layers");
    conv1W_ = w.take("model.encoder.conv1.weight", {d_, nMels_, 3});
    conv1B_ = w.take("model.encoder.conv1.bias", {d_});
    conv2W_ = w.takeHalves("model.encoder.conv2.weight", {d_, d_, 3});
    conv2B_ = w.take("model.encoder.conv2.bias", {d_});
    layers_.resize(static_cast<std::size_t>(layers));
    for (std::int64_t i = 0; i < layers; ++i) {
      const std::string p = "model.encoder.layers." + std::to_string(i);
      auto& l = layers_[static_cast<std::size_t>(i)];
      l.attnNorm.load(w, p + ".self_attn_layer_norm", d_);
      l.attn.load(w, p + ".self_attn", d_);
      l.mlpNorm.load(w, p + ".final_layer_norm", d_);
      l.mlp.load(w, p, d_);
    }
    finalNorm_.load(w, "model.encoder.layer_norm", d_);
    // The checkpoint's own table: what the model was trained with, whatever formula made it.
    positions_ = w.takeHalves("model.encoder.embed_positions.weight", {ctx_, d_});
    w.requireAllTaken();
  }

  // Thirteen loops of the thread pool in all: the first convolution, then two per layer, each
  // carrying its rows through every step that needs only those rows. Half-precision weights are
  // widened by the loop before the one that uses them.
  ArrayMap predict(const ArrayMap& inputs) const override {
    const auto T = static_cast<std::size_t>(ctx_), D = static_cast<std::size_t>(d_), M = static_cast<std::size_t>(nMels_);
    std::size_t F = 0;
    for (const auto& l : layers_) F = std::max(F, static_cast<std::size_t>(l.mlp.ff));
    FloatBuffer mel(M * 2 * T);
    readFloats(*inputs.at("melspectrogram_features"), 0, static_cast<std::int64_t>(mel.size()), mel.data());
    Activations s{.x = FloatBuffer(T * D), .h = FloatBuffer(T * D), .qkv = FloatBuffer(T * 3 * D),
                  .keysT = FloatBuffer(fusedAttentionPays() ? D * T : 0), .a = FloatBuffer(T * D),
                  .mid = FloatBuffer(T * F), .out = FloatBuffer(D * T),
                  .conv2 = FloatBuffer(3 * D * D), .positions = FloatBuffer(T * D), .inputs = FloatBuffer(3 * D * D),
                  .tail = FloatBuffer(D * D + 2 * F * D)};

    // conv1: [D × 2T] = W1[D × 3M] · cols[3M × 2T], + bias, GELU; then conv2's columns [3D × T].
    FloatBuffer melCols(3 * M * 2 * T);
    {
      ProfileScope scope(Operation::convolutions);
      im2colRows(mel.data(), 0, M, 2 * T, 1, 2 * T, melCols.data());
    }
    FloatBuffer h1(D * 2 * T), cols(3 * D * T);
    const auto inputsOf = [&](std::size_t layer) {  // widened into s.inputs by the loop before the layer's first
      return layer < layers_.size() ? Widening{layers_[layer].attn.qkvW.data(), s.inputs.data(), 3 * D * D}
                                    : Widening{nullptr, nullptr, 0};
    };
    const Widening convWeights[] = {{conv2W_.data(), s.conv2.data(), conv2W_.size()},
                                    {positions_.data(), s.positions.data(), positions_.size()},
                                    inputsOf(0)};
    forRowBlocks(D, convWeights, [&](std::size_t begin, std::size_t end) {
      {
        ProfileScope scope(Operation::convolutions);
        gemmSerial(false, end - begin, 2 * T, 3 * M, conv1W_.data() + begin * 3 * M, 3 * M, melCols.data(), 2 * T,
                   h1.data() + begin * 2 * T, 2 * T);
      }
      for (std::size_t c = begin; c < end; ++c) {
        float* row = &h1[c * 2 * T];
        for (std::size_t t = 0; t < 2 * T; ++t) row[t] += conv1B_[c];
        geluInPlace(row, 2 * T);
      }
      ProfileScope scope(Operation::convolutions);
      im2colRows(h1.data(), begin, end, 2 * T, 2, T, cols.data());
    });

    for (std::size_t li = 0; li < layers_.size(); ++li) {
      const auto& l = layers_[li];
      const Widening tailWeights[] = {{l.attn.oW.data(), s.tail.data(), D * D},
                                      {l.mlp.w1.data(), s.tail.data() + D * D, l.mlp.w1.size()},
                                      {l.mlp.w2.data(), s.tail.data() + D * D + l.mlp.w1.size(), l.mlp.w2.size()}};
      forRowBlocks(T, tailWeights, [&](std::size_t begin, std::size_t end) {
        if (li == 0) conv2Rows(cols.data(), begin, end, s);
        inputProjectionRows(l, begin, end, s);
      });
      const Widening nextInputs[] = {inputsOf(li + 1)};
      forRowBlocks(T, nextInputs, [&](std::size_t begin, std::size_t end) {
        attentionAndMlpRows(l, begin, end, s);
        if (li + 1 == layers_.size()) finalRows(begin, end, s);
      });
    }
    if (layers_.empty())
      forRowBlocks(T, [&](std::size_t begin, std::size_t end) {
        conv2Rows(cols.data(), begin, end, s);
        finalRows(begin, end, s);
      });

    auto out = makeOutput(description_, "encoder_output_embeds");
    writeFloats(*out, 0, s.out.data(), static_cast<std::int64_t>(s.out.size()));
    return {{"encoder_output_embeds", out}};
  }

 private:
  // A prediction's buffers: activations [T × width] by rows, and the widened weights.
  struct Activations {
    FloatBuffer x, h, qkv, keysT, a, mid, out;  // out is [D × T]
    FloatBuffer conv2, positions, inputs, tail;  // tail: out_proj, fc1, fc2 of the layer running
  };

  // Rows [begin, end) of conv2 (stride 2) from its columns [3D × T], + bias, GELU and positions: x = colsᵀ · W2ᵀ.
  void conv2Rows(const float* cols, std::size_t begin, std::size_t end, Activations& s) const {
    const auto T = static_cast<std::size_t>(ctx_), D = static_cast<std::size_t>(d_);
    {
      ProfileScope scope(Operation::convolutions);
      cblas_sgemm(CblasRowMajor, CblasTrans, CblasTrans, static_cast<blasint>(end - begin), static_cast<blasint>(D),
                  static_cast<blasint>(3 * D), 1.0f, cols + begin, static_cast<blasint>(T), s.conv2.data(),
                  static_cast<blasint>(3 * D), 0.0f, &s.x[begin * D], static_cast<blasint>(D));
    }
    for (std::size_t t = begin; t < end; ++t) {
      float* row = &s.x[t * D];
      for (std::size_t c = 0; c < D; ++c) row[c] += conv2B_[c];
      geluInPlace(row, D);
      for (std::size_t c = 0; c < D; ++c) row[c] += s.positions[t * D + c];
    }
  }

  // Layer norm and the stacked query, key and value projections of rows [begin, end); the keys
  // also transposed into keysT [D × T] for the fused attention.
  void inputProjectionRows(const EncoderLayer& l, std::size_t begin, std::size_t end, Activations& s) const {
    const auto T = static_cast<std::size_t>(ctx_), D = static_cast<std::size_t>(d_), rows = end - begin;
    layerNorm(&s.x[begin * D], rows, D, l.attnNorm.gamma.data(), l.attnNorm.beta.data(), &s.h[begin * D]);
    projectRows(&s.h[begin * D], rows, D, s.inputs.data(), l.attn.qkvB.data(), 3 * D, &s.qkv[begin * 3 * D], false);
    if (!fusedAttentionPays()) return;
    ProfileScope scope(Operation::attention);
    for (std::size_t c = 0; c < D; ++c)
      for (std::size_t t = begin; t < end; ++t) s.keysT[c * T + t] = s.qkv[t * 3 * D + D + c];
  }

  // Self-attention of query rows [begin, end) over every frame, the output projection and the MLP,
  // each added to the rows of x.
  void attentionAndMlpRows(const EncoderLayer& l, std::size_t begin, std::size_t end, Activations& s) const {
    const auto D = static_cast<std::size_t>(d_), F = static_cast<std::size_t>(l.mlp.ff), rows = end - begin;
    attentionRows(begin, end, s);
    const float* oW = s.tail.data();
    const float* w1 = oW + D * D;
    const float* w2 = w1 + F * D;
    projectRows(&s.a[begin * D], rows, D, oW, l.attn.oB.data(), D, &s.x[begin * D], true);
    layerNorm(&s.x[begin * D], rows, D, l.mlpNorm.gamma.data(), l.mlpNorm.beta.data(), &s.h[begin * D]);
    float* mid = &s.mid[begin * F];
    projectRows(&s.h[begin * D], rows, D, w1, l.mlp.b1.data(), F, mid, false);
    geluInPlace(mid, rows * F);
    projectRows(mid, rows, F, w2, l.mlp.b2.data(), D, &s.x[begin * D], true);
  }

  // The final layer norm of rows [begin, end), written transposed into out [D × T].
  void finalRows(std::size_t begin, std::size_t end, Activations& s) const {
    const auto T = static_cast<std::size_t>(ctx_), D = static_cast<std::size_t>(d_);
    layerNorm(&s.x[begin * D], end - begin, D, finalNorm_.gamma.data(), finalNorm_.beta.data(), &s.h[begin * D]);
    for (std::size_t c = 0; c < D; ++c)
      for (std::size_t t = begin; t < end; ++t) s.out[c * T + t] = s.h[t * D + c];
  }

  // y[rows × out] (+)= x[rows × in] · Wᵀ + b on the calling thread.
  static void projectRows(const float* x, std::size_t rows, std::size_t in, const float* w, const float* b,
                          std::size_t out, float* y, bool accumulate) {
    ProfileScope scope(Operation::projections);
    gemmSerial(true, rows, out, in, x, in, w, in, y, out, accumulate ? 1.0f : 0.0f);
    for (std::size_t r = 0; r < rows; ++r)
      for (std::size_t j = 0; j < out; ++j) y[r * out + j] += b[j];
  }

  // Multi-head self-attention of query rows [begin, end) into a. Fused where that pays: scores,
  // weights and output made block by block of keys; else BLAS products per head and block of 64
  // rows, with the block's scores [64 × T] held at once.
  void attentionRows(std::size_t begin, std::size_t end, Activations& s) const {
    const auto T = static_cast<std::size_t>(ctx_), D = static_cast<std::size_t>(d_), H = static_cast<std::size_t>(heads_);
    const std::size_t dh = D / H, ld = 3 * D;
    const float scale = 1.0f / std::sqrt(static_cast<float>(dh));
    const float *q = s.qkv.data(), *k = q + D, *v = q + 2 * D;
    if (fusedAttentionPays()) {
      ProfileScope scope(Operation::attention);  // softmax included: it is fused
      for (std::size_t head = 0; head < H; ++head)
        detail::attentionRows(q + begin * ld + head * dh, ld, end - begin, s.keysT.data() + head * dh * T, T,
                              v + head * dh, ld, T, dh, scale, &s.a[begin * D + head * dh], D);
      return;
    }
    constexpr std::size_t kBlock = 64;
    thread_local std::vector<float> scores;  // reused: a fresh block per call would page-fault each time
    scores.resize(kBlock * T);
    for (std::size_t head = 0; head < H; ++head)
      for (std::size_t first = begin; first < end; first += kBlock) {
        const std::size_t rows = std::min(kBlock, end - first);
        {
          ProfileScope scope(Operation::attention);
          gemmSerial(true, rows, T, dh, q + first * ld + head * dh, ld, k + head * dh, ld, scores.data(), T);
        }
        {
          ProfileScope scope(Operation::softmax);
          for (std::size_t r = 0; r < rows; ++r) softmaxScaled(&scores[r * T], T, scale);
        }
        ProfileScope scope(Operation::attention);
        gemmSerial(false, rows, dh, T, scores.data(), T, v + head * dh, ld, &s.a[first * D + head * dh], D);
      }
  }

  MLModelDescription description_;
  std::int64_t nMels_ = 0, ctx_ = 0, d_ = 0, heads_ = 0;
  std::vector<float> conv1W_, conv1B_, conv2B_;
  HalfWeights conv2W_, positions_;  // half precision, widened when used
  std::vector<EncoderLayer> layers_;
  NormWeights finalNorm_;
};

}  // namespace

std::unique_ptr<Kernel> makeEncoderKernel(const ModelManifest& manifest) { return std::make_unique<EncoderKernel>(manifest); }

}  // namespace platform::ml::detail

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

// cols[(c·3 + k) × outLen] for a 3-tap convolution over x[channels × inLen].
FloatBuffer im2col(const float* x, std::size_t channels, std::size_t inLen, std::size_t stride, std::size_t outLen) {
  FloatBuffer cols(channels * 3 * outLen);
  for (std::size_t c = 0; c < channels; ++c)
    for (std::size_t k = 0; k < 3; ++k) {
      float* row = &cols[(c * 3 + k) * outLen];
      for (std::size_t t = 0; t < outLen; ++t) {
        const std::ptrdiff_t i = static_cast<std::ptrdiff_t>(t * stride + k) - 1;
        row[t] = (i < 0 || i >= static_cast<std::ptrdiff_t>(inLen)) ? 0.0f : x[c * inLen + static_cast<std::size_t>(i)];
      }
    }
  return cols;
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

  ArrayMap predict(const ArrayMap& inputs) const override {
    const auto T = static_cast<std::size_t>(ctx_), D = static_cast<std::size_t>(d_), M = static_cast<std::size_t>(nMels_);
    FloatBuffer mel(M * 2 * T);
    // Half-precision weights are widened here one matrix at a time, just before their product.
    std::size_t widest = std::max(T, 3 * D) * D;
    for (const auto& l : layers_) widest = std::max(widest, static_cast<std::size_t>(l.mlp.ff) * D);
    FloatBuffer wide(widest);
    readFloats(*inputs.at("melspectrogram_features"), 0, static_cast<std::int64_t>(mel.size()), mel.data());

    // conv1: [D × 2T] = W1[D × 3M] · cols[3M × 2T]
    FloatBuffer h1(D * 2 * T);
    {
      const auto cols = [&] {
        ProfileScope scope(Operation::convolutions);
        return im2col(mel.data(), M, 2 * T, 1, 2 * T);
      }();
      forRowBlocks(D, [&](std::size_t begin, std::size_t end) {
        ProfileScope scope(Operation::convolutions);
        gemmSerial(false, end - begin, 2 * T, 3 * M, conv1W_.data() + begin * 3 * M, 3 * M, cols.data(), 2 * T,
                   h1.data() + begin * 2 * T, 2 * T);
      });
      parallelFor(D, [&](std::size_t c) {
        float* row = &h1[c * 2 * T];
        for (std::size_t t = 0; t < 2 * T; ++t) row[t] += conv1B_[c];
        geluInPlace(row, 2 * T);
      });
    }
    // conv2 with stride 2, computed transposed so the result is [T × D]: x = colsᵀ · W2ᵀ
    FloatBuffer x(T * D);
    {
      const auto cols = [&] {  // [3D × T]
        ProfileScope scope(Operation::convolutions);
        return im2col(h1.data(), D, 2 * T, 2, T);
      }();
      FloatBuffer positions(T * D);
      widen(conv2W_.data(), wide.data(), conv2W_.size());
      widen(positions_.data(), positions.data(), positions.size());
      forRowBlocks(T, [&](std::size_t begin, std::size_t end) {
        {
          ProfileScope scope(Operation::convolutions);
          cblasTransposedGemm(cols.data() + begin, T, end - begin, 3 * D, wide.data(), D, x.data() + begin * D);
        }
        for (std::size_t t = begin; t < end; ++t) {
          float* row = &x[t * D];
          for (std::size_t c = 0; c < D; ++c) row[c] += conv2B_[c];
          geluInPlace(row, D);
          for (std::size_t c = 0; c < D; ++c) row[c] += positions[t * D + c];
        }
      });
    }

    FloatBuffer h(T * D), qkv(T * 3 * D), a(T * D), keysT(fusedAttentionPays() ? D * T : 0), mid;
    for (const auto& l : layers_) {
      forRowBlocks(T, [&](std::size_t begin, std::size_t end) {
        layerNorm(&x[begin * D], end - begin, D, l.attnNorm.gamma.data(), l.attnNorm.beta.data(), &h[begin * D]);
      });
      linear(h.data(), T, D, l.attn.qkvW.data(), l.attn.qkvB.data(), 3 * D, qkv.data(), wide.data());
      if (fusedAttentionPays()) {
        transposeKeys(qkv.data() + D, 3 * D, keysT.data());
        fusedAttention(qkv.data(), keysT.data(), qkv.data() + 2 * D, 3 * D, a.data());
      } else {
        attention(qkv.data(), qkv.data() + D, qkv.data() + 2 * D, 3 * D, a.data());
      }
      linear(a.data(), T, D, l.attn.oW.data(), l.attn.oB.data(), D, x.data(), wide.data(), true);

      forRowBlocks(T, [&](std::size_t begin, std::size_t end) {
        layerNorm(&x[begin * D], end - begin, D, l.mlpNorm.gamma.data(), l.mlpNorm.beta.data(), &h[begin * D]);
      });
      const auto F = static_cast<std::size_t>(l.mlp.ff);
      mid.resize(T * F);
      linear(h.data(), T, D, l.mlp.w1.data(), l.mlp.b1.data(), F, mid.data(), wide.data(), false,
             [&](float* rows, std::size_t count) { geluInPlace(rows, count * F); });
      linear(mid.data(), T, F, l.mlp.w2.data(), l.mlp.b2.data(), D, x.data(), wide.data(), true);
    }
    forRowBlocks(T, [&](std::size_t begin, std::size_t end) {
      layerNorm(&x[begin * D], end - begin, D, finalNorm_.gamma.data(), finalNorm_.beta.data(), &h[begin * D]);
    });

    // [T × D] => [1, D, 1, T]
    FloatBuffer transposed(D * T);
    forRowBlocks(D, [&](std::size_t begin, std::size_t end) {
      for (std::size_t t = 0; t < T; ++t)
        for (std::size_t c = begin; c < end; ++c) transposed[c * T + t] = h[t * D + c];
    });
    auto out = makeOutput(description_, "encoder_output_embeds");
    writeFloats(*out, 0, transposed.data(), static_cast<std::int64_t>(transposed.size()));
    return {{"encoder_output_embeds", out}};
  }

 private:
  // out[rows × D] = colsᵀ[rows × K] · Wᵀ[K × D], with cols [K × T] (leading dimension T) and W [D × K].
  static void cblasTransposedGemm(const float* cols, std::size_t T, std::size_t rows, std::size_t K, const float* w,
                                  std::size_t D, float* out) {
    cblas_sgemm(CblasRowMajor, CblasTrans, CblasTrans, static_cast<blasint>(rows), static_cast<blasint>(D),
                static_cast<blasint>(K), 1.0f, cols, static_cast<blasint>(T), w, static_cast<blasint>(K), 0.0f, out,
                static_cast<blasint>(D));
  }

  // Multi-head self-attention by BLAS products: q, k, v are [T × D] rows `ld` apart, out is
  // [T × D]. Tasks are (head, block of 64 query rows) with the block's scores [64 × T] held at once.
  void attention(const float* q, const float* k, const float* v, std::size_t ld, float* out) const {
    const auto T = static_cast<std::size_t>(ctx_), D = static_cast<std::size_t>(d_), H = static_cast<std::size_t>(heads_);
    const std::size_t dh = D / H, block = 64, blocks = (T + block - 1) / block;
    const float scale = 1.0f / std::sqrt(static_cast<float>(dh));
    parallelFor(H * blocks, [&](std::size_t task) {
      const std::size_t head = task / blocks, begin = (task % blocks) * block, rows = std::min(block, T - begin);
      thread_local std::vector<float> scores;  // reused: a fresh block per task would page-fault each time
      scores.resize(rows * T);
      {
        ProfileScope scope(Operation::attention);
        gemmSerial(true, rows, T, dh, q + begin * ld + head * dh, ld, k + head * dh, ld, scores.data(), T);
      }
      {
        ProfileScope scope(Operation::softmax);
        for (std::size_t r = 0; r < rows; ++r) softmaxScaled(&scores[r * T], T, scale);
      }
      ProfileScope scope(Operation::attention);
      gemmSerial(false, rows, dh, T, scores.data(), T, v + head * dh, ld, out + begin * D + head * dh, D);
    });
  }

  // keysT[D × T] from keys [T × D] whose rows are `ld` apart, in tiles of 16 frames.
  void transposeKeys(const float* k, std::size_t ld, float* keysT) const {
    const auto T = static_cast<std::size_t>(ctx_), D = static_cast<std::size_t>(d_);
    constexpr std::size_t kTile = 16;
    parallelFor((T + kTile - 1) / kTile, [&](std::size_t tile) {
      const std::size_t begin = tile * kTile, end = std::min(T, begin + kTile);
      ProfileScope scope(Operation::attention);
      for (std::size_t c = 0; c < D; ++c)
        for (std::size_t t = begin; t < end; ++t) keysT[c * T + t] = k[t * ld + c];
    });
  }

  // Multi-head self-attention, fused: tasks are (head, block of 64 query rows), each making its
  // scores, weights and output block by block of keys. q and v are [T × D] rows `ld` apart, keysT is
  // [D × T], out is [T × D].
  void fusedAttention(const float* q, const float* keysT, const float* v, std::size_t ld, float* out) const {
    const auto T = static_cast<std::size_t>(ctx_), D = static_cast<std::size_t>(d_), H = static_cast<std::size_t>(heads_);
    const std::size_t dh = D / H, block = 64, blocks = (T + block - 1) / block;
    const float scale = 1.0f / std::sqrt(static_cast<float>(dh));
    parallelFor(H * blocks, [&](std::size_t task) {
      const std::size_t head = task / blocks, begin = (task % blocks) * block, rows = std::min(block, T - begin);
      ProfileScope scope(Operation::attention);  // softmax included: it is fused
      attentionRows(q + begin * ld + head * dh, ld, rows, keysT + head * dh * T, T, v + head * dh, ld, T, dh, scale,
                    out + begin * D + head * dh, D);
    });
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

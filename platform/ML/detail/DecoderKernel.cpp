// Text decoder, one token per call, with the key-value cache passed in and out:
//   x = token embedding + position embedding[cache_length]
//   per block: self-attention over the cache positions the padding mask admits (the position the
//   update mask marks takes this step's own key and value), cross-attention over the encoder
//   output, MLP; final norm; logits against the token embedding.
// Cross-attention keys and values of an encoder output are computed once and kept, keyed by the
// array's identifier and generation, so every step of a window reuses them.
#include <cblas.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdio>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/ML/detail/Kernel.h"
#include "platform/ML/detail/Ops.h"
#include "platform/ML/detail/Parallel.h"
#include "platform/ML/detail/Profile.h"
#include "platform/ML/detail/Transformer.h"
#include "platform/ML/detail/Vector.h"

namespace platform::ml::detail {

namespace {

// Padding-mask values at or below this are excluded outright: exp() of them underflows to 0 in float.
constexpr float kMaskedOut = -1000.0f;
constexpr std::size_t kCrossCacheEntries = 4;

struct DecoderLayer {
  NormWeights selfNorm, crossNorm, mlpNorm;
  AttentionWeights self, cross;
  MlpWeights mlp;
};

// Half precision, like the encoder output they come from: the per-token attention reads them whole.
struct CrossKeysValues {
  std::uint64_t identifier = 0, generation = 0;
  HalfWeights keys;    // [L × D × W]: transposed, each channel's frames contiguous
  HalfWeights values;  // [L × W × D]: a head's channels of a frame contiguous
};

class DecoderKernel : public Kernel {
 public:
  explicit DecoderKernel(const ModelManifest& manifest) : description_(manifest.description) {
    v_ = manifest.hyper("n_vocab");
    ctx_ = manifest.hyper("n_text_ctx");
    d_ = manifest.hyper("n_text_state");
    heads_ = manifest.hyper("n_text_head");
    l_ = manifest.hyper("n_text_layer");
    w_ = manifest.hyper("n_audio_ctx");
    if (d_ == 0 || heads_ == 0 || d_ % heads_ || v_ == 0 || ctx_ == 0 || w_ == 0)
      manifest.fail("n_text_state must be a positive multiple of n_text_head; n_vocab, n_text_ctx, n_audio_ctx positive");
    const auto& in = manifest.description.inputDescriptionsByName;
    auto cache = in.find("key_cache");
    if (cache == in.end() || cache->second.multiArrayConstraint->shape.size() != 4)
      manifest.fail("input \"key_cache\" must be [1, L·D, 1, S]");
    s_ = cache->second.multiArrayConstraint->shape[3];
    if (s_ == 0 || s_ > ctx_) manifest.fail("the cache length S must lie in 1...n_text_ctx");
    const std::int64_t ld = l_ * d_;
    manifest.requireFeature(true, "input_ids", {1});
    manifest.requireFeature(true, "cache_length", {1});
    manifest.requireFeature(true, "key_cache", {1, ld, 1, s_});
    manifest.requireFeature(true, "value_cache", {1, ld, 1, s_});
    manifest.requireFeature(true, "kv_cache_update_mask", {1, s_});
    manifest.requireFeature(true, "decoder_key_padding_mask", {1, s_});
    manifest.requireFeature(true, "encoder_output_embeds", {1, d_, 1, w_});
    manifest.requireFeature(false, "logits", {1, 1, v_});
    manifest.requireFeature(false, "key_cache_updates", {1, ld, 1, 1});
    manifest.requireFeature(false, "value_cache_updates", {1, ld, 1, 1});
    if (static_cast<std::int64_t>(manifest.alignmentHeads.size()) > l_ * heads_)
      manifest.fail("alignment_heads lists " + std::to_string(manifest.alignmentHeads.size()) +
                    " heads, more than the decoder's " + std::to_string(l_ * heads_));
    for (const auto& [layer, head] : manifest.alignmentHeads) {
      if (layer < 0 || layer >= l_ || head < 0 || head >= heads_)
        manifest.fail("alignment head [" + std::to_string(layer) + ", " + std::to_string(head) + "] does not exist");
      if (std::find(alignment_.begin(), alignment_.end(), std::pair{layer, head}) != alignment_.end())
        manifest.fail("alignment head [" + std::to_string(layer) + ", " + std::to_string(head) + "] is listed twice");
      alignment_.emplace_back(layer, head);
    }
    const bool alignmentOut = manifest.description.outputDescriptionsByName.count("alignment_heads_weights") != 0;
    if (alignmentOut) {
      if (alignment_.empty()) manifest.fail("output \"alignment_heads_weights\" needs alignment_heads");
      manifest.requireFeature(false, "alignment_heads_weights", {1, w_});
    }
    withAlignment_ = alignmentOut;

    Weights w = Weights::load(manifest.folder / "weights.safetensors");
    if (const auto stored = w.layerCount("model.decoder.layers"); stored != l_)
      manifest.fail("n_text_layer is " + std::to_string(l_) + ", the weights hold " + std::to_string(stored) + " layers");
    tokens_ = w.takeHalves("model.decoder.embed_tokens.weight", {v_, d_});
    positions_ = w.take("model.decoder.embed_positions.weight", {ctx_, d_});
    layers_.resize(static_cast<std::size_t>(l_));
    for (std::int64_t i = 0; i < l_; ++i) {
      const std::string p = "model.decoder.layers." + std::to_string(i);
      auto& l = layers_[static_cast<std::size_t>(i)];
      l.selfNorm.load(w, p + ".self_attn_layer_norm", d_);
      l.self.load(w, p + ".self_attn", d_);
      l.crossNorm.load(w, p + ".encoder_attn_layer_norm", d_);
      l.cross.load(w, p + ".encoder_attn", d_);
      l.mlpNorm.load(w, p + ".final_layer_norm", d_);
      l.mlp.load(w, p, d_);
    }
    finalNorm_.load(w, "model.decoder.layer_norm", d_);
    w.requireAllTaken();
  }

  ArrayMap predict(const ArrayMap& inputs) const override {
    const auto D = static_cast<std::size_t>(d_), H = static_cast<std::size_t>(heads_), W = static_cast<std::size_t>(w_);
    const std::size_t dh = D / H;
    const float scale = 1.0f / std::sqrt(static_cast<float>(dh));
    const Step step = readStep(inputs);

    const MLMultiArray& keyCache = *inputs.at("key_cache");
    const MLMultiArray& valueCache = *inputs.at("value_cache");
    // Attention reads the caches in half precision, in place (a description of another float type
    // has them converted once per step).
    HalfWeights keysCopy, valuesCopy;
    auto halves = [&](const MLMultiArray& cache, HalfWeights& copy) {
      if (cache.dataType() == MLMultiArrayDataType::float16) return static_cast<const Float16*>(cache.dataPointer());
      std::vector<float> values(static_cast<std::size_t>(cache.count()));
      readFloats(cache, 0, cache.count(), values.data());
      copy.resize(values.size());
      floatToHalf(values.data(), copy.data(), values.size());
      return static_cast<const Float16*>(copy.data());
    };
    const Float16* keysIn = halves(keyCache, keysCopy);
    const Float16* valuesIn = halves(valueCache, valuesCopy);
    const auto cross = crossKeysValues(inputs.at("encoder_output_embeds"));

    std::vector<float> x(D), h(D), q(D), k(D), v(D), a(D), qkv(3 * D), mid;
    for (std::size_t i = 0; i < D; ++i) x[i] = toFloat(tokens_[step.id * D + i]) + positions_[step.position * D + i];
    std::vector<float> keyUpdates(static_cast<std::size_t>(l_) * D), valueUpdates(keyUpdates.size());
    std::vector<float> alignment(W, 0.0f);
    std::vector<std::vector<float>> headWeights(H, std::vector<float>(W));

    for (std::size_t li = 0; li < layers_.size(); ++li) {
      const auto& l = layers_[li];
      layerNorm(x.data(), 1, D, l.selfNorm.gamma.data(), l.selfNorm.beta.data(), h.data());
      gemv(l.self.qkvW.data(), 3 * D, D, h.data(), l.self.qkvB.data(), qkv.data());
      std::copy(qkv.begin(), qkv.begin() + static_cast<std::ptrdiff_t>(D), q.begin());
      std::copy(qkv.begin() + static_cast<std::ptrdiff_t>(D), qkv.begin() + static_cast<std::ptrdiff_t>(2 * D), k.begin());
      std::copy(qkv.begin() + static_cast<std::ptrdiff_t>(2 * D), qkv.end(), v.begin());
      std::copy(k.begin(), k.end(), keyUpdates.begin() + static_cast<std::ptrdiff_t>(li * D));
      std::copy(v.begin(), v.end(), valueUpdates.begin() + static_cast<std::ptrdiff_t>(li * D));

      selfAttention(step, li, keysIn, valuesIn, q.data(), k.data(), v.data(), a.data());
      gemv(l.self.oW.data(), D, D, a.data(), l.self.oB.data(), h.data());
      for (std::size_t i = 0; i < D; ++i) x[i] += h[i];

      layerNorm(x.data(), 1, D, l.crossNorm.gamma.data(), l.crossNorm.beta.data(), h.data());
      const Float16* K = cross->keys.data() + li * W * D;
      const Float16* V = cross->values.data() + li * W * D;
      parallelFor(H, [&](std::size_t head) {  // each head projects its own query rows
        gemvRows(l.cross.qW(), head * dh, (head + 1) * dh, D, h.data(), l.cross.qB(), q.data());
        float* p = headWeights[head].data();
        columnDots(&q[head * dh], K + head * dh * W, W, dh, W, scale, p);
        softmaxScaled(p, W, 1.0f);
        weightedSum(p, V + head * dh, D, W, dh, &a[head * dh]);
      });
      for (const auto& [layer, head] : alignment_)
        if (static_cast<std::size_t>(layer) == li)
          for (std::size_t i = 0; i < W; ++i) alignment[i] += headWeights[static_cast<std::size_t>(head)][i];
      gemv(l.cross.oW.data(), D, D, a.data(), l.cross.oB.data(), h.data());
      for (std::size_t i = 0; i < D; ++i) x[i] += h[i];

      layerNorm(x.data(), 1, D, l.mlpNorm.gamma.data(), l.mlpNorm.beta.data(), h.data());
      mid.resize(static_cast<std::size_t>(l.mlp.ff));
      gemv(l.mlp.w1.data(), mid.size(), D, h.data(), l.mlp.b1.data(), mid.data());
      geluInPlace(mid.data(), mid.size());
      gemv(l.mlp.w2.data(), D, mid.size(), mid.data(), l.mlp.b2.data(), h.data());
      for (std::size_t i = 0; i < D; ++i) x[i] += h[i];
    }
    layerNorm(x.data(), 1, D, finalNorm_.gamma.data(), finalNorm_.beta.data(), h.data());
    thread_local std::vector<float> logits;  // reused: a fresh vocabulary-sized buffer would fault in each step
    logits.resize(static_cast<std::size_t>(v_));
    gemv(tokens_.data(), logits.size(), D, h.data(), nullptr, logits.data());

    ArrayMap out;
    auto put = [&](const std::string& name, const std::vector<float>& values) {
      auto array = makeOutput(description_, name);
      writeFloats(*array, 0, values.data(), static_cast<std::int64_t>(values.size()));
      out.emplace(name, std::move(array));
    };
    put("logits", logits);
    put("key_cache_updates", keyUpdates);
    put("value_cache_updates", valueUpdates);
    if (withAlignment_) {
      for (float& value : alignment) value /= static_cast<float>(alignment_.size());
      put("alignment_heads_weights", alignment);
    }
    return out;
  }

 private:
  // One step's inputs, read and checked: the token, its position and the cache positions it attends.
  struct Step {
    std::size_t id = 0, position = 0;
    std::vector<float> padding;          // the key padding mask
    std::vector<std::size_t> admitted;   // positions attended, ascending
    std::vector<bool> fresh;             // position takes this step's key and value
    std::size_t lo = 0, span = 0;        // the cache columns from the first to the last admitted
  };

  Step readStep(const ArrayMap& inputs) const {
    Step step;
    const double token = (*inputs.at("input_ids"))[0];
    if (!(token >= 0 && token < static_cast<double>(v_)))
      throw std::invalid_argument("input_ids holds " + std::to_string(token) + ", outside the vocabulary of " +
                                  std::to_string(v_));
    const double position = (*inputs.at("cache_length"))[0];
    if (!(position >= 0 && position < static_cast<double>(s_)))
      throw std::invalid_argument("cache_length holds " + std::to_string(position) + ", outside 0..<" + std::to_string(s_));
    step.id = static_cast<std::size_t>(token);
    step.position = static_cast<std::size_t>(position);
    step.padding.resize(static_cast<std::size_t>(s_));
    readFloats(*inputs.at("decoder_key_padding_mask"), 0, s_, step.padding.data());
    const MLMultiArray& updateMask = *inputs.at("kv_cache_update_mask");
    for (std::size_t s = 0; s < step.padding.size(); ++s)
      if (step.padding[s] > kMaskedOut) {
        step.admitted.push_back(s);
        step.fresh.push_back(updateMask[static_cast<std::int64_t>(s)] != 0);
      }
    if (!step.admitted.empty()) {
      step.lo = step.admitted.front();
      step.span = step.admitted.back() - step.lo + 1;
    }
    return step;
  }

  // Self-attention of layer `li` for every head into `a`: the cached keys and values of the admitted
  // positions, with this step's `k` and `v` at the fresh ones. On the calling thread: over the few
  // hundred positions of the cache this is shorter than handing it to the pool.
  void selfAttention(const Step& step, std::size_t li, const Float16* keysIn, const Float16* valuesIn, const float* q,
                     const float* k, const float* v, float* a) const {
    const auto D = static_cast<std::size_t>(d_), H = static_cast<std::size_t>(heads_), S = static_cast<std::size_t>(s_);
    const std::size_t dh = D / H;
    const float scale = 1.0f / std::sqrt(static_cast<float>(dh));
    std::vector<float> scores(step.span), p(step.admitted.size());
    for (std::size_t head = 0; head < H; ++head) {
      const std::size_t first = (li * D + head * dh) * S + step.lo;  // row r of the head at first + r·S
      const float* qh = &q[head * dh];
      columnDots(qh, keysIn + first, S, dh, step.span, 1.0f, scores.data());
      for (std::size_t j = 0; j < step.admitted.size(); ++j)
        p[j] = (step.fresh[j] ? dot(qh, &k[head * dh], dh) : scores[step.admitted[j] - step.lo]) * scale +
               step.padding[step.admitted[j]];
      softmaxInPlace(p.data(), p.size());
      std::fill(scores.begin(), scores.end(), 0.0f);  // reused as the weights of cached positions
      for (std::size_t j = 0; j < step.admitted.size(); ++j)
        if (!step.fresh[j]) scores[step.admitted[j] - step.lo] = p[j];
      scaledDots(scores.data(), valuesIn + first, S, dh, step.span, 1.0f, &a[head * dh]);
      for (std::size_t j = 0; j < step.admitted.size(); ++j)
        if (step.fresh[j]) axpy(p[j], &v[head * dh], &a[head * dh], dh);
    }
  }

  std::shared_ptr<const CrossKeysValues> crossKeysValues(const std::shared_ptr<MLMultiArray>& encoderOutput) const {
    const std::uint64_t identifier = encoderOutput->identifier(), generation = encoderOutput->generation();
    {
      std::lock_guard lock(mutex_);
      for (auto it = cache_.begin(); it != cache_.end(); ++it)
        if ((*it)->identifier == identifier && (*it)->generation == generation) {
          cache_.splice(cache_.begin(), cache_, it);
          return cache_.front();
        }
    }
    ProfileScope scope(Operation::crossKeysValues);
    const auto D = static_cast<std::size_t>(d_), W = static_cast<std::size_t>(w_), L = layers_.size();
    FloatBuffer embeds(D * W);  // [D × W]: read as its transpose by the products
    readFloats(*encoderOutput, 0, static_cast<std::int64_t>(embeds.size()), embeds.data());
    // The key and value projections of every layer, widened for the products: [2L × D × D].
    FloatBuffer projections(2 * L * D * D);
    auto entry = std::make_shared<CrossKeysValues>();
    entry->identifier = identifier;
    entry->generation = generation;
    entry->keys.resize(L * W * D);
    entry->values.resize(L * W * D);
    // Tasks are (projection, block of frames): each a single-threaded product whose result stays
    // in the cache of its core until it is rounded into the entry. The first 2L tasks are each
    // projection's first block, which widens the projection; its other blocks are claimed after
    // every first one, and find it widened or wait the moment that takes.
    constexpr std::size_t kFrames = 96;
    const std::size_t blocks = (W + kFrames - 1) / kFrames, parts = 2 * L;
    const auto widened = std::make_unique<std::atomic<bool>[]>(parts);
    parallelFor(parts * blocks, [&](std::size_t task) {
      const bool first = task < parts;
      const std::size_t part = first ? task : (task - parts) / (blocks - 1);
      const std::size_t begin = (first ? 0 : 1 + (task - parts) % (blocks - 1)) * kFrames, rows = std::min(kFrames, W - begin);
      float* weight = &projections[part * D * D];
      if (first) {
        ProfileScope scope(Operation::widening);
        halfToFloat(part % 2 == 0 ? layers_[part / 2].cross.kW() : layers_[part / 2].cross.vW(), weight, D * D);
        widened[part].store(true, std::memory_order_release);
      } else {
        while (!widened[part].load(std::memory_order_acquire)) std::this_thread::yield();
      }
      thread_local std::vector<float> product;
      product.resize(kFrames * D);
      const auto& cross = layers_[part / 2].cross;
      const bool value = part % 2 != 0;
      const std::size_t layer = part / 2;
      if (value) {  // [frames × D] = embedsᵀ · Wᵀ
        cblas_sgemm(CblasRowMajor, CblasTrans, CblasTrans, static_cast<blasint>(rows), static_cast<blasint>(D),
                    static_cast<blasint>(D), 1.0f, embeds.data() + begin, static_cast<blasint>(W), weight,
                    static_cast<blasint>(D), 0.0f, product.data(), static_cast<blasint>(D));
        for (std::size_t r = 0; r < rows; ++r)
          for (std::size_t c = 0; c < D; ++c) product[r * D + c] += cross.vB()[c];
        floatToHalf(product.data(), entry->values.data() + (layer * W + begin) * D, rows * D);
      } else {  // keys transposed, [D × frames] = W · embeds
        cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, static_cast<blasint>(D), static_cast<blasint>(rows),
                    static_cast<blasint>(D), 1.0f, weight, static_cast<blasint>(D), embeds.data() + begin,
                    static_cast<blasint>(W), 0.0f, product.data(), static_cast<blasint>(rows));
        for (std::size_t c = 0; c < D; ++c) {
          float* row = &product[c * rows];
          for (std::size_t r = 0; r < rows; ++r) row[r] += cross.kB()[c];
          floatToHalf(row, entry->keys.data() + (layer * D + c) * W + begin, rows);
        }
      }
    });
    std::lock_guard lock(mutex_);
    cache_.push_front(entry);
    if (cache_.size() > kCrossCacheEntries) cache_.pop_back();
    return entry;
  }

  MLModelDescription description_;
  std::int64_t v_ = 0, ctx_ = 0, d_ = 0, heads_ = 0, l_ = 0, w_ = 0, s_ = 0;
  bool withAlignment_ = false;
  std::vector<std::pair<int, int>> alignment_;
  // Token embedding in half precision: the logits product streams it every step; logits are half anyway.
  HalfWeights tokens_;
  std::vector<float> positions_;
  std::vector<DecoderLayer> layers_;
  NormWeights finalNorm_;
  mutable std::mutex mutex_;
  mutable std::list<std::shared_ptr<const CrossKeysValues>> cache_;
};

}  // namespace

std::unique_ptr<Kernel> makeDecoderKernel(const ModelManifest& manifest) { return std::make_unique<DecoderKernel>(manifest); }

}  // namespace platform::ml::detail

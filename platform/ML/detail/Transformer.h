// Weights of the pre-norm transformer blocks shared by the encoder and the decoder, named as in
// the model family's common checkpoint layout ("model.encoder.layers.0.self_attn.q_proj.weight").
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/ML/detail/Kernel.h"

namespace platform::ml::detail {

struct NormWeights {
  std::vector<float> gamma, beta;
  void load(Weights& w, const std::string& prefix, std::int64_t d) {
    gamma = w.take(prefix + ".weight", {d});
    beta = w.take(prefix + ".bias", {d});
  }
};

// Query, key (no bias in the checkpoints), value and output projections, each [d × d].
struct AttentionWeights {
  std::vector<float> qW, qB, kW, kB, vW, vB, oW, oB;
  void load(Weights& w, const std::string& prefix, std::int64_t d) {
    qW = w.take(prefix + ".q_proj.weight", {d, d});
    qB = w.take(prefix + ".q_proj.bias", {d});
    kW = w.take(prefix + ".k_proj.weight", {d, d});
    kB = w.takeOrZeros(prefix + ".k_proj.bias", {d});
    vW = w.take(prefix + ".v_proj.weight", {d, d});
    vB = w.take(prefix + ".v_proj.bias", {d});
    oW = w.take(prefix + ".out_proj.weight", {d, d});
    oB = w.take(prefix + ".out_proj.bias", {d});
  }
};

// fc1 [ff × d], fc2 [d × ff]; ff is read from the checkpoint.
struct MlpWeights {
  std::int64_t ff = 0;
  std::vector<float> w1, b1, w2, b2;
  void load(Weights& w, const std::string& prefix, std::int64_t d) {
    const auto shape = w.shapeOf(prefix + ".fc1.weight");
    ff = shape.size() == 2 ? shape[0] : -1;
    if (ff <= 0) ff = 4 * d;  // let take() report the mismatch
    w1 = w.take(prefix + ".fc1.weight", {ff, d});
    b1 = w.take(prefix + ".fc1.bias", {ff});
    w2 = w.take(prefix + ".fc2.weight", {d, ff});
    b2 = w.take(prefix + ".fc2.bias", {d});
  }
};

}  // namespace platform::ml::detail

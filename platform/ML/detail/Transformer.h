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

// Query, key (no bias in the checkpoints), value and output projections, each [d × d], in half
// precision (biases in float). qkvW / qkvB hold the three input projections stacked ([3d × d]) for
// one-pass products.
struct AttentionWeights {
  std::size_t width = 0;
  HalfWeights qkvW, oW;
  std::vector<float> qkvB, oB;
  const Float16* qW() const { return qkvW.data(); }
  const Float16* kW() const { return qkvW.data() + width * width; }
  const Float16* vW() const { return qkvW.data() + 2 * width * width; }
  const float* qB() const { return qkvB.data(); }
  const float* kB() const { return qkvB.data() + width; }
  const float* vB() const { return qkvB.data() + 2 * width; }
  void load(Weights& w, const std::string& prefix, std::int64_t d) {
    width = static_cast<std::size_t>(d);
    qkvW.reserve(3 * width * width);
    for (const char* part : {"q", "k", "v"}) {
      const std::string name = prefix + "." + part + "_proj";
      w.takeHalves(name + ".weight", {d, d}, qkvW);
      const auto bias = std::string(part) == "k" ? w.takeOrZeros(name + ".bias", {d}) : w.take(name + ".bias", {d});
      qkvB.insert(qkvB.end(), bias.begin(), bias.end());
    }
    oW = w.takeHalves(prefix + ".out_proj.weight", {d, d});
    oB = w.take(prefix + ".out_proj.bias", {d});
  }
};

// fc1 [ff × d], fc2 [d × ff] in half precision; ff is read from the checkpoint.
struct MlpWeights {
  std::int64_t ff = 0;
  HalfWeights w1, w2;
  std::vector<float> b1, b2;
  void load(Weights& w, const std::string& prefix, std::int64_t d) {
    const auto shape = w.shapeOf(prefix + ".fc1.weight");
    ff = shape.size() == 2 ? shape[0] : -1;
    if (ff <= 0) ff = 4 * d;  // let take() report the mismatch
    w1 = w.takeHalves(prefix + ".fc1.weight", {ff, d});
    b1 = w.take(prefix + ".fc1.bias", {ff});
    w2 = w.takeHalves(prefix + ".fc2.weight", {d, ff});
    b2 = w.take(prefix + ".fc2.bias", {d});
  }
};

}  // namespace platform::ml::detail

#include "platform/ML/ModelFolders.h"

#include <cmath>
#include <random>
#include <stdexcept>

#include "platform/ML/detail/ModelFolderLayout.h"
#include "platform/ML/detail/Ops.h"
#include "platform/ML/detail/Safetensors.h"

namespace platform::ml {

namespace {

WeightTensor randomTensor(std::vector<std::int64_t> shape, float scale, std::mt19937& rng) {
  std::int64_t n = 1;
  for (auto d : shape) n *= d;
  std::normal_distribution<float> normal(0.0f, scale);
  WeightTensor t{std::move(shape), std::vector<float>(static_cast<std::size_t>(n))};
  for (auto& v : t.data) v = normal(rng);
  return t;
}

void addBlockWeights(WeightMap& w, const std::string& p, const std::string& attention, std::int64_t d, std::int64_t ff,
                     std::mt19937& rng) {
  const float s = 1.0f / std::sqrt(static_cast<float>(d));
  for (const char* proj : {"q_proj", "k_proj", "v_proj", "out_proj"}) {
    w[p + "." + attention + "." + proj + ".weight"] = randomTensor({d, d}, s, rng);
    if (std::string(proj) != "k_proj") w[p + "." + attention + "." + proj + ".bias"] = randomTensor({d}, 0.1f, rng);
  }
  w[p + ".fc1.weight"] = randomTensor({ff, d}, s, rng);
  w[p + ".fc1.bias"] = randomTensor({ff}, 0.1f, rng);
  w[p + ".fc2.weight"] = randomTensor({d, ff}, 1.0f / std::sqrt(static_cast<float>(ff)), rng);
  w[p + ".fc2.bias"] = randomTensor({d}, 0.1f, rng);
}

void addNorm(WeightMap& w, const std::string& name, std::int64_t d, std::mt19937& rng) {
  auto gamma = randomTensor({d}, 0.1f, rng);
  for (auto& g : gamma.data) g += 1.0f;
  w[name + ".weight"] = std::move(gamma);
  w[name + ".bias"] = randomTensor({d}, 0.1f, rng);
}

// Every tensor the folders need, at its shape and with as many values, and none that they would
// leave unused; errors name `where` the weights came from.
void checkWeights(const WhisperDimensions& dims, const WeightMap& weights, const std::string& where) {
  std::map<std::string, std::vector<std::int64_t>> shapes;
  for (const auto& [name, tensor] : weights) shapes[name] = tensor.shape;
  detail::checkShapes(dims, shapes, where);
  for (const auto& [name, tensor] : weights) {
    const std::int64_t count = detail::Tensor{tensor.shape, {}}.count();
    if (static_cast<std::int64_t>(tensor.data.size()) != count)
      throw std::runtime_error(where + ": tensor \"" + name + "\" holds " + std::to_string(tensor.data.size()) +
                               " values, its shape needs " + std::to_string(count));
  }
}

std::map<std::string, detail::Tensor> select(const WeightMap& weights, const std::string& prefix) {
  std::map<std::string, detail::Tensor> out;
  for (const auto& [name, t] : weights)
    if (name.rfind(prefix, 0) == 0) out[name] = detail::Tensor{t.shape, t.data, false, detail::heldInHalf(name)};
  return out;
}

}  // namespace

WeightMap randomWeights(const WhisperDimensions& dims, std::uint32_t seed) {
  std::mt19937 rng(seed);
  WeightMap w;
  const std::int64_t d = dims.nAudioState;
  w["model.encoder.conv1.weight"] = randomTensor({d, dims.nMels, 3}, 1.0f / std::sqrt(3.0f * static_cast<float>(dims.nMels)), rng);
  w["model.encoder.conv1.bias"] = randomTensor({d}, 0.1f, rng);
  w["model.encoder.conv2.weight"] = randomTensor({d, d, 3}, 1.0f / std::sqrt(3.0f * static_cast<float>(d)), rng);
  w["model.encoder.conv2.bias"] = randomTensor({d}, 0.1f, rng);
  for (std::int64_t i = 0; i < dims.nAudioLayer; ++i) {
    const std::string p = "model.encoder.layers." + std::to_string(i);
    addNorm(w, p + ".self_attn_layer_norm", d, rng);
    addNorm(w, p + ".final_layer_norm", d, rng);
    addBlockWeights(w, p, "self_attn", d, dims.nFf, rng);
  }
  addNorm(w, "model.encoder.layer_norm", d, rng);
  w["model.encoder.embed_positions.weight"] = {{dims.nAudioCtx, d},
                                               detail::sinusoids(static_cast<std::size_t>(dims.nAudioCtx),
                                                                 static_cast<std::size_t>(d))};

  const std::int64_t t = dims.nTextState;
  w["model.decoder.embed_tokens.weight"] = randomTensor({dims.nVocab, t}, 1.0f, rng);
  w["model.decoder.embed_positions.weight"] = randomTensor({dims.nTextCtx, t}, 0.5f, rng);
  for (std::int64_t i = 0; i < dims.nTextLayer; ++i) {
    const std::string p = "model.decoder.layers." + std::to_string(i);
    addNorm(w, p + ".self_attn_layer_norm", t, rng);
    addNorm(w, p + ".encoder_attn_layer_norm", t, rng);
    addNorm(w, p + ".final_layer_norm", t, rng);
    addBlockWeights(w, p, "self_attn", t, dims.nFf, rng);
    addBlockWeights(w, p, "encoder_attn", t, dims.nFf, rng);
  }
  addNorm(w, "model.decoder.layer_norm", t, rng);
  return w;
}

PrefillTables randomPrefill(const WhisperDimensions& dims, std::vector<std::int64_t> languageTokens, std::int64_t length,
                            std::uint32_t seed) {
  std::mt19937 rng(seed);
  PrefillTables p;
  p.length = length;
  const std::int64_t n = static_cast<std::int64_t>(languageTokens.size());
  p.languageTokens = std::move(languageTokens);
  const std::vector<std::int64_t> shape{2, n, dims.nTextLayer * dims.nTextState, length};
  p.keys = randomTensor(shape, 1.0f, rng);
  p.values = randomTensor(shape, 1.0f, rng);
  return p;
}

std::vector<std::pair<int, int>> defaultAlignmentHeads(const WhisperDimensions& dims) {
  std::vector<std::pair<int, int>> heads;
  for (std::int64_t l = dims.nTextLayer / 2; l < dims.nTextLayer; ++l)
    for (std::int64_t h = 0; h < dims.nTextHead; ++h) heads.emplace_back(static_cast<int>(l), static_cast<int>(h));
  return heads;
}

void writeModelFolders(const std::filesystem::path& folder, const WhisperDimensions& dims, const WeightMap& weights,
                       const ModelFolderOptions& options) {
  if (dims.nAudioState != dims.nTextState) throw std::runtime_error("encoder and decoder widths differ");
  checkWeights(dims, weights, "weights");
  const auto& p = options.prefill;
  if (p.length > 0) {
    const std::vector<std::int64_t> shape{2, static_cast<std::int64_t>(p.languageTokens.size()),
                                          dims.nTextLayer * dims.nTextState, p.length};
    for (const auto* t : {&p.keys, &p.values})
      if (t->shape != shape || static_cast<std::int64_t>(t->data.size()) != detail::Tensor{t->shape, {}}.count())
        throw std::runtime_error("prefill tables: shape " + detail::shapeText(t->shape) + ", expected " +
                                 detail::shapeText(shape));
  }
  for (const auto& layout : detail::folderLayouts(dims, options)) {
    const auto dir = folder / layout.name;
    std::filesystem::create_directories(dir);
    detail::writeText(dir / "model.json", layout.description);
    if (!layout.weightPrefix.empty()) detail::writeSafetensors(dir / "weights.safetensors", select(weights, layout.weightPrefix));
  }
  if (p.length > 0) {
    std::map<std::string, detail::Tensor> tables;
    std::vector<float> tokens(p.languageTokens.begin(), p.languageTokens.end());
    tables["prefill.language_tokens"] = {{static_cast<std::int64_t>(tokens.size())}, tokens, true};
    tables["prefill.key_cache"] = {p.keys.shape, p.keys.data};
    tables["prefill.value_cache"] = {p.values.shape, p.values.data};
    detail::writeSafetensors(folder / "TextDecoderContextPrefill.mlmodelc/weights.safetensors", tables);
  }
}

}  // namespace platform::ml

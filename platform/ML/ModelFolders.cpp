#include "platform/ML/ModelFolders.h"

#include <cmath>
#include <fstream>
#include <random>
#include <stdexcept>

#include "platform/ML/detail/Ops.h"
#include "platform/ML/detail/Safetensors.h"
#include "platform/System/Json.h"

namespace platform::ml {

namespace json = platform::json;

namespace {

json::Value feature(const std::string& name, const std::string& dtype, const std::vector<std::int64_t>& shape,
                    bool optional = false) {
  json::Array dims;
  for (auto d : shape) dims.emplace_back(static_cast<long long>(d));
  json::Object f{{"name", name}, {"dtype", dtype}, {"shape", dims}};
  if (optional) f.emplace_back("optional", true);
  return json::Value(std::move(f));
}

void writeText(const std::filesystem::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::trunc);
  out << text << '\n';
  if (!out) throw std::runtime_error(path.string() + ": cannot write");
}

void writeFolder(const std::filesystem::path& folder, const std::string& kind, json::Array inputs, json::Array outputs,
                 json::Object hyperparameters, const std::map<std::string, detail::Tensor>* weights,
                 const std::vector<std::pair<int, int>>* alignmentHeads = nullptr) {
  std::filesystem::create_directories(folder);
  json::Object root{{"kind", kind}, {"inputs", std::move(inputs)}, {"outputs", std::move(outputs)},
                    {"hyperparameters", std::move(hyperparameters)}};
  if (alignmentHeads) {
    json::Array heads;
    for (auto [l, h] : *alignmentHeads) heads.emplace_back(json::Array{json::Value(l), json::Value(h)});
    root.emplace_back("alignment_heads", std::move(heads));
  }
  writeText(folder / "model.json", json::write(json::Value(std::move(root)), {.pretty = true, .escapeSlashes = false}));
  if (weights) detail::writeSafetensors(folder / "weights.safetensors", *weights);
}

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

// Name => shape of every tensor the encoder and decoder folders hold; the key projections' biases
// are optional (checkpoints omit them).
std::map<std::string, std::vector<std::int64_t>> expectedShapes(const WhisperDimensions& dims) {
  std::map<std::string, std::vector<std::int64_t>> shapes;
  auto norm = [&](const std::string& name, std::int64_t d) { shapes[name + ".weight"] = shapes[name + ".bias"] = {d}; };
  auto block = [&](const std::string& p, const std::string& attention, std::int64_t d) {
    for (const char* proj : {"q_proj", "k_proj", "v_proj", "out_proj"}) {
      shapes[p + "." + attention + "." + proj + ".weight"] = {d, d};
      shapes[p + "." + attention + "." + proj + ".bias"] = {d};
    }
    norm(p + "." + attention + "_layer_norm", d);
  };
  auto mlp = [&](const std::string& p, std::int64_t d) {
    shapes[p + ".fc1.weight"] = {dims.nFf, d};
    shapes[p + ".fc1.bias"] = {dims.nFf};
    shapes[p + ".fc2.weight"] = {d, dims.nFf};
    shapes[p + ".fc2.bias"] = {d};
    norm(p + ".final_layer_norm", d);
  };
  const std::int64_t d = dims.nAudioState, t = dims.nTextState;
  shapes["model.encoder.conv1.weight"] = {d, dims.nMels, 3};
  shapes["model.encoder.conv1.bias"] = {d};
  shapes["model.encoder.conv2.weight"] = {d, d, 3};
  shapes["model.encoder.conv2.bias"] = {d};
  shapes["model.encoder.embed_positions.weight"] = {dims.nAudioCtx, d};
  for (std::int64_t i = 0; i < dims.nAudioLayer; ++i) {
    const std::string p = "model.encoder.layers." + std::to_string(i);
    block(p, "self_attn", d);
    mlp(p, d);
  }
  norm("model.encoder.layer_norm", d);
  shapes["model.decoder.embed_tokens.weight"] = {dims.nVocab, t};
  shapes["model.decoder.embed_positions.weight"] = {dims.nTextCtx, t};
  for (std::int64_t i = 0; i < dims.nTextLayer; ++i) {
    const std::string p = "model.decoder.layers." + std::to_string(i);
    block(p, "self_attn", t);
    block(p, "encoder_attn", t);
    mlp(p, t);
  }
  norm("model.decoder.layer_norm", t);
  return shapes;
}

bool optionalTensor(const std::string& name) {
  static const std::string suffix = ".k_proj.bias";
  return name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Every tensor the folders need, at its shape, and none that they would leave unused; errors
// name `where` the weights came from.
void checkWeights(const WhisperDimensions& dims, const WeightMap& weights, const std::string& where) {
  const auto shapes = expectedShapes(dims);
  auto fail = [&](const std::string& name, const std::string& message) {
    throw std::runtime_error(where + ": tensor \"" + name + "\" " + message);
  };
  for (const auto& [name, shape] : shapes) {
    auto it = weights.find(name);
    if (it == weights.end()) {
      if (optionalTensor(name)) continue;
      fail(name, "is missing");
    }
    if (it->second.shape != shape)
      fail(name, "has shape " + detail::shapeText(it->second.shape) + ", expected " + detail::shapeText(shape));
    std::int64_t count = 1;
    for (auto n : shape) count *= n;
    if (static_cast<std::int64_t>(it->second.data.size()) != count)
      fail(name, "holds " + std::to_string(it->second.data.size()) + " values, its shape needs " + std::to_string(count));
  }
  for (const auto& [name, tensor] : weights)
    if ((name.rfind("model.encoder.", 0) == 0 || name.rfind("model.decoder.", 0) == 0) && !shapes.count(name))
      fail(name, "is not part of the model");
}

std::map<std::string, detail::Tensor> select(const WeightMap& weights, const std::string& prefix) {
  std::map<std::string, detail::Tensor> out;
  for (const auto& [name, t] : weights)
    if (name.rfind(prefix, 0) == 0) out[name] = detail::Tensor{t.shape, t.data};
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
  const std::int64_t frames = 2 * dims.nAudioCtx, samples = frames * 160;
  const std::int64_t ld = dims.nTextLayer * dims.nTextState, s = dims.kvCacheLength;

  writeFolder(folder / "MelSpectrogram.mlmodelc", "MelSpectrogram", {feature("audio", "float32", {samples})},
              {feature("melspectrogram_features", "float16", {1, dims.nMels, 1, frames})},
              {{"n_mels", dims.nMels}, {"n_samples", samples}}, nullptr);

  const auto encoderWeights = select(weights, "model.encoder.");
  writeFolder(folder / "AudioEncoder.mlmodelc", "AudioEncoder",
              {feature("melspectrogram_features", "float16", {1, dims.nMels, 1, frames})},
              {feature("encoder_output_embeds", "float16", {1, dims.nAudioState, 1, dims.nAudioCtx})},
              {{"n_mels", dims.nMels}, {"n_audio_ctx", dims.nAudioCtx}, {"n_audio_state", dims.nAudioState},
               {"n_audio_head", dims.nAudioHead}, {"n_audio_layer", dims.nAudioLayer}},
              &encoderWeights);

  json::Array outputs{feature("logits", "float16", {1, 1, dims.nVocab}),
                      feature("key_cache_updates", "float16", {1, ld, 1, 1}),
                      feature("value_cache_updates", "float16", {1, ld, 1, 1})};
  if (!options.alignmentHeads.empty())
    outputs.push_back(feature("alignment_heads_weights", "float16", {1, dims.nAudioCtx}, true));
  const auto decoderWeights = select(weights, "model.decoder.");
  writeFolder(folder / "TextDecoder.mlmodelc", "TextDecoder",
              {feature("input_ids", "int32", {1}), feature("cache_length", "int32", {1}),
               feature("key_cache", "float16", {1, ld, 1, s}), feature("value_cache", "float16", {1, ld, 1, s}),
               feature("kv_cache_update_mask", "int32", {1, s}),
               feature("encoder_output_embeds", "float16", {1, dims.nAudioState, 1, dims.nAudioCtx}),
               feature("decoder_key_padding_mask", "float16", {1, s})},
              std::move(outputs),
              {{"n_vocab", dims.nVocab}, {"n_text_ctx", dims.nTextCtx}, {"n_text_state", dims.nTextState},
               {"n_text_head", dims.nTextHead}, {"n_text_layer", dims.nTextLayer}, {"n_audio_ctx", dims.nAudioCtx}},
              &decoderWeights, &options.alignmentHeads);

  if (p.length > 0) {
    std::map<std::string, detail::Tensor> tables;
    std::vector<float> tokens(p.languageTokens.begin(), p.languageTokens.end());
    tables["prefill.language_tokens"] = {{static_cast<std::int64_t>(tokens.size())}, tokens, true};
    tables["prefill.key_cache"] = {p.keys.shape, p.keys.data};
    tables["prefill.value_cache"] = {p.values.shape, p.values.data};
    writeFolder(folder / "TextDecoderContextPrefill.mlmodelc", "TextDecoderContextPrefill",
                {feature("task", "int32", {1}), feature("language", "int32", {1})},
                {feature("key_cache_prefill", "float16", {1, ld, 1, p.length}),
                 feature("value_cache_prefill", "float16", {1, ld, 1, p.length})},
                {{"n_text_state", dims.nTextState}, {"n_text_layer", dims.nTextLayer}, {"n_prefill", p.length}},
                &tables);
  }
}

void packCheckpoint(const std::filesystem::path& checkpoint, const std::filesystem::path& folder) {
  const json::Value config = json::parseFile((checkpoint / "config.json").string());
  auto get = [&](const char* key) -> std::int64_t {
    const json::Value* v = config.find(key);
    if (!v) throw std::runtime_error((checkpoint / "config.json").string() + ": \"" + key + "\" is missing");
    return v->asInt();
  };
  WhisperDimensions dims;
  dims.nMels = get("num_mel_bins");
  dims.nAudioCtx = get("max_source_positions");
  dims.nAudioState = dims.nTextState = get("d_model");
  dims.nAudioHead = get("encoder_attention_heads");
  dims.nAudioLayer = get("encoder_layers");
  dims.nTextHead = get("decoder_attention_heads");
  dims.nTextLayer = get("decoder_layers");
  dims.nVocab = get("vocab_size");
  dims.nTextCtx = get("max_target_positions");
  dims.nFf = get("encoder_ffn_dim");
  if (get("decoder_ffn_dim") != dims.nFf) throw std::runtime_error("encoder and decoder MLP widths differ");
  dims.kvCacheLength = std::min<std::int64_t>(224, dims.nTextCtx);

  WeightMap weights;
  const auto file = checkpoint / "model.safetensors";
  for (auto& [name, t] : detail::readSafetensors(file)) {
    // Some exports drop the leading "model." of the common layout.
    const std::string full = name.rfind("model.", 0) == 0 ? name : "model." + name;
    weights[full] = WeightTensor{std::move(t.shape), std::move(t.data)};
  }
  checkWeights(dims, weights, file.string());
  ModelFolderOptions options;
  options.alignmentHeads = defaultAlignmentHeads(dims);
  const auto generation = checkpoint / "generation_config.json";
  if (std::filesystem::exists(generation)) {
    const json::Value g = json::parseFile(generation.string());
    if (const json::Value* heads = g.find("alignment_heads")) {
      options.alignmentHeads.clear();
      for (const auto& pair : heads->asArray())
        options.alignmentHeads.emplace_back(static_cast<int>(pair.asArray().at(0).asInt()),
                                            static_cast<int>(pair.asArray().at(1).asInt()));
    }
  }
  writeModelFolders(folder, dims, weights, options);
}

}  // namespace platform::ml

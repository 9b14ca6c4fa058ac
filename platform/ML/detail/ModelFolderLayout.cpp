#include "platform/ML/detail/ModelFolderLayout.h"

#include <array>
#include <charconv>
#include <cerrno>
#include <optional>
#include <string_view>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <unistd.h>

#include "platform/ML/detail/Safetensors.h"
#include "platform/System/Json.h"

namespace platform::ml::detail {

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

FolderLayout layout(const std::string& kind, json::Array inputs, json::Array outputs, json::Object hyperparameters,
                    std::string weightPrefix, const std::vector<std::pair<int, int>>* alignmentHeads = nullptr) {
  json::Object root{{"kind", kind}, {"inputs", std::move(inputs)}, {"outputs", std::move(outputs)},
                    {"hyperparameters", std::move(hyperparameters)}};
  if (alignmentHeads) {
    json::Array heads;
    for (auto [l, h] : *alignmentHeads) heads.emplace_back(json::Array{json::Value(l), json::Value(h)});
    root.emplace_back("alignment_heads", std::move(heads));
  }
  return {kind + ".mlmodelc", json::write(json::Value(std::move(root)), {.pretty = true, .escapeSlashes = false}),
          std::move(weightPrefix)};
}

}  // namespace

std::vector<FolderLayout> folderLayouts(const WhisperDimensions& dims, const ModelFolderOptions& options) {
  const std::int64_t frames = 2 * dims.nAudioCtx, samples = frames * 160;
  const std::int64_t ld = dims.nTextLayer * dims.nTextState, s = dims.kvCacheLength;
  std::vector<FolderLayout> folders;
  folders.push_back(layout("MelSpectrogram", {feature("audio", "float32", {samples})},
                           {feature("melspectrogram_features", "float16", {1, dims.nMels, 1, frames})},
                           {{"n_mels", dims.nMels}, {"n_samples", samples}}, ""));
  folders.push_back(layout("AudioEncoder", {feature("melspectrogram_features", "float16", {1, dims.nMels, 1, frames})},
                           {feature("encoder_output_embeds", "float16", {1, dims.nAudioState, 1, dims.nAudioCtx})},
                           {{"n_mels", dims.nMels}, {"n_audio_ctx", dims.nAudioCtx}, {"n_audio_state", dims.nAudioState},
                            {"n_audio_head", dims.nAudioHead}, {"n_audio_layer", dims.nAudioLayer}},
                           "model.encoder."));
  json::Array outputs{feature("logits", "float16", {1, 1, dims.nVocab}),
                      feature("key_cache_updates", "float16", {1, ld, 1, 1}),
                      feature("value_cache_updates", "float16", {1, ld, 1, 1})};
  if (!options.alignmentHeads.empty())
    outputs.push_back(feature("alignment_heads_weights", "float16", {1, dims.nAudioCtx}, true));
  folders.push_back(layout(
      "TextDecoder",
      {feature("input_ids", "int32", {1}), feature("cache_length", "int32", {1}),
       feature("key_cache", "float16", {1, ld, 1, s}), feature("value_cache", "float16", {1, ld, 1, s}),
       feature("kv_cache_update_mask", "int32", {1, s}),
       feature("encoder_output_embeds", "float16", {1, dims.nAudioState, 1, dims.nAudioCtx}),
       feature("decoder_key_padding_mask", "float16", {1, s})},
      std::move(outputs),
      {{"n_vocab", dims.nVocab}, {"n_text_ctx", dims.nTextCtx}, {"n_text_state", dims.nTextState},
       {"n_text_head", dims.nTextHead}, {"n_text_layer", dims.nTextLayer}, {"n_audio_ctx", dims.nAudioCtx}},
      "model.decoder.", &options.alignmentHeads));
  if (options.prefill.length > 0)
    folders.push_back(layout("TextDecoderContextPrefill", {feature("task", "int32", {1}), feature("language", "int32", {1})},
                             {feature("key_cache_prefill", "float16", {1, ld, 1, options.prefill.length}),
                              feature("value_cache_prefill", "float16", {1, ld, 1, options.prefill.length})},
                             {{"n_text_state", dims.nTextState}, {"n_text_layer", dims.nTextLayer},
                              {"n_prefill", options.prefill.length}},
                             ""));
  return folders;
}

namespace {

using Shapes = std::map<std::string, std::vector<std::int64_t>>;

struct Stack {
  const char* name;    // "encoder"
  const char* prefix;  // "model.encoder.layers."
  std::int64_t layers;
};

std::array<Stack, 2> stacks(const WhisperDimensions& dims) {
  return {Stack{"encoder", "model.encoder.layers.", dims.nAudioLayer},
          Stack{"decoder", "model.decoder.layers.", dims.nTextLayer}};
}

// The tensors outside the layers.
Shapes outerShapes(const WhisperDimensions& dims) {
  const std::int64_t d = dims.nAudioState, t = dims.nTextState;
  return {{"model.encoder.conv1.weight", {d, dims.nMels, 3}},
          {"model.encoder.conv1.bias", {d}},
          {"model.encoder.conv2.weight", {d, d, 3}},
          {"model.encoder.conv2.bias", {d}},
          {"model.encoder.embed_positions.weight", {dims.nAudioCtx, d}},
          {"model.encoder.layer_norm.weight", {d}},
          {"model.encoder.layer_norm.bias", {d}},
          {"model.decoder.embed_tokens.weight", {dims.nVocab, t}},
          {"model.decoder.embed_positions.weight", {dims.nTextCtx, t}},
          {"model.decoder.layer_norm.weight", {t}},
          {"model.decoder.layer_norm.bias", {t}}};
}

// The tensors of layer `index` of a stack, added to `shapes`.
void addLayerShapes(Shapes& shapes, const WhisperDimensions& dims, const Stack& stack, std::int64_t index) {
  const bool decoder = std::string_view(stack.name) == "decoder";
  const std::int64_t d = decoder ? dims.nTextState : dims.nAudioState;
  const std::string p = stack.prefix + std::to_string(index);
  auto norm = [&](const std::string& name) { shapes[name + ".weight"] = shapes[name + ".bias"] = {d}; };
  auto attention = [&](const std::string& kind) {
    for (const char* proj : {"q_proj", "k_proj", "v_proj", "out_proj"}) {
      shapes[p + "." + kind + "." + proj + ".weight"] = {d, d};
      shapes[p + "." + kind + "." + proj + ".bias"] = {d};
    }
    norm(p + "." + kind + "_layer_norm");
  };
  attention("self_attn");
  if (decoder) attention("encoder_attn");
  shapes[p + ".fc1.weight"] = {dims.nFf, d};
  shapes[p + ".fc1.bias"] = {dims.nFf};
  shapes[p + ".fc2.weight"] = {d, dims.nFf};
  shapes[p + ".fc2.bias"] = {d};
  norm(p + ".final_layer_norm");
}

// The layer index of a name below the stack's prefix ("model.encoder.layers.3.fc1.bias" => 3) and
// the rest of the name (".fc1.bias"); nullopt when the name has no index there.
std::optional<std::pair<std::int64_t, std::string_view>> layerOf(std::string_view name, const Stack& stack) {
  if (!name.starts_with(stack.prefix)) return std::nullopt;
  name.remove_prefix(std::string_view(stack.prefix).size());
  std::int64_t index = 0;
  const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), index);
  if (error != std::errc() || end == name.data() || index < 0) return std::nullopt;
  return std::pair{index, name.substr(static_cast<std::size_t>(end - name.data()))};
}

}  // namespace

std::map<std::string, std::vector<std::int64_t>> expectedShapes(const WhisperDimensions& dims) {
  Shapes shapes = outerShapes(dims);
  for (const Stack& stack : stacks(dims))
    for (std::int64_t i = 0; i < stack.layers; ++i) addLayerShapes(shapes, dims, stack, i);
  return shapes;
}

void checkShapes(const WhisperDimensions& dims, const std::map<std::string, std::vector<std::int64_t>>& shapes,
                 const std::string& where) {
  static const std::string optionalSuffix = ".k_proj.bias";  // checkpoints omit the key projections' biases
  auto fail = [&](const std::string& name, const std::string& message) {
    throw std::runtime_error(where + ": tensor \"" + name + "\" " + message);
  };
  // Every layer holds several tensors, so a count beyond the tensors there are cannot be met.
  for (const Stack& stack : stacks(dims))
    if (stack.layers > static_cast<std::int64_t>(shapes.size()))
      throw std::runtime_error(where + ": the dimensions name " + std::to_string(stack.layers) + " " + stack.name +
                               " layers, more than the " +
                               std::to_string(shapes.size()) + " tensors there are");
  auto require = [&](const Shapes& expected) {
    for (const auto& [name, shape] : expected) {
      auto it = shapes.find(name);
      if (it == shapes.end()) {
        if (name.ends_with(optionalSuffix)) continue;
        fail(name, "is missing");
      }
      if (it->second != shape) fail(name, "has shape " + shapeText(it->second) + ", expected " + shapeText(shape));
    }
  };
  // Layer by layer, so the work stops at the first layer not there, whatever count the
  // dimensions claim.
  const Shapes outer = outerShapes(dims);
  require(outer);
  for (const Stack& stack : stacks(dims))
    for (std::int64_t i = 0; i < stack.layers; ++i) {
      Shapes layer;
      addLayerShapes(layer, dims, stack, i);
      require(layer);
    }
  // No tensor the folders would leave unused: each name is an outer one or a layer's, matched
  // against layer 0's names.
  std::array<Shapes, 2> firstLayers;
  const auto all = stacks(dims);
  for (std::size_t s = 0; s < all.size(); ++s) addLayerShapes(firstLayers[s], dims, all[s], 0);
  for (const auto& [name, shape] : shapes) {
    if (!name.starts_with("model.encoder.") && !name.starts_with("model.decoder.")) continue;
    if (outer.count(name)) continue;
    bool used = false;
    for (std::size_t s = 0; s < all.size() && !used; ++s)
      if (const auto layer = layerOf(name, all[s]); layer && layer->first < all[s].layers)
        used = firstLayers[s].count(all[s].prefix + std::string("0") + std::string(layer->second)) != 0 &&
               std::to_string(layer->first) + std::string(layer->second) == name.substr(std::strlen(all[s].prefix));
    if (!used) fail(name, "is not part of the model");
  }
}

bool heldInHalf(const std::string& name) {
  static const char* const kMatrices[] = {"_proj.weight", ".fc1.weight", ".fc2.weight"};
  if (name == "model.encoder.conv2.weight" || name == "model.encoder.embed_positions.weight" ||
      name == "model.decoder.embed_tokens.weight")
    return true;
  if (!name.starts_with("model.encoder.layers.") && !name.starts_with("model.decoder.layers.")) return false;
  for (const char* suffix : kMatrices)
    if (name.ends_with(suffix)) return true;
  return false;
}

void writeText(const std::filesystem::path& path, const std::string& text, bool sync) {
  const std::string bytes = text + '\n';
  auto fail = [&] { throw std::runtime_error(path.string() + ": cannot write: " + std::strerror(errno)); };
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) fail();
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      ::close(fd);
      errno = error;
      fail();
    }
    done += static_cast<std::size_t>(n);
  }
  if ((sync && ::fsync(fd) != 0) | (::close(fd) != 0)) fail();
}

}  // namespace platform::ml::detail

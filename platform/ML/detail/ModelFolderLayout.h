// What the model folders hold, shared by the folder writer and the checkpoint packer: each folder's
// description (its model.json) and which weights go into its weights.safetensors, and the tensors
// (name and shape) the encoder and decoder need.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/ML/ModelFolders.h"

namespace platform::ml::detail {

struct FolderLayout {
  std::string name;          // "AudioEncoder.mlmodelc"
  std::string description;   // the text of model.json
  std::string weightPrefix;  // the weights whose names start with it; empty: no weights file
};

// MelSpectrogram, AudioEncoder, TextDecoder and, when options.prefill.length > 0,
// TextDecoderContextPrefill (whose tables the caller writes).
std::vector<FolderLayout> folderLayouts(const WhisperDimensions& dims, const ModelFolderOptions& options);

// Name => shape of every tensor the encoder and decoder folders hold.
std::map<std::string, std::vector<std::int64_t>> expectedShapes(const WhisperDimensions& dims);

// Every needed tensor present at its shape, and no "model.encoder." or "model.decoder." tensor
// the folders would leave unused; the key projections' biases may be absent. Throws
// std::runtime_error "<where>: tensor "<name>" <problem>".
void checkShapes(const WhisperDimensions& dims, const std::map<std::string, std::vector<std::int64_t>>& shapes,
                 const std::string& where);

// Whether the kernels hold the tensor in half precision (the projection and MLP matrices, the
// second convolution, the encoder positions and the token table); the folders store these as F16,
// rounded as the kernels would round them, and every other tensor as F32.
bool heldInHalf(const std::string& name);

// Writes text and a newline to path; `sync` flushes it to disk before returning.
void writeText(const std::filesystem::path& path, const std::string& text, bool sync = false);

}  // namespace platform::ml::detail

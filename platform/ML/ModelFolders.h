// Writing the four speech-model folders ("MelSpectrogram.mlmodelc", "AudioEncoder.mlmodelc",
// "TextDecoder.mlmodelc", "TextDecoderContextPrefill.mlmodelc") from dimensions and weights, for
// the packer and the tiny-model maker in tools/ and for tests. Weights use the model family's
// common checkpoint names ("model.decoder.embed_tokens.weight"). Throws std::runtime_error when
// a folder cannot be written, or, before writing anything, when a tensor is missing, has another
// shape, or would be left unused.
//   writeModelFolders(dir, dims, randomWeights(dims, 7));
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/ML/CheckpointError.h"

namespace platform::ml {

struct WhisperDimensions {
  std::int64_t nMels = 80;           // mel bands
  std::int64_t nAudioCtx = 1500;     // encoder frames per 30 s window (mel frames / 2)
  std::int64_t nAudioState = 512;    // encoder width
  std::int64_t nAudioHead = 8;
  std::int64_t nAudioLayer = 6;
  std::int64_t nVocab = 51864;
  std::int64_t nTextCtx = 448;       // rows of the decoder's position table
  std::int64_t nTextState = 512;     // decoder width (equal to the encoder width)
  std::int64_t nTextHead = 8;
  std::int64_t nTextLayer = 6;
  std::int64_t nFf = 2048;           // MLP width of both stacks
  std::int64_t kvCacheLength = 224;  // S: cache positions the decoder model takes
};

struct WeightTensor {
  std::vector<std::int64_t> shape;
  std::vector<float> data;
};
using WeightMap = std::map<std::string, WeightTensor>;

struct PrefillTables {
  std::int64_t length = 0;                // P: positions covered; 0 writes no prefill folder
  std::vector<std::int64_t> languageTokens;
  WeightTensor keys, values;              // [2, languages, L·D, P]
};

struct ModelFolderOptions {
  std::vector<std::pair<int, int>> alignmentHeads;  // (layer, head); empty: no alignment output
  PrefillTables prefill;                            // empty: no "TextDecoderContextPrefill" folder
};

// Random weights of every tensor the encoder and decoder need (normal, scaled by 1/sqrt(width)),
// with the family's sinusoidal encoder positions.
WeightMap randomWeights(const WhisperDimensions& dims, std::uint32_t seed);

// Random prefill tables for the given language tokens and P positions.
PrefillTables randomPrefill(const WhisperDimensions& dims, std::vector<std::int64_t> languageTokens,
                            std::int64_t length, std::uint32_t seed);

// The heads of the second half of the decoder layers, the usual default for alignment.
std::vector<std::pair<int, int>> defaultAlignmentHeads(const WhisperDimensions& dims);

// Writes the model folders into `folder` (created when absent).
void writeModelFolders(const std::filesystem::path& folder, const WhisperDimensions& dims, const WeightMap& weights,
                       const ModelFolderOptions& options = {});

// Where packed folders came from, kept beside them in "source.json": the repository, its commit
// and the entity tag of each file the folders were made from ("model.safetensors" => its etag),
// so that the checkpoint's weights need not be kept to tell a changed checkpoint.
struct CheckpointSource {
  std::string repository;                     // "openai/whisper-base.en"
  std::string commit;
  std::map<std::string, std::string> etags;   // file name => entity tag
  friend bool operator==(const CheckpointSource&, const CheckpointSource&) = default;
};

// Reads a checkpoint folder (config.json, model.safetensors in F32, F16, BF16 or F64, optionally
// generation_config.json with "alignment_heads") and writes the model folders into `folder`, the
// matrices the runtime holds in half precision as F16 (rounded to nearest even, as it would round
// them) and every other tensor as F32, with `source`, when given, in folder/source.json. No
// prefill folder: a prefill cannot equal what the decoder computes over real audio.
// Tensors stream through in blocks, so memory stays a few megabytes whatever the model's size.
// The folders are written into a hidden temporary sibling of `folder` (parents are created) and
// renamed into place once complete and flushed to disk; on any error the sibling is removed, so a
// folder at `folder` is always complete (a process killed while packing leaves its sibling,
// ".<name>.partial-<pid>-<random>", behind). A `folder` that already exists, or that appears while
// packing, is an error and is left as it is. Throws CheckpointError naming the file (and tensor)
// for a missing config.json or weights file, a sharded checkpoint (model.safetensors.index.json;
// not supported), a missing, misshapen, unused or non-floating-point tensor, a non-finite value, a
// matrix value beyond the half range, and a file of the folders it cannot write; a folder that the
// file system refuses to create throws std::filesystem::filesystem_error.
void packCheckpoint(const std::filesystem::path& checkpoint, const std::filesystem::path& folder,
                    const std::optional<CheckpointSource>& source = std::nullopt);

// The source recorded in folder/source.json; absent when there is none or it is not a record
// (folders packed without one, or by an earlier version). Never throws.
std::optional<CheckpointSource> readCheckpointSource(const std::filesystem::path& folder);

// Removes what killed packers of `folder` left beside it: folders named exactly
// ".<name>.partial-<pid>-<8 hex digits>" that are ours, no links, and whose process is gone, and
// the pack lock ".<name>.lock" when nobody holds it. packCheckpoint calls it first. Never throws.
void removeStalePackingLeftovers(const std::filesystem::path& folder);

}  // namespace platform::ml

// Tiny random-weight speech models for the runtime's tests, written into a temporary folder.
#pragma once

#include <filesystem>

#include "platform/ML/MLModel.h"
#include "platform/ML/ModelFolders.h"
#include "testsupport/Fixtures.h"

namespace platform::ml::testing {

inline WhisperDimensions tinyDimensions() {
  WhisperDimensions d;
  d.nMels = 8;
  d.nAudioCtx = 12;  // 24 mel frames, 3840 samples
  d.nAudioState = d.nTextState = 16;
  d.nAudioHead = d.nTextHead = 4;
  d.nAudioLayer = 2;
  d.nTextLayer = 2;
  d.nVocab = 40;
  d.nTextCtx = 16;
  d.nFf = 32;
  d.kvCacheLength = 10;
  return d;
}

struct TinyModel {
  testsupport::TempDir dir;
  WhisperDimensions dims = tinyDimensions();

  explicit TinyModel(std::uint32_t seed = 7, std::int64_t prefillLength = 3) {
    ModelFolderOptions options;
    options.alignmentHeads = {{1, 0}, {1, 3}};
    options.prefill = randomPrefill(dims, {30, 31}, prefillLength, seed + 1);
    writeModelFolders(dir.path(), dims, randomWeights(dims, seed), options);
  }
  std::filesystem::path folder(const char* name) const { return dir.path() / (std::string(name) + ".mlmodelc"); }
  std::shared_ptr<MLModel> load(const char* name) const { return MLModel::load(folder(name)); }
};

}  // namespace platform::ml::testing

// The engine's model helpers on top of the core library's: the variant from the decoder's and
// encoder's sizes, the public tokenizer repository of a variant, finding (local folders first)
// or downloading that tokenizer, the tokenizer a packed checkpoint brings, a device's model
// support, and display order of model folder names. Stateless; safe from any thread. Only the
// two tokenizer loaders touch disk, and only loadTokenizer the network.
//   ModelUtilities::detectVariant(51865, 1280) == ModelVariant::largev2
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "KestrumCore/ModelUtilities.h"
#include "Murmel/data/ModelSupport.h"
#include "Murmel/data/ModelVariant.h"
#include "Murmel/decoding/WhisperTokenizer.h"

namespace murmel {

// kestrum::ModelUtilities' entry points plus the engine's; never instantiated.
struct ModelUtilities : kestrum::ModelUtilities {
  ModelUtilities() = delete;

  // Vocabulary size 51864 is English-only, 51865 multilingual, 51866 the third generation;
  // widths 384 + 128·k pick the size. An unknown vocabulary logs an error and gives base.
  static ModelVariant detectVariant(std::int64_t logitsDim, std::int64_t encoderDim);

  // "openai/whisper-<description>": baseEn => "openai/whisper-base.en".
  static std::string tokenizerNameForVariant(ModelVariant variant);

  // The variant's tokenizer from the first folder holding "tokenizer.json" among: the cache's copy
  // of the tokenizer repository under `tokenizerFolder`, `tokenizerFolder` itself, then
  // `additionalSearchPaths`; a local copy that fails to load is logged and skipped. Otherwise (or
  // then) downloaded into that cache from `endpoint` (absent: the client's default, HF_ENDPOINT or
  // the public service). Throws only the download's errors (hub, tokenizer).
  static std::shared_ptr<const WhisperTokenizer> loadTokenizer(
      ModelVariant variant, const std::optional<std::filesystem::path>& tokenizerFolder,
      const std::vector<std::filesystem::path>& additionalSearchPaths = {}, bool useBackgroundSession = false,
      const std::optional<std::string>& endpoint = std::nullopt);

  // The tokenizer of the checkpoint repository a packed model folder was made from, whose cache
  // copy holds the folder ("<base>/models/<owner>/<name>/<owner>_<name>"): the repository's own
  // tokenizer.json beside it, whatever size the model's width suggests. Nothing when the folder
  // is not such a folder, there is no tokenizer.json, or it does not load (logged). No network.
  static std::shared_ptr<const WhisperTokenizer> loadCheckpointTokenizer(const std::filesystem::path& modelFolder);

  // `config`'s support for the device, or the built-in table's when none is given.
  static ModelSupport modelSupport(const std::string& deviceName, const std::optional<ModelSupportConfig>& config);

  // Model folder names of known variants, each once, in variant order, then by name:
  //   ["openai_whisper-base/AudioEncoder.mlmodelc", "openai_whisper-tiny", "README.md"]
  //     => ["openai_whisper-tiny", "openai_whisper-base"]
  static std::vector<std::string> formatModelFiles(const std::vector<std::string>& modelFiles);
};

// Forwards of the engine module.
std::shared_ptr<const WhisperTokenizer> loadTokenizer(ModelVariant variant,
                                                      const std::optional<std::filesystem::path>& tokenizerFolder,
                                                      bool useBackgroundSession = false);
ModelSupport modelSupport(const std::string& deviceName, const std::optional<ModelSupportConfig>& config = std::nullopt);
// The same lookup reduced to (default, disabled).
std::pair<std::string, std::vector<std::string>> modelSupportDefaultAndDisabled(
    const std::string& deviceName, const std::optional<ModelSupportConfig>& config = std::nullopt);
std::filesystem::path detectModelURL(const std::filesystem::path& folder, const std::string& name);

}  // namespace murmel

// Builds a ready tokenizer from a repository id (its configuration files fetched through the
// repository client), from a local model folder, or from the two parsed documents. The class is
// chosen by "tokenizer_class" without "Fast": a registered subclass (LlamaTokenizer), else
// PreTrainedTokenizer. The repository and folder forms block while the files are read or
// downloaded. Errors: TokenizerError::missingConfig when no tokenizer configuration is found, and
// the repository client's and the tokenizer's errors unchanged.
//   auto t = AutoTokenizer::fromPretrained("openai/whisper-tiny", hub::HubApi::shared(), true);
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "Hub/Config.h"
#include "Hub/HubApi.h"
#include "Tokenizers/PreTrainedTokenizer.h"

namespace tokenizers {

class AutoTokenizer {
 public:
  AutoTokenizer() = delete;

  // Files of the repository at revision "main"; the class table applies.
  static std::unique_ptr<PreTrainedTokenizer> fromPretrained(const std::string& repoId, const hub::HubApi& hubApi,
                                                             bool strict);
  // Files of a folder; always a plain PreTrainedTokenizer, whatever the class name.
  static std::unique_ptr<PreTrainedTokenizer> fromModelFolder(const std::filesystem::path& modelFolder,
                                                              const hub::HubApi& hubApi, bool strict);
  static std::unique_ptr<PreTrainedTokenizer> from(const hub::Config& tokenizerConfig,
                                                   const hub::Config& tokenizerData, bool strict);
};

// The registered subclasses of PreTrainedTokenizer by class name; every other name means
// PreTrainedTokenizer itself.
struct PreTrainedTokenizerClasses {
  using Factory =
      std::function<std::unique_ptr<PreTrainedTokenizer>(const hub::Config&, const hub::Config&, bool strict)>;
  static const std::map<std::string, Factory>& tokenizerClasses();
};

}  // namespace tokenizers

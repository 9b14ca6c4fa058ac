// The configuration documents of a language model and its tokenizer ("config.json",
// "tokenizer.json", "tokenizer_config.json" and a chat template), from a repository (downloaded
// into the cache through a snapshot first) or from a folder on disk. Loading starts on the shared
// thread pool at construction and runs once; every getter waits for it and answers from its
// result, rethrowing the load's error each time. Thread-safe. Errors: Hub::HubClientError
// (configurationMissing for a missing "tokenizer.json", jsonSerialization for a malformed
// document, fileSystemError for an unreadable one, networkError for a failed transfer), and the
// snapshot's other errors unchanged.
//   LanguageModelConfigurationFromHub c("owner/model", "main", api);  Config data = c.tokenizerData();
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "Hub/Config.h"
#include "Hub/HubApi.h"
#include "KestrumCore/Concurrency.h"

namespace hub {

class LanguageModelConfigurationFromHub {
 public:
  struct Configurations {
    std::optional<Config> modelConfig;      // "config.json"
    std::optional<Config> tokenizerConfig;  // "tokenizer_config.json" with the chat template merged in
    Config tokenizerData;                   // "tokenizer.json"
  };

  LanguageModelConfigurationFromHub(const std::string& modelName, const std::string& revision, const HubApi& hubApi);
  LanguageModelConfigurationFromHub(const std::filesystem::path& modelFolder, const HubApi& hubApi);

  std::optional<Config> modelConfig() const { return load().modelConfig; }
  Config tokenizerData() const { return load().tokenizerData; }
  // "model_type" of the model configuration when it is a text.
  std::optional<std::string> modelType() const;
  // The loaded tokenizer configuration, completed when it names no tokenizer class: from the
  // model type's fallback configuration (whose members win), else with "tokenizer_class" set to
  // the capitalised model type + "Tokenizer".
  std::optional<Config> tokenizerConfig() const;

  // The five files of a repository through a snapshot, then the folder loader.
  static Configurations loadConfig(const std::string& modelName, const std::string& revision, const HubApi& hubApi);
  static Configurations loadConfig(const std::filesystem::path& modelFolder, const HubApi& hubApi);
  // The library's fallback tokenizer configuration for a model type (letters, marks, numbers,
  // "-" and "_" only); nothing when there is none.
  static std::optional<Config> fallbackTokenizerConfig(const std::string& modelType);

 private:
  const Configurations& load() const;

  kestrum::Task<Configurations> configPromise_;
};

}  // namespace hub

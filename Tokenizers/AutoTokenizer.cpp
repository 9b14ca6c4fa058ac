#include "Tokenizers/AutoTokenizer.h"

#include "Hub/LanguageModelConfigurationFromHub.h"
#include "Tokenizers/LlamaPreTrainedTokenizer.h"
#include "Tokenizers/TokenizerError.h"

namespace tokenizers {
namespace {

std::string withoutFast(std::string name) {
  for (std::size_t at; (at = name.find("Fast")) != std::string::npos;) name.erase(at, 4);
  return name;
}

}  // namespace

const std::map<std::string, PreTrainedTokenizerClasses::Factory>& PreTrainedTokenizerClasses::tokenizerClasses() {
  static const std::map<std::string, Factory> classes = {
      {"LlamaTokenizer",
       [](const hub::Config& config, const hub::Config& data, bool strict) -> std::unique_ptr<PreTrainedTokenizer> {
         return std::make_unique<LlamaPreTrainedTokenizer>(config, data, strict);
       }},
  };
  return classes;
}

std::unique_ptr<PreTrainedTokenizer> AutoTokenizer::from(const hub::Config& tokenizerConfig,
                                                         const hub::Config& tokenizerData, bool strict) {
  if (auto name = tokenizerConfig["tokenizerClass"].string()) {
    const auto& classes = PreTrainedTokenizerClasses::tokenizerClasses();
    if (auto found = classes.find(withoutFast(*name)); found != classes.end())
      return found->second(tokenizerConfig, tokenizerData, strict);
  }
  return std::make_unique<PreTrainedTokenizer>(tokenizerConfig, tokenizerData, strict);
}

std::unique_ptr<PreTrainedTokenizer> AutoTokenizer::fromPretrained(const std::string& repoId, const hub::HubApi& hubApi,
                                                                   bool strict) {
  hub::LanguageModelConfigurationFromHub configuration(repoId, "main", hubApi);
  auto tokenizerConfig = configuration.tokenizerConfig();
  if (!tokenizerConfig) throw TokenizerError::missingConfig();
  return from(*tokenizerConfig, configuration.tokenizerData(), strict);
}

std::unique_ptr<PreTrainedTokenizer> AutoTokenizer::fromModelFolder(const std::filesystem::path& modelFolder,
                                                                    const hub::HubApi& hubApi, bool strict) {
  hub::LanguageModelConfigurationFromHub configuration(modelFolder, hubApi);
  auto tokenizerConfig = configuration.tokenizerConfig();
  if (!tokenizerConfig) throw TokenizerError::missingConfig();
  return std::make_unique<PreTrainedTokenizer>(*tokenizerConfig, configuration.tokenizerData(), strict);
}

}  // namespace tokenizers

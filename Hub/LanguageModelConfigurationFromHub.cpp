#include "Hub/LanguageModelConfigurationFromHub.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>

#include "platform/Net/Http.h"
#include "platform/System/Json.h"
#include "platform/Text/Unicode.h"

namespace hub {
namespace fs = std::filesystem;
using Error = Hub::HubClientError;
using Configurations = LanguageModelConfigurationFromHub::Configurations;

namespace {

// The library's fallback tokenizer configurations, by resource name.
const std::map<std::string, std::string, std::less<>>& fallbackResources() {
  static const std::map<std::string, std::string, std::less<>> resources = {
      {"gpt2_tokenizer_config",
       R"({"tokenizer_class": "GPT2Tokenizer", "bos_token": "<|endoftext|>", "eos_token": "<|endoftext|>",
           "unk_token": "<|endoftext|>", "add_prefix_space": false, "model_max_length": 1024})"},
  };
  return resources;
}

bool somethingAt(const fs::path& path) {
  std::error_code error;
  return fs::exists(fs::symlink_status(path, error));
}

std::string readText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw fs::filesystem_error("Cannot read file", path, std::make_error_code(std::errc::io_error));
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw fs::filesystem_error("Cannot read file", path, std::make_error_code(std::errc::io_error));
  return text;
}

// A JSON document that must be readable: HubClientError stays, anything else is a file error.
std::optional<Config> readDocument(const fs::path& path, const HubApi& api) {
  if (!somethingAt(path)) return std::nullopt;
  try {
    return api.configuration(path);
  } catch (const Error&) {
    throw;
  } catch (const std::exception& e) {
    throw Error::fileSystemError(e.what());
  }
}

// The chat template text, or nothing; every failure here means no template.
std::optional<std::string> readChatTemplate(const fs::path& folder, const HubApi& api) {
  fs::path jinja = folder / "chat_template.jinja";
  if (somethingAt(jinja)) {
    try {
      std::string text = readText(jinja);
      if (platform::text::isValidUtf8(text)) return text;
    } catch (const std::exception&) {
    }
    return std::nullopt;
  }
  fs::path json = folder / "chat_template.json";
  if (!somethingAt(json)) return std::nullopt;
  try {
    return api.configuration(json)["chatTemplate"].string();
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

Config withMember(const std::optional<Config>& base, const std::string& key, Config value) {
  Config::Dictionary members;
  if (base && base->dictionary()) members = *base->dictionary();
  members[BinaryDistinctString(key)] = std::move(value);
  return Config(std::move(members));
}

bool isResourceName(const std::string& modelType) {
  if (modelType.empty() || !platform::text::isValidUtf8(modelType)) return false;
  for (char32_t c : platform::text::scalars(modelType)) {
    if (c == '-' || c == '_') continue;
    if (!platform::text::isLetter(c) && !platform::text::isMark(c) && !platform::text::isNumeric(c)) return false;
  }
  return true;
}

}  // namespace

LanguageModelConfigurationFromHub::LanguageModelConfigurationFromHub(const std::string& modelName,
                                                                     const std::string& revision, const HubApi& hubApi)
    : configPromise_([modelName, revision, hubApi] { return loadConfig(modelName, revision, hubApi); }) {}

LanguageModelConfigurationFromHub::LanguageModelConfigurationFromHub(const fs::path& modelFolder, const HubApi& hubApi)
    : configPromise_([modelFolder, hubApi] { return loadConfig(modelFolder, hubApi); }) {}

const Configurations& LanguageModelConfigurationFromHub::load() const { return configPromise_.value(); }

std::optional<std::string> LanguageModelConfigurationFromHub::modelType() const {
  const auto& model = load().modelConfig;
  if (!model) return std::nullopt;
  return (*model)["modelType"].string();
}

std::optional<Config> LanguageModelConfigurationFromHub::tokenizerConfig() const {
  const std::optional<Config>& loaded = load().tokenizerConfig;
  if (!loaded) {
    auto type = modelType();
    return type ? fallbackTokenizerConfig(*type) : std::nullopt;
  }
  if ((*loaded)["tokenizerClass"].string()) return loaded;
  auto type = modelType();
  if (!type) return loaded;
  if (auto fallback = fallbackTokenizerConfig(*type)) {
    Config::Dictionary members = fallback->dictionary() ? *fallback->dictionary() : Config::Dictionary();
    if (loaded->dictionary())
      for (const auto& [key, value] : *loaded->dictionary()) members.emplace(key, value);  // the fallback's win
    return Config(std::move(members));
  }
  return withMember(loaded, "tokenizer_class", Config(platform::text::capitalized(*type) + "Tokenizer"));
}

Configurations LanguageModelConfigurationFromHub::loadConfig(const std::string& modelName, const std::string& revision,
                                                             const HubApi& hubApi) {
  try {
    fs::path folder = hubApi.snapshot(
        Hub::Repo{modelName, Hub::RepoType::models}, revision,
        std::vector<std::string>{"config.json", "tokenizer_config.json", "chat_template.jinja", "chat_template.json",
                                 "tokenizer.json"});
    return loadConfig(folder, hubApi);
  } catch (const platform::net::TransferError& e) {
    throw Error::networkError(e.what());
  }
}

Configurations LanguageModelConfigurationFromHub::loadConfig(const fs::path& modelFolder, const HubApi& hubApi) {
  Configurations result;
  result.modelConfig = readDocument(modelFolder / "config.json", hubApi);
  auto data = readDocument(modelFolder / "tokenizer.json", hubApi);
  if (!data) throw Error::configurationMissing("tokenizer.json");
  result.tokenizerData = std::move(*data);
  result.tokenizerConfig = readDocument(modelFolder / "tokenizer_config.json", hubApi);
  if (auto chatTemplate = readChatTemplate(modelFolder, hubApi))
    result.tokenizerConfig = withMember(result.tokenizerConfig, "chat_template", Config(*chatTemplate));
  return result;
}

std::optional<Config> LanguageModelConfigurationFromHub::fallbackTokenizerConfig(const std::string& modelType) {
  if (!isResourceName(modelType)) return std::nullopt;
  auto resource = fallbackResources().find(modelType + "_tokenizer_config");
  if (resource == fallbackResources().end()) return std::nullopt;
  try {
    platform::json::Value document = platform::json::parse(resource->second);
    if (document.kind() != platform::json::Value::Kind::object)
      throw Error::parseError("Failed to parse fallback tokenizer config");
    return Config::convertToBinaryDistinctKeys(document);
  } catch (const std::exception& e) {
    std::printf("Error loading fallback tokenizer config: %s\n", e.what());
    std::fflush(stdout);
    return std::nullopt;
  }
}

}  // namespace hub

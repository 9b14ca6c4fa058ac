#include "Murmel/models/EngineModelUtilities.h"

#include <algorithm>
#include <bit>
#include <set>

#include "Hub/HubApi.h"
#include "Hub/LanguageModelConfigurationFromHub.h"
#include "KestrumCore/Extensions.h"
#include "Murmel/common/EngineLogging.h"
#include "Murmel/data/Constants.h"
#include "Tokenizers/AutoTokenizer.h"
#include "Tokenizers/PreTrainedTokenizer.h"

namespace murmel {
namespace fs = std::filesystem;

ModelVariant ModelUtilities::detectVariant(std::int64_t logitsDim, std::int64_t encoderDim) {
  // 384, 512, 640, ... => 0, 1, 2, ...; a width off that ladder gives a huge k and the row's default.
  const std::uint64_t k = std::rotr(static_cast<std::uint64_t>(encoderDim - 384), 7);
  using V = ModelVariant;
  switch (logitsDim) {
    case 51864: {
      static constexpr V english[] = {V::tinyEn, V::baseEn, V::baseEn, V::smallEn, V::baseEn, V::mediumEn};
      return k < std::size(english) ? english[k] : V::baseEn;
    }
    case 51865: {
      static constexpr V multilingual[] = {V::tiny, V::base, V::base, V::small, V::base, V::medium, V::base, V::largev2};
      return k < std::size(multilingual) ? multilingual[k] : V::base;
    }
    case 51866:
      return V::largev3;
    default:
      Logging::error("Unrecognized vocabulary size: " + std::to_string(logitsDim) + ", defaulting to base variant");
      return V::base;
  }
}

std::string ModelUtilities::tokenizerNameForVariant(ModelVariant variant) {
  return "openai/whisper-" + description(variant);
}

namespace {

// The tokenizer of a local folder, or nothing after logging why not.
std::shared_ptr<const WhisperTokenizer> loadLocalTokenizer(const fs::path& folder, const hub::HubApi& hubApi) {
  try {
    hub::LanguageModelConfigurationFromHub configuration(folder, hubApi);
    auto tokenizerConfig = configuration.tokenizerConfig();
    if (!tokenizerConfig) {
      Logging::debug("Tokenizer configuration not found in local config");
      return nullptr;
    }
    auto tokenizer =
        std::make_shared<tokenizers::PreTrainedTokenizer>(*tokenizerConfig, configuration.tokenizerData(), true);
    Logging::debug("Loading tokenizer from " + folder.string());
    return std::make_shared<WhisperTokenizerWrapper>(std::move(tokenizer), folder);
  } catch (const std::exception& e) {
    Logging::debug(std::string("Error loading local tokenizer: ") + e.what());
    return nullptr;
  }
}

}  // namespace

std::shared_ptr<const WhisperTokenizer> ModelUtilities::loadTokenizer(
    ModelVariant variant, const std::optional<fs::path>& tokenizerFolder,
    const std::vector<fs::path>& additionalSearchPaths, bool useBackgroundSession,
    const std::optional<std::string>& endpoint) {
  const std::string name = tokenizerNameForVariant(variant);
  const hub::HubApi hubApi(tokenizerFolder, std::nullopt, endpoint, useBackgroundSession, std::nullopt);
  const fs::path repoFolder = hubApi.localRepoLocation(hub::Hub::Repo{name, hub::Hub::RepoType::models});

  std::vector<fs::path> candidates{repoFolder};
  if (tokenizerFolder) candidates.push_back(*tokenizerFolder);
  candidates.insert(candidates.end(), additionalSearchPaths.begin(), additionalSearchPaths.end());
  std::optional<fs::path> localFolder;
  for (const auto& candidate : candidates) {
    const fs::path path = candidate / "tokenizer.json";
    std::error_code error;
    const bool found = fs::exists(path, error);
    Logging::debug("Checking for local tokenizer at " + path.string() + " - " + (found ? "found" : "not found"));
    if (found) {
      localFolder = candidate;
      break;
    }
  }
  if (localFolder) Logging::debug("Found local tokenizer at " + localFolder->string());
  else Logging::debug("No tokenizer found in any local search paths");

  if (localFolder)
    if (auto tokenizer = loadLocalTokenizer(*localFolder, hubApi)) return tokenizer;

  Logging::debug("Downloading tokenizer from Hub at " + repoFolder.string());
  std::shared_ptr<const tokenizers::Tokenizer> tokenizer = tokenizers::AutoTokenizer::fromPretrained(name, hubApi, true);
  return std::make_shared<WhisperTokenizerWrapper>(std::move(tokenizer), repoFolder);
}

std::shared_ptr<const WhisperTokenizer> ModelUtilities::loadCheckpointTokenizer(const fs::path& modelFolder) {
  fs::path folder = modelFolder.lexically_normal();
  if (!folder.has_filename()) folder = folder.parent_path();
  const fs::path root = folder.parent_path();
  if (folder.filename() != root.parent_path().filename().string() + "_" + root.filename().string()) return nullptr;
  std::error_code error;
  if (!fs::exists(root / "tokenizer.json", error)) return nullptr;
  Logging::debug("Found the checkpoint's own tokenizer at " + root.string());
  const hub::HubApi local(root, std::nullopt, std::nullopt, false, true);
  return loadLocalTokenizer(root, local);
}

ModelSupport ModelUtilities::modelSupport(const std::string& deviceName, const std::optional<ModelSupportConfig>& config) {
  return (config ? *config : Constants::fallbackModelSupportConfig()).modelSupport(deviceName);
}

std::vector<std::string> ModelUtilities::formatModelFiles(const std::vector<std::string>& modelFiles) {
  const auto& variants = allModelVariants();
  std::vector<std::string> searchTerms;
  for (auto variant : variants) {
    std::string term = description(variant);
    if (term.find("large") == std::string::npos) term += "/";
    searchTerms.push_back(std::move(term));
  }
  std::set<std::string> heads;
  for (const auto& file : modelFiles) {
    const std::string head = file.substr(0, file.find('/')) + "/";
    if (std::any_of(searchTerms.begin(), searchTerms.end(),
                    [&](const std::string& term) { return head.find(term) != std::string::npos; }))
      heads.insert(head);
  }
  std::vector<std::string> names;
  for (const auto& head : heads) names.push_back(kestrum::trimmingFromEnd(head, '/', 1));

  // The first variant description a name contains; names without one come last.
  auto group = [&](const std::string& name) {
    for (std::size_t i = 0; i < variants.size(); ++i)
      if (name.find(description(variants[i])) != std::string::npos) return i;
    return variants.size();
  };
  std::sort(names.begin(), names.end(), [&](const std::string& a, const std::string& b) {
    const auto ga = group(a), gb = group(b);
    return ga != gb ? ga < gb : a < b;
  });
  return names;
}

std::shared_ptr<const WhisperTokenizer> loadTokenizer(ModelVariant variant,
                                                      const std::optional<fs::path>& tokenizerFolder,
                                                      bool useBackgroundSession) {
  return ModelUtilities::loadTokenizer(variant, tokenizerFolder, {}, useBackgroundSession);
}

ModelSupport modelSupport(const std::string& deviceName, const std::optional<ModelSupportConfig>& config) {
  return ModelUtilities::modelSupport(deviceName, config);
}

std::pair<std::string, std::vector<std::string>> modelSupportDefaultAndDisabled(
    const std::string& deviceName, const std::optional<ModelSupportConfig>& config) {
  auto support = ModelUtilities::modelSupport(deviceName, config);
  return {std::move(support.defaultModel), std::move(support.disabled)};
}

fs::path detectModelURL(const fs::path& folder, const std::string& name) {
  return ModelUtilities::detectModelURL(folder, name);
}

}  // namespace murmel

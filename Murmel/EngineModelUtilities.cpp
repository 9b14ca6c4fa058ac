#include "Murmel/EngineModelUtilities.h"

#include "Murmel/WhisperError.h"

namespace murmel {

ModelVariant ModelUtilities::detectVariant(std::int64_t, std::int64_t) { return ModelVariant::base; }
std::string ModelUtilities::tokenizerNameForVariant(ModelVariant variant) { return "openai/whisper-" + description(variant); }
std::shared_ptr<const WhisperTokenizer> ModelUtilities::loadTokenizer(ModelVariant,
                                                                      const std::optional<std::filesystem::path>&,
                                                                      const std::vector<std::filesystem::path>&, bool) {
  throw WhisperError::tokenizerUnavailable();
}
ModelSupport ModelUtilities::modelSupport(const std::string& deviceName, const std::optional<ModelSupportConfig>& config) {
  return config ? config->modelSupport(deviceName) : ModelSupportConfig::makeFallback().modelSupport(deviceName);
}
std::vector<std::string> ModelUtilities::formatModelFiles(const std::vector<std::string>& files) { return files; }

std::shared_ptr<const WhisperTokenizer> loadTokenizer(ModelVariant variant,
                                                      const std::optional<std::filesystem::path>& tokenizerFolder,
                                                      bool useBackgroundSession) {
  return ModelUtilities::loadTokenizer(variant, tokenizerFolder, {}, useBackgroundSession);
}
ModelSupport modelSupport(const std::string& deviceName, const std::optional<ModelSupportConfig>& config) {
  return ModelUtilities::modelSupport(deviceName, config);
}
std::pair<std::string, std::vector<std::string>> modelSupportDefaultAndDisabled(
    const std::string& deviceName, const std::optional<ModelSupportConfig>& config) {
  auto support = ModelUtilities::modelSupport(deviceName, config);
  return {support.defaultModel, support.disabled};
}
std::filesystem::path detectModelURL(const std::filesystem::path& folder, const std::string& name) {
  return ModelUtilities::detectModelURL(folder, name);
}

}  // namespace murmel

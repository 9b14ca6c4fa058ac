#include "Murmel/ModelDownload.h"

#include "Murmel/WhisperError.h"

namespace murmel {

std::optional<std::string> checkpointRepository(std::string_view) { return std::nullopt; }
std::string defaultModelRepository(std::string_view) { return std::string(defaultModelRepo); }
std::string checkpointVariantFolder(std::string_view repoId) { return std::string(repoId); }
std::string deviceName() { return {}; }
ModelSupport recommendedModels() { return ModelSupport("", {}); }
ModelSupportConfig fetchModelSupportConfig(const std::string&, const std::optional<std::filesystem::path>&,
                                           const std::optional<std::string>&, const std::string&,
                                           const std::optional<std::string>&) {
  return ModelSupportConfig::makeFallback();
}
ModelSupport recommendedRemoteModels(const std::string&, const std::optional<std::filesystem::path>&,
                                     const std::optional<std::string>&, const std::string&,
                                     const std::optional<std::string>&) {
  return ModelSupport("", {});
}
std::vector<std::string> fetchAvailableModels(const std::string&, const std::vector<std::string>&,
                                              const std::optional<std::filesystem::path>&,
                                              const std::optional<std::string>&, const std::string&,
                                              const std::optional<std::string>&) {
  return {};
}
std::filesystem::path download(const std::string&, const std::optional<std::filesystem::path>&, bool,
                               const std::optional<std::string>&, const std::optional<std::string>&,
                               const std::optional<std::string>&, const DownloadProgressCallback&,
                               std::optional<bool>) {
  throw WhisperError::modelsUnavailable("not yet");
}

}  // namespace murmel

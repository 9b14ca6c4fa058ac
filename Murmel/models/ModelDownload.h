// Which model suits this device, which models a repository offers, and bringing one model's
// folder into the local cache. Two repository layouts are served: our own (top-level variant
// folders of compiled model folders, plus a model-support JSON file) and a checkpoint repository
// of the model family (top-level config.json + model.safetensors + tokenizer files), whose
// checkpoint is packed into the variant's model folders inside the cache on first use. Offline,
// or when the service cannot be reached, a variant already in the cache is used. Stateless;
// every call blocks the caller; callers in several threads or processes may share one cache (one
// packs while the others wait for its folder). Errors: WhisperError and the repository client's,
// unchanged.
//   auto folder = download("base.en", std::nullopt, false, defaultModelRepository("base.en"));
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "KestrumCore/Progress.h"
#include "Murmel/data/ModelSupport.h"

namespace murmel {

// The repository in our own layout that holds every variant.
inline constexpr std::string_view defaultModelRepo = "ziruzodozu/murmel-coreml";

// The family's checkpoint repository for a model name: "base.en", "openai_whisper-base.en" =>
// "openai/whisper-base.en"; "distil-whisper_distil-large-v3" => "distil-whisper/distil-large-v3".
// Absent for other names (compiled folders with a size or build suffix such as "..._947MB").
std::optional<std::string> checkpointRepository(std::string_view model);
// checkpointRepository(model), else defaultModelRepo.
std::string defaultModelRepository(std::string_view model);
// The variant folder a checkpoint repository is packed into: "openai/whisper-base.en" =>
// "openai_whisper-base.en", inside the repository's local copy.
std::string checkpointVariantFolder(std::string_view repoId);

// The device identifier the support tables are keyed by.
std::string deviceName();

// The built-in table's support for this device; no network.
ModelSupport recommendedModels();
// The repository's model-support file (first of several matches), else the built-in table. Never
// throws: failures are logged and give the built-in table.
ModelSupportConfig fetchModelSupportConfig(const std::string& from,
                                           const std::optional<std::filesystem::path>& downloadBase = std::nullopt,
                                           const std::optional<std::string>& token = std::nullopt,
                                           const std::string& remoteConfigName = "config.json",
                                           const std::optional<std::string>& endpoint = std::nullopt);
ModelSupport recommendedRemoteModels(const std::string& from,
                                     const std::optional<std::filesystem::path>& downloadBase = std::nullopt,
                                     const std::optional<std::string>& token = std::nullopt,
                                     const std::string& remoteConfigName = "config.json",
                                     const std::optional<std::string>& endpoint = std::nullopt);
// This device's supported model names that any glob accepts, each once, in display order.
std::vector<std::string> fetchAvailableModels(const std::string& from, const std::vector<std::string>& matching,
                                              const std::optional<std::filesystem::path>& downloadBase = std::nullopt,
                                              const std::optional<std::string>& token = std::nullopt,
                                              const std::string& remoteConfigName = "config.json",
                                              const std::optional<std::string>& endpoint = std::nullopt);

// The local folder of one variant's model folders. Our layout: the one top-level folder matching
// "*<variant>/*" (else "*openai*<variant>/*"), downloaded, then a record of every listed file with
// its size and SHA-256 written last (the cache's copy is used only while that record holds).
// Checkpoint repository: config.json, generation_config.json and the tokenizer files made current
// in the cache; the packed folder checkpointVariantFolder(from) is reused while its source record
// matches the repository's weights (entity tag) and those configuration files, else the weights
// are downloaded, packed and deleted; offline, a complete packed folder is used as it is. A
// sharded checkpoint is refused. `from` absent: defaultModelRepository(variant).
// `useOfflineMode` as the repository client takes it (absent: from the network state).
using DownloadProgressCallback = std::function<void(const kestrum::Progress&)>;
std::filesystem::path download(const std::string& variant,
                               const std::optional<std::filesystem::path>& downloadBase = std::nullopt,
                               bool useBackgroundSession = false, const std::optional<std::string>& from = std::nullopt,
                               const std::optional<std::string>& token = std::nullopt,
                               const std::optional<std::string>& endpoint = std::nullopt,
                               const DownloadProgressCallback& progressCallback = {},
                               std::optional<bool> useOfflineMode = std::nullopt);

}  // namespace murmel

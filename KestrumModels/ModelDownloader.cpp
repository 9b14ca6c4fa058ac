#include "KestrumModels/ModelDownloader.h"

#include <system_error>
#include <utility>

#include "KestrumCore/Concurrency.h"
#include "KestrumCore/Logging.h"
#include "KestrumCore/ModelUtilities.h"

namespace kestrum {

namespace fs = std::filesystem;

namespace {

// The repository as messages print it: Repo(id: "owner/name", type: models).
std::string printed(const hub::Hub::Repo& repo) {
  return "Repo(id: \"" + repo.id + "\", type: " + std::string(hub::Hub::rawValue(repo.type)) + ")";
}

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

}  // namespace

ModelDownloader::ModelDownloader(ModelDownloadConfig config) : config_(std::move(config)) {}

ModelDownloader::ModelDownloader(std::string endpoint, std::string repoName, std::optional<std::string> modelToken,
                                 std::string revision, bool useBackgroundSession)
    : config_{.downloadBase = std::nullopt,
              .modelRepo = std::move(repoName),
              .modelToken = std::move(modelToken),
              .modelFolder = std::nullopt,
              .useBackgroundSession = useBackgroundSession,
              .endpoint = std::move(endpoint),
              .revision = std::move(revision)} {}

hub::HubApi ModelDownloader::client(const std::optional<fs::path>& downloadBase,
                                    std::optional<bool> useOfflineMode) const {
  std::optional<fs::path> base = downloadBase;
  if (!base && config_.downloadBase) base = fs::path(*config_.downloadBase);
  return hub::HubApi(base, config_.modelToken, config_.endpoint, config_.useBackgroundSession, useOfflineMode);
}

hub::Hub::Repo ModelDownloader::repo() const { return hub::Hub::Repo{config_.modelRepo, hub::Hub::RepoType::models}; }

fs::path ModelDownloader::downloadModel(const ModelInfo& modelInfo, const std::optional<fs::path>& downloadBase,
                                        std::optional<bool> useOfflineMode) const {
  const std::string pattern = modelInfo.downloadPattern();
  const hub::HubApi api = client(downloadBase, useOfflineMode);
  const hub::Hub::Repo repository = repo();
  const bool offline = useOfflineMode.value_or(false);

  std::vector<std::string> listed;
  if (offline) {
    Logging::debug("[ModelDownloader] Searching for models matching " + quoted(pattern) + " in " + printed(repository));
    listed = api.getFilenames(repository, config_.revision, {pattern});
    if (listed.empty())
      throw ModelDownloaderError::modelUnavailable("No models found matching " + quoted(pattern) + " in " +
                                                   printed(repository));
  }
  Logging::debug("[ModelDownloader] Downloading model " + pattern + " with offline mode: " + (offline ? "true" : "false"));
  const fs::path folder = api.snapshot(repository, config_.revision, {pattern}, [](const kestrum::Progress&) {});

  // The offline snapshot checks only the files that are there: a download cut short leaves a model
  // folder that looks whole. Every listed file must be present before the copy counts.
  for (const auto& name : listed) {
    std::error_code error;
    if (!fs::exists(folder / name, error))
      throw ModelDownloaderError::modelUnavailable("Local copy of " + quoted(pattern) + " in " + printed(repository) +
                                                   " is incomplete: " + name + " is missing");
  }
  return folder;
}

fs::path ModelDownloader::localRepoLocation(const std::optional<fs::path>& downloadBase) const {
  return client(downloadBase, std::nullopt).localRepoLocation(repo());
}

fs::path ModelDownloader::resolveModel(const std::string& name, const ModelInfo& info,
                                       const std::optional<fs::path>& modelFolder,
                                       const std::optional<fs::path>& downloadBase, bool download,
                                       const ModelStateCallback& modelStateCallback) const {
  std::optional<fs::path> folder = modelFolder;
  if (!folder && config_.modelFolder) folder = fs::path(*config_.modelFolder);
  if (folder) {
    if (auto found = modelURLIfExists(info.modelURL(*folder), name)) {
      Logging::debug("[ModelDownloader] Found " + name + " in model folder");
      return *found;
    }
  }

  try {
    const fs::path cached = downloadModel(info, downloadBase, true);
    if (auto found = modelURLIfExists(info.modelURL(cached), name)) {
      Logging::debug("[ModelDownloader] Found existing " + name + " in cache");
      if (modelStateCallback) modelStateCallback(ModelState::downloaded);
      return *found;
    }
  } catch (const CancellationError&) {
    throw;  // a cancelled call ends as cancelled, not as a missing model
  } catch (...) {
    // Not in the cache (or the cache cannot be checked): go on to the download.
  }

  if (!download) throw ModelDownloaderError::modelUnavailable("No model found for " + name + " (download disabled)");

  if (modelStateCallback) modelStateCallback(ModelState::downloading);
  const fs::path downloaded = downloadModel(info, downloadBase, std::nullopt);
  if (auto found = modelURLIfExists(info.modelURL(downloaded), name)) {
    Logging::debug("[ModelDownloader] Downloaded " + name);
    if (modelStateCallback) modelStateCallback(ModelState::downloaded);
    return *found;
  }
  throw ModelDownloaderError::modelUnavailable("No model found for " + name);
}

std::string ModelDownloader::resolveModelPath(const std::string& name, const ModelInfo& info,
                                              const std::optional<fs::path>& modelFolder,
                                              const std::optional<fs::path>& downloadBase, bool download,
                                              const ModelStateCallback& modelStateCallback) const {
  return resolveModel(name, info, modelFolder, downloadBase, download, modelStateCallback).string();
}

fs::path ModelDownloader::resolveRepo(const std::vector<std::string>& patterns,
                                      const std::optional<fs::path>& downloadBase, bool download,
                                      const ProgressCallback& progressCallback) const {
  const fs::path folder = localRepoLocation(downloadBase);
  if (patternsExistLocally(patterns, folder)) {
    Logging::debug("[ModelDownloader] All models found in local cache at " + folder.string());
    return folder;
  }
  if (!download)
    throw ModelDownloaderError::modelUnavailable("No local models found for repo '" + config_.modelRepo +
                                                 "' and download is disabled.");

  const hub::HubApi api = client(downloadBase, std::nullopt);
  Logging::info("[ModelDownloader] Downloading " + std::to_string(patterns.size()) + " model(s) from " +
                config_.modelRepo + "...");
  const fs::path snapshot = api.snapshot(repo(), config_.revision, patterns,
                                         progressCallback ? progressCallback : ProgressCallback([](const kestrum::Progress&) {}));
  Logging::info("[ModelDownloader] Download complete: " + snapshot.string());
  return snapshot;
}

std::vector<std::string> ModelDownloader::fetchFilenames(const std::vector<std::string>& patterns,
                                                         const std::optional<fs::path>& downloadBase) const {
  return client(downloadBase, std::nullopt).getFilenames(repo(), config_.revision, patterns);
}

std::optional<fs::path> ModelDownloader::modelURLIfExists(const fs::path& folder, const std::string& name) const {
  const fs::path url = ModelUtilities::detectModelURL(folder, name);
  std::error_code error;
  if (fs::exists(url, error)) return url;
  return std::nullopt;
}

bool ModelDownloader::patternsExistLocally(const std::vector<std::string>& patterns, const fs::path& repoFolder) const {
  if (patterns.empty()) return false;
  for (const auto& pattern : patterns) {
    // "models/base/*.json" => repoFolder/models/base; "*.json" => nothing, so absent.
    fs::path path = repoFolder;
    bool kept = false;
    std::size_t start = 0;
    while (start <= pattern.size()) {
      std::size_t end = pattern.find('/', start);
      if (end == std::string::npos) end = pattern.size();
      const std::string piece = pattern.substr(start, end - start);
      start = end + 1;
      if (piece.empty()) continue;
      if (piece.find('*') != std::string::npos) break;
      path /= piece;
      kept = true;
    }
    if (!kept) return false;
    std::error_code error;
    fs::directory_iterator entries(path, error);
    if (error || entries == fs::directory_iterator()) return false;
  }
  return true;
}

}  // namespace kestrum

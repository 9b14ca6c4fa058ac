// Finds the compiled models of a model family: in a folder the caller already has, then in the
// repository client's local cache, and downloads them only when allowed. Every operation that
// talks to the repository builds a fresh hub::HubApi from the configuration; the object keeps no
// other state, so one downloader may be used from several threads at once. Operations block;
// they throw ModelDownloaderError for what they decide themselves and pass the client's errors
// on unchanged. Decisions are logged through Logging, each line starting "[ModelDownloader] ".
//   ModelDownloader downloader({.modelRepo = "owner/models", .endpoint = endpoint});
//   auto encoder = downloader.resolveModel("AudioEncoder", info, std::nullopt, std::nullopt, true);
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "Hub/HubApi.h"
#include "KestrumCore/ModelState.h"
#include "KestrumModels/ModelInfo.h"

namespace kestrum {

struct ModelDownloadConfig {
  std::optional<std::string> downloadBase{};  // folder of the client's download cache; absent: its default
  std::string modelRepo{};                  // repository id, "owner/name"
  std::optional<std::string> modelToken{};    // access token; absent: the client looks one up
  std::optional<std::string> modelFolder{};   // folder that already holds the models; searched first
  bool useBackgroundSession = false;        // handed to the client
  std::string endpoint = hub::HubApi::kDefaultEndpoint;  // base address of the repository service
  std::string revision = "main";            // branch, tag or commit to list and download
};

// The one error the downloader raises itself; what() is the payload text.
class ModelDownloaderError : public std::runtime_error {
 public:
  enum class Kind { modelUnavailable };
  static ModelDownloaderError modelUnavailable(const std::string& message) {
    return ModelDownloaderError(Kind::modelUnavailable, message);
  }
  Kind kind() const { return kind_; }
  std::string errorDescription() const { return what(); }

 private:
  ModelDownloaderError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
  Kind kind_;
};

class ModelDownloader {
 public:
  using ModelStateCallback = std::function<void(ModelState)>;
  using ProgressCallback = std::function<void(const kestrum::Progress&)>;

  explicit ModelDownloader(ModelDownloadConfig config);
  // A configuration without download base and model folder.
  ModelDownloader(std::string endpoint, std::string repoName, std::optional<std::string> modelToken,
                  std::string revision, bool useBackgroundSession);
  virtual ~ModelDownloader() = default;

  const ModelDownloadConfig& config() const { return config_; }

  // Snapshot of the files matching the info's download pattern; returns the local repository
  // folder. With offline mode true the service is first asked whether the pattern matches any
  // file, and the snapshot only checks the local copies (every listed file must be there).
  virtual std::filesystem::path downloadModel(const ModelInfo& modelInfo,
                                              const std::optional<std::filesystem::path>& downloadBase,
                                              std::optional<bool> useOfflineMode) const;

  // Where the client keeps this repository. No file-system access, no network.
  virtual std::filesystem::path localRepoLocation(const std::optional<std::filesystem::path>& downloadBase) const;

  // The model file or folder `name` for `info`: from the model folder (argument, else config),
  // else from the cache (reports `downloaded`), else, when `download` allows, downloaded
  // (reports `downloading`, then `downloaded`). The callback sees nothing else.
  virtual std::filesystem::path resolveModel(const std::string& name, const ModelInfo& info,
                                             const std::optional<std::filesystem::path>& modelFolder,
                                             const std::optional<std::filesystem::path>& downloadBase, bool download,
                                             const ModelStateCallback& modelStateCallback = {}) const;
  // resolveModel's result as a file-system path.
  virtual std::string resolveModelPath(const std::string& name, const ModelInfo& info,
                                       const std::optional<std::filesystem::path>& modelFolder,
                                       const std::optional<std::filesystem::path>& downloadBase, bool download,
                                       const ModelStateCallback& modelStateCallback = {}) const;

  // The local repository folder once every pattern's leading literal folders are present there
  // (without any request), else after a snapshot of the patterns when `download` allows. An empty
  // list stands for the whole repository and is never taken as present without a snapshot.
  virtual std::filesystem::path resolveRepo(const std::vector<std::string>& patterns,
                                            const std::optional<std::filesystem::path>& downloadBase, bool download,
                                            const ProgressCallback& progressCallback = {}) const;

  // The repository's file names matching the globs, as the client lists them.
  virtual std::vector<std::string> fetchFilenames(const std::vector<std::string>& patterns,
                                                  const std::optional<std::filesystem::path>& downloadBase) const;

  // The model `name` in `folder` (model-file discovery), when something exists at that path.
  virtual std::optional<std::filesystem::path> modelURLIfExists(const std::filesystem::path& folder,
                                                                const std::string& name) const;

 private:
  // Per pattern: the folder named by its pieces before the first one holding "*" is a non-empty
  // directory below `repoFolder`. A pattern that starts with a wildcard never counts.
  virtual bool patternsExistLocally(const std::vector<std::string>& patterns,
                                    const std::filesystem::path& repoFolder) const;

  hub::HubApi client(const std::optional<std::filesystem::path>& downloadBase, std::optional<bool> useOfflineMode) const;
  hub::Hub::Repo repo() const;

  ModelDownloadConfig config_;
};

}  // namespace kestrum

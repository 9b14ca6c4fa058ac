#include "Murmel/models/ModelDownload.h"

#include <algorithm>
#include <exception>
#include <set>

#include "Hub/HubApi.h"
#include "Hub/HubFileDownloader.h"
#include "KestrumCore/Extensions.h"
#include "Murmel/common/EngineLogging.h"
#include "Murmel/common/WhisperError.h"
#include "Murmel/data/Constants.h"
#include "Murmel/models/EngineModelUtilities.h"
#include "Murmel/models/detail/CompletionRecord.h"
#include "Murmel/models/detail/PackLock.h"
#include "platform/ML/ModelFolders.h"
#include "platform/System/Json.h"
#include "platform/System/NumberText.h"

namespace murmel {
namespace fs = std::filesystem;
using hub::Hub;
using hub::HubApi;

namespace {

using detail::completionHolds;
using detail::PackLock;
using detail::recordCompletion;
using detail::withdrawCompletion;

constexpr const char* kRevision = "main";
constexpr const char* kCheckpointConfig = "config.json";
constexpr const char* kCheckpointWeights = "model.safetensors";
constexpr const char* kShardIndex = "model.safetensors.index.json";
// What packing and the tokenizer read besides the weights; the rest of a checkpoint repository
// stays remote. They stay in the cache; the weights go once packed.
const std::vector<std::string>& checkpointCompanions() {
  static const std::vector<std::string> files{kCheckpointConfig, "generation_config.json", "tokenizer.json",
                                              "tokenizer_config.json"};
  return files;
}
// The files the packed folders are made from, whose entity tags their source record keeps.
constexpr const char* kPackedFrom[] = {kCheckpointConfig, "generation_config.json", kCheckpointWeights};
constexpr const char* kRequiredModels[] = {"MelSpectrogram", "AudioEncoder", "TextDecoder"};
// A model folder of our layout holds fewer than 20 files; a listing that names far more for one
// is no model folder, and is not fetched.
constexpr std::size_t kMaxModelFolderFiles = 64;

std::string describeRepo(const Hub::Repo& repo) {
  return repo.id + " (" + std::string(Hub::rawValue(repo.type)) + ")";
}

bool present(const fs::path& path) {
  std::error_code error;
  return fs::exists(path, error);
}

// The folders of the paths: "a/b/c" => "a".
std::set<std::string> topFolders(const std::vector<std::string>& paths) {
  std::set<std::string> folders;
  for (const auto& path : paths) folders.insert(path.substr(0, path.find('/')));
  return folders;
}

// The three models the loader needs are all there.
bool holdsModels(const fs::path& folder) {
  return std::all_of(std::begin(kRequiredModels), std::end(kRequiredModels),
                     [&](const char* name) { return present(ModelUtilities::detectModelURL(folder, name)); });
}

// The client's download job for one file of the repository's copy at `root`.
HubApi::HubFileDownloader fileJob(const HubApi& hubApi, const Hub::Repo& repo, const fs::path& root,
                                  const std::string& name) {
  return HubApi::HubFileDownloader(hubApi, repo, kRevision, root, name);
}

// The client's record (commit, etag) of a file it downloaded; nothing for a file it did not.
std::optional<HubApi::LocalDownloadFileMetadata> downloadRecord(const HubApi& hubApi, const Hub::Repo& repo,
                                                                const fs::path& root, const std::string& name) {
  if (!present(root / name)) return std::nullopt;
  try {
    return hubApi.readDownloadMetadata(fileJob(hubApi, repo, root, name).metadataDestination());
  } catch (const std::exception& e) {
    Logging::debug(e.what());
    return std::nullopt;
  }
}

// What packing the files at `root` now would record: the entity tags of the files present (empty
// for one the client has no record of), the commit of the weights' download.
platform::ml::CheckpointSource localSource(const HubApi& hubApi, const Hub::Repo& repo, const fs::path& root) {
  platform::ml::CheckpointSource source;
  source.repository = repo.id;
  for (const char* name : kPackedFrom) {
    if (!present(root / name)) continue;
    const auto record = downloadRecord(hubApi, repo, root, name);
    source.etags[name] = record ? record->etag : std::string();
    if (record && std::string(name) == kCheckpointWeights) source.commit = record->commitHash;
  }
  return source;
}

// The packed folder is complete and made from exactly these files (the commit may differ: a
// repository change elsewhere leaves the checkpoint as it is). A folder without a record (packed
// by hand or by an earlier version, its matrices in f32) is made from nothing known.
bool packedFrom(const fs::path& folder, const platform::ml::CheckpointSource& source) {
  if (!holdsModels(folder)) return false;
  const auto recorded = platform::ml::readCheckpointSource(folder);
  return recorded && recorded->repository == source.repository && recorded->etags == source.etags;
}

// Removes the checkpoint's weights and the client's record of them: the packed folder holds all
// that runs, and its source record tells a changed checkpoint without them.
void dropWeights(const HubApi& hubApi, const Hub::Repo& repo, const fs::path& root) {
  std::error_code error;
  fs::remove(fileJob(hubApi, repo, root, kCheckpointWeights).metadataDestination(), error);
  if (fs::remove(root / kCheckpointWeights, error) || !error) return;
  Logging::error("Cannot remove " + (root / kCheckpointWeights).string() + ": " + error.message());
}

// With the lock held and the weights at `root`: packs them into `folder` (a stale folder goes
// first) with their source recorded, then drops them. The packer writes a sibling and renames
// it, so a failure leaves no folder behind, and the weights stay for the next attempt.
fs::path packHeld(const HubApi& hubApi, const Hub::Repo& repo, const fs::path& root, const fs::path& folder) {
  const platform::ml::CheckpointSource source = localSource(hubApi, repo, root);
  if (!packedFrom(folder, source)) {
    std::error_code error;
    if (fs::exists(fs::symlink_status(folder, error))) {
      Logging::info("Packed model folder " + folder.string() + " is incomplete or not made from this checkpoint, packing again");
      fs::remove_all(folder, error);
      if (error) throw WhisperError::modelsUnavailable("Cannot replace " + folder.string() + ": " + error.message());
    }
    Logging::info("Packing checkpoint " + root.string() + " into " + folder.string());
    try {
      platform::ml::packCheckpoint(root, folder, source);
    } catch (const std::runtime_error&) {
      // A writer outside the lock (the packing tool) may have put its pack in place; the packer refuses.
      if (!packedFrom(folder, source)) throw;
    }
  }
  dropWeights(hubApi, repo, root);
  return folder;
}

// The packed folder of the checkpoint as the cache holds it, without the service: a complete
// folder is used as it is (also one packed by an earlier version; it is packed again once the
// service answers); weights without a complete folder are packed.
fs::path ensurePackedLocally(const HubApi& hubApi, const Hub::Repo& repo, const fs::path& root, const fs::path& folder) {
  platform::ml::removeStalePackingLeftovers(folder);  // of packers killed before
  if (holdsModels(folder)) return folder;
  const PackLock lock(hubApi.downloadBase(), folder);
  // Another caller may have packed it while this one waited.
  if (holdsModels(folder)) return folder;
  if (!present(root / kCheckpointWeights)) throw WhisperError::modelsUnavailable("Checkpoint weights missing: " + root.string());
  return packHeld(hubApi, repo, root, folder);
}

// The top-level folders of the paths that `pattern` accepts: the folder when there is exactly
// one, and how many there are.
struct GlobSearch {
  std::optional<std::string> folder;
  std::string pattern;
  std::size_t count = 0;
};

GlobSearch searchFolders(const std::vector<std::string>& paths, const std::string& pattern) {
  const auto folders = topFolders(kestrum::matching(paths, pattern));
  return {folders.size() == 1 ? std::optional<std::string>(*folders.begin()) : std::nullopt, pattern, folders.size()};
}

// The variant as found in the repository's local copy: its packed checkpoint, a checkpoint to
// pack, or the one variant folder the download globs pick among the cached files. Nothing when
// the cache holds none of these.
std::optional<fs::path> findInCache(const HubApi& hubApi, const Hub::Repo& repo, const std::string& variant) {
  // A model planted in another user's folder is not used; a link to a folder of ours is followed once.
  const fs::path root = hubApi.checkCacheFolders(repo);
  const fs::path packed = root / checkpointVariantFolder(repo.id);
  if (holdsModels(packed) || (present(root / kCheckpointConfig) && present(root / kCheckpointWeights)))
    return ensurePackedLocally(hubApi, repo, root, packed);

  std::vector<std::string> paths;
  for (const auto& file : hub::getFileUrls(root)) paths.push_back(fs::relative(file, root).generic_string());
  for (const std::string& pattern : {"*" + variant + "/*", "*openai*" + variant + "/*"}) {
    auto search = searchFolders(paths, pattern);
    if (search.folder && holdsModels(root / *search.folder)) {
      if (completionHolds(hubApi, root, root / *search.folder)) return root / *search.folder;
      Logging::info("Cached model folder " + (root / *search.folder).string() +
                    " has no record of a finished download; it is not used");
    }
    if (search.folder) break;
  }
  return std::nullopt;
}

fs::path fromCache(const HubApi& hubApi, const Hub::Repo& repo, const std::string& variant, const char* why) {
  Logging::info(std::string(why) + ", looking for model " + variant + " of " + describeRepo(repo) +
                " in the local cache at " + hubApi.localRepoLocation(repo).string());
  if (auto folder = findInCache(hubApi, repo, variant)) {
    Logging::info("Using cached model folder " + folder->string());
    return *folder;
  }
  throw WhisperError::modelsUnavailable("No local copy of model \"" + variant + "\" of " + describeRepo(repo) +
                                        " in " + hubApi.localRepoLocation(repo).string() + " (" + why + ")");
}

// A transfer that did not reach the service, as opposed to an answer from it.
bool unreachable(const Hub::HubClientError& error) {
  return error.kind() == Hub::HubClientError::Kind::downloadError ||
         error.kind() == Hub::HubClientError::Kind::networkError;
}

// One bar over a checkpoint's two downloads, the small files and then the weights: the handler
// gets a progress whose total is the bytes of both and whose completed count follows them, so it
// neither starts over between them nor waits for the weights to move. Not thread-safe (one
// download calls it).
class CheckpointProgress {
 public:
  explicit CheckpointProgress(const HubApi::ProgressHandler& handler) : handler_(handler) {}

  // The weights' size while they are to come (0 when they are not).
  void expectWeights(std::int64_t bytes) { weightsTotal_ = std::max<std::int64_t>(bytes, 0); }
  HubApi::ProgressHandler companions() {
    return [this](const kestrum::Progress& p) { phase(p, companionsTotal_, companionsDone_); };
  }
  HubApi::ProgressHandler weights() {
    return [this](const kestrum::Progress& p) { phase(p, weightsTotal_, weightsDone_); };
  }

 private:
  void phase(const kestrum::Progress& p, std::int64_t& total, std::int64_t& done) {
    total = std::max<std::int64_t>(p.totalUnitCount(), 0);
    done = static_cast<std::int64_t>(p.fractionCompleted() * double(total));
    if (const auto speed = p.throughput()) combined_.setThroughput(*speed);
    combined_.setTotalUnitCount(companionsTotal_ + weightsTotal_);
    combined_.setCompletedUnitCount(std::min(companionsDone_ + weightsDone_, companionsTotal_ + weightsTotal_));
    if (handler_) handler_(combined_);
  }

  const HubApi::ProgressHandler& handler_;
  kestrum::Progress combined_;
  std::int64_t companionsTotal_ = 0, companionsDone_ = 0, weightsTotal_ = 0, weightsDone_ = 0;
};

// The checkpoint's files made current in the cache and packed. The small files come first; the
// weights are downloaded only when the packed folder is not made from the repository's weights
// and the configuration now in the cache (its record against the weights' entity tag). The
// weights' size is asked first, so that the bar counts them from the first small file on.
fs::path downloadCheckpoint(const HubApi& hubApi, const Hub::Repo& repo, const HubApi::ProgressHandler& handler) {
  Logging::debug("Downloading checkpoint of " + describeRepo(repo) + "...");
  const fs::path cached = hubApi.checkCacheFolders(repo);
  const fs::path cachedFolder = cached / checkpointVariantFolder(repo.id);
  const auto remote = hubApi.getFileMetadata(fileJob(hubApi, repo, cached, kCheckpointWeights).source());
  auto current = [&](const fs::path& root, const fs::path& folder) {
    platform::ml::CheckpointSource wanted = localSource(hubApi, repo, root);
    wanted.etags[kCheckpointWeights] = remote.etag.value_or("");
    return remote.etag && packedFrom(folder, wanted);
  };
  CheckpointProgress progress(handler);
  // As the cache stands now; the small files may change that, and then the weights count from then on.
  if (!current(cached, cachedFolder)) progress.expectWeights(remote.size.value_or(0));
  const fs::path root = hubApi.snapshot(repo, kRevision, checkpointCompanions(), progress.companions());
  const fs::path folder = root / checkpointVariantFolder(repo.id);
  platform::ml::removeStalePackingLeftovers(folder);  // of packers killed before
  if (!current(root, folder)) {
    const PackLock lock(hubApi.downloadBase(), folder);
    // Another caller may have packed it while this one waited.
    if (!current(root, folder)) {
      progress.expectWeights(remote.size.value_or(0));
      // The packed folder is written beside the weights before they go: room for both.
      HubApi::TransferLimits limits = hubApi.transferLimits();
      limits.freeSpaceFactor = 2.0;
      if (hubApi.withTransferLimits(limits).snapshot(repo, kRevision, std::vector<std::string>{kCheckpointWeights},
                                                     progress.weights()) != root)
        throw WhisperError::modelsUnavailable("The model cache at " + hubApi.downloadBase().string() +
                                              " changed its place during the download");
      return packHeld(hubApi, repo, root, folder);
    }
  }
  Logging::debug("Using packed model folder " + folder.string());
  return folder;
}

}  // namespace

std::optional<std::string> checkpointRepository(std::string_view model) {
  const std::string name(model);
  auto isVariant = [](const std::string& text) {
    const auto& variants = allModelVariants();
    return std::any_of(variants.begin(), variants.end(), [&](ModelVariant v) { return description(v) == text; });
  };
  if (isVariant(name)) return "openai/whisper-" + name;
  for (const std::string owner : {"openai", "distil-whisper"}) {
    const std::string prefix = owner + "_";
    if (!name.starts_with(prefix)) continue;
    const std::string rest = name.substr(prefix.size());
    // A further "_" marks a compiled build ("_947MB", "_turbo") that has no checkpoint repository.
    // "." and ".." would lead the cache copy out of the owner's folder.
    if (rest.empty() || rest == "." || rest == ".." || rest.find_first_of("_/") != std::string::npos)
      return std::nullopt;
    return owner + "/" + rest;
  }
  return std::nullopt;
}

std::string defaultModelRepository(std::string_view model) {
  return checkpointRepository(model).value_or(std::string(defaultModelRepo));
}

std::string checkpointVariantFolder(std::string_view repoId) {
  std::string folder(repoId);
  std::replace(folder.begin(), folder.end(), '/', '_');
  return folder;
}

std::string deviceName() { return kestrum::ProcessInfo::hwModel(); }

ModelSupport recommendedModels() {
  Logging::debug("Running on " + deviceName());
  return Constants::fallbackModelSupportConfig().modelSupport(deviceName());
}

ModelSupportConfig fetchModelSupportConfig(const std::string& from, const std::optional<fs::path>& downloadBase,
                                           const std::optional<std::string>& token,
                                           const std::string& remoteConfigName,
                                           const std::optional<std::string>& endpoint) {
  const HubApi hubApi(downloadBase, token, endpoint, false, std::nullopt);
  Logging::debug("Searching for config file matching \"" + remoteConfigName + "\" in " + from);
  try {
    const auto files = hubApi.getFilenames(from, remoteConfigName);
    if (files.empty()) {
      Logging::info("No config files found matching \"" + remoteConfigName + "\" in " + from + ", using fallback");
      return Constants::fallbackModelSupportConfig();
    }
    if (files.size() > 1) {
      std::string list;
      for (const auto& file : files) list += (list.empty() ? "\"" : ", \"") + file + "\"";
      Logging::info("Multiple config files found (" + std::to_string(files.size()) + "): [" + list +
                    "]. Using first matching file: " + files.front());
    }
    const fs::path root = hubApi.snapshot(from, kRevision, files.front(), HubApi::ProgressHandler());
    return ModelSupportConfig::fromJson(
        platform::json::parseFile((root / files.front()).string(), ModelSupportConfig::maxDocumentBytes));
  } catch (const std::exception& e) {
    Logging::error(std::string("Fetch model support config failed with error: ") + e.what());
    return Constants::fallbackModelSupportConfig();
  }
}

ModelSupport recommendedRemoteModels(const std::string& from, const std::optional<fs::path>& downloadBase,
                                     const std::optional<std::string>& token, const std::string& remoteConfigName,
                                     const std::optional<std::string>& endpoint) {
  return fetchModelSupportConfig(from, downloadBase, token, remoteConfigName, endpoint).modelSupport(deviceName());
}

std::vector<std::string> fetchAvailableModels(const std::string& from, const std::vector<std::string>& matching,
                                              const std::optional<fs::path>& downloadBase,
                                              const std::optional<std::string>& token,
                                              const std::string& remoteConfigName,
                                              const std::optional<std::string>& endpoint) {
  const auto support =
      fetchModelSupportConfig(from, downloadBase, token, remoteConfigName, endpoint).modelSupport(deviceName());
  std::set<std::string> names;
  for (const auto& glob : matching)
    for (auto& name : kestrum::matching(support.supported, glob)) names.insert(std::move(name));
  return ModelUtilities::formatModelFiles(std::vector<std::string>(names.begin(), names.end()));
}

fs::path download(const std::string& variant, const std::optional<fs::path>& downloadBase, bool useBackgroundSession,
                  const std::optional<std::string>& from, const std::optional<std::string>& token,
                  const std::optional<std::string>& endpoint, const DownloadProgressCallback& progressCallback,
                  std::optional<bool> useOfflineMode) {
  const HubApi hubApi(downloadBase, token, endpoint, useBackgroundSession, useOfflineMode);
  const Hub::Repo repo{from.value_or(defaultModelRepository(variant)), Hub::RepoType::models};
  if (hubApi.isOffline()) return fromCache(hubApi, repo, variant, "offline");

  // A download is shown from its first report that leaves something to come: a start that finds
  // every file current in the cache (the snapshot's closing report is whole) shows none.
  bool shown = false;
  const HubApi::ProgressHandler handler = [&](const kestrum::Progress& progress) {
    const double fraction = progress.fractionCompleted();
    Logging::debug("Download progress: " + platform::system::fixedText(100 * fraction, 2) + "% of " + std::to_string(progress.totalUnitCount()) +
                   " bytes");
    if (!shown && fraction >= 1.0) return;
    shown = true;
    if (progressCallback) progressCallback(progress);
  };

  GlobSearch search;
  try {
    search.pattern = "*" + variant + "/*";
    Logging::debug("Searching for models matching \"" + search.pattern + "\" in " + describeRepo(repo));
    std::vector<std::string> listed;
    try {
      // The checkpoint files ride along with the first listing; the pattern decides everything else.
      listed = hubApi.getFilenames(repo, kRevision, {search.pattern, kCheckpointConfig, kCheckpointWeights, kShardIndex});
    } catch (const Hub::HubClientError& e) {
      if (!unreachable(e)) throw;
      Logging::debug(e.what());
      const auto original = std::current_exception();
      try {
        return fromCache(hubApi, repo, variant, "repository unreachable");
      } catch (const WhisperError&) {
        std::rethrow_exception(original);
      }
    }
    auto has = [&](const char* name) { return std::find(listed.begin(), listed.end(), name) != listed.end(); };
    if (has(kCheckpointConfig) && has(kCheckpointWeights)) return downloadCheckpoint(hubApi, repo, handler);
    if (has(kCheckpointConfig) && has(kShardIndex))
      throw WhisperError::modelsUnavailable("Sharded checkpoints (" + std::string(kShardIndex) + ") are not supported: " +
                                            describeRepo(repo));

    search = searchFolders(listed, search.pattern);
    if (!search.folder) {
      Logging::debug("Multiple models found matching \"" + search.pattern + "\"");
      const std::string pattern = "*openai*" + variant + "/*";
      Logging::debug("Searching for models matching \"" + pattern + "\" in " + describeRepo(repo));
      listed = hubApi.getFilenames(repo, kRevision, {pattern});
      search = searchFolders(listed, pattern);
      if (!search.folder)
        throw WhisperError::modelsUnavailable(std::string(search.count < 2 ? "No" : "Multiple") +
                                              " models found matching \"" + pattern + "\" in " + describeRepo(repo));
    }
    const auto names = kestrum::matching(listed, search.pattern);
    if (names.size() > kMaxModelFolderFiles)
      throw WhisperError::modelsUnavailable("The model folder " + *search.folder + " of " + describeRepo(repo) +
                                            " lists " + std::to_string(names.size()) + " files; a model folder has at most " +
                                            std::to_string(kMaxModelFolderFiles));
    Logging::debug("Downloading model " + *search.folder + "...");
    const fs::path root = hubApi.checkCacheFolders(repo);
    const fs::path folder = root / *search.folder;
    // Until the snapshot is whole again the folder counts as unfinished.
    const auto before = withdrawCompletion(root, folder);
    // The snapshot lists again; the cap holds for that listing too.
    HubApi::TransferLimits limits = hubApi.transferLimits();
    limits.maxFiles = kMaxModelFolderFiles;
    if (hubApi.withTransferLimits(limits).snapshot(repo, kRevision, {search.pattern}, handler) != root)
      throw WhisperError::modelsUnavailable("The model cache at " + hubApi.downloadBase().string() +
                                            " changed its place during the download");
    recordCompletion(hubApi, root, folder, names, before);
    return folder;
  } catch (const std::exception& e) {
    Logging::debug(e.what());
    throw;
  }
}

}  // namespace murmel

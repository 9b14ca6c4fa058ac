// Repository snapshots: online through the per-file jobs, offline from the cache.
#include <cmath>

#include "Hub/HubApi.h"
#include "Hub/HubFileDownloader.h"
#include "KestrumCore/Concurrency.h"

namespace hub {
namespace fs = std::filesystem;

namespace {

Hub::Repo modelRepo(const std::string& id) { return Hub::Repo{id, Hub::RepoType::models}; }

HubApi::ProgressHandler withSpeed(const HubApi::SpeedProgressHandler& handler) {
  return [handler](const Progress& overall) {
    if (handler) handler(overall, overall.throughput());
  };
}

}  // namespace

fs::path HubApi::snapshot(const Hub::Repo& repo, const std::string& revision, const std::vector<std::string>& globs,
                          const ProgressHandler& handler) const {
  const fs::path repoDestination = localRepoLocation(repo);
  const fs::path repoMetadataDestination = repoDestination / ".cache" / "huggingface" / "download";

  if (isOffline()) {
    std::error_code error;
    if (!fs::exists(fs::symlink_status(repoDestination, error)))
      throw EnvironmentError::offlineModeError("Repository not available locally");
    auto files = getFileUrls(repoDestination);
    if (files.empty()) throw EnvironmentError::offlineModeError("No files available locally for this repository");
    for (const auto& file : files) {
      fs::path metadataPath = repoMetadataDestination / fs::relative(file, repoDestination);
      metadataPath += ".metadata";
      auto record = readDownloadMetadata(metadataPath);
      if (!record)
        throw EnvironmentError::offlineModeError("Metadata not available for " + file.filename().string());
      if (isValidHash(record->etag, sha256Pattern()) && computeFileHash(file) != record->etag)
        throw EnvironmentError::fileIntegrityError("Hash mismatch for " + file.filename().string());
    }
    return repoDestination;
  }

  auto names = getFilenames(repo, revision, globs);
  Progress overall(static_cast<std::int64_t>(names.size()));
  for (const auto& name : names) {
    kestrum::checkCancellation();
    auto fileProgress = std::make_shared<Progress>(100);
    overall.addChild(fileProgress, 1);
    HubFileDownloader job(*this, repo, revision, repoDestination, name);
    job.download([&](double fraction, std::optional<double> speed) {
      double units = fraction * 100;
      // A fraction that is not finite or out of range is no unit count; it is left out.
      if (std::isfinite(units)) fileProgress->setCompletedUnitCount(static_cast<std::int64_t>(std::clamp(units, 0.0, 100.0)));
      if (speed) {
        fileProgress->setThroughput(*speed);
        overall.setThroughput(*speed);
      }
      if (handler) handler(overall);
    });
    // A job that finished although its task was cancelled: the files after it are missing, so
    // the folder is not handed back as if complete.
    kestrum::checkCancellation();
    fileProgress->setCompletedUnitCount(100);
  }
  if (handler) handler(overall);
  return repoDestination;
}

fs::path HubApi::snapshot(const std::string& repoId, const std::string& revision, const std::vector<std::string>& globs,
                          const ProgressHandler& handler) const {
  return snapshot(modelRepo(repoId), revision, globs, handler);
}
fs::path HubApi::snapshot(const Hub::Repo& repo, const std::string& revision, const std::string& glob,
                          const ProgressHandler& handler) const {
  return snapshot(repo, revision, std::vector<std::string>{glob}, handler);
}
fs::path HubApi::snapshot(const std::string& repoId, const std::string& revision, const std::string& glob,
                          const ProgressHandler& handler) const {
  return snapshot(modelRepo(repoId), revision, std::vector<std::string>{glob}, handler);
}
fs::path HubApi::snapshot(const Hub::Repo& repo, const std::string& revision, const std::vector<std::string>& globs,
                          const SpeedProgressHandler& handler) const {
  return snapshot(repo, revision, globs, withSpeed(handler));
}
fs::path HubApi::snapshot(const std::string& repoId, const std::string& revision, const std::vector<std::string>& globs,
                          const SpeedProgressHandler& handler) const {
  return snapshot(modelRepo(repoId), revision, globs, withSpeed(handler));
}
fs::path HubApi::snapshot(const Hub::Repo& repo, const std::string& revision, const std::string& glob,
                          const SpeedProgressHandler& handler) const {
  return snapshot(repo, revision, std::vector<std::string>{glob}, withSpeed(handler));
}
fs::path HubApi::snapshot(const std::string& repoId, const std::string& revision, const std::string& glob,
                          const SpeedProgressHandler& handler) const {
  return snapshot(modelRepo(repoId), revision, std::vector<std::string>{glob}, withSpeed(handler));
}

}  // namespace hub

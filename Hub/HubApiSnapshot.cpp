// Repository snapshots: online through the per-file jobs, offline from the cache.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>

#include "Hub/HubApi.h"
#include "Hub/HubFileDownloader.h"
#include "KestrumCore/Concurrency.h"
#include "platform/Net/Http.h"

namespace hub {
namespace fs = std::filesystem;

namespace {

Hub::Repo modelRepo(const std::string& id) { return Hub::Repo{id, Hub::RepoType::models}; }

HubApi::ProgressHandler withSpeed(const HubApi::SpeedProgressHandler& handler) {
  return [handler](const kestrum::Progress& overall) {
    if (handler) handler(overall, overall.throughput());
  };
}

// The size of each file in bytes: the local copy's where one exists (a cached file is usually
// current, and asking costs a request), else the HEAD answer's. The HEADs share one deadline, so
// a long listing or a slow service delays the first transfer by that much at most; once a HEAD
// runs out of time, no more are asked. Sizes that stay unknown (a HEAD that fails, names none or
// is not asked) weigh the mean of the known ones; the job's own request then reports a failure.
// No size is below 1, so every file moves the bar.
std::vector<std::int64_t> fileWeights(const HubApi& api, const Hub::Repo& repo, const std::string& revision,
                                      const fs::path& repoDestination, const std::vector<std::string>& names) {
  using Clock = std::chrono::steady_clock;
  const HubApi::TransferLimits limits = api.transferLimits();
  const bool phaseDeadline = limits.metadataDeadline.count() > 0;
  const Clock::time_point endBy = Clock::now() + limits.metadataDeadline;
  bool asking = true;
  std::vector<std::optional<std::int64_t>> sizes;
  for (const auto& name : names) {
    kestrum::checkCancellation();
    std::optional<std::int64_t> size;
    HubApi::HubFileDownloader job(api, repo, revision, repoDestination, name);
    std::error_code error;
    const auto local = fs::file_size(job.destination(), error);
    if (!error && fs::is_regular_file(job.destination(), error)) {
      size = static_cast<std::int64_t>(local);
    } else if (asking) {
      using platform::net::TransferError;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(endBy - Clock::now());
      HubApi::TransferLimits bounded = limits;
      if (phaseDeadline && (limits.requestDeadline.count() <= 0 || left < limits.requestDeadline))
        bounded.requestDeadline = left;
      try {
        if (phaseDeadline && left.count() <= 0) throw TransferError(TransferError::Kind::timedOut, "no time left");
        size = api.withTransferLimits(bounded).getFileMetadata(job.source()).size;
      } catch (const TransferError& e) {
        if (e.kind == TransferError::Kind::timedOut) {
          asking = false;
          HubApi::log(platform::system::LogType::info,
                      "The sizes of " + repo.id + " stay unknown from " + name + " on: asking for them ran out of time");
        }
      } catch (const std::exception&) {
      }
    }
    if (size && *size < 0) size.reset();
    sizes.push_back(size);
  }
  std::int64_t known = 0, count = 0;
  for (const auto& size : sizes)
    if (size) known += *size, ++count;
  const std::int64_t fallback = count > 0 ? std::max<std::int64_t>(known / count, 1) : 1;
  std::vector<std::int64_t> weights;
  for (const auto& size : sizes) weights.push_back(size ? std::max<std::int64_t>(*size, 1) : fallback);
  return weights;
}

}  // namespace

fs::path HubApi::snapshot(const Hub::Repo& repo, const std::string& revision, const std::vector<std::string>& globs,
                          const ProgressHandler& handler) const {
  // Another user's folder, or one others may write to, is neither read nor written; a link to a
  // folder of ours is followed once, and the folder it led to is the one used.
  const fs::path repoDestination = checkCacheFolders(repo);
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
  if (transferLimits_.maxFiles > 0 && names.size() > transferLimits_.maxFiles)
    throw Hub::HubClientError::parseError(repo.id + " lists " + std::to_string(names.size()) +
                                          " files to fetch, more than the " +
                                          std::to_string(transferLimits_.maxFiles) + " expected at most");
  // Each file weighs its size in bytes, so the overall fraction follows the bytes, not the count
  // of files; the total is the sum of the sizes.
  const std::vector<std::int64_t> weights = fileWeights(*this, repo, revision, repoDestination, names);
  std::int64_t totalBytes = 0;
  for (std::int64_t weight : weights) totalBytes += weight;
  kestrum::Progress overall(totalBytes);
  for (std::size_t i = 0; i < names.size(); ++i) {
    kestrum::checkCancellation();
    const std::int64_t weight = weights[i];
    auto fileProgress = std::make_shared<kestrum::Progress>(weight);
    overall.addChild(fileProgress, weight);
    HubFileDownloader job(*this, repo, revision, repoDestination, names[i]);
    job.download([&](double fraction, std::optional<double> speed) {
      double units = fraction * double(weight);
      // A fraction that is not finite or out of range is no unit count; it is left out.
      if (std::isfinite(units))
        fileProgress->setCompletedUnitCount(static_cast<std::int64_t>(std::clamp(units, 0.0, double(weight))));
      if (speed) {
        fileProgress->setThroughput(*speed);
        overall.setThroughput(*speed);
      }
      if (handler) handler(overall);
    });
    // A job that finished although its task was cancelled: the files after it are missing, so
    // the folder is not handed back as if complete.
    kestrum::checkCancellation();
    fileProgress->setCompletedUnitCount(weight);
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

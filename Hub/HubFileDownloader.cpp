#include "Hub/HubFileDownloader.h"

#include <stop_token>
#include <system_error>

#include "Hub/Downloader.h"
#include "Hub/detail/DownloadStates.h"
#include "Hub/detail/Files.h"
#include "KestrumCore/Concurrency.h"

namespace hub {
namespace fs = std::filesystem;

HubApi::HubFileDownloader::HubFileDownloader(HubApi hubApi, Hub::Repo repository, std::string revisionName,
                                             fs::path destination, std::string filename)
    : hub(std::move(hubApi)),
      repo(std::move(repository)),
      revision(std::move(revisionName)),
      repoDestination(std::move(destination)),
      repoMetadataDestination(repoDestination / ".cache" / "huggingface" / "download"),
      relativeFilename(std::move(filename)),
      hfToken(hub.hfToken()),
      endpoint(hub.endpoint()),
      backgroundSession(hub.useBackgroundSession()) {}

std::string HubApi::HubFileDownloader::source() const {
  std::string base = endpoint && !endpoint->empty() ? *endpoint : std::string(kDefaultEndpoint);
  return resolveURL(base, repo, revision, relativeFilename);
}

bool HubApi::HubFileDownloader::downloaded() const {
  std::error_code error;
  return fs::exists(fs::symlink_status(destination(), error));
}

fs::path HubApi::HubFileDownloader::metadataDestination() const {
  fs::path path = repoMetadataDestination / relativeFilename;
  path += ".metadata";
  return path;
}

void HubApi::HubFileDownloader::prepareCacheDestination(const fs::path& file) {
  fs::create_directories(file.parent_path());
  std::error_code error;
  if (fs::exists(fs::symlink_status(file, error))) return;
  detail::writeAtomically(file, "");
}

fs::path HubApi::HubFileDownloader::incompleteDestination(const std::string& etag) const {
  fs::path path = repoMetadataDestination / relativeFilename;
  path += "." + etag + ".incomplete";
  return path;
}

fs::path HubApi::HubFileDownloader::download(const ProgressHandler& progressHandler) const {
  const fs::path file = destination();
  const fs::path metadataPath = metadataDestination();
  auto local = hub.readDownloadMetadata(metadataPath);
  FileMetadata remote = hub.getFileMetadata(source());

  const std::string localCommit = local ? local->commitHash : std::string();
  const std::string remoteCommit = remote.commitHash.value_or("");
  if (hub.isValidHash(remoteCommit, hub.commitHashPattern()) && downloaded() && local && localCommit == remoteCommit)
    return file;

  if (!remote.commitHash || !remote.etag || !remote.size || remote.location.empty())
    throw EnvironmentError::invalidMetadataError("File metadata must have been retrieved from server");
  const std::string& etag = *remote.etag;
  const bool etagIsDigest = hub.isValidHash(etag, hub.sha256Pattern());

  if (downloaded()) {
    if ((local && local->etag == etag) || (etagIsDigest && hub.computeFileHash(file) == etag)) {
      hub.writeDownloadMetadata(*remote.commitHash, etag, metadataPath);
      return file;
    }
  }

  const fs::path incomplete = incompleteDestination(etag);
  prepareCacheDestination(incomplete);
  Downloader downloader(file, incomplete, backgroundSession);
  {
    auto states = downloader.startDownload(source(), hfToken, {}, remote.size, std::chrono::seconds(10), 5,
                                           etagIsDigest ? std::optional<std::string>(etag) : std::nullopt);
    std::stop_callback cancelTransfer(kestrum::currentStopToken(), [&downloader] { downloader.cancel(); });
    detail::awaitDownload(states, progressHandler, relativeFilename);
  }
  hub.writeDownloadMetadata(*remote.commitHash, etag, metadataPath);
  return file;
}

}  // namespace hub

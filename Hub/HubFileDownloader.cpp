#include "Hub/HubFileDownloader.h"

#include <system_error>

#include "Hub/detail/Files.h"

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

}  // namespace hub

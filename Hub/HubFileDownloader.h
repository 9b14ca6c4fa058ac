// The job that brings one file of one repository revision into the cache. This part: the job's
// fields, its paths (the file, its metadata file), its source URL and the preparation of a
// destination file. A plain copyable value; its operations keep no state.
//   HubApi::HubFileDownloader job(api, repo, "main", api.localRepoLocation(repo), "tok/vocab.json");
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "Hub/HubApi.h"

namespace hub {

class HubApi::HubFileDownloader {
 public:
  HubFileDownloader(HubApi hub, Hub::Repo repo, std::string revision, std::filesystem::path repoDestination,
                    std::string relativeFilename);

  // The file's resolve URL on the client's endpoint (kDefaultEndpoint when the endpoint is empty).
  std::string source() const;
  // Whether anything exists at the destination file's path.
  bool downloaded() const;
  std::filesystem::path destination() const { return repoDestination / relativeFilename; }
  std::filesystem::path metadataDestination() const;  // {repoMetadataDestination}/{file}.metadata
  // Parent folders and an empty file unless one exists. Throws std::system_error.
  static void prepareCacheDestination(const std::filesystem::path& file);

  HubApi hub;
  Hub::Repo repo;
  std::string revision;
  std::filesystem::path repoDestination;
  std::filesystem::path repoMetadataDestination;  // repoDestination/.cache/huggingface/download
  std::string relativeFilename;
  std::optional<std::string> hfToken;
  std::optional<std::string> endpoint;
  bool backgroundSession = false;
};

}  // namespace hub

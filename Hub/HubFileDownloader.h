// The job that brings one file of one repository revision into the cache: it compares the local
// download metadata with a HEAD answer, takes the cached copy when its commit, etag or SHA-256
// still matches, and otherwise transfers the file through a Downloader, resuming a partial file
// of the same etag. A plain copyable value; its operations keep no state and block the caller.
// Jobs for one file in several threads or processes transfer it in turn (a lock beside its metadata).
// Cancelling the calling task (kestrum::currentStopToken) cancels the transfer.
//   HubApi::HubFileDownloader job(api, repo, "main", api.localRepoLocation(repo), "tok/vocab.json");
//   auto file = job.download([](double fraction, std::optional<double> speed) {});
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "Hub/HubApi.h"

namespace hub {

class HubApi::HubFileDownloader {
 public:
  HubFileDownloader(HubApi hub, Hub::Repo repo, std::string revision, std::filesystem::path repoDestination,
                    std::string relativeFilename);

  // Called with the fraction transferred and the speed in bytes per second when known.
  using ProgressHandler = std::function<void(double fraction, std::optional<double> speed)>;

  // The destination file, current with the service. Throws what the operations it calls throw
  // (HEAD, metadata files, hashing), EnvironmentError::invalidMetadataError for a HEAD answer
  // without commit, etag or size, parseError for a size over transferLimits().maxFileSize, and the
  // error of a failed transfer unchanged. The cache's own trouble is said in plain words as
  // fileSystemError naming the cache folder: too little free space for the file (before any byte
  // is asked for), a full disk (what the transfer wrote is removed), a read-only file system.
  std::filesystem::path download(const ProgressHandler& progressHandler = {}) const;

  // The file's resolve URL on the client's endpoint (kDefaultEndpoint when the endpoint is empty).
  std::string source() const;
  // Whether anything exists at the destination file's path.
  bool downloaded() const;
  std::filesystem::path destination() const { return repoDestination / relativeFilename; }
  std::filesystem::path metadataDestination() const;  // {repoMetadataDestination}/{file}.metadata
  // {repoMetadataDestination}/{file}.{etag}.incomplete
  std::filesystem::path incompleteDestination(const std::string& etag) const;
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

 private:
  std::filesystem::path fetch(const ProgressHandler& progressHandler) const;
};

}  // namespace hub

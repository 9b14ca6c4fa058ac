#include "Hub/HubFileDownloader.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <chrono>
#include <stop_token>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "Hub/Downloader.h"
#include "Hub/detail/DownloadStates.h"
#include "Hub/detail/Files.h"
#include "KestrumCore/Concurrency.h"

namespace hub {
namespace fs = std::filesystem;

namespace {

// An exclusive advisory lock on the file at `path` for one transfer of a file, so that callers in
// other processes or threads never write the same partial file at once. The holder removes the
// file as it lets go, so a caller that locked a file no longer at `path` starts over. Waiting ends
// with CancellationError when the calling task is cancelled.
class TransferLock {
 public:
  explicit TransferLock(const fs::path& path) : path_(path) {
    while (true) {
      fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
      if (fd_ < 0) fail("Cannot open the download lock", errno);
      while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) fail("Cannot lock the download", errno);
        if (kestrum::isCancelled()) {
          ::close(fd_);
          throw kestrum::CancellationError();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      struct stat held {}, named {};
      if (::fstat(fd_, &held) != 0) fail("Cannot read the download lock", errno);
      if (::stat(path.c_str(), &named) == 0 && named.st_dev == held.st_dev && named.st_ino == held.st_ino) return;
      ::close(fd_);
    }
  }
  ~TransferLock() {
    ::unlink(path_.c_str());
    ::close(fd_);
  }
  TransferLock(const TransferLock&) = delete;
  TransferLock& operator=(const TransferLock&) = delete;

 private:
  [[noreturn]] void fail(const char* what, int error) {
    if (fd_ >= 0) ::close(fd_);
    throw fs::filesystem_error(what, path_, std::error_code(error, std::generic_category()));
  }
  fs::path path_;
  int fd_ = -1;
};

constexpr double kSpaceReserve = 1 << 20;  // metadata files, locks

// "3.1 GB", "12.0 MB": decimal units, as the menu counts.
std::string amount(double bytes) {
  char text[32];
  if (bytes >= 1e9) std::snprintf(text, sizeof text, "%.1f GB", bytes / 1e9);
  else std::snprintf(text, sizeof text, "%.1f MB", bytes / 1e6);
  return text;
}

// The nearest folder at or above `path` that exists.
fs::path existingAncestor(fs::path path) {
  std::error_code error;
  while (!path.empty() && !fs::exists(path, error) && path.has_parent_path() && path.parent_path() != path)
    path = path.parent_path();
  return path;
}

// The free space of the file system that holds `path`, for an unprivileged writer.
std::optional<double> freeSpace(const fs::path& path) {
  struct statvfs info {};
  if (::statvfs(existingAncestor(path).c_str(), &info) != 0) return std::nullopt;
  return double(info.f_bavail) * double(info.f_frsize);
}

bool readOnly(const fs::path& path) {
  struct statvfs info {};
  return ::statvfs(existingAncestor(path).c_str(), &info) == 0 && (info.f_flag & ST_RDONLY);
}

// A failure of the cache's file system in plain words, naming the cache folder rather than a
// file deep inside it; nothing when the failure is of another kind. (A raw error reads
// "create_directories: Read-only file system [/home/…/.cache/huggingface/download]".)
std::optional<Hub::HubClientError> plainCacheFailure(const fs::path& cache, std::optional<int> errorNumber) {
  const std::string where = "the model cache at " + cache.string();
  if (errorNumber == EROFS || readOnly(cache))
    return Hub::HubClientError::fileSystemError(where + " is on a read-only file system; nothing can be saved there");
  if (errorNumber == ENOSPC || errorNumber == EDQUOT)
    return Hub::HubClientError::fileSystemError("the disk is full: " + where +
                                                " has no room left, and what the download wrote was removed");
  if (errorNumber == EACCES || errorNumber == EPERM)
    return Hub::HubClientError::fileSystemError(where + " cannot be written: permission denied");
  return std::nullopt;
}

}  // namespace

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
  try {
    return fetch(progressHandler);
  } catch (const std::system_error& e) {
    if (auto plain = plainCacheFailure(hub.downloadBase(), e.code().value())) throw *plain;
    throw;
  } catch (const EnvironmentError& e) {
    // A metadata file that could not be written: the file system says why.
    if (e.kind() != EnvironmentError::Kind::fileWriteError) throw;
    if (auto plain = plainCacheFailure(hub.downloadBase(), std::nullopt)) throw *plain;
    throw;
  }
}

fs::path HubApi::HubFileDownloader::fetch(const ProgressHandler& progressHandler) const {
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
  const auto& limits = hub.transferLimits();
  if (limits.maxFileSize > 0 && *remote.size > limits.maxFileSize)
    throw Hub::HubClientError::parseError(relativeFilename + " is announced at " + std::to_string(*remote.size) +
                                          " bytes, more than a model file has (" + std::to_string(limits.maxFileSize) +
                                          " at most)");
  const std::string& etag = *remote.etag;
  const bool etagIsDigest = hub.isValidHash(etag, hub.sha256Pattern());

  // Whatever is not a regular file at the destination is never current: the download replaces it.
  auto hashMatches = [&] {
    try {
      return hub.computeFileHash(file) == etag;
    } catch (const Hub::HubClientError&) {
      return false;
    }
  };
  auto current = [&] {
    return downloaded() && ((local && local->etag == etag) || (etagIsDigest && hashMatches()));
  };
  if (current()) {
    hub.writeDownloadMetadata(*remote.commitHash, etag, metadataPath);
    return file;
  }

  const fs::path incomplete = incompleteDestination(etag);
  fs::create_directories(incomplete.parent_path());
  fs::path lockPath = metadataPath;
  lockPath += ".lock";
  const TransferLock lock(lockPath);
  // Another caller may have brought the file in while this one waited.
  local = hub.readDownloadMetadata(metadataPath);
  if (current()) {
    hub.writeDownloadMetadata(*remote.commitHash, etag, metadataPath);
    return file;
  }
  // Too little room fails now, not when the disk is full.
  const double toCome = double(*remote.size - Downloader::incompleteFileSize(incomplete));
  const double needed = std::max(toCome, 0.0) * limits.freeSpaceFactor + kSpaceReserve;
  if (const auto free = freeSpace(incomplete.parent_path()); free && needed > *free)
    throw Hub::HubClientError::fileSystemError("not enough free space: " + relativeFilename + " needs " + amount(needed) +
                                               ", the model cache at " + hub.downloadBase().string() + " has " +
                                               amount(*free));
  prepareCacheDestination(incomplete);
  Downloader downloader(file, incomplete, backgroundSession, Downloader::kDefaultChunkSize, std::chrono::seconds(1),
                        Downloader::RateFloor{limits.minimumRate, limits.rateWindow});
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

// An exclusive advisory lock on the hidden file ".<folder>.lock" beside `folder`, so that callers
// in other processes or threads check, clear and pack one folder in turn. The holder removes the
// file as it lets go; a caller that locked a file no longer there starts over. Waiting ends with
// CancellationError when the calling task is cancelled.
// Errors: WhisperError::modelsUnavailable naming the lock file when it cannot be made or locked.
//   { const PackLock lock(cache, folder);  /* check, clear and pack folder */ }
#pragma once

#include <filesystem>

namespace murmel::detail {

class PackLock {
 public:
  // Blocks until the lock is held; `cache` only names the cache in a failure's message.
  PackLock(const std::filesystem::path& cache, const std::filesystem::path& folder);
  ~PackLock();
  PackLock(const PackLock&) = delete;
  PackLock& operator=(const PackLock&) = delete;

 private:
  [[noreturn]] void fail(int error);
  std::filesystem::path cache_;
  std::filesystem::path path_;
  int fd_ = -1;
};

}  // namespace murmel::detail

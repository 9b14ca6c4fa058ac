#include "Murmel/models/detail/PackLock.h"

#include <cerrno>
#include <chrono>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "KestrumCore/Concurrency.h"
#include "Murmel/common/WhisperError.h"
#include "Murmel/models/detail/CacheWrites.h"

namespace murmel::detail {
namespace fs = std::filesystem;

PackLock::PackLock(const fs::path& cache, const fs::path& folder)
    : cache_(cache), path_(folder.parent_path() / ".") {
  path_ += folder.filename();
  path_ += ".lock";
  std::error_code created;
  fs::create_directories(folder.parent_path(), created);
  if (created) fail(created.value());
  while (true) {
    fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd_ < 0) fail(errno);
    while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
      if (errno != EWOULDBLOCK && errno != EINTR) fail(errno);
      if (kestrum::isCancelled()) {
        ::close(fd_);
        throw kestrum::CancellationError();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    struct stat held {}, named {};
    if (::fstat(fd_, &held) != 0) fail(errno);
    if (::stat(path_.c_str(), &named) == 0 && named.st_dev == held.st_dev && named.st_ino == held.st_ino) return;
    ::close(fd_);
  }
}

PackLock::~PackLock() {
  ::unlink(path_.c_str());
  ::close(fd_);
}

void PackLock::fail(int error) {
  if (fd_ >= 0) ::close(fd_);
  throw WhisperError::modelsUnavailable(cacheWriteProblem(cache_, "Cannot lock", path_, error));
}

}  // namespace murmel::detail

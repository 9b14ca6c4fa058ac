#include "Murmel/models/detail/CacheWrites.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "Murmel/common/WhisperError.h"

namespace murmel::detail {
namespace fs = std::filesystem;

std::string cacheWriteProblem(const fs::path& cache, const std::string& what, const fs::path& path, int error) {
  const std::string where = "the model cache at " + cache.string();
  if (error == EROFS) return where + " is on a read-only file system; nothing can be saved there";
  if (error == ENOSPC || error == EDQUOT) return "the disk is full: " + where + " has no room left";
  return what + " " + path.string() + ": " + std::strerror(error);
}

void writeAtomically(const fs::path& cache, const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  fs::path temporary = path;
  temporary += ".tmp-" + std::to_string(::getpid());
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  bool ok = fd >= 0;
  for (std::size_t written = 0; ok && written < text.size();) {
    ssize_t n = ::write(fd, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) written += static_cast<std::size_t>(n);
  }
  ok = ok && ::fsync(fd) == 0;
  if (fd >= 0) ok = ::close(fd) == 0 && ok;
  ok = ok && ::rename(temporary.c_str(), path.c_str()) == 0;
  if (!ok) {
    const int error = errno;
    ::unlink(temporary.c_str());
    throw WhisperError::modelsUnavailable(cacheWriteProblem(cache, "Cannot write", path, error));
  }
}

}  // namespace murmel::detail

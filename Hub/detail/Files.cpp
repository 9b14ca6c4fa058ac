#include "Hub/detail/Files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <random>
#include <string>
#include <system_error>

namespace hub::detail {

namespace fs = std::filesystem;

void writeAtomically(const fs::path& path, std::string_view text) {
  std::random_device random;
  fs::path temporary = path;
  temporary += ".tmp-" + std::to_string(random()) + std::to_string(random());
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "cannot create " + temporary.string());
  std::size_t written = 0;
  while (written < text.size()) {
    ssize_t n = ::write(fd, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int error = errno;
      ::close(fd);
      ::unlink(temporary.c_str());
      throw std::system_error(error, std::generic_category(), "cannot write " + temporary.string());
    }
    written += static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0 || ::rename(temporary.c_str(), path.c_str()) != 0) {
    int error = errno;
    ::unlink(temporary.c_str());
    throw std::system_error(error, std::generic_category(), "cannot replace " + path.string());
  }
}

}  // namespace hub::detail

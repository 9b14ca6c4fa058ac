#include "Parlet/core/detail/Files.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <system_error>
#include <unistd.h>

namespace parlet::detail {
namespace {

[[noreturn]] void fail(int error, const std::string& what, const std::filesystem::path& path) {
  throw std::system_error(error, std::generic_category(), what + " " + path.string());
}

}  // namespace

void writeFileAtomically(const std::filesystem::path& path, std::string_view data) {
  std::string temporary = path.string() + ".XXXXXX";
  int fd = mkstemp(temporary.data());
  if (fd < 0) fail(errno, "cannot create a temporary file beside", path);
  std::size_t written = 0;
  while (written < data.size()) {
    ssize_t n = ::write(fd, data.data() + written, data.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int error = errno;
      ::close(fd);
      ::unlink(temporary.c_str());
      fail(error, "cannot write", path);
    }
    written += static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0 || ::close(fd) != 0) {
    int error = errno;
    ::unlink(temporary.c_str());
    fail(error, "cannot write", path);
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    int error = errno;
    ::unlink(temporary.c_str());
    fail(error, "cannot replace", path);
  }
}

std::string readWholeFile(const std::filesystem::path& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) fail(errno, "cannot open", path);
  std::string data;
  char buffer[1 << 15];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int error = errno;
      ::close(fd);
      fail(error, "cannot read", path);
    }
    if (n == 0) break;
    data.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return data;
}

}  // namespace parlet::detail

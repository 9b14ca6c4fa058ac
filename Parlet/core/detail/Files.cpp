#include "Parlet/core/detail/Files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <random>
#include <system_error>

namespace parlet::detail {
namespace {

using platform::system::UniqueFd;

constexpr std::string_view temporaryMark = ".tmp-";
constexpr std::size_t temporaryLetters = 6;
constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

[[noreturn]] void fail(int error, const std::string& what, const std::filesystem::path& path) {
  throw std::system_error(error, std::generic_category(), what + " " + path.string());
}

bool isTemporaryName(std::string_view name, std::string_view base) {
  if (name.size() != base.size() + temporaryMark.size() + temporaryLetters) return false;
  if (name.substr(0, base.size()) != base || name.substr(base.size(), temporaryMark.size()) != temporaryMark)
    return false;
  for (char c : name.substr(base.size() + temporaryMark.size()))
    if (alphabet.find(c) == std::string_view::npos) return false;
  return true;
}

// A new file "<name>.tmp-XXXXXX" in `folder` with an unpredictable name, created exclusively.
UniqueFd createTemporary(int folder, const std::string& name, std::string& temporary) {
  std::random_device random;
  std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
  for (int attempt = 0; attempt < 100; ++attempt) {
    temporary = name + std::string(temporaryMark);
    for (std::size_t i = 0; i < temporaryLetters; ++i) temporary.push_back(alphabet[pick(random)]);
    int fd = ::openat(folder, temporary.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                      0600);
    if (fd >= 0 || errno != EEXIST) return UniqueFd(fd);
  }
  errno = EEXIST;
  return UniqueFd();
}

// rename(2) that fails with EEXIST rather than replace `to`.
bool renameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // A file system without the flag: look first.
  struct stat info {};
  if (::lstat(to.c_str(), &info) == 0) {
    errno = EEXIST;
    return false;
  }
  return std::rename(from.c_str(), to.c_str()) == 0;
}

}  // namespace

UniqueFd writeFileAtomicallyAt(int folder, const std::filesystem::path& path, std::string_view data) {
  const std::string name = path.filename().string();
  std::string temporary;
  UniqueFd file = createTemporary(folder, name, temporary);
  if (!file) fail(errno, "cannot create a temporary file beside", path);
  auto discard = [&](const char* what) {
    int error = errno;
    ::unlinkat(folder, temporary.c_str(), 0);
    fail(error, what, path);
  };
  std::size_t written = 0;
  while (written < data.size()) {
    ssize_t n = ::write(file.get(), data.data() + written, data.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) discard("cannot write");
    written += static_cast<std::size_t>(n);
  }
  if (::fsync(file.get()) != 0) discard("cannot write");
  if (::renameat(folder, temporary.c_str(), folder, name.c_str()) != 0) discard("cannot replace");
  return file;
}

void writeFileAtomically(const std::filesystem::path& path, std::string_view data) {
  std::filesystem::path parent = path.parent_path();
  UniqueFd folder(::open(parent.empty() ? "." : parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder) fail(errno, "cannot create a temporary file beside", path);
  UniqueFd file = writeFileAtomicallyAt(folder.get(), path, data);
  if (::close(file.release()) != 0) fail(errno, "cannot write", path);
}

std::size_t removeStaleTemporaries(const std::filesystem::path& path) {
  std::filesystem::path parent = path.parent_path();
  int folder = ::open(parent.empty() ? "." : parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) return 0;
  DIR* listing = ::fdopendir(folder);
  if (!listing) {
    ::close(folder);
    return 0;
  }
  const std::string base = path.filename().string();
  std::size_t removed = 0;
  while (const dirent* entry = ::readdir(listing)) {
    if (!isTemporaryName(entry->d_name, base)) continue;
    struct stat info {};
    if (::fstatat(folder, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) continue;
    if (::unlinkat(folder, entry->d_name, 0) == 0) ++removed;
  }
  ::closedir(listing);  // closes `folder`
  return removed;
}

std::optional<std::filesystem::path> setAsideUnreadable(const std::filesystem::path& path) {
  const std::string base = path.string() + ".unreadable";
  for (int n = 1; n <= 999; ++n) {
    std::filesystem::path target = n == 1 ? base : base + "-" + std::to_string(n);
    if (renameNoReplace(path, target)) return target;
    if (errno == EEXIST) continue;
    if (errno == ENOENT) return std::nullopt;  // the file went (the names share its folder)
    fail(errno, "cannot set aside", path);
  }
  fail(EEXIST, "no free name to set aside", path);
}

std::string readWholeFile(const std::filesystem::path& path, std::uintmax_t limit) {
  // O_NONBLOCK: opening a FIFO must not wait for a writer.
  UniqueFd file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!file) fail(errno, "cannot open", path);
  struct stat info {};
  if (::fstat(file.get(), &info) != 0) fail(errno, "cannot read", path);
  if (!S_ISREG(info.st_mode)) fail(EINVAL, "not a regular file:", path);
  const std::string tooLarge = "larger than " + std::to_string(limit >> 20) + " MiB, far more than it ever holds:";
  if (static_cast<std::uintmax_t>(info.st_size) > limit) fail(EFBIG, tooLarge.c_str(), path);
  std::string data;
  char buffer[1 << 15];
  for (;;) {
    ssize_t n = ::read(file.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail(errno, "cannot read", path);
    if (n == 0) break;
    data.append(buffer, static_cast<std::size_t>(n));
    if (data.size() > limit) fail(EFBIG, tooLarge.c_str(), path);  // it grew while read
  }
  return data;
}

}  // namespace parlet::detail

#include "platform/System/Folders.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <vector>

namespace platform::system {
namespace {

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

// XDG variables count only when they hold an absolute path.
std::filesystem::path xdgDirectory(const char* variable, const std::filesystem::path& fallback) {
  std::filesystem::path value = environment(variable);
  if (!value.empty() && value.is_absolute()) return value;
  return homeDirectory() / fallback;
}

std::string errorText(int error) { return std::error_code(error, std::generic_category()).message(); }

}  // namespace

std::filesystem::path homeDirectory() {
  std::string home = environment("HOME");
  if (!home.empty()) return home;
  std::vector<char> buffer(16384);
  struct passwd entry {};
  struct passwd* result = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result && result->pw_dir) {
    return result->pw_dir;
  }
  return "/";
}

std::filesystem::path privateTemporaryDirectory() {
  std::filesystem::path runtime = environment("XDG_RUNTIME_DIR");
  std::filesystem::path folder;
  if (!runtime.empty() && runtime.is_absolute()) {
    folder = runtime / "parlet";
  } else {
    std::error_code error;
    std::filesystem::path temporary = std::filesystem::temp_directory_path(error);
    if (error || temporary.empty()) temporary = "/tmp";
    folder = temporary / ("parlet-" + std::to_string(geteuid()));
  }

  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    throw FolderError("Cannot create private folder " + folder.string() + ": " + errorText(errno));
  }
  // Check the folder itself (not what a link points to) through one descriptor.
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    throw FolderError("Private folder " + folder.string() + " is not a usable folder: " + errorText(errno));
  }
  struct stat info {};
  int statResult = fstat(fd, &info);
  close(fd);
  if (statResult != 0) {
    throw FolderError("Cannot inspect private folder " + folder.string() + ": " + errorText(errno));
  }
  if (info.st_uid != geteuid()) {
    throw FolderError("Private folder " + folder.string() + " belongs to another user");
  }
  if ((info.st_mode & 077) != 0) {
    throw FolderError("Private folder " + folder.string() + " is open to other users (mode must be 0700)");
  }
  return folder;
}

std::filesystem::path applicationSupportDirectory() { return xdgDirectory("XDG_DATA_HOME", ".local/share"); }

std::filesystem::path settingsDirectory() { return xdgDirectory("XDG_CONFIG_HOME", ".config") / "Parlet"; }

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) close(fd_);
    fd_ = other.release();
  }
  return *this;
}

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) close(fd_);
}

UniqueFd openNoFollow(const std::filesystem::path& path, int flags, mode_t mode) {
  int fd;
  do {
    fd = open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    int error = errno;
    std::string reason = error == ELOOP ? "refusing to follow a symbolic link" : errorText(error);
    throw std::system_error(error, std::generic_category(), "Cannot open " + path.string() + ": " + reason);
  }
  return UniqueFd(fd);
}

void writeFileNoFollow(const std::filesystem::path& path, std::string_view data, bool append) {
  UniqueFd file = openNoFollow(path, O_WRONLY | O_CREAT | (append ? O_APPEND : O_TRUNC));
  while (!data.empty()) {
    ssize_t written = ::write(file.get(), data.data(), data.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      int error = errno;
      throw std::system_error(error, std::generic_category(), "Cannot write " + path.string());
    }
    data.remove_prefix(static_cast<std::size_t>(written));
  }
}

}  // namespace platform::system

#include "platform/System/Folders.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <mutex>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/System/Environment.h"

namespace platform::system {
namespace {

std::string environment(const char* name) { return environmentVariable(name).value_or(std::string()); }

// XDG variables count only when they hold an absolute path.
std::filesystem::path xdgDirectory(const char* variable, const std::filesystem::path& fallback) {
  std::filesystem::path value = environment(variable);
  if (!value.empty() && value.is_absolute()) return value;
  return homeDirectory() / fallback;
}

std::string errorText(int error) { return std::error_code(error, std::generic_category()).message(); }

bool isEffectiveUser(uid_t owner) { return owner == geteuid(); }

// Stand-ins of this process, by the name they stand in for, and the notes not yet taken.
struct ProcessFolders {
  std::mutex mutex;
  std::map<std::filesystem::path, std::filesystem::path> standIns;
  std::vector<std::string> notes;
};

ProcessFolders& processFolders() {
  static ProcessFolders folders;
  return folders;
}

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

FolderInspection inspectOwnFolder(const std::filesystem::path& folder, mode_t closedTo, const OwnerCheck& isOurs) {
  const OwnerCheck& owner = isOurs ? isOurs : OwnerCheck(isEffectiveUser);
  // One descriptor, opened without following a link, for both the check and the repair.
  UniqueFd fd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) {
    switch (int error = errno) {
      case ELOOP:
      case ENOTDIR: {
        struct stat link {};
        bool isLink = lstat(folder.c_str(), &link) == 0 && S_ISLNK(link.st_mode);
        return {false, isLink ? "is a symbolic link" : "is not a folder"};
      }
      case EACCES: return {false, "cannot be read"};
      case ENOENT: return {false, "is gone"};
      default: throw FolderError("Cannot open folder " + folder.string() + ": " + errorText(error));
    }
  }
  struct stat info {};
  if (fstat(fd.get(), &info) != 0) {
    throw FolderError("Cannot inspect folder " + folder.string() + ": " + errorText(errno));
  }
  if (!owner(info.st_uid)) return {false, "belongs to user " + std::to_string(info.st_uid)};
  const mode_t mode = info.st_mode & 0777;
  const mode_t wanted = (mode & ~closedTo) | 0700;
  if (mode == wanted) return {true, {}};
  auto octal = [](mode_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(value));
    return std::string(text);
  };
  if (fchmod(fd.get(), wanted) != 0) {
    return {false, "has mode " + octal(mode) + " and cannot be repaired: " + errorText(errno)};
  }
  return {true, std::string(closedTo == 077 ? "private folder " : "folder ") + folder.string() + " had mode " +
                    octal(mode) + "; set to " + octal(wanted)};
}

namespace {

std::string octalMode(mode_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(value));
  return text;
}

// Where `path` leads with every link resolved; none (errno set) when it leads nowhere.
std::optional<std::filesystem::path> resolvedPath(const std::filesystem::path& path) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (!resolved) return std::nullopt;
  std::filesystem::path result(resolved);
  std::free(resolved);
  return result;
}

}  // namespace

LinkedFolderInspection inspectOwnFolderOrLink(const std::filesystem::path& path, mode_t closedTo,
                                              const OwnerCheck& isOurs) {
  struct stat link {};
  if (lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) {
    // Also a name that turns into a link from here on: the check below refuses it.
    FolderInspection found = inspectOwnFolder(path, closedTo, isOurs);
    return {found.usable, std::move(found.note), found.usable ? path : std::filesystem::path()};
  }
  const OwnerCheck& owner = isOurs ? isOurs : OwnerCheck(isEffectiveUser);
  const auto target = resolvedPath(path);
  if (!target) {
    const int error = errno;
    if (error == ENOENT) return {false, "is a symbolic link to a folder that is not there", {}};
    if (error == ENOTDIR) return {false, "is a symbolic link to something that is not a folder", {}};
    return {false, "is a symbolic link that cannot be followed: " + errorText(error), {}};
  }
  const std::string leadsTo = "is a symbolic link to " + target->string();
  const std::string changed = "is a symbolic link that changed while it was checked";
  // The folder itself opened without following a link, so what is checked is what is used.
  UniqueFd fd(open(target->c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) {
    switch (int error = errno) {
      case ENOTDIR: return {false, leadsTo + ", which is not a folder", {}};
      case EACCES: return {false, leadsTo + ", which cannot be read", {}};
      case ENOENT:
      case ELOOP: return {false, changed, {}};
      default: throw FolderError("Cannot open folder " + target->string() + ": " + errorText(error));
    }
  }
  struct stat info {};
  if (fstat(fd.get(), &info) != 0)
    throw FolderError("Cannot inspect folder " + target->string() + ": " + errorText(errno));
  if (!owner(info.st_uid)) return {false, leadsTo + ", which belongs to user " + std::to_string(info.st_uid), {}};
  const mode_t mode = info.st_mode & 0777;
  if (mode & closedTo) {
    const bool writable = (mode & closedTo & 022) != 0;
    return {false, leadsTo + ", which other users may " + (writable ? "write to" : "read") + " (mode " +
                       octalMode(mode) + ")", {}};
  }
  // Read again: a link turned elsewhere meanwhile is refused, not followed to a folder unchecked.
  struct stat now {};
  const auto again = resolvedPath(path);
  if (!again || *again != *target || stat(path.c_str(), &now) != 0 || now.st_dev != info.st_dev ||
      now.st_ino != info.st_ino)
    return {false, changed, {}};
  return {true, {}, *target};
}

std::optional<std::string> foreignFileProblem(const std::filesystem::path& file) {
  struct stat info {};
  if (lstat(file.c_str(), &info) != 0) return std::nullopt;
  if (S_ISLNK(info.st_mode)) return "is a symbolic link";
  if (!isEffectiveUser(info.st_uid)) return "belongs to user " + std::to_string(info.st_uid);
  if ((info.st_mode & 077) != 0) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(info.st_mode & 0777));
    return std::string("can be read by other users (mode ") + text + ")";
  }
  return std::nullopt;
}

PrivateFolder claimPrivateFolder(const std::filesystem::path& preferred, const OwnerCheck& isOurs) {
  if (mkdir(preferred.c_str(), 0700) != 0 && errno != EEXIST) {
    throw FolderError("Cannot create private folder " + preferred.string() + ": " + errorText(errno));
  }
  FolderInspection found = inspectOwnFolder(preferred, 077, isOurs);
  if (found.usable) return {preferred, std::move(found.note)};
  std::string standIn = preferred.string() + "-XXXXXX";
  if (!mkdtemp(standIn.data())) {
    throw FolderError("Private folder " + preferred.string() + " " + found.note +
                      ", and no other can be made: " + errorText(errno));
  }
  return {standIn, "private folder " + preferred.string() + " " + found.note + "; using " + standIn + " instead"};
}

std::filesystem::path privateTemporaryDirectory() {
  std::filesystem::path runtime = environment("XDG_RUNTIME_DIR");
  std::filesystem::path preferred;
  if (!runtime.empty() && runtime.is_absolute()) {
    preferred = runtime / "parlet";
  } else {
    std::error_code error;
    std::filesystem::path temporary = std::filesystem::temp_directory_path(error);
    if (error || temporary.empty()) temporary = "/tmp";
    preferred = temporary / ("parlet-" + std::to_string(geteuid()));
  }

  ProcessFolders& process = processFolders();
  std::lock_guard<std::mutex> hold(process.mutex);
  if (auto known = process.standIns.find(preferred); known != process.standIns.end()) {
    FolderInspection found = inspectOwnFolder(known->second);
    if (!found.note.empty()) {
      process.notes.push_back(found.usable ? std::move(found.note)
                                           : "private folder " + known->second.string() + " " + found.note);
    }
    if (found.usable) return known->second;
    process.standIns.erase(known);
  }
  PrivateFolder claimed = claimPrivateFolder(preferred);
  if (!claimed.note.empty()) process.notes.push_back(claimed.note);
  if (claimed.path != preferred) process.standIns.emplace(preferred, claimed.path);
  return claimed.path;
}

std::vector<std::string> takePrivateFolderNotes() {
  ProcessFolders& process = processFolders();
  std::lock_guard<std::mutex> hold(process.mutex);
  return std::exchange(process.notes, {});
}

std::filesystem::path applicationSupportDirectory() { return xdgDirectory("XDG_DATA_HOME", ".local/share"); }

std::filesystem::path applicationDataDirectory() {
  const std::filesystem::path folder = applicationSupportDirectory() / "Parlet";
  std::error_code ignored;
  std::filesystem::create_directories(folder.parent_path(), ignored);  // a failure shows at mkdir
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    throw FolderError("Cannot create data folder " + folder.string() + ": " + errorText(errno));
  }
  FolderInspection found = inspectOwnFolder(folder);
  if (!found.usable) throw FolderError("Data folder " + folder.string() + " " + found.note + "; it is not used");
  if (!found.note.empty()) {
    ProcessFolders& process = processFolders();
    std::lock_guard<std::mutex> hold(process.mutex);
    process.notes.push_back(std::move(found.note));
  }
  return folder;
}

std::filesystem::path cacheDirectory() { return xdgDirectory("XDG_CACHE_HOME", ".cache"); }

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

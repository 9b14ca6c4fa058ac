// The folders Parlet writes to, resolved from the XDG variables on each call.
// `privateTemporaryDirectory` is created when missing and checked every time: a real folder (no
// link) owned by this user with mode 0700. A folder of ours with a wider mode is repaired; a name
// taken by someone else is left alone and a fresh folder with an unpredictable name stands in for
// the rest of the process. Each repair or stand-in leaves a note for the log. Files in it are
// opened through `openNoFollow`, which refuses a symbolic link as the last path component.
// Thread-safe.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace platform::system {

// A folder that is missing and cannot be made, or exists but is unsafe to use.
class FolderError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// $HOME, else the password database entry of the real user.
std::filesystem::path homeDirectory();

// $XDG_RUNTIME_DIR/parlet when XDG_RUNTIME_DIR is an absolute path, else
// <system temporary directory>/parlet-<uid>, claimed as `claimPrivateFolder` does. A stand-in, once
// made, serves every later call for the same name while it stays usable. Throws FolderError.
std::filesystem::path privateTemporaryDirectory();

// The notes (one line each) of repairs and stand-ins made by `privateTemporaryDirectory` and
// `applicationDataDirectory` since the last call, oldest first.
std::vector<std::string> takePrivateFolderNotes();

// Whether a folder's owner is this process's user (default: the effective user id).
using OwnerCheck = std::function<bool(uid_t owner)>;

struct PrivateFolder {
  std::filesystem::path path;
  std::string note;  // empty, or the repair or stand-in made, for the log
};

// What a look at a folder that must be ours found: usable (perhaps after a repair, named in `note`),
// or refused (`note` says why: "is a symbolic link", "belongs to user 1001", "is gone", ...).
struct FolderInspection {
  bool usable = false;
  std::string note;
};

// The check of a folder that must be ours: a real folder (no link) owned by this user, and closed
// to others: the mode bits in `closedTo` (077: private, 0700; 022: no one else writes) are cleared
// through the descriptor that was checked, with a note. Throws FolderError when it cannot look.
FolderInspection inspectOwnFolder(const std::filesystem::path& folder, mode_t closedTo = 077,
                                  const OwnerCheck& isOurs = {});

// A folder of ours that may be reached through a symbolic link (a cache moved to another disk):
// where to use it, or why not.
struct LinkedFolderInspection {
  bool usable = false;
  std::string note;               // the repair made, or why it is refused
  std::filesystem::path target;   // when usable: the folder itself, or where the link leads
};

// `path` as inspectOwnFolder checks it when it is no link. A link is followed to the folder it
// finally leads to (every link on the way resolved), which must be this user's and already closed
// in the `closedTo` bits: a folder reached through a link is never changed, and one that others
// may write to is refused. The link is read again after the check, and refused when it leads
// elsewhere by then; use `target` from then on, so that a link changed later redirects nothing.
// Throws FolderError when it cannot look.
LinkedFolderInspection inspectOwnFolderOrLink(const std::filesystem::path& path, mode_t closedTo = 022,
                                              const OwnerCheck& isOurs = {});

// What is wrong with a file that should be this user's secret: a link, another owner, or a mode
// that lets others read it. None when it is fine or absent.
std::optional<std::string> foreignFileProblem(const std::filesystem::path& file);

// `preferred` made private: created with mode 0700 when missing; a folder of ours with another mode
// is set to 0700 through the descriptor that was checked; when the name is taken (another owner, not
// a folder, a link, not readable) a fresh "<preferred>-XXXXXX" (mkdtemp) is used instead and the
// taken name is not touched. Throws FolderError when no folder can be had.
PrivateFolder claimPrivateFolder(const std::filesystem::path& preferred, const OwnerCheck& isOurs = {});

// $XDG_DATA_HOME, default ~/.local/share (not created).
std::filesystem::path applicationSupportDirectory();

// applicationSupportDirectory()/Parlet, created (parents too) and checked as the private temporary
// folder is: a folder of ours with a wider mode is set to 0700, with a note for the log
// (takePrivateFolderNotes). No stand-in, as the data must be found again at the next start: a link,
// a file or another user's folder at that name throws FolderError saying which, and is left alone.
std::filesystem::path applicationDataDirectory();

// $XDG_CACHE_HOME, default ~/.cache (not created).
std::filesystem::path cacheDirectory();

// $XDG_CONFIG_HOME/Parlet, default ~/.config/Parlet (not created).
std::filesystem::path settingsDirectory();

// An owned file descriptor, closed on destruction. Move-only.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd();

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_ = -1;
};

// open(2) with O_NOFOLLOW | O_CLOEXEC added to `flags` (O_RDONLY, O_WRONLY | O_CREAT | O_APPEND, ...).
// A symbolic link at `path` is refused. Throws std::system_error naming the path on failure.
UniqueFd openNoFollow(const std::filesystem::path& path, int flags, mode_t mode = 0600);

// Writes `data` to `path` through openNoFollow, replacing (or, with `append`, extending) the file.
void writeFileNoFollow(const std::filesystem::path& path, std::string_view data, bool append = false);

}  // namespace platform::system

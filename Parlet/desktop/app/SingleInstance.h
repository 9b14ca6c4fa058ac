// One running copy per user. `claim()` takes an exclusive lock (flock) on "parlet.lock" in the
// user's private runtime folder: the first copy gets it and, with `listen()`, answers later
// launches on the local socket "parlet.socket" beside it; a later copy finds the lock held and
// `askToReopen()` asks the running one to show itself. The kernel drops the lock of a copy that
// dies, so a stale lock is simply taken over, and the stale socket with it. The folder must be a
// real folder of this user with no access for others, and the socket this user's; otherwise
// nothing is trusted and `claim()` says why. GUI thread only (listen's answers run in the event
// loop); askToReopen blocks for at most `timeout`.
//   SingleInstance one;  if (one.claim() == SingleInstance::Role::secondary) return one.askToReopen() ? 0 : 1;
#pragma once

#include <QLocalServer>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace parlet::app {

class SingleInstance {
 public:
  enum class Role { primary, secondary, unavailable };

  // `folder`: where the lock and socket live (default: the private runtime folder).
  explicit SingleInstance(std::optional<std::filesystem::path> folder = std::nullopt);
  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  Role claim();
  // Why the role is `unavailable`, or what a secondary could not do.
  const std::string& problem() const { return problem_; }

  // Primary: answers each launch after this one; `onReopen` runs in the event loop and returns the
  // line sent back ("showed the welcome window", …). False (see problem()) when it cannot listen.
  bool listen(std::function<std::string()> onReopen);

  // Secondary: the running copy's answer, or none (see problem()) when it did not answer in time.
  std::optional<std::string> askToReopen(std::chrono::milliseconds timeout = std::chrono::seconds(5));

  std::filesystem::path socketPath() const;

 private:
  std::optional<std::filesystem::path> folder_;
  std::string problem_;
  int lockFd_ = -1;
  std::unique_ptr<QLocalServer> server_;
  std::function<std::string()> onReopen_;
};

}  // namespace parlet::app

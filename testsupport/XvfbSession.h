// An X server of its own for a test: Xvfb on a free display (chosen by the server, -displayfd, or the
// number in PARLET_TEST_X_DISPLAY), no TCP,
// a private Xauthority in a 0700 temporary folder, and optionally a tray host (trayer) and a compositor
// (xcompmgr), each waited for until it has taken its selection. While the session lives, DISPLAY and
// XAUTHORITY name it and WAYLAND_DISPLAY is unset; the destructor stops every process it started (by
// pid), restores the environment and removes the folder. Sessions nest (the newest is in the environment;
// end them newest first); not thread-safe.
//   std::string why;  auto x = XvfbSession::start({}, why);  if (!x) GTEST_SKIP() << why;
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

class XvfbSession {
 public:
  struct Options {
    std::string screen = "1280x800x24";           // width x height x depth of screen 0
    bool trayHost = true;                         // start trayer (a system tray host)
    bool compositor = true;                       // start xcompmgr (for translucent windows)
    std::vector<std::string> serverArguments;     // extra Xvfb arguments, e.g. {"-extension", "XTEST"}
  };

  // Nothing, with the reason in `whyNot`, when Xvfb or a requested helper is absent or fails to start.
  static std::unique_ptr<XvfbSession> start(const Options& options, std::string& whyNot);
  ~XvfbSession();
  XvfbSession(const XvfbSession&) = delete;
  XvfbSession& operator=(const XvfbSession&) = delete;

  const std::string& displayName() const { return display_; }  // ":3"
  const std::filesystem::path& xauthority() const { return xauthority_; }
  // Runs a program (found on PATH) against this display and waits for it; its exit status, -1 when it
  // could not run.
  int run(const std::vector<std::string>& command) const;

 private:
  XvfbSession() = default;
  pid_t spawn(const std::vector<std::string>& command, const std::string& logName) const;
  void stopAll();

  std::filesystem::path folder_;
  std::filesystem::path xauthority_;
  std::string display_;
  std::vector<pid_t> children_;  // in start order; stopped last first
  std::vector<std::pair<std::string, std::optional<std::string>>> savedEnvironment_;
};

}  // namespace testsupport

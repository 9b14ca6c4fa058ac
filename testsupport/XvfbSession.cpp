#include "testsupport/XvfbSession.h"

#include <X11/Xlib.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/System/Environment.h"

extern char** environ;

namespace testsupport {
namespace {

using Clock = std::chrono::steady_clock;

std::optional<std::filesystem::path> findProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    if (dir.empty()) continue;
    std::filesystem::path candidate = std::filesystem::path(dir) / name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return std::nullopt;
}

// One MIT-MAGIC-COOKIE-1 entry for any address of display `number` (an Xauthority record: family, address,
// display number, protocol name and data, each after a big-endian 16-bit length).
void writeXauthority(const std::filesystem::path& file, const std::string& number, const std::string& cookie) {
  std::string record;
  auto put16 = [&](std::size_t v) {
    record += static_cast<char>((v >> 8) & 0xff);
    record += static_cast<char>(v & 0xff);
  };
  auto putField = [&](const std::string& s) {
    put16(s.size());
    record += s;
  };
  put16(0xffff);  // FamilyWild
  putField("");
  putField(number);
  putField("MIT-MAGIC-COOKIE-1");
  putField(cookie);
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(record.data(), static_cast<std::streamsize>(record.size()));
}

std::string readTail(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (text.size() > 600) text = "..." + text.substr(text.size() - 600);
  return text;
}

// Waits until someone owns the selection `name` on the session's display.
bool waitForSelectionOwner(const std::string& name, std::chrono::milliseconds limit) {
  Display* display = XOpenDisplay(nullptr);
  if (!display) return false;
  Atom selection = XInternAtom(display, name.c_str(), False);
  const auto end = Clock::now() + limit;
  bool owned = false;
  while (!(owned = XGetSelectionOwner(display, selection) != None) && Clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  XCloseDisplay(display);
  return owned;
}

}  // namespace

std::unique_ptr<XvfbSession> XvfbSession::start(const Options& options, std::string& whyNot) {
  auto xvfb = findProgram("Xvfb");
  if (!xvfb) {
    whyNot = "Xvfb is not installed (Debian package xvfb)";
    return nullptr;
  }
  std::optional<std::filesystem::path> trayer, xcompmgr;
  if (options.trayHost && !(trayer = findProgram("trayer"))) {
    whyNot = "trayer is not installed (Debian package trayer), so there is no tray host";
    return nullptr;
  }
  if (options.compositor && !(xcompmgr = findProgram("xcompmgr"))) {
    whyNot = "xcompmgr is not installed (Debian package xcompmgr), so there is no compositor";
    return nullptr;
  }

  std::unique_ptr<XvfbSession> session(new XvfbSession());
  std::string pattern = (std::filesystem::temp_directory_path() / "parlet-xvfb-XXXXXX").string();
  if (!mkdtemp(pattern.data())) {  // mkdtemp makes the folder 0700
    whyNot = "cannot make a temporary folder for the X session: " + std::string(std::strerror(errno));
    return nullptr;
  }
  session->folder_ = pattern;

  std::string cookie(16, '\0');
  std::ifstream random("/dev/urandom", std::ios::binary);
  random.read(cookie.data(), static_cast<std::streamsize>(cookie.size()));
  // The server accepts every cookie of its file, whatever display number the entry names.
  const std::filesystem::path serverAuth = session->folder_ / "server.auth";
  writeXauthority(serverAuth, "0", cookie);

  // Display numbers from PARLET_TEST_X_DISPLAY on (ten of them), to keep clear of other servers; else the
  // first free one, which Xvfb chooses.
  std::vector<std::optional<int>> candidates{std::nullopt};
  if (const char* first = std::getenv("PARLET_TEST_X_DISPLAY"); first && *first) {
    candidates.clear();
    const int n = std::atoi(first[0] == ':' ? first + 1 : first);
    for (int i = 0; i < 10; ++i) candidates.push_back(n + i);
  }
  std::string number;
  for (const std::optional<int>& candidate : candidates) {
    number.clear();
    int pipeFds[2];
    if (pipe(pipeFds) != 0) {
      whyNot = "pipe failed: " + std::string(std::strerror(errno));
      return nullptr;
    }
    fcntl(pipeFds[0], F_SETFD, FD_CLOEXEC);
    std::vector<std::string> command = {xvfb->string(), "-displayfd", std::to_string(pipeFds[1]), "-nolisten", "tcp",
                                        "-auth", serverAuth.string(), "-noreset", "-screen", "0", options.screen};
    if (candidate) command.insert(command.begin() + 1, ":" + std::to_string(*candidate));
    command.insert(command.end(), options.serverArguments.begin(), options.serverArguments.end());
    pid_t server = session->spawn(command, "Xvfb.log");
    close(pipeFds[1]);
    if (server < 0) {
      close(pipeFds[0]);
      whyNot = "cannot start Xvfb: " + std::string(std::strerror(errno));
      return nullptr;
    }

    // Xvfb writes the display number it took once it accepts connections.
    const auto end = Clock::now() + std::chrono::seconds(15);
    while (Clock::now() < end) {
      pollfd fd{pipeFds[0], POLLIN, 0};
      if (poll(&fd, 1, 100) <= 0) continue;
      char buffer[32];
      ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
      if (n <= 0) break;
      number.append(buffer, static_cast<std::size_t>(n));
      if (number.find('\n') != std::string::npos) break;
    }
    close(pipeFds[0]);
    if (auto newline = number.find('\n'); newline != std::string::npos) number.resize(newline);
    if (!number.empty() && number.find_first_not_of("0123456789") == std::string::npos) {
      session->children_.push_back(server);
      break;
    }
    number.clear();
    kill(server, SIGTERM);  // a taken display: this server exits by itself; any other is stopped
    waitpid(server, nullptr, 0);
  }
  if (number.empty()) {
    whyNot = "Xvfb did not start: " + readTail(session->folder_ / "Xvfb.log");
    return nullptr;
  }
  session->display_ = ":" + number;
  session->xauthority_ = session->folder_ / "Xauthority";
  writeXauthority(session->xauthority_, number, cookie);

  for (const auto& [name, value] : std::vector<std::pair<std::string, std::optional<std::string>>>{
           {"DISPLAY", session->display_}, {"XAUTHORITY", session->xauthority_.string()}, {"WAYLAND_DISPLAY", {}}}) {
    session->savedEnvironment_.emplace_back(name, platform::system::environmentVariable(name.c_str()));
    platform::system::setEnvironmentVariable(name, value);
  }

  if (xcompmgr) {
    pid_t pid = session->spawn({xcompmgr->string()}, "xcompmgr.log");
    if (pid > 0) session->children_.push_back(pid);
    if (pid < 0 || !waitForSelectionOwner("_NET_WM_CM_S0", std::chrono::seconds(10))) {
      whyNot = "xcompmgr did not start: " + readTail(session->folder_ / "xcompmgr.log");
      return nullptr;
    }
  }
  if (trayer) {
    pid_t pid = session->spawn({trayer->string(), "--edge", "top", "--align", "right", "--widthtype", "request",
                                "--height", "24", "--transparent", "false"},
                               "trayer.log");
    if (pid > 0) session->children_.push_back(pid);
    if (pid < 0 || !waitForSelectionOwner("_NET_SYSTEM_TRAY_S0", std::chrono::seconds(10))) {
      whyNot = "trayer did not start: " + readTail(session->folder_ / "trayer.log");
      return nullptr;
    }
  }
  return session;
}

XvfbSession::~XvfbSession() {
  stopAll();
  for (auto it = savedEnvironment_.rbegin(); it != savedEnvironment_.rend(); ++it)
    platform::system::setEnvironmentVariable(it->first, it->second);
  std::error_code ignored;
  if (!folder_.empty()) std::filesystem::remove_all(folder_, ignored);
}

int XvfbSession::run(const std::vector<std::string>& command) const {
  if (command.empty()) return -1;
  std::vector<std::string> resolved = command;
  if (resolved[0].find('/') == std::string::npos) {
    auto program = findProgram(resolved[0]);
    if (!program) return -1;
    resolved[0] = program->string();
  }
  pid_t pid = spawn(resolved, "run.log");
  if (pid < 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

pid_t XvfbSession::spawn(const std::vector<std::string>& command, const std::string& logName) const {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    if (entry.rfind("DISPLAY=", 0) == 0 || entry.rfind("XAUTHORITY=", 0) == 0 ||
        entry.rfind("WAYLAND_DISPLAY=", 0) == 0)
      continue;
    env.push_back(entry);
  }
  if (!display_.empty()) {
    env.push_back("DISPLAY=" + display_);
    env.push_back("XAUTHORITY=" + xauthority_.string());
  }
  std::vector<char*> argv, envp;
  for (const auto& a : command) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  const std::string log = (folder_ / logName).string();
  const pid_t parent = getpid();

  pid_t pid = fork();
  if (pid != 0) return pid;
  // Child: only async-signal-safe calls from here on.
  prctl(PR_SET_PDEATHSIG, SIGTERM);  // no stray server when the test process dies
  if (getppid() != parent) _exit(127);
  int logFd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  int nullFd = open("/dev/null", O_RDONLY);
  if (nullFd >= 0) dup2(nullFd, 0);
  if (logFd >= 0) {
    dup2(logFd, 1);
    dup2(logFd, 2);
  }
  execve(argv[0], argv.data(), envp.data());
  _exit(127);
}

void XvfbSession::stopAll() {
  for (auto it = children_.rbegin(); it != children_.rend(); ++it) {
    pid_t pid = *it;
    kill(pid, SIGTERM);
    const auto end = Clock::now() + std::chrono::seconds(3);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
      if (Clock::now() >= end) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  children_.clear();
}

}  // namespace testsupport

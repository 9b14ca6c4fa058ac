// A PulseAudio server of a test's own, in a private folder: a pipe source ("mic", 16 kHz mono
// 16-bit) that the test speaks into, and the process's PULSE_SERVER pointed at it, so that ALSA's
// pulse device (libasound2-plugins) and with it our capture hear what the test writes. When the
// server cannot be had, `whyNot` says why and the test skips. Stopping the writes with the pipe
// still open is a source that stops delivering. A plain source keeps what is written while nobody
// records and hands it all to the next recording; a live one (`Microphone::live`) is always heard
// by the server, as a real microphone is, so a recording gets only what is spoken after it began:
// speak into it at the pace of speech (speakLive). One server at a time: the next one is made after
// the last one went.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "testsupport/Fixtures.h"

extern char** environ;

namespace audiotest {

class PulseAudioServer {
 public:
  enum class Microphone { holdsAudio, live };

  explicit PulseAudioServer(Microphone microphone = Microphone::holdsAudio) {
    const std::optional<std::string> program = find("pulseaudio");
    if (!program) {
      whyNot_ = "pulseaudio is not installed";
      return;
    }
    const auto& dir = folder_.path();
    std::ofstream(dir / "default.pa") << "load-module module-native-protocol-unix auth-anonymous=1 socket=" << (dir / "native").string()
                                      << "\nload-module module-pipe-source source_name=mic file=" << (dir / "mic").string()
                                      << " format=s16le rate=16000 channels=1\nset-default-source mic\n";
    // A loopback into a sink that goes nowhere keeps the source read all the time.
    if (microphone == Microphone::live)
      std::ofstream(dir / "default.pa", std::ios::app) << "load-module module-null-sink sink_name=drain\n"
                                                          "load-module module-loopback source=mic sink=drain\n";
    environment_.set("PULSE_SERVER", "unix:" + (dir / "native").string());
    const std::vector<std::string> args = {*program, "-n", "-F", (dir / "default.pa").string(), "--daemonize=no",
                                           "--exit-idle-time=-1", "--use-pid-file=no", "--log-target=stderr"};
    std::vector<std::string> env = {"HOME=" + dir.string(), "XDG_RUNTIME_DIR=" + dir.string(),
                                    "PULSE_RUNTIME_PATH=" + dir.string(), "PULSE_STATE_PATH=" + dir.string(),
                                    "PATH=/usr/bin:/bin"};
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    for (auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, (dir / "server.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const int spawned = posix_spawn(&pid_, program->c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
      pid_ = -1;
      whyNot_ = "pulseaudio could not be started";
      return;
    }
    for (int i = 0; i < 200 && !std::filesystem::exists(dir / "mic"); ++i) {
      if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // The source reads the pipe from now on; it stays open for writing while the server runs.
    if (std::filesystem::exists(dir / "mic")) pipe_ = ::open((dir / "mic").c_str(), O_WRONLY | O_NONBLOCK);
    if (pipe_ < 0) whyNot_ = "pulseaudio did not come up: " + log();
  }

  ~PulseAudioServer() {
    if (pipe_ >= 0) ::close(pipe_);
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  PulseAudioServer(const PulseAudioServer&) = delete;
  PulseAudioServer& operator=(const PulseAudioServer&) = delete;

  const std::optional<std::string>& whyNot() const { return whyNot_; }

  // Writes the samples into the source as 16-bit PCM at 16 kHz.
  void speak(const std::vector<float>& samples) {
    std::vector<std::int16_t> pcm(samples.size());
    for (std::size_t i = 0; i < samples.size(); ++i)
      pcm[i] = static_cast<std::int16_t>(std::lround(std::clamp(samples[i], -1.0f, 1.0f) * 32767));
    const char* bytes = reinterpret_cast<const char*>(pcm.data());
    std::size_t left = pcm.size() * sizeof(std::int16_t);
    while (left > 0) {
      const ssize_t n = ::write(pipe_, bytes, left);
      if (n > 0) {
        bytes += n;
        left -= static_cast<std::size_t>(n);
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));  // the pipe is full: the source reads on
      }
    }
  }

  // Speaks the samples in 10 ms pieces, each when its time comes, as a microphone hears speech;
  // returns when the last piece is written, or early when `stop` turns true.
  void speakLive(const std::vector<float>& samples, const std::atomic<bool>* stop = nullptr) {
    auto due = std::chrono::steady_clock::now();
    for (std::size_t at = 0; at < samples.size() && !(stop && *stop); at += 160) {
      std::this_thread::sleep_until(due);
      speak(std::vector<float>(samples.begin() + at, samples.begin() + std::min(samples.size(), at + 160)));
      due += std::chrono::milliseconds(10);
    }
  }

  // The recordings the server is serving now (its loopback left out); nothing without pactl.
  std::optional<int> recordings() const {
    const std::optional<std::string> pactl = find("pactl");
    if (!pactl) return std::nullopt;
    std::FILE* out = ::popen((*pactl + " list source-outputs short 2>/dev/null").c_str(), "r");
    if (!out) return std::nullopt;
    int count = 0;
    char line[512];
    while (std::fgets(line, sizeof line, out))
      if (!std::strstr(line, "module-loopback")) ++count;
    return ::pclose(out) == 0 ? std::optional<int>(count) : std::nullopt;
  }

  std::string log() const {
    std::ifstream in(folder_.path() / "server.log");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

 private:
  static std::optional<std::string> find(const std::string& name) {
    for (const char* dir : {"/usr/bin", "/bin", "/usr/local/bin"}) {
      const std::string path = std::string(dir) + "/" + name;
      if (::access(path.c_str(), X_OK) == 0) return path;
    }
    return std::nullopt;
  }

  testsupport::TempDir folder_;
  testsupport::EnvironmentGuard environment_;
  pid_t pid_ = -1;
  int pipe_ = -1;
  std::optional<std::string> whyNot_;
};

}  // namespace audiotest

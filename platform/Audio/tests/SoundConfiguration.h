// An ALSA configuration of a test's own, read beside the system's, and a socket to stand behind a
// device of it: `OtherServer` counts who connects and hangs up on them after `answerAfter`, a sound
// server of the configuration that nobody should call (and that is slow to say so).
//   OtherServer other(folder / "other");
//   AlsaConfiguration configuration(folder / "test.conf", other.deviceDefinition("other"));
#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "testsupport/Fixtures.h"

namespace audiotest {

class OtherServer {
 public:
  explicit OtherServer(const std::filesystem::path& path, std::chrono::milliseconds answerAfter = {})
      : path_(path), fd_(::socket(AF_UNIX, SOCK_STREAM, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd_, 16) != 0) return;
    thread_ = std::thread([this, answerAfter] {
      for (int client; (client = ::accept(fd_, nullptr, nullptr)) >= 0;) {
        ++connections_;
        std::this_thread::sleep_for(answerAfter);
        ::close(client);
      }
    });
  }
  ~OtherServer() {
    ::shutdown(fd_, SHUT_RDWR);  // ends the accept
    if (thread_.joinable()) thread_.join();
    ::close(fd_);
  }
  OtherServer(const OtherServer&) = delete;
  OtherServer& operator=(const OtherServer&) = delete;

  int connections() const { return connections_; }

  // An ALSA capture and playback device `name` on this server, listed among the system's devices.
  std::string deviceDefinition(const std::string& name) const {
    return "pcm." + name + " {\n type pulse\n server \"unix:" + path_.string() +
           "\"\n hint { show on description \"Another sound server\" }\n}\n";
  }

 private:
  std::filesystem::path path_;
  int fd_;
  std::atomic<int> connections_{0};
  std::thread thread_;
};

// ALSA reads the system's configuration and `text`, written to `file`, while the object lives.
// Another file set makes the next capture read the configuration again.
class AlsaConfiguration {
 public:
  AlsaConfiguration(const std::filesystem::path& file, const std::string& text) {
    std::ofstream(file) << text;
    environment_.set("ALSA_CONFIG_PATH", "/usr/share/alsa/alsa.conf:" + file.string());
  }

 private:
  testsupport::EnvironmentGuard environment_;
};

}  // namespace audiotest

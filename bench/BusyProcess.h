// A load beside a benchmark: the benchmark's own program started again with `--spin N` in a session
// of its own (like a program started elsewhere on the desktop) keeps N threads busy until the object
// goes. The benchmark's main must answer `--spin N` with spin(N).
//   if (argc == 3 && std::string(argv[1]) == "--spin") return spin(std::atoi(argv[2]));
//   { const BusyProcess load(8); measure(); }
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

// N threads kept busy until the process is killed.
inline int spin(int threads) {
  std::vector<std::thread> spinners;
  for (int i = 0; i < threads; ++i)
    spinners.emplace_back([] {
      volatile double x = 1;
      for (;;) x = x * 1.0000001 + 1e-9;
    });
  for (auto& t : spinners) t.join();
  return 0;
}

class BusyProcess {
 public:
  explicit BusyProcess(int threads) {
    if (threads <= 0) return;
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string(), count = std::to_string(threads);
    pid_ = fork();
    if (pid_ == 0) {
      setsid();
      execl(self.c_str(), self.c_str(), "--spin", count.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // its threads start and spread over the cores
  }
  ~BusyProcess() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  BusyProcess(const BusyProcess&) = delete;
  BusyProcess& operator=(const BusyProcess&) = delete;

 private:
  pid_t pid_ = -1;
};

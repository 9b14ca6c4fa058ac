// The network path monitor: reports whether the machine has a usable network path, first when
// started and then whenever the kernel announces a change of links or addresses (netlink route
// events). A path is satisfied when some interface other than loopback is up and running and
// holds an IPv4 address or a global IPv6 address (getifaddrs). The handler runs on the monitor's
// own thread, one report at a time; cancel() and the destructor stop and join that thread, so no
// report arrives after they return (cancel() from inside the handler lets the thread end once the
// handler returns). Thread-safe.
//   PathMonitor m; m.setUpdateHandler([](NetworkPath p) { ... }); m.start();
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace platform::net {

struct NetworkPath {
  enum class Status { satisfied, unsatisfied, requiresConnection };
  Status status = Status::unsatisfied;
  bool isExpensive = false;    // Linux reports no metered links here: always false
  bool isConstrained = false;  // no low-data mode on Linux: always false
};

// The current path, read from the interfaces now.
NetworkPath currentNetworkPath();

class PathMonitor {
 public:
  using Handler = std::function<void(const NetworkPath&)>;

  PathMonitor() = default;
  ~PathMonitor();
  PathMonitor(const PathMonitor&) = delete;
  PathMonitor& operator=(const PathMonitor&) = delete;

  // Replaces the handler; the next report goes to the new one.
  void setUpdateHandler(Handler handler);
  // Starts watching and reports the current path; a second call while running does nothing.
  void start();
  void cancel();

 private:
  void run(int netlinkFd, int wakeFd);
  void deliver(const NetworkPath& path);

  std::mutex mutex_;
  Handler handler_;
  std::thread thread_;
  int wakeFd_ = -1;  // eventfd that ends the thread
  std::shared_ptr<std::atomic<bool>> detached_;  // set when cancelled from the handler
};

}  // namespace platform::net

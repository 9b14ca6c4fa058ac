// Offline detection. `NetworkStateActor` keeps the last reported network path (online until the
// first report); `NetworkMonitor` feeds it from the platform's path monitor, whose reports arrive on
// the monitor's own thread. `NetworkMonitor::shared()` is the one monitor the offline decision
// reads; it starts on first use and runs for the rest of the process. Watchers hear each report
// after the state has taken it in, so one that hears "online" finds the offline decision agreeing.
// Thread-safe throughout.
//   bool offline = offlineDecision(api.useOfflineMode(), NetworkMonitor::shared()->state());
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/Net/PathMonitor.h"

namespace hub {

class NetworkStateActor {
 public:
  // Connected exactly when the path is satisfied.
  void update(const platform::net::NetworkPath& path);
  // False when CI_DISABLE_NETWORK_MONITOR is "1" exactly; otherwise whether the last path was unusable.
  bool shouldUseOfflineMode() const;

  bool isConnected() const;
  bool isExpensive() const;
  bool isConstrained() const;

 private:
  mutable std::mutex mutex_;
  bool isConnected_ = true;
  bool isExpensive_ = false;
  bool isConstrained_ = false;
};

class NetworkMonitor {
 public:
  NetworkMonitor();  // starts monitoring
  ~NetworkMonitor();  // cancels the path monitor
  NetworkMonitor(const NetworkMonitor&) = delete;
  NetworkMonitor& operator=(const NetworkMonitor&) = delete;

  using WatchId = std::uint64_t;
  using Watcher = std::function<void(bool online)>;

  // Installs the update handler and starts the path monitor; starting a running monitor is harmless.
  void startMonitoring();
  NetworkStateActor& state() { return feed_->state; }

  // Takes in one report: the state first, then every watcher with the state's verdict (online:
  // the offline decision without a caller's choice says online). The path monitor's handler.
  void report(const platform::net::NetworkPath& path);
  // `watcher` hears every later report, on the reporting thread, and at once the current verdict
  // when a report has already come. Returns the handle for unwatch().
  WatchId watch(Watcher watcher);
  // Once it returns, no call of that watcher is under way or follows. Not from inside a watcher.
  void unwatch(WatchId id);

  static const std::shared_ptr<NetworkMonitor>& shared();

 private:
  struct Feed {
    NetworkStateActor state;
    std::mutex mutex;  // held while watchers run: a report reaches them whole and in order
    std::map<WatchId, Watcher> watchers;
    WatchId lastId = 0;
    bool reported = false;
  };
  static void deliver(Feed& feed, const platform::net::NetworkPath& path);

  std::shared_ptr<Feed> feed_;  // declared first: outlives the monitor's thread
  platform::net::PathMonitor monitor_;
};

// Offline when the caller said so, online when the caller said no, else as the network state
// says. The network state is asked in every case.
bool offlineDecision(std::optional<bool> useOfflineMode, const NetworkStateActor& state);

}  // namespace hub

// Offline detection. `NetworkStateActor` keeps the last reported network path (online until the
// first report); `NetworkMonitor` feeds it from the platform's path monitor, whose reports arrive on
// the monitor's own thread. `NetworkMonitor::shared()` is the one monitor the offline decision
// reads; it starts on first use and runs for the rest of the process. Thread-safe throughout.
//   bool offline = offlineDecision(api.useOfflineMode(), NetworkMonitor::shared()->state());
#pragma once

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

  // Installs the update handler and starts the path monitor; starting a running monitor is harmless.
  void startMonitoring();
  NetworkStateActor& state() { return *state_; }

  static const std::shared_ptr<NetworkMonitor>& shared();

 private:
  std::shared_ptr<NetworkStateActor> state_;  // declared first: outlives the monitor's thread
  platform::net::PathMonitor monitor_;
};

// Offline when the caller said so, online when the caller said no, else as the network state
// says. The network state is asked in every case.
bool offlineDecision(std::optional<bool> useOfflineMode, const NetworkStateActor& state);

}  // namespace hub

#include "Hub/NetworkMonitor.h"

#include <cstdlib>
#include <cstring>

namespace hub {

void NetworkStateActor::update(const platform::net::NetworkPath& path) {
  std::lock_guard lock(mutex_);
  isConnected_ = path.status == platform::net::NetworkPath::Status::satisfied;
  isExpensive_ = path.isExpensive;
  isConstrained_ = path.isConstrained;
}

bool NetworkStateActor::shouldUseOfflineMode() const {
  const char* disabled = std::getenv("CI_DISABLE_NETWORK_MONITOR");
  if (disabled && std::strcmp(disabled, "1") == 0) return false;
  std::lock_guard lock(mutex_);
  return !isConnected_;
}

bool NetworkStateActor::isConnected() const {
  std::lock_guard lock(mutex_);
  return isConnected_;
}

bool NetworkStateActor::isExpensive() const {
  std::lock_guard lock(mutex_);
  return isExpensive_;
}

bool NetworkStateActor::isConstrained() const {
  std::lock_guard lock(mutex_);
  return isConstrained_;
}

NetworkMonitor::NetworkMonitor() : state_(std::make_shared<NetworkStateActor>()) { startMonitoring(); }

NetworkMonitor::~NetworkMonitor() { monitor_.cancel(); }

void NetworkMonitor::startMonitoring() {
  // The handler holds the state weakly: a report after the state is gone is dropped.
  std::weak_ptr<NetworkStateActor> weak = state_;
  monitor_.setUpdateHandler([weak](const platform::net::NetworkPath& path) {
    if (auto state = weak.lock()) state->update(path);
  });
  monitor_.start();
}

const std::shared_ptr<NetworkMonitor>& NetworkMonitor::shared() {
  static const std::shared_ptr<NetworkMonitor> instance = std::make_shared<NetworkMonitor>();
  return instance;
}

bool offlineDecision(std::optional<bool> useOfflineMode, const NetworkStateActor& state) {
  bool networkSaysOffline = state.shouldUseOfflineMode();
  return useOfflineMode.value_or(networkSaysOffline);
}

}  // namespace hub

#include "Hub/NetworkMonitor.h"

#include "platform/System/Environment.h"

namespace hub {

void NetworkStateActor::update(const platform::net::NetworkPath& path) {
  std::lock_guard lock(mutex_);
  isConnected_ = path.status == platform::net::NetworkPath::Status::satisfied;
  isExpensive_ = path.isExpensive;
  isConstrained_ = path.isConstrained;
}

bool NetworkStateActor::shouldUseOfflineMode() const {
  // Read through the lock: this runs on the path monitor's thread too.
  if (platform::system::environmentVariable("CI_DISABLE_NETWORK_MONITOR") == "1") return false;
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

NetworkMonitor::NetworkMonitor() : feed_(std::make_shared<Feed>()) { startMonitoring(); }

NetworkMonitor::~NetworkMonitor() { monitor_.cancel(); }

void NetworkMonitor::startMonitoring() {
  // The handler holds the feed weakly: a report after it is gone is dropped.
  std::weak_ptr<Feed> weak = feed_;
  monitor_.setUpdateHandler([weak](const platform::net::NetworkPath& path) {
    if (auto feed = weak.lock()) deliver(*feed, path);
  });
  monitor_.start();
}

void NetworkMonitor::report(const platform::net::NetworkPath& path) { deliver(*feed_, path); }

void NetworkMonitor::deliver(Feed& feed, const platform::net::NetworkPath& path) {
  std::lock_guard lock(feed.mutex);
  feed.reported = true;
  feed.state.update(path);
  const bool online = !feed.state.shouldUseOfflineMode();
  for (auto& [id, watcher] : feed.watchers) watcher(online);
}

NetworkMonitor::WatchId NetworkMonitor::watch(Watcher watcher) {
  std::lock_guard lock(feed_->mutex);
  const WatchId id = ++feed_->lastId;
  if (feed_->reported) watcher(!feed_->state.shouldUseOfflineMode());
  feed_->watchers.emplace(id, std::move(watcher));
  return id;
}

void NetworkMonitor::unwatch(WatchId id) {
  Watcher gone;  // released outside the lock
  std::lock_guard lock(feed_->mutex);
  auto found = feed_->watchers.find(id);
  if (found == feed_->watchers.end()) return;
  gone = std::move(found->second);
  feed_->watchers.erase(found);
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

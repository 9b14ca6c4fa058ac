// The application's NetworkWatch: the repository client's network monitor, the very view its
// offline decision reads, its reports carried to the main queue. A report reaches the shell only
// after the monitor's state has taken it in, so a model load started on "online" is not judged
// offline. Destroying the watch ends it; no report reaches the handler afterwards. Main thread only.
#pragma once

#include <memory>
#include <optional>

#include "Hub/NetworkMonitor.h"
#include "KestrumCore/MainQueue.h"
#include "Parlet/desktop/NetworkWatch.h"

namespace parlet::app {

class PathMonitorWatch : public NetworkWatch {
 public:
  explicit PathMonitorWatch(kestrum::MainQueue& mainQueue,
                            std::shared_ptr<hub::NetworkMonitor> monitor = hub::NetworkMonitor::shared())
      : mainQueue_(mainQueue), monitor_(std::move(monitor)) {}
  ~PathMonitorWatch() override;
  void start(std::function<void(bool online)> onChange) override;

 private:
  kestrum::MainQueue& mainQueue_;
  std::shared_ptr<hub::NetworkMonitor> monitor_;
  std::optional<hub::NetworkMonitor::WatchId> watch_;
  std::shared_ptr<std::function<void(bool)>> handler_;  // held weakly by posted reports
};

}  // namespace parlet::app

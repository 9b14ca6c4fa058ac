// The application's NetworkWatch: the platform's path monitor (the kernel's link and address
// events), its reports carried to the main queue. Destroying it stops the monitor; no report
// reaches the handler afterwards. Main thread only.
#pragma once

#include <memory>

#include "KestrumCore/MainQueue.h"
#include "Parlet/desktop/NetworkWatch.h"
#include "platform/Net/PathMonitor.h"

namespace parlet::app {

class PathMonitorWatch : public NetworkWatch {
 public:
  explicit PathMonitorWatch(kestrum::MainQueue& mainQueue) : mainQueue_(mainQueue) {}
  ~PathMonitorWatch() override;
  void start(std::function<void(bool online)> onChange) override;

 private:
  kestrum::MainQueue& mainQueue_;
  std::shared_ptr<std::function<void(bool)>> handler_;  // held weakly by posted reports
  platform::net::PathMonitor monitor_;
};

}  // namespace parlet::app

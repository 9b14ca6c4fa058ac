#include "Parlet/desktop/app/PathMonitorWatch.h"

namespace parlet::app {

PathMonitorWatch::~PathMonitorWatch() {
  monitor_.cancel();  // joins the monitor's thread: nothing is posted after this
  handler_.reset();   // reports already posted find no handler
}

void PathMonitorWatch::start(std::function<void(bool online)> onChange) {
  handler_ = std::make_shared<std::function<void(bool)>>(std::move(onChange));
  std::weak_ptr<std::function<void(bool)>> weak = handler_;
  kestrum::MainQueue* queue = &mainQueue_;
  monitor_.setUpdateHandler([weak, queue](const platform::net::NetworkPath& path) {
    const bool online = path.status == platform::net::NetworkPath::Status::satisfied;
    queue->post([weak, online] {
      if (auto handler = weak.lock()) (*handler)(online);
    });
  });
  monitor_.start();
}

}  // namespace parlet::app

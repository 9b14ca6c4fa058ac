#include "Parlet/desktop/app/PathMonitorWatch.h"

namespace parlet::app {

PathMonitorWatch::~PathMonitorWatch() {
  if (watch_) monitor_->unwatch(*watch_);  // nothing is posted after this
  handler_.reset();                        // reports already posted find no handler
}

void PathMonitorWatch::start(std::function<void(bool online)> onChange) {
  if (watch_) monitor_->unwatch(*watch_);
  handler_ = std::make_shared<std::function<void(bool)>>(std::move(onChange));
  std::weak_ptr<std::function<void(bool)>> weak = handler_;
  kestrum::MainQueue* queue = &mainQueue_;
  watch_ = monitor_->watch([weak, queue](bool online) {
    queue->post([weak, online] {
      if (auto handler = weak.lock()) (*handler)(online);
    });
  });
}

}  // namespace parlet::app

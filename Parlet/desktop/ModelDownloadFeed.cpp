#include "Parlet/desktop/ModelDownloadFeed.h"

#include <algorithm>
#include <atomic>
#include <cmath>

namespace parlet {

struct ModelDownloadFeed::Shared {
  kestrum::MainQueue* mainQueue;
  std::function<void(std::optional<double>)> show;
  std::atomic<bool> alive{true};
};

ModelDownloadFeed::ModelDownloadFeed(kestrum::MainQueue* mainQueue, std::function<void(std::optional<double>)> show)
    : shared_(std::make_shared<Shared>(mainQueue, std::move(show))),
      broadcaster_([] { return std::optional<Report>(); }) {
  // Subscribed here, so no report made after construction can be missed.
  auto subscription = std::make_shared<hub::Broadcaster<Report>::Subscription>(broadcaster_.subscribe());
  reader_ = std::jthread([shared = shared_, subscription](std::stop_token stop) {
    int shownPercent = -1;  // none shown yet
    bool shownFinished = false;
    while (auto report = subscription->next(stop)) {
      if (report->fraction) {
        const int percent = static_cast<int>(std::floor(std::clamp(*report->fraction, 0.0, 1.0) * 100));
        if (percent == shownPercent && !shownFinished) continue;
        shownPercent = percent;
        shownFinished = false;
      } else {
        if (shownFinished) continue;
        shownFinished = true;
        shownPercent = -1;
      }
      shared->mainQueue->post([shared, fraction = report->fraction] {
        if (shared->alive && shared->show) shared->show(fraction);
      });
    }
  });
}

ModelDownloadFeed::~ModelDownloadFeed() { close(); }

void ModelDownloadFeed::close() {
  shared_->alive = false;
  reader_.request_stop();
  if (reader_.joinable()) reader_.join();
}

std::function<void(const hub::Progress&)> ModelDownloadFeed::handler() {
  return [this](const hub::Progress& progress) { broadcaster_.broadcast(Report{progress.fractionCompleted()}); };
}

void ModelDownloadFeed::finished() { broadcaster_.broadcast(Report{std::nullopt}); }

}  // namespace parlet

#include "Parlet/desktop/ModelDownloadFeed.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <utility>

namespace parlet {

struct ModelDownloadFeed::Shared {
  kestrum::MainQueue* mainQueue;
  Show show;
  std::atomic<bool> alive{true};
};

ModelDownloadFeed::ModelDownloadFeed(kestrum::MainQueue* mainQueue, Show show)
    : shared_(std::make_shared<Shared>(mainQueue, std::move(show))),
      broadcaster_([] { return std::optional<Report>(); }) {
  // Subscribed here, so no report made after construction can be missed.
  auto subscription = std::make_shared<hub::Broadcaster<Report>::Subscription>(broadcaster_.subscribe());
  reader_ = std::jthread([shared = shared_, subscription](std::stop_token stop) {
    std::pair<int, std::int64_t> shown{-1, -1};  // percent and tenths of a megabyte done; none yet
    bool shownFinished = false;
    while (auto report = subscription->next(stop)) {
      if (report->fraction) {
        const double fraction = std::clamp(*report->fraction, 0.0, 1.0);
        const std::pair<int, std::int64_t> now{static_cast<int>(std::floor(fraction * 100)),
                                               static_cast<std::int64_t>(fraction * double(report->totalBytes) / 1e5)};
        if (now == shown && !shownFinished) continue;
        shown = now;
        shownFinished = false;
      } else {
        if (shownFinished) continue;
        shownFinished = true;
        shown = {-1, -1};
      }
      shared->mainQueue->post([shared, fraction = report->fraction, total = report->totalBytes] {
        if (shared->alive && shared->show) shared->show(fraction, total);
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

std::function<void(const kestrum::Progress&)> ModelDownloadFeed::handler() {
  // The repository client counts bytes: the progress's total is the download's size.
  return [this](const kestrum::Progress& progress) {
    broadcaster_.broadcast(Report{progress.fractionCompleted(), std::max<std::int64_t>(progress.totalUnitCount(), 0)});
  };
}

void ModelDownloadFeed::finished() { broadcaster_.broadcast(Report{std::nullopt, 0}); }

}  // namespace parlet

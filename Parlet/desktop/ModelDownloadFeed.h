// Carries the speech model's download progress from the engine's loading thread to the menu: the
// repository client's progress handler (`handler()`) broadcasts each report, a reader thread takes
// them from its subscription and posts them to the main queue, where `show` receives the fraction
// (0…1), or none once `finished()` was called. Reports that would not change the shown percentage
// are dropped before the hop. `handler()` and `finished()` may be called from any thread; `show`
// runs on the main queue only, never after the feed is closed or destroyed. Nothing here throws.
//   ModelDownloadFeed feed(&queue, [&](auto f) { app.setModelDownload(f); });  download(…, feed.handler());
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <thread>

#include "Hub/Broadcaster.h"
#include "Hub/Progress.h"
#include "KestrumCore/MainQueue.h"

namespace parlet {

class ModelDownloadFeed {
 public:
  ModelDownloadFeed(kestrum::MainQueue* mainQueue, std::function<void(std::optional<double>)> show);
  ~ModelDownloadFeed();
  ModelDownloadFeed(const ModelDownloadFeed&) = delete;
  ModelDownloadFeed& operator=(const ModelDownloadFeed&) = delete;

  std::function<void(const hub::Progress&)> handler();
  // The download ended (done or failed): the menu stops showing it.
  void finished();
  // Stops the reader: nothing reaches the main queue afterwards (main thread; the destructor does it).
  void close();

 private:
  struct Report {
    std::optional<double> fraction;
  };
  struct Shared;

  std::shared_ptr<Shared> shared_;
  hub::Broadcaster<Report> broadcaster_;
  std::jthread reader_;
};

}  // namespace parlet

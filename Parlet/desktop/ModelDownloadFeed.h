// Carries the speech model's download progress from the engine's loading thread to the menu: the
// repository client's progress handler (`handler()`) broadcasts each report, a reader thread takes
// them from its subscription and posts them to the main queue, where `show` receives the fraction
// (0…1) and the download's total in bytes (0 when unknown), or none once `finished()` was called.
// Reports that would change neither the shown percentage nor the tenth of a megabyte done are
// dropped before the hop. `handler()` and `finished()` may be called from any thread; `show`
// runs on the main queue only, never after the feed is closed or destroyed. Nothing here throws.
//   ModelDownloadFeed feed(&queue, [&](auto f, auto total) { app.setModelDownload(f, total); });  download(…, feed.handler());
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

#include "Hub/Broadcaster.h"
#include "KestrumCore/MainQueue.h"
#include "KestrumCore/Progress.h"

namespace parlet {

class ModelDownloadFeed {
 public:
  using Show = std::function<void(std::optional<double> fraction, std::int64_t totalBytes)>;
  ModelDownloadFeed(kestrum::MainQueue* mainQueue, Show show);
  ~ModelDownloadFeed();
  ModelDownloadFeed(const ModelDownloadFeed&) = delete;
  ModelDownloadFeed& operator=(const ModelDownloadFeed&) = delete;

  std::function<void(const kestrum::Progress&)> handler();
  // The download ended (done or failed): the menu stops showing it.
  void finished();
  // Stops the reader: nothing reaches the main queue afterwards (main thread; the destructor does it).
  void close();

 private:
  struct Report {
    std::optional<double> fraction;
    std::int64_t totalBytes = 0;
  };
  struct Shared;

  std::shared_ptr<Shared> shared_;
  hub::Broadcaster<Report> broadcaster_;
  std::jthread reader_;
};

}  // namespace parlet

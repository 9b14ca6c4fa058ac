#include "Parlet/desktop/ModelDownloadFeed.h"

#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace parlet {
namespace {

// Runs the queue until `count` values were shown or five seconds passed.
void collect(kestrum::ManualMainQueue& queue, const std::vector<std::optional<double>>& shown, std::size_t count) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (shown.size() < count && std::chrono::steady_clock::now() < deadline) {
    queue.runUntilIdle();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

TEST(ModelDownloadFeedTest, ReportsFromAnotherThreadReachTheMainQueueOncePerPercent) {
  kestrum::ManualMainQueue queue;
  std::vector<std::optional<double>> shown;
  ModelDownloadFeed feed(&queue, [&](std::optional<double> fraction, std::int64_t) { shown.push_back(fraction); });

  // Two files, one of them half done: a quarter overall.
  kestrum::Progress overall(2);
  auto file = std::make_shared<kestrum::Progress>(1000);
  overall.addChild(file, 1);
  std::thread download([&, handler = feed.handler()] {
    for (int done : {0, 500, 501, 504, 1000}) {
      file->setCompletedUnitCount(done);
      handler(overall);
    }
    overall.setCompletedUnitCount(1);
    handler(overall);
    feed.finished();
    feed.finished();
  });
  download.join();
  collect(queue, shown, 5);
  ASSERT_EQ(shown.size(), 5u);
  EXPECT_DOUBLE_EQ(*shown[0], 0.0);
  EXPECT_DOUBLE_EQ(*shown[1], 0.25);  // 0.2505 and 0.252 show the same 25 %
  EXPECT_DOUBLE_EQ(*shown[2], 0.5);
  EXPECT_DOUBLE_EQ(*shown[3], 1.0);
  EXPECT_EQ(shown[4], std::nullopt);
  queue.runUntilIdle();
  EXPECT_EQ(shown.size(), 5u);
}

// Units are bytes: a report is shown when the percentage or the tenth of a megabyte done moves, and
// carries the total size.
TEST(ModelDownloadFeedTest, ReportsCarryTheSizeAndMoveWithTheMegabytes) {
  kestrum::ManualMainQueue queue;
  std::vector<std::pair<double, std::int64_t>> shown;
  ModelDownloadFeed feed(&queue, [&](std::optional<double> fraction, std::int64_t total) {
    if (fraction) shown.emplace_back(*fraction, total);
  });
  kestrum::Progress overall(200'000'000);  // 200 MB: one percent is 2 MB
  for (std::int64_t done : {0, 50'000, 100'000, 150'000, 2'000'000}) {
    overall.setCompletedUnitCount(done);
    feed.handler()(overall);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (shown.size() < 3 && std::chrono::steady_clock::now() < deadline) {
    queue.runUntilIdle();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(shown.size(), 3u);  // 0.05 MB shows as 0.0 again; 0.1 MB and 2 MB are news
  EXPECT_DOUBLE_EQ(shown[1].first, 0.0005);
  EXPECT_DOUBLE_EQ(shown[2].first, 0.01);
  for (const auto& [fraction, total] : shown) EXPECT_EQ(total, 200'000'000);
}

TEST(ModelDownloadFeedTest, ReportsAfterCloseGoNowhere) {
  kestrum::ManualMainQueue queue;
  int shown = 0;
  {
    ModelDownloadFeed feed(&queue, [&](std::optional<double>, std::int64_t) { ++shown; });
    feed.close();
    kestrum::Progress progress(10);
    feed.handler()(progress);
    feed.finished();
  }  // the reader has been joined: whatever it could still post is on the queue now
  queue.runUntilIdle();
  EXPECT_EQ(shown, 0);
  EXPECT_EQ(queue.pendingCount(), 0u);
}

TEST(ModelDownloadFeedTest, NothingIsShownAfterTheFeedIsGone) {
  kestrum::ManualMainQueue queue;
  int shown = 0;
  {
    ModelDownloadFeed feed(&queue, [&](std::optional<double>, std::int64_t) { ++shown; });
    kestrum::Progress progress(10);
    progress.setCompletedUnitCount(3);
    feed.handler()(progress);
    // Let the reader post before the feed goes.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (queue.pendingCount() == 0 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  queue.runUntilIdle();
  EXPECT_EQ(shown, 0);
}

}  // namespace
}  // namespace parlet

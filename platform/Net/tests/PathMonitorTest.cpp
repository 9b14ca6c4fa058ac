#include "platform/Net/PathMonitor.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

namespace platform::net {
namespace {

TEST(PathMonitorTest, StartReportsTheCurrentPathOnce) {
  std::mutex mutex;
  std::condition_variable reported;
  int reports = 0;
  NetworkPath last;
  PathMonitor monitor;
  monitor.setUpdateHandler([&](const NetworkPath& path) {
    std::lock_guard lock(mutex);
    ++reports;
    last = path;
    reported.notify_all();
  });
  monitor.start();
  monitor.start();  // already running: no second thread, no second report
  std::unique_lock lock(mutex);
  ASSERT_TRUE(reported.wait_for(lock, std::chrono::seconds(5), [&] { return reports > 0; }));
  EXPECT_EQ(last.status, currentNetworkPath().status);
  EXPECT_FALSE(last.isExpensive);
  EXPECT_FALSE(last.isConstrained);
  lock.unlock();
  monitor.cancel();
  lock.lock();
  EXPECT_EQ(reports, 1);
}

TEST(PathMonitorTest, NoReportAfterCancelReturns) {
  std::atomic<bool> cancelled{false};
  std::atomic<bool> lateReport{false};
  {
    PathMonitor monitor;
    monitor.setUpdateHandler([&](const NetworkPath&) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      if (cancelled) lateReport = true;
    });
    monitor.start();
    monitor.cancel();
    cancelled = true;
    monitor.cancel();  // twice is harmless
  }
  EXPECT_FALSE(lateReport);
}

TEST(PathMonitorTest, CancelFromTheHandlerEndsTheThread) {
  std::atomic<int> reports{0};
  PathMonitor monitor;
  monitor.setUpdateHandler([&](const NetworkPath&) {
    ++reports;
    monitor.cancel();
  });
  monitor.start();
  for (int i = 0; i < 500 && reports == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(reports, 1);
  // Cancelled: starting again runs a new thread that reports again.
  monitor.setUpdateHandler([&](const NetworkPath&) { ++reports; });
  monitor.start();
  for (int i = 0; i < 500 && reports < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(reports, 2);
}

TEST(PathMonitorTest, DestroyingAMonitorNeverStartedOrStillRunningReturns) {
  { PathMonitor idle; }
  {
    PathMonitor running;
    running.start();
  }
  SUCCEED();
}

}  // namespace
}  // namespace platform::net

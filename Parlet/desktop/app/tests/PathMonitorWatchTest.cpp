// The application's network watch hears the repository client's own monitor: when the shell is
// told "online", the client's offline decision already says online.
#include "Parlet/desktop/app/PathMonitorWatch.h"

#include <future>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "testsupport/Fixtures.h"

namespace parlet::app {
namespace {

platform::net::NetworkPath pathOf(platform::net::NetworkPath::Status status) {
  platform::net::NetworkPath path;
  path.status = status;
  return path;
}

TEST(PathMonitorWatchTest, TheShellHearsTheClientsOwnViewOnItsMainQueue) {
  using S = platform::net::NetworkPath::Status;
  testsupport::EnvironmentGuard environment;
  environment.set("CI_DISABLE_NETWORK_MONITOR", std::nullopt);
  kestrum::ManualMainQueue queue;
  auto monitor = std::make_shared<hub::NetworkMonitor>();
  {
    // The path monitor's own first report, whatever this machine's interfaces say, comes first.
    std::promise<void> first;
    std::once_flag once;
    const auto id = monitor->watch([&](bool) { std::call_once(once, [&] { first.set_value(); }); });
    first.get_future().wait();
    monitor->unwatch(id);
  }
  std::vector<std::pair<bool, bool>> heard;  // (online, the client's decision when the shell hears it)
  auto watch = std::make_unique<PathMonitorWatch>(queue, monitor);
  watch->start([&](bool online) { heard.emplace_back(online, !hub::offlineDecision(std::nullopt, monitor->state())); });
  queue.runUntilIdle();
  ASSERT_EQ(heard.size(), 1u) << "the current view, at once";
  heard.clear();

  monitor->report(pathOf(S::satisfied));
  EXPECT_TRUE(heard.empty()) << "reports reach the shell on its main queue only";
  queue.runUntilIdle();
  ASSERT_EQ(heard.size(), 1u);
  EXPECT_EQ(heard[0], std::make_pair(true, true));

  // A report posted before the watch ends finds no handler afterwards; none is posted later.
  monitor->report(pathOf(S::unsatisfied));
  watch.reset();
  monitor->report(pathOf(S::satisfied));
  queue.runUntilIdle();
  EXPECT_EQ(heard.size(), 1u);
}

}  // namespace
}  // namespace parlet::app

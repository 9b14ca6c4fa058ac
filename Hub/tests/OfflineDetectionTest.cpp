#include <chrono>
#include <future>
#include <mutex>
#include <optional>
#include <thread>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Hub/HubApi.h"
#include "Hub/NetworkMonitor.h"
#include "testsupport/Fixtures.h"

namespace hub {
namespace {

using testsupport::EnvironmentGuard;
using platform::net::NetworkPath;

NetworkPath path(NetworkPath::Status status, bool expensive = false, bool constrained = false) {
  NetworkPath p;
  p.status = status;
  p.isExpensive = expensive;
  p.isConstrained = constrained;
  return p;
}

TEST(OfflineDetectionTest, StateIsOnlineUntilTheFirstReport) {
  EnvironmentGuard env;
  env.set("CI_DISABLE_NETWORK_MONITOR", std::nullopt);
  NetworkStateActor state;
  EXPECT_TRUE(state.isConnected());
  EXPECT_FALSE(state.shouldUseOfflineMode());
}

TEST(OfflineDetectionTest, DecisionFollowsThePathTheOverrideAndTheCallersChoice) {
  using S = NetworkPath::Status;
  struct Case {
    const char* name;
    NetworkPath path;
    std::optional<std::string> override;  // CI_DISABLE_NETWORK_MONITOR
    std::optional<bool> useOfflineMode;
    bool offline;
  };
  const std::vector<Case> cases = {
      {"satisfied", path(S::satisfied), std::nullopt, std::nullopt, false},
      {"unsatisfied", path(S::unsatisfied), std::nullopt, std::nullopt, true},
      {"needs a connection", path(S::requiresConnection), std::nullopt, std::nullopt, true},
      {"expensive and constrained but satisfied", path(S::satisfied, true, true), std::nullopt, std::nullopt, false},
      {"override 1 ignores the path", path(S::unsatisfied), "1", std::nullopt, false},
      {"override 0 lets the path decide", path(S::unsatisfied), "0", std::nullopt, true},
      {"override true lets the path decide", path(S::unsatisfied), "true", std::nullopt, true},
      {"caller says online", path(S::unsatisfied), std::nullopt, false, false},
      {"caller says offline", path(S::satisfied), std::nullopt, true, true},
      {"caller says offline, override 1", path(S::satisfied), "1", true, true},
  };
  for (const Case& c : cases) {
    EnvironmentGuard env;
    env.set("CI_DISABLE_NETWORK_MONITOR", c.override);
    NetworkStateActor state;
    state.update(c.path);
    EXPECT_EQ(offlineDecision(c.useOfflineMode, state), c.offline) << c.name;
  }
}

TEST(OfflineDetectionTest, ReportsReplaceAllThreeFlags) {
  NetworkStateActor state;
  state.update(path(NetworkPath::Status::satisfied, true, true));
  EXPECT_TRUE(state.isExpensive());
  EXPECT_TRUE(state.isConstrained());
  state.update(path(NetworkPath::Status::unsatisfied));
  EXPECT_FALSE(state.isConnected());
  EXPECT_FALSE(state.isExpensive());
  EXPECT_FALSE(state.isConstrained());
}

// These machines have only loopback, so the shared monitor reports no usable path; the
// environment override is how tests (and CI) keep the client online.
TEST(OfflineDetectionTest, ClientIsOnlineWhenForcedWhateverTheMachinesPath) {
  EnvironmentGuard env;
  env.set("CI_DISABLE_NETWORK_MONITOR", "1");
  EXPECT_FALSE(HubApi(std::filesystem::path("/tmp/unused"), std::string()).isOffline());
  EXPECT_TRUE(HubApi(std::filesystem::path("/tmp/unused"), std::string(), std::nullopt, false, true).isOffline());
  env.set("CI_DISABLE_NETWORK_MONITOR", std::nullopt);
  EXPECT_FALSE(HubApi(std::filesystem::path("/tmp/unused"), std::string(), std::nullopt, false, false).isOffline());
}

TEST(OfflineDetectionTest, EveryClientSharesTheOneMonitor) {
  HubApi a(std::filesystem::path("/tmp/unused"), std::string());
  HubApi b(std::filesystem::path("/tmp/unused"), std::string());
  EXPECT_EQ(a.networkMonitor(), b.networkMonitor());
  EXPECT_EQ(a.networkMonitor(), NetworkMonitor::shared());
}

TEST(OfflineDetectionTest, MonitorFeedsItsStateFromThePathMonitor) {
  EnvironmentGuard env;
  env.set("CI_DISABLE_NETWORK_MONITOR", std::nullopt);
  NetworkMonitor monitor;
  bool expectedOffline = platform::net::currentNetworkPath().status != NetworkPath::Status::satisfied;
  // The first report arrives from the monitor's thread shortly after the start.
  for (int i = 0; i < 500 && monitor.state().shouldUseOfflineMode() != expectedOffline; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(monitor.state().shouldUseOfflineMode(), expectedOffline);
}

// A watcher hears each report only after the state has taken it in, with the offline decision's
// own verdict, so that a load started on "online" is never judged offline by a stale state.
TEST(OfflineDetectionTest, WatchersHearTheVerdictTheOfflineDecisionReads) {
  using S = NetworkPath::Status;
  EnvironmentGuard env;
  env.set("CI_DISABLE_NETWORK_MONITOR", std::nullopt);
  NetworkMonitor monitor;
  std::mutex mutex;
  std::vector<std::pair<bool, bool>> heard;  // (verdict, the decision at that moment)
  std::promise<void> first;
  auto watcher = [&](bool online) {
    std::lock_guard lock(mutex);
    heard.emplace_back(online, !offlineDecision(std::nullopt, monitor.state()));
    if (heard.size() == 1) first.set_value();
  };
  const NetworkMonitor::WatchId id = monitor.watch(watcher);
  first.get_future().wait();  // the path monitor's own first report

  monitor.report(path(S::satisfied));
  monitor.report(path(S::unsatisfied));
  env.set("CI_DISABLE_NETWORK_MONITOR", "1");
  monitor.report(path(S::unsatisfied));  // the override keeps the decision online
  env.set("CI_DISABLE_NETWORK_MONITOR", std::nullopt);
  {
    std::lock_guard lock(mutex);
    ASSERT_EQ(heard.size(), 4u);
    for (const auto& [verdict, decision] : heard) EXPECT_EQ(verdict, decision);
    EXPECT_EQ(heard[1].first, true);
    EXPECT_EQ(heard[2].first, false);
    EXPECT_EQ(heard[3].first, true);
  }

  // A later watcher hears the current verdict at once; an ended one hears nothing more.
  std::vector<bool> late;
  const NetworkMonitor::WatchId lateId = monitor.watch([&](bool online) { late.push_back(online); });
  EXPECT_EQ(late, std::vector<bool>{false});
  monitor.unwatch(id);
  monitor.report(path(S::satisfied));
  EXPECT_EQ(late, (std::vector<bool>{false, true}));
  std::lock_guard lock(mutex);
  EXPECT_EQ(heard.size(), 4u);
  monitor.unwatch(lateId);
}

}  // namespace
}  // namespace hub

#include "Parlet/desktop/app/QtMainQueue.h"

#include <QEventLoop>
#include <QTimer>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Desktop/tests/DesktopTestSession.h"

namespace parlet::app {
namespace {

using namespace std::chrono_literals;
using desktoptest::pumpFor;
using desktoptest::pumpUntil;

class QtMainQueueTest : public ::testing::Test {
 protected:
  void SetUp() override { desktoptest::application(); }
};

TEST_F(QtMainQueueTest, RunsWorkInDueOrderFirstInFirstOutForEqualTimes) {
  QtMainQueue queue;
  std::vector<std::string> order;
  queue.postAfter(40ms, [&] { order.push_back("late"); });
  queue.post([&] { order.push_back("a"); });
  queue.postAfter(10ms, [&] { order.push_back("soon"); });
  queue.post([&] { order.push_back("b"); });
  queue.postAfter(-5ms, [&] { order.push_back("negative delay counts as now"); });
  ASSERT_TRUE(pumpUntil([&] { return order.size() == 5; }));
  EXPECT_EQ(order, (std::vector<std::string>{"a", "b", "negative delay counts as now", "soon", "late"}));
}

TEST_F(QtMainQueueTest, DelayedWorkRunsNoEarlierThanItsDelay) {
  QtMainQueue queue;
  std::vector<std::pair<kestrum::MainQueue::Duration, kestrum::MainQueue::Duration>> runs;  // (due, ran)
  for (auto delay : {1ms, 15ms, 60ms}) {
    auto due = queue.now() + delay;
    queue.postAfter(delay, [&, due] { runs.emplace_back(due, queue.now()); });
  }
  ASSERT_TRUE(pumpUntil([&] { return runs.size() == 3; }));
  for (const auto& [due, ran] : runs) EXPECT_GE(ran, due);
}

TEST_F(QtMainQueueTest, CancelStopsPendingWorkAndTimersEvenFromTheirOwnWork) {
  QtMainQueue queue;
  bool cancelledRan = false;
  auto pending = queue.postAfter(20ms, [&] { cancelledRan = true; });
  queue.cancel(pending);
  queue.cancel(987654);  // unknown: nothing happens

  int ticks = 0;
  kestrum::MainQueue::TimerId timer = 0;
  timer = queue.scheduleRepeating(3ms, [&] {
    if (++ticks == 3) queue.cancel(timer);
  });
  int other = 0;
  auto otherTimer = queue.scheduleRepeating(2ms, [&] { ++other; });
  ASSERT_TRUE(pumpUntil([&] { return ticks == 3 && other >= 2; }));
  queue.cancel(otherTimer);
  const int otherAtCancel = other;
  pumpFor(60ms);
  EXPECT_EQ(ticks, 3);
  EXPECT_EQ(other, otherAtCancel);
  EXPECT_FALSE(cancelledRan);
}

TEST_F(QtMainQueueTest, WorkPostedFromOtherThreadsRunsOnTheQueueThreadInEachThreadsOrder) {
  QtMainQueue queue;
  const auto queueThread = std::this_thread::get_id();
  constexpr int kThreads = 4, kEach = 200;
  std::mutex mutex;
  std::vector<std::vector<int>> seen(kThreads);
  std::atomic<int> offThread{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i)
        queue.post([&, t, i] {
          if (std::this_thread::get_id() != queueThread) ++offThread;
          std::lock_guard<std::mutex> hold(mutex);
          seen[t].push_back(i);
        });
    });
  for (auto& thread : threads) thread.join();
  ASSERT_TRUE(pumpUntil([&] {
    std::lock_guard<std::mutex> hold(mutex);
    std::size_t total = 0;
    for (auto& s : seen) total += s.size();
    return total == kThreads * kEach;
  }));
  EXPECT_EQ(offThread, 0);
  for (const auto& s : seen)
    for (int i = 0; i < kEach; ++i) ASSERT_EQ(s[i], i);
}

TEST_F(QtMainQueueTest, ThrowingWorkIsDroppedAndTheQueueGoesOn) {
  QtMainQueue queue;
  bool after = false;
  queue.post([] { throw std::runtime_error("boom"); });
  queue.post([] { throw 42; });
  queue.post([&] { after = true; });
  EXPECT_TRUE(pumpUntil([&] { return after; }));
}

TEST_F(QtMainQueueTest, ANestedEventLoopInsideWorkDoesNotStartTheNextItem) {
  QtMainQueue queue;
  std::vector<std::string> events;
  queue.post([&] {
    events.push_back("first begins");
    QEventLoop nested;
    QTimer::singleShot(40, &nested, &QEventLoop::quit);
    nested.exec();
    events.push_back("first ends");
  });
  queue.post([&] { events.push_back("second"); });
  ASSERT_TRUE(pumpUntil([&] { return events.size() == 3; }));
  EXPECT_EQ(events, (std::vector<std::string>{"first begins", "first ends", "second"}));
}

TEST_F(QtMainQueueTest, DestroyingTheQueueDropsPendingWork) {
  bool ran = false;
  {
    QtMainQueue queue;
    queue.postAfter(5ms, [&] { ran = true; });
    queue.post([&] { ran = true; });
  }
  pumpFor(30ms);
  EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace parlet::app

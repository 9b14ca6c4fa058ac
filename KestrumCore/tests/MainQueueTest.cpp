#include "KestrumCore/MainQueue.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace kestrum {
namespace {

using namespace std::chrono_literals;

// Records "<label>@<virtual ms>" for each piece of work run.
struct Trace {
  MainQueue& queue;
  std::vector<std::string> entries;
  MainQueue::Work mark(std::string label) {
    return [this, label] {
      entries.push_back(label + "@" + std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(queue.now()).count()));
    };
  }
};

TEST(ManualMainQueueTest, WorkRunsInVirtualTimeOrderFifoForEqualTimes) {
  ManualMainQueue queue;
  Trace trace{queue, {}};
  queue.postAfter(MainQueue::seconds(1.4), trace.mark("notice-end"));
  queue.postAfter(MainQueue::seconds(0.35), trace.mark("hold-a"));
  queue.post(trace.mark("now"));
  queue.postAfter(350ms, trace.mark("hold-b"));
  queue.postAfter(-5ms, trace.mark("negative"));
  EXPECT_EQ(queue.pendingCount(), 5u);

  queue.advance(349ms);
  EXPECT_EQ(trace.entries, (std::vector<std::string>{"now@0", "negative@0"}));
  queue.advance(1ms);
  queue.advance(2s);
  EXPECT_EQ(trace.entries,
            (std::vector<std::string>{"now@0", "negative@0", "hold-a@350", "hold-b@350", "notice-end@1400"}));
  EXPECT_EQ(queue.now(), 2350ms);
  EXPECT_EQ(queue.pendingCount(), 0u);
}

TEST(ManualMainQueueTest, WorkPostedWhileAdvancingRunsWhenDueWithinTheAdvance) {
  ManualMainQueue queue;
  Trace trace{queue, {}};
  queue.postAfter(100ms, [&] {
    trace.mark("first")();
    queue.post(trace.mark("posted-now"));
    queue.postAfter(600ms, trace.mark("posted-later"));
    queue.postAfter(5s, trace.mark("beyond"));
  });
  queue.postAfter(200ms, trace.mark("second"));
  queue.advance(1s);
  EXPECT_EQ(trace.entries,
            (std::vector<std::string>{"first@100", "posted-now@100", "second@200", "posted-later@700"}));
  EXPECT_EQ(queue.pendingCount(), 1u);
}

TEST(ManualMainQueueTest, RepeatingTimersFireEachIntervalUntilCancelled) {
  ManualMainQueue queue;
  Trace trace{queue, {}};
  int ticks = 0;
  MainQueue::TimerId timer = 0;
  timer = queue.scheduleRepeating(100ms, [&] {
    trace.mark("tick")();
    if (++ticks == 3) queue.cancel(timer);  // cancelling from its own work
  });
  MainQueue::TimerId other = queue.scheduleRepeating(250ms, trace.mark("slow"));
  MainQueue::TimerId dropped = queue.postAfter(150ms, trace.mark("dropped"));
  queue.cancel(dropped);
  queue.advance(600ms);
  queue.cancel(other);
  queue.advance(1s);
  EXPECT_EQ(trace.entries, (std::vector<std::string>{"tick@100", "tick@200", "slow@250", "tick@300", "slow@500"}));
  EXPECT_EQ(queue.pendingCount(), 0u);
  queue.cancel(12345);  // unknown ids are ignored
}

// Owns nothing but uses the queue when destroyed, like an owner that cancels its timer in its destructor.
struct UsesQueueWhenDestroyed {
  UsesQueueWhenDestroyed(MainQueue& queue, std::function<void()> destroyed)
      : queue(queue), destroyed(std::move(destroyed)) {}
  UsesQueueWhenDestroyed(const UsesQueueWhenDestroyed&) = delete;
  MainQueue& queue;
  std::function<void()> destroyed;
  ~UsesQueueWhenDestroyed() {
    queue.cancel(queue.postAfter(MainQueue::seconds(1), [] {}));
    destroyed();
  }
};

TEST(ManualMainQueueTest, WorkIsReleasedOutsideTheQueueLock) {
  using Guard = std::shared_ptr<UsesQueueWhenDestroyed>;
  struct Case {
    const char* name;
    // Hands the only reference to `guard` to the queue in work, then makes the queue release it.
    std::function<void(std::optional<ManualMainQueue>& queue, Guard guard)> release;
  };
  const Case cases[] = {
      {"one-shot work after it ran",
       [](auto& queue, Guard guard) {
         queue->post([guard = std::move(guard)] {});
         queue->runUntilIdle();
       }},
      {"pending work when cancelled",
       [](auto& queue, Guard guard) { queue->cancel(queue->postAfter(MainQueue::seconds(1), [guard = std::move(guard)] {})); }},
      {"a timer that cancels itself",
       [](auto& queue, Guard guard) {
         auto id = std::make_shared<MainQueue::TimerId>();
         *id = queue->scheduleRepeating(MainQueue::seconds(0.1), [&queue, id, guard = std::move(guard)] { queue->cancel(*id); });
         queue->advance(MainQueue::seconds(0.1));
       }},
      {"pending work when the queue goes away",
       [](auto& queue, Guard guard) {
         queue->postAfter(MainQueue::seconds(1), [guard = std::move(guard)] {});
         queue.reset();
       }},
  };
  for (const auto& c : cases) {
    std::optional<ManualMainQueue> queue(std::in_place);
    bool destroyed = false;
    c.release(queue, std::make_shared<UsesQueueWhenDestroyed>(*queue, [&] { destroyed = true; }));
    EXPECT_TRUE(destroyed) << c.name;
  }
}

TEST(ThreadMainQueueTest, WorkIsReleasedOutsideTheQueueLock) {
  ThreadMainQueue queue;
  std::promise<void> destroyed;
  auto guard = std::make_shared<UsesQueueWhenDestroyed>(queue, [&] { destroyed.set_value(); });
  queue.post([guard = std::move(guard)] {});
  EXPECT_EQ(destroyed.get_future().wait_for(5s), std::future_status::ready);
}

TEST(ThreadMainQueueTest, RunsWorkOnItsOwnThreadInDueOrder) {
  // Posted latest-due first. Each item's due time lies in [before + delay, after + delay], read
  // around its post, so the checks hold however long the test thread stalls between the posts.
  struct Item {
    const char* label;
    MainQueue::Duration delay;
    MainQueue::Duration earliestDue{}, latestDue{};
  };
  std::vector<Item> items{{"late", 40ms}, {"early", 20ms}, {"now", 0ms}};
  struct Run {
    std::size_t item;
    MainQueue::Duration at;
    bool onQueueThread;
  };
  ThreadMainQueue queue;
  std::vector<Run> runs;  // touched only on the queue's thread until `done`
  std::promise<void> done;
  for (std::size_t i = 0; i < items.size(); ++i) {
    items[i].earliestDue = queue.now() + items[i].delay;
    queue.postAfter(items[i].delay, [&, i] {
      runs.push_back({i, queue.now(), queue.isCurrentThread()});
      if (runs.size() == items.size()) done.set_value();
    });
    items[i].latestDue = queue.now() + items[i].delay;
  }
  ASSERT_EQ(done.get_future().wait_for(5s), std::future_status::ready);
  EXPECT_FALSE(queue.isCurrentThread());
  for (std::size_t k = 0; k < runs.size(); ++k) {
    const Item& item = items[runs[k].item];
    EXPECT_TRUE(runs[k].onQueueThread) << item.label;
    EXPECT_GE(runs[k].at, item.earliestDue) << item.label << " ran before it was due";
    // Nothing runs ahead of an item that was certainly due earlier.
    for (std::size_t later = k + 1; later < runs.size(); ++later) {
      const Item& other = items[runs[later].item];
      EXPECT_LE(item.earliestDue, other.latestDue) << item.label << " ran before " << other.label;
    }
  }
}

TEST(ThreadMainQueueTest, RepeatingTimerStopsWhenCancelledAndThrowingWorkIsSurvived) {
  ThreadMainQueue queue;
  std::atomic<int> ticks{0};
  std::promise<void> third;
  MainQueue::TimerId timer = 0;  // set and read on the queue's thread only, set before the first tick
  queue.post([] { throw std::runtime_error("ignored"); });
  queue.post([&] {
    timer = queue.scheduleRepeating(5ms, [&] {
      if (++ticks == 3) {
        queue.cancel(timer);
        third.set_value();
      }
    });
  });
  ASSERT_EQ(third.get_future().wait_for(5s), std::future_status::ready);
  // The queue runs work in the order it falls due: once a marker due six periods later has run,
  // a timer still alive would have ticked again.
  std::promise<int> ticksAtMarker;
  queue.postAfter(30ms, [&] { ticksAtMarker.set_value(ticks.load()); });
  auto marker = ticksAtMarker.get_future();
  ASSERT_EQ(marker.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(marker.get(), 3);
}

}  // namespace
}  // namespace kestrum

#include "Hub/Broadcaster.h"

#include <atomic>
#include <optional>
#include <stop_token>
#include <thread>

#include <gtest/gtest.h>

namespace hub {
namespace {

TEST(BroadcasterTest, FirstValueIsTheLatestStateElseTheProducers) {
  std::atomic<int> produced = 0;
  Broadcaster<int> b([&] {
    ++produced;
    return std::optional<int>(-1);
  });
  auto early = b.subscribe();
  EXPECT_EQ(early.next(), -1);
  b.broadcast(7);
  auto late = b.subscribe();
  EXPECT_EQ(late.next(), 7);
  EXPECT_EQ(produced, 1);  // not asked once a state exists
  EXPECT_EQ(early.next(), 7);
}

TEST(BroadcasterTest, ProducerWithoutValueLeavesTheStreamWaitingForTheNextBroadcast) {
  Broadcaster<int> b([] { return std::optional<int>(); });
  auto s = b.subscribe();
  b.broadcast(3);
  EXPECT_EQ(s.next(), 3);
}

TEST(BroadcasterTest, EverySubscriberGetsEveryStateInOrder) {
  Broadcaster<int> b([] { return std::optional<int>(0); });
  auto first = b.subscribe();
  auto second = b.subscribe();
  std::thread producer([&] {
    for (int i = 1; i <= 1000; ++i) b.broadcast(i);
  });
  for (auto* s : {&first, &second})
    for (int expected = 0; expected <= 1000; ++expected) ASSERT_EQ(s->next(), expected);
  producer.join();
}

TEST(BroadcasterTest, DroppedSubscriptionNoLongerReceivesAndOthersAreUnaffected) {
  Broadcaster<int> b([] { return std::optional<int>(0); });
  auto kept = b.subscribe();
  {
    auto dropped = b.subscribe();
    EXPECT_EQ(b.subscriberCount(), 2u);
  }
  EXPECT_EQ(b.subscriberCount(), 1u);
  b.broadcast(1);
  EXPECT_EQ(kept.next(), 0);
  EXPECT_EQ(kept.next(), 1);
}

TEST(BroadcasterTest, BroadcastWithoutSubscribersOnlyKeepsTheState) {
  Broadcaster<int> b([] { return std::optional<int>(0); });
  b.broadcast(4);
  b.broadcast(5);
  auto s = b.subscribe();
  EXPECT_EQ(s.next(), 5);
}

TEST(BroadcasterTest, StreamEndsWhenTheBroadcasterGoesOrTheWaitIsStopped) {
  std::optional<Broadcaster<int>::Subscription> s;
  {
    Broadcaster<int> b([] { return std::optional<int>(); });
    s.emplace(b.subscribe());
    b.broadcast(1);
  }
  EXPECT_EQ(s->next(), 1);  // what was queued is still delivered
  EXPECT_EQ(s->next(), std::nullopt);

  Broadcaster<int> b([] { return std::optional<int>(); });
  auto waiting = b.subscribe();
  std::stop_source stop;
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    stop.request_stop();
  });
  EXPECT_EQ(waiting.next(stop.get_token()), std::nullopt);
  stopper.join();
}

}  // namespace
}  // namespace hub

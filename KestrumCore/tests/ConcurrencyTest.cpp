#include "KestrumCore/Concurrency.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <latch>
#include <optional>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

namespace kestrum {
namespace {

using namespace std::chrono_literals;

// Waits until `done` holds, failing instead of hanging.
template <class Predicate>
bool eventually(Predicate done) {
  for (int i = 0; i < 1000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(5ms);
  }
  return done();
}

TEST(TaskGroupTest, ResultsComeInTheOrderTasksWereAdded) {
  ThreadPool pool(4);
  TaskGroup<int> group(pool);
  for (int i = 0; i < 50; ++i) {
    group.addTask([i] {
      std::this_thread::sleep_for(std::chrono::microseconds((50 - i) * 20));
      return i * i;
    });
  }
  std::vector<int> results = group.waitForAll();
  ASSERT_EQ(results.size(), 50u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(results[i], i * i);
}

TEST(TaskGroupTest, AFailingChildCancelsTheOthersAndItsErrorIsRethrown) {
  ThreadPool pool(4);
  TaskGroup<void> group(pool);
  std::atomic<int> sawCancel{0};
  for (int i = 0; i < 3; ++i) {
    group.addTask([&] {
      while (!isCancelled()) std::this_thread::sleep_for(1ms);
      ++sawCancel;
      checkCancellation();
    });
  }
  group.addTask([] { throw std::logic_error("decoder failed"); });
  try {
    group.waitForAll();
    FAIL() << "no error";
  } catch (const std::logic_error& error) {
    EXPECT_STREQ(error.what(), "decoder failed");
  }
  EXPECT_EQ(sawCancel.load(), 3);
}

TEST(TaskGroupTest, TheFailureThatCancelsTheGroupIsRethrownNotTheCancellationItCauses) {
  // The sibling runs on the pool's only worker and throws CancellationError as soon as it sees the
  // stop. The failing child runs on this thread; a stop callback holds its thread inside the stop
  // request until the sibling's job has returned (a marker job queued behind it has run), so the
  // sibling's error is recorded first unless the failure was recorded before the stop.
  ThreadPool pool(1);
  TaskGroup<void> group(pool);
  std::promise<void> siblingStarted, siblingRecorded;
  group.addTask([&] {
    siblingStarted.set_value();
    while (!isCancelled()) std::this_thread::yield();
    checkCancellation();
  });
  siblingStarted.get_future().wait();
  pool.enqueue([&] { siblingRecorded.set_value(); });
  std::optional<std::stop_callback<std::function<void()>>> holdStop;
  group.addTask([&] {
    holdStop.emplace(currentStopToken(), [&] { siblingRecorded.get_future().wait(); });
    throw std::logic_error("decoder failed");
  });
  try {
    group.waitForAll();
    FAIL() << "no error";
  } catch (const std::logic_error& error) {
    EXPECT_STREQ(error.what(), "decoder failed");
  } catch (const CancellationError&) {
    ADD_FAILURE() << "the sibling's cancellation was rethrown instead of the failure";
  }
}

TEST(TaskGroupTest, NestedGroupsOnASingleThreadPoolDoNotDeadlock) {
  ThreadPool pool(1);
  TaskGroup<int> outer(pool);
  for (int i = 0; i < 3; ++i) {
    outer.addTask([&pool, i] {
      TaskGroup<int> inner(pool);
      for (int k = 0; k < 3; ++k) inner.addTask([i, k] { return i * 10 + k; });
      int sum = 0;
      for (int value : inner.waitForAll()) sum += value;
      return sum;
    });
  }
  EXPECT_EQ(outer.waitForAll(), (std::vector<int>{3, 33, 63}));
}

TEST(TaskGroupTest, ChildrenSeeTheCancellationOfTheTaskThatMadeTheGroup) {
  ThreadPool pool(4);
  std::latch started(1);
  Task<int> task(
      [&pool, &started] {
        TaskGroup<int> group(pool);
        group.addTask([&started] {
          started.count_down();
          while (!isCancelled()) std::this_thread::sleep_for(1ms);
          return 1;
        });
        return group.waitForAll().at(0);
      },
      pool);
  started.wait();
  task.cancel();
  EXPECT_EQ(task.value(), 1);
}

TEST(TaskTest, ARunningJobSeesCancellationAndThrows) {
  ThreadPool pool(2);
  std::atomic<bool> running{false};
  Task<int> task(
      [&] {
        running = true;
        for (;;) {
          checkCancellation();
          std::this_thread::sleep_for(1ms);
        }
        return 0;
      },
      pool);
  ASSERT_TRUE(eventually([&] { return running.load(); }));
  EXPECT_FALSE(task.isFinished());
  task.cancel();
  EXPECT_THROW(task.value(), CancellationError);
  EXPECT_TRUE(task.isCancelled());
}

TEST(TaskTest, CopiesShareTheJobItsResultAndItsCancellation) {
  ThreadPool pool(2);
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  Task<int> task(
      [released] {
        released.wait();
        return isCancelled() ? -1 : 7;
      },
      pool);
  Task<int> copy(task);                                      // direct copy of a non-const task
  auto reader = [task] { return task.value(); };             // captured by copy
  copy.cancel();
  EXPECT_TRUE(task.isCancelled());
  release.set_value();
  EXPECT_EQ(reader(), -1);
  EXPECT_EQ(copy.value(), -1);
}

TEST(ThreadPoolTest, DetachedJobsRunWithTheirTokenAndSurviveErrors) {
  ThreadPool pool(2);
  std::stop_source source;
  source.request_stop();
  std::atomic<int> seen{0};
  pool.detach([] { throw std::runtime_error("ignored"); });
  pool.detach([&] { seen = isCancelled() ? 1 : 2; }, source.get_token());
  ASSERT_TRUE(eventually([&] { return seen.load() != 0; }));
  EXPECT_EQ(seen.load(), 1);
  EXPECT_FALSE(isCancelled());  // the test thread has no token of its own
}

TEST(ThreadPoolTest, SubmitDeliversResultsAndExceptions) {
  ThreadPool pool(2);
  auto value = pool.submit([] { return std::string("done"); });
  auto failure = pool.submit([]() -> int { throw std::out_of_range("bad index"); });
  EXPECT_EQ(value.get(), "done");
  EXPECT_THROW(failure.get(), std::out_of_range);
}

TEST(CancellationTest, StopTokenScopeInstallsAndRestoresTheToken) {
  std::stop_source outer, inner;
  {
    StopTokenScope outerScope(outer.get_token());
    {
      StopTokenScope innerScope(inner.get_token());
      inner.request_stop();
      EXPECT_THROW(checkCancellation(), CancellationError);
    }
    EXPECT_FALSE(isCancelled());
    EXPECT_NO_THROW(checkCancellation());
  }
  EXPECT_FALSE(currentStopToken().stop_possible());
}

TEST(ConcurrencyUtilitiesTest, ActiveProcessorCountIsPositive) {
  EXPECT_GE(ConcurrencyUtilities::activeProcessorCount(), 1);
}

}  // namespace
}  // namespace kestrum

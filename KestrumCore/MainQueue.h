// The main actor: one queue whose work runs one item at a time on one thread, in due-time order
// (first in, first out for equal times). post, postAfter and scheduleRepeating may be called from
// any thread, including from work on the queue; `cancel` stops a pending delayed item or a timer
// (also from inside its own work). Implementations: ManualMainQueue (virtual clock, for tests),
// ThreadMainQueue (a plain thread); the desktop adds one over its event loop.
//   auto id = queue.scheduleRepeating(MainQueue::seconds(0.1), [&] { tick(); });  queue.cancel(id);
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <tuple>

namespace kestrum {

class MainQueue {
 public:
  using Duration = std::chrono::nanoseconds;
  using Work = std::function<void()>;
  // Names a delayed item or timer; never 0.
  using TimerId = std::uint64_t;

  virtual ~MainQueue() = default;

  virtual void post(Work work) = 0;
  // Runs `work` once, `delay` from now (a negative delay counts as 0).
  virtual TimerId postAfter(Duration delay, Work work) = 0;
  // Runs `work` every `interval` (at least 1 ns), the first time one interval from now, until cancelled.
  virtual TimerId scheduleRepeating(Duration interval, Work work) = 0;
  // Does nothing for an id that already ran (one-shot) or is unknown.
  virtual void cancel(TimerId id) = 0;
  // Time since the queue was made, on the queue's own clock.
  virtual Duration now() const = 0;

  static Duration seconds(double value) {
    return std::chrono::duration_cast<Duration>(std::chrono::duration<double>(value));
  }
};

namespace detail {
// The due-time ordered store shared by the queue implementations. Not thread-safe by itself.
class TimerSchedule {
 public:
  struct Item {
    MainQueue::TimerId id;
    MainQueue::Duration interval;  // 0 for a one-shot item
    std::shared_ptr<MainQueue::Work> work;
  };
  MainQueue::TimerId add(MainQueue::Duration due, MainQueue::Duration interval, MainQueue::Work work);
  // Returns the removed work, for the caller to release outside its lock.
  std::shared_ptr<MainQueue::Work> cancel(MainQueue::TimerId id);
  // The earliest due time, if any item is pending.
  bool nextDue(MainQueue::Duration& due) const;
  // Removes and returns the earliest item when due at or before `time`.
  bool popDue(MainQueue::Duration time, Item& item, MainQueue::Duration& due);
  // Puts a repeating item back `interval` after `due`, behind items already due then.
  void reschedule(const Item& item, MainQueue::Duration due);
  std::size_t size() const { return order_.size(); }

 private:
  std::map<std::tuple<MainQueue::Duration, std::uint64_t>, Item> order_;  // (due, sequence)
  std::map<MainQueue::TimerId, std::tuple<MainQueue::Duration, std::uint64_t>> keys_;
  std::uint64_t sequence_ = 0;
  MainQueue::TimerId lastId_ = 0;
};
}  // namespace detail

// A queue driven by hand on a virtual clock that starts at 0. Work runs only inside `advance`
// and `runUntilIdle`, on the calling thread, with `now()` equal to the item's due time.
class ManualMainQueue : public MainQueue {
 public:
  ManualMainQueue() = default;
  // Drops pending work while the queue is still whole, so that what it captured may use the queue.
  ~ManualMainQueue() override;

  void post(Work work) override;
  TimerId postAfter(Duration delay, Work work) override;
  TimerId scheduleRepeating(Duration interval, Work work) override;
  void cancel(TimerId id) override;
  Duration now() const override;

  // Moves the clock forward by `by`, running every item due on the way in due-time order,
  // including items that the work posts while advancing when they fall due by the end.
  void advance(Duration by);
  // Runs everything due at the current time.
  void runUntilIdle() { advance(Duration(0)); }
  // Items and timers waiting, due or not.
  std::size_t pendingCount() const;

 private:
  mutable std::mutex mutex_;
  detail::TimerSchedule schedule_;
  Duration now_{0};
};

// A queue served by its own thread on the steady clock. The destructor drops pending work and
// joins the thread (it must not run on that thread). Work that throws is logged and dropped.
class ThreadMainQueue : public MainQueue {
 public:
  ThreadMainQueue();
  ~ThreadMainQueue() override;

  void post(Work work) override;
  TimerId postAfter(Duration delay, Work work) override;
  TimerId scheduleRepeating(Duration interval, Work work) override;
  void cancel(TimerId id) override;
  Duration now() const override;

  bool isCurrentThread() const { return std::this_thread::get_id() == thread_.get_id(); }

 private:
  void loop();

  std::chrono::steady_clock::time_point start_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  detail::TimerSchedule schedule_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace kestrum

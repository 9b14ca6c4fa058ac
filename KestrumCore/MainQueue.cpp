#include "KestrumCore/MainQueue.h"

#include <algorithm>

#include "KestrumCore/Logging.h"

namespace kestrum {
namespace detail {

MainQueue::TimerId TimerSchedule::add(MainQueue::Duration due, MainQueue::Duration interval, MainQueue::Work work) {
  MainQueue::TimerId id = ++lastId_;
  auto key = std::make_tuple(due, ++sequence_);
  order_.emplace(key, Item{id, interval, std::make_shared<MainQueue::Work>(std::move(work))});
  keys_.emplace(id, key);
  return id;
}

std::shared_ptr<MainQueue::Work> TimerSchedule::cancel(MainQueue::TimerId id) {
  auto found = keys_.find(id);
  if (found == keys_.end()) return nullptr;
  std::shared_ptr<MainQueue::Work> work;
  if (auto item = order_.find(found->second); item != order_.end()) {
    work = std::move(item->second.work);
    order_.erase(item);
  }
  keys_.erase(found);
  return work;
}

bool TimerSchedule::nextDue(MainQueue::Duration& due) const {
  if (order_.empty()) return false;
  due = std::get<0>(order_.begin()->first);
  return true;
}

bool TimerSchedule::popDue(MainQueue::Duration time, Item& item, MainQueue::Duration& due) {
  if (order_.empty() || std::get<0>(order_.begin()->first) > time) return false;
  auto first = order_.begin();
  due = std::get<0>(first->first);
  item = std::move(first->second);
  order_.erase(first);
  // A repeating item stays known by its id while it runs, so that its work can cancel it.
  if (item.interval == MainQueue::Duration(0)) keys_.erase(item.id);
  else keys_[item.id] = std::make_tuple(MainQueue::Duration::max(), 0);
  return true;
}

void TimerSchedule::reschedule(const Item& item, MainQueue::Duration due) {
  auto found = keys_.find(item.id);
  if (found == keys_.end()) return;  // cancelled while it ran
  auto key = std::make_tuple(due + item.interval, ++sequence_);
  order_.emplace(key, item);
  found->second = key;
}

}  // namespace detail

namespace {
MainQueue::Duration atLeast(MainQueue::Duration value, MainQueue::Duration floor) { return std::max(value, floor); }

// Drops the run item's reference to its work with the queue unlocked: it may be the last one (a one-shot
// item, a timer cancelled by its own work), and destroying what the work captured may use the queue.
void releaseUnlocked(std::unique_lock<std::mutex>& hold, detail::TimerSchedule::Item& item) {
  hold.unlock();
  item.work.reset();
  hold.lock();
}
}  // namespace

// ---- ManualMainQueue ----

ManualMainQueue::~ManualMainQueue() {
  detail::TimerSchedule pending;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    std::swap(pending, schedule_);
  }
}

void ManualMainQueue::post(Work work) { postAfter(Duration(0), std::move(work)); }

MainQueue::TimerId ManualMainQueue::postAfter(Duration delay, Work work) {
  std::lock_guard<std::mutex> hold(mutex_);
  return schedule_.add(now_ + atLeast(delay, Duration(0)), Duration(0), std::move(work));
}

MainQueue::TimerId ManualMainQueue::scheduleRepeating(Duration interval, Work work) {
  interval = atLeast(interval, Duration(1));
  std::lock_guard<std::mutex> hold(mutex_);
  return schedule_.add(now_ + interval, interval, std::move(work));
}

void ManualMainQueue::cancel(TimerId id) {
  std::shared_ptr<Work> removed;  // released after the lock
  std::lock_guard<std::mutex> hold(mutex_);
  removed = schedule_.cancel(id);
}

MainQueue::Duration ManualMainQueue::now() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return now_;
}

void ManualMainQueue::advance(Duration by) {
  std::unique_lock<std::mutex> hold(mutex_);
  const Duration end = now_ + atLeast(by, Duration(0));
  detail::TimerSchedule::Item item;
  Duration due;
  while (schedule_.popDue(end, item, due)) {
    now_ = std::max(now_, due);
    hold.unlock();
    (*item.work)();
    hold.lock();
    if (item.interval != Duration(0)) schedule_.reschedule(item, due);
    releaseUnlocked(hold, item);
  }
  now_ = end;
}

std::size_t ManualMainQueue::pendingCount() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return schedule_.size();
}

// ---- ThreadMainQueue ----

ThreadMainQueue::ThreadMainQueue() : start_(std::chrono::steady_clock::now()), thread_([this] { loop(); }) {}

ThreadMainQueue::~ThreadMainQueue() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
  // Pending work is dropped while the queue is still whole, outside the lock.
  detail::TimerSchedule pending;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    std::swap(pending, schedule_);
  }
}

void ThreadMainQueue::post(Work work) { postAfter(Duration(0), std::move(work)); }

MainQueue::TimerId ThreadMainQueue::postAfter(Duration delay, Work work) {
  TimerId id;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    id = schedule_.add(now() + atLeast(delay, Duration(0)), Duration(0), std::move(work));
  }
  wake_.notify_all();
  return id;
}

MainQueue::TimerId ThreadMainQueue::scheduleRepeating(Duration interval, Work work) {
  interval = atLeast(interval, Duration(1));
  TimerId id;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    id = schedule_.add(now() + interval, interval, std::move(work));
  }
  wake_.notify_all();
  return id;
}

void ThreadMainQueue::cancel(TimerId id) {
  std::shared_ptr<Work> removed;  // released after the lock
  std::lock_guard<std::mutex> hold(mutex_);
  removed = schedule_.cancel(id);
}

MainQueue::Duration ThreadMainQueue::now() const {
  return std::chrono::duration_cast<Duration>(std::chrono::steady_clock::now() - start_);
}

void ThreadMainQueue::loop() {
  std::unique_lock<std::mutex> hold(mutex_);
  while (!stopping_) {
    detail::TimerSchedule::Item item;
    Duration due;
    if (schedule_.popDue(now(), item, due)) {
      hold.unlock();
      try {
        (*item.work)();
      } catch (const std::exception& error) {
        Logging::error("Main queue work failed:", error.what());
      } catch (...) {
        Logging::error("Main queue work failed with an unknown error");
      }
      hold.lock();
      // A repeating timer keeps its rhythm; when it has fallen behind it runs next from now.
      if (item.interval != Duration(0)) schedule_.reschedule(item, std::max(due, now() - item.interval));
      releaseUnlocked(hold, item);
      continue;
    }
    Duration next;
    if (schedule_.nextDue(next)) {
      wake_.wait_until(hold, start_ + next);
    } else {
      wake_.wait(hold);
    }
  }
}

}  // namespace kestrum

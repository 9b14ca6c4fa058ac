#include "Parlet/desktop/app/QtMainQueue.h"

#include <QCoreApplication>
#include <QObject>
#include <QTimer>

#include <algorithm>
#include <mutex>

#include "KestrumCore/Logging.h"

namespace parlet::app {

using Duration = kestrum::MainQueue::Duration;

struct QtMainQueue::State {
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  QObject context;  // lives on the queue's thread; queued calls to it die with it
  QTimer timer;
  std::mutex mutex;
  kestrum::detail::TimerSchedule schedule;
  bool running = false;  // an item is running (a nested event loop must not start another)

  Duration now() const {
    return std::chrono::duration_cast<Duration>(std::chrono::steady_clock::now() - start);
  }

  // Sets the timer for the earliest item; on the queue's thread only.
  void arm() {
    Duration due;
    bool any;
    {
      std::lock_guard<std::mutex> hold(mutex);
      any = schedule.nextDue(due);
    }
    if (!any) {
      timer.stop();
      return;
    }
    // Rounded up to whole milliseconds: the timer may not fire before the item is due.
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(std::max(due - now(), Duration(0)));
    timer.start(wait);
  }

  // Asks the queue's thread to re-arm; from any thread.
  void wake() {
    QMetaObject::invokeMethod(&context, [this] { arm(); }, Qt::QueuedConnection);
  }

  // Runs the items due when it starts; items they post come on a later turn of the event loop.
  void runDue() {
    if (running) return;
    running = true;
    const Duration time = now();
    std::unique_lock<std::mutex> hold(mutex);
    kestrum::detail::TimerSchedule::Item item;
    Duration due;
    while (schedule.popDue(time, item, due)) {
      hold.unlock();
      try {
        (*item.work)();
      } catch (const std::exception& error) {
        kestrum::Logging::error("Main queue work failed:", error.what());
      } catch (...) {
        kestrum::Logging::error("Main queue work failed with an unknown error");
      }
      hold.lock();
      // A repeating timer keeps its rhythm; when it has fallen behind it runs next from now.
      if (item.interval != Duration(0)) schedule.reschedule(item, std::max(due, now() - item.interval));
      hold.unlock();
      item.work.reset();  // what the work captured may use the queue
      hold.lock();
    }
    hold.unlock();
    running = false;
    arm();
  }

  TimerId add(Duration delay, Duration interval, Work work) {
    TimerId id;
    {
      std::lock_guard<std::mutex> hold(mutex);
      id = schedule.add(now() + std::max(delay, Duration(0)), interval, std::move(work));
    }
    wake();
    return id;
  }
};

QtMainQueue::QtMainQueue() : state_(std::make_shared<State>()) {
  if (!QCoreApplication::instance()) throw std::logic_error("QtMainQueue needs a QCoreApplication");
  state_->timer.setSingleShot(true);
  state_->timer.setTimerType(Qt::PreciseTimer);
  State* state = state_.get();
  QObject::connect(&state_->timer, &QTimer::timeout, &state_->context, [state] { state->runDue(); });
}

QtMainQueue::~QtMainQueue() {
  state_->timer.stop();
  kestrum::detail::TimerSchedule pending;
  {
    std::lock_guard<std::mutex> hold(state_->mutex);
    std::swap(pending, state_->schedule);
  }
}

void QtMainQueue::post(Work work) { postAfter(Duration(0), std::move(work)); }

kestrum::MainQueue::TimerId QtMainQueue::postAfter(Duration delay, Work work) {
  return state_->add(delay, Duration(0), std::move(work));
}

kestrum::MainQueue::TimerId QtMainQueue::scheduleRepeating(Duration interval, Work work) {
  interval = std::max(interval, Duration(1));
  return state_->add(interval, interval, std::move(work));
}

void QtMainQueue::cancel(TimerId id) {
  std::shared_ptr<Work> removed;  // released after the lock
  std::lock_guard<std::mutex> hold(state_->mutex);
  removed = state_->schedule.cancel(id);
}

kestrum::MainQueue::Duration QtMainQueue::now() const { return state_->now(); }

}  // namespace parlet::app

// kestrum::MainQueue over the Qt event loop of the thread that makes it (the GUI thread): work runs
// there one item at a time in due-time order (first in, first out for equal times), driven by one
// single-shot timer. post, postAfter, scheduleRepeating and cancel may be called from any thread.
// Work that throws is logged and dropped, so nothing unwinds through the event loop. Destroy it on
// its own thread; pending work is dropped then.
//   QApplication app(argc, argv);  QtMainQueue queue;  queue.post([] { ... });  app.exec();
#pragma once

#include <memory>

#include "KestrumCore/MainQueue.h"

namespace parlet::app {

class QtMainQueue : public kestrum::MainQueue {
 public:
  // Needs a QCoreApplication (or QApplication) to exist.
  QtMainQueue();
  ~QtMainQueue() override;
  QtMainQueue(const QtMainQueue&) = delete;
  QtMainQueue& operator=(const QtMainQueue&) = delete;

  void post(Work work) override;
  TimerId postAfter(Duration delay, Work work) override;
  TimerId scheduleRepeating(Duration interval, Work work) override;
  void cancel(TimerId id) override;
  Duration now() const override;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace parlet::app

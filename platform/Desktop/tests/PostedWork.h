// The main thread as the input tests see it: work posted from any thread waits here until the test
// runs it on its own thread, in the order posted.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

#include "platform/Desktop/KeyEvents.h"

namespace platform::desktop {

class PostedWork {
 public:
  PostToMain poster() {
    return [this](std::function<void()> work) {
      std::lock_guard lock(mutex_);
      pending_.push_back(std::move(work));
    };
  }

  std::size_t pendingCount() const {
    std::lock_guard lock(mutex_);
    return pending_.size();
  }

  // Runs work until none is left, including work posted by the work it runs.
  void runUntilIdle() {
    for (;;) {
      std::function<void()> work;
      {
        std::lock_guard lock(mutex_);
        if (pending_.empty()) return;
        work = std::move(pending_.front());
        pending_.pop_front();
      }
      work();
    }
  }

 private:
  mutable std::mutex mutex_;
  std::deque<std::function<void()>> pending_;
};

}  // namespace platform::desktop

#include "KestrumModels/detail/LoadModelsCoordinator.h"

#include <exception>
#include <stop_token>

#include "KestrumCore/Concurrency.h"

namespace kestrum::detail {

void LoadModelsCoordinator::run(const std::function<void()>& operation) {
  std::promise<void> outcome;
  std::shared_future<void> inflight;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (inflightLoad_) {
      inflight = *inflightLoad_;
      ++joinedCallers_;
    } else {
      inflightLoad_ = outcome.get_future().share();
    }
  }
  if (inflight.valid()) {
    struct Leave {
      LoadModelsCoordinator& self;
      ~Leave() {
        std::lock_guard<std::mutex> hold(self.mutex_);
        --self.joinedCallers_;
      }
    } leave{*this};
    inflight.get();
    return;
  }

  std::exception_ptr error;
  {
    StopTokenScope detached{std::stop_token()};
    try {
      operation();
    } catch (...) {
      error = std::current_exception();
    }
  }
  {
    std::lock_guard<std::mutex> hold(mutex_);
    inflightLoad_.reset();
  }
  // Cleared first, so that nobody joins a load that has ended; then every waiter is released.
  if (error) {
    outcome.set_exception(error);
    std::rethrow_exception(error);
  }
  outcome.set_value();
}

std::size_t LoadModelsCoordinator::joinedCallers() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return joinedCallers_;
}

}  // namespace kestrum::detail

// One load at a time per manager: the first caller runs the operation on its own thread, callers
// that arrive meanwhile wait for it and get the same outcome, and a caller after it has finished
// starts a new one. The operation is not cancelled with the caller that happens to run it.
#pragma once

#include <cstddef>
#include <functional>
#include <future>
#include <mutex>
#include <optional>

namespace kestrum::detail {

class LoadModelsCoordinator {
 public:
  // Returns, or rethrows the exception of, the operation this call ran or joined.
  void run(const std::function<void()>& operation);
  // How many callers are waiting for the operation in flight (not counting the one running it).
  std::size_t joinedCallers() const;

 private:
  mutable std::mutex mutex_;
  std::optional<std::shared_future<void>> inflightLoad_;
  std::size_t joinedCallers_ = 0;
};

}  // namespace kestrum::detail

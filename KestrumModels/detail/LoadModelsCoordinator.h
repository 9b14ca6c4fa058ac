// One load at a time per manager: the first caller runs the operation on its own thread, callers
// that arrive meanwhile wait for it and get the same outcome, and a caller after it has finished
// starts a new one. The operation is not cancelled with the caller that happens to run it.
#pragma once

#include <functional>
#include <future>
#include <mutex>
#include <optional>

namespace kestrum::detail {

class LoadModelsCoordinator {
 public:
  // Returns, or rethrows the exception of, the operation this call ran or joined.
  void run(const std::function<void()>& operation);

 private:
  std::mutex mutex_;
  std::optional<std::shared_future<void>> inflightLoad_;
};

}  // namespace kestrum::detail

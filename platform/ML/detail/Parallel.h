// Worker threads for the data-parallel loops inside one prediction. The caller and the workers
// claim a loop's indexes one at a time from a shared counter, so a worker that loses its processor
// to another program holds up only the index it is on. Idle workers poll for 20 µs, then poll only
// while no other thread wants their processor (yielding it each round), and after 200 µs sleep in
// the kernel. `parallelFor` may be called from several threads at once and from
// inside a body; it returns when every index is done and rethrows the first exception of a body.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

namespace platform::ml::detail {

class WorkerPool {
 public:
  explicit WorkerPool(std::size_t workers);
  ~WorkerPool();  // joins the workers; no loop may be running
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Threads a loop uses: the workers and the caller.
  std::size_t size() const;

  // Runs body(i) for i in [0, n) on the caller and the workers.
  void parallelFor(std::size_t n, const std::function<void(std::size_t)>& body);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The process-wide pool: one worker fewer than the processors the process may use when it first
// runs a loop (its CPU affinity and cgroup quota).
WorkerPool& sharedPool();

void parallelFor(std::size_t n, const std::function<void(std::size_t)>& body);

// Threads a loop of the shared pool uses (workers plus the caller).
std::size_t parallelism();

}  // namespace platform::ml::detail

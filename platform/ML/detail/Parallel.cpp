#include "platform/ML/detail/Parallel.h"

#include <cblas.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace platform::ml::detail {

namespace {

inline void pause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

// Polls `ready` for up to `limit` before giving up; true when it became ready. Timed rather than
// counted: a pause instruction takes from a few to over a hundred cycles depending on the processor.
// After the first 20 µs each round also yields the core: on a busy machine a thread that spins
// through its time slice is preempted later, possibly while holding an index everyone waits for.
template <class Ready>
bool spinUntil(Ready&& ready, std::chrono::microseconds limit) {
  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + limit, politeness = start + std::chrono::microseconds(20);
  for (;;) {
    for (int i = 0; i < 32; ++i) {
      if (ready()) return true;
      pause();
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return ready();
    if (now >= politeness) sched_yield();
  }
}

// One decoder step submits a few dozen short loops separated by a few microseconds of serial
// work: workers poll this long after a loop before sleeping, since waking a sleeping thread costs
// tens of microseconds.
constexpr std::chrono::microseconds kWorkerSpin{200};
// The caller polls this long for the other threads' last indexes before sleeping.
constexpr std::chrono::microseconds kCallerSpin{100};

struct Job {
  const std::function<void(std::size_t)>* body;
  std::size_t n;
  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> done{0};
  std::mutex mutex;
  std::condition_variable finished;
  bool callerWaiting = false;  // guarded by mutex
  std::exception_ptr error;

  // Takes indexes until none are left; returns after its last one.
  void work() {
    std::size_t i;
    while ((i = next.fetch_add(1)) < n) {
      try {
        (*body)(i);
      } catch (...) {
        std::lock_guard lock(mutex);
        if (!error) error = std::current_exception();
      }
      if (done.fetch_add(1) + 1 == n) {
        std::lock_guard lock(mutex);
        if (callerWaiting) finished.notify_all();
      }
    }
  }
};

// Guards the short critical sections of the job queue: waiting threads spin instead of sleeping
// in the kernel, which here costs more than the section itself.
class SpinLock {
 public:
  void lock() {
    while (locked_.exchange(true, std::memory_order_acquire))
      while (locked_.load(std::memory_order_relaxed)) pause();
  }
  void unlock() { locked_.store(false, std::memory_order_release); }

 private:
  std::atomic<bool> locked_{false};
};

class Pool {
 public:
  Pool() {
    // BLAS calls run single-threaded inside our tasks; its own threads would compete with ours.
    openblas_set_num_threads(1);
    unsigned hw = std::thread::hardware_concurrency();
    std::size_t workers = hw > 1 ? hw - 1 : 0;
    for (std::size_t i = 0; i < workers; ++i) threads_.emplace_back([this] { run(); });
  }
  ~Pool() {
    stopping_.store(true);
    submitted_.fetch_add(1);
    submitted_.notify_all();
    for (auto& t : threads_) t.join();
  }

  std::size_t size() const { return threads_.size() + 1; }

  void submit(const std::shared_ptr<Job>& job) {
    {
      std::lock_guard lock(queueLock_);
      queue_.push_back(job);
    }
    submitted_.fetch_add(1);
    // Spinning workers see the counter; a futex wake is only needed for sleeping ones.
    if (sleepers_.load() > 0) submitted_.notify_all();
  }

  void retire(const std::shared_ptr<Job>& job) {
    std::lock_guard lock(queueLock_);
    auto it = std::find(queue_.begin(), queue_.end(), job);
    if (it != queue_.end()) queue_.erase(it);
  }

 private:
  void run() {
    std::uint64_t seen = 0;
    for (;;) {
      if (!spinUntil([&] { return submitted_.load(std::memory_order_acquire) != seen; }, kWorkerSpin)) {
        ++sleepers_;
        submitted_.wait(seen);  // returns at once if a submission came after the last poll
        --sleepers_;
      }
      if (stopping_.load()) return;
      seen = submitted_.load();
      // Every job with indexes left, oldest first; a later submission is seen by the next poll.
      for (;;) {
        std::shared_ptr<Job> job;
        {
          std::lock_guard lock(queueLock_);
          for (const auto& queued : queue_)
            if (queued->next.load(std::memory_order_relaxed) < queued->n) {
              job = queued;
              break;
            }
        }
        if (!job) break;
        job->work();
      }
    }
  }

  std::vector<std::thread> threads_;
  std::deque<std::shared_ptr<Job>> queue_;
  SpinLock queueLock_;
  std::atomic<bool> stopping_{false};
  std::atomic<std::uint64_t> submitted_{0};
  std::atomic<int> sleepers_{0};
};

Pool& pool() {
  static Pool instance;
  return instance;
}

}  // namespace

std::size_t parallelism() { return pool().size(); }

void parallelFor(std::size_t n, const std::function<void(std::size_t)>& body) {
  if (n == 0) return;
  if (n == 1 || pool().size() == 1) {
    for (std::size_t i = 0; i < n; ++i) body(i);
    return;
  }
  auto job = std::make_shared<Job>();
  job->body = &body;
  job->n = n;
  pool().submit(job);
  job->work();
  if (!spinUntil([&] { return job->done.load() == n; }, kCallerSpin)) {
    std::unique_lock lock(job->mutex);
    job->callerWaiting = true;
    job->finished.wait(lock, [&] { return job->done.load() == n; });
  }
  pool().retire(job);
  if (job->error) std::rethrow_exception(job->error);
}

}  // namespace platform::ml::detail

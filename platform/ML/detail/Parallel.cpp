#include "platform/ML/detail/Parallel.h"

#include <cblas.h>
#include <sched.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/System/SystemInfo.h"

namespace platform::ml::detail {

namespace {

// Sleeps while `word` holds `expected` (or until woken; spurious returns are fine).
void futexWait(std::atomic<std::uint32_t>& word, std::uint32_t expected) {
  static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));
  syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

void futexWake(std::atomic<std::uint32_t>& word, int count) {
  syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0);
}

inline void pause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

// Polls `ready` for up to `limit`; true when it became ready. Timed rather than counted: a pause
// instruction takes from a few to over a hundred cycles depending on the processor.
// After the first 20 µs each round also yields the processor, so that a program waiting for it runs.
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

// A decoder step runs a few dozen short loops a few microseconds apart: an idle worker polls this
// long before sleeping, since waking a sleeping thread costs tens of microseconds, each loop of a
// token over again. Past the first 20 µs it polls only when no other thread wants its processor.
constexpr std::chrono::microseconds kWorkerSpin{200};
// The caller polls this long for the other threads' last indexes before sleeping.
constexpr std::chrono::microseconds kCallerSpin{50};

struct Job {
  const std::function<void(std::size_t)>* body = nullptr;
  std::size_t n = 0;
  std::atomic<std::size_t> next{0};
  std::atomic<std::uint32_t> unfinished{0};  // futex word of the caller's wait
  std::atomic<bool> callerAsleep{false};
  std::mutex errorMutex;
  std::exception_ptr error;

  // Claims indexes until none are left; returns after its last one.
  void work() {
    std::size_t i;
    while ((i = next.fetch_add(1)) < n) {
      try {
        (*body)(i);
      } catch (...) {
        std::lock_guard lock(errorMutex);
        if (!error) error = std::current_exception();
      }
      if (unfinished.fetch_sub(1) == 1 && callerAsleep.load()) futexWake(unfinished, 1);
    }
  }

  void waitUntilFinished() {
    if (spinUntil([&] { return unfinished.load() == 0; }, kCallerSpin)) return;
    callerAsleep.store(true);
    for (std::uint32_t left; (left = unfinished.load()) != 0;) futexWait(unfinished, left);
  }
};

}  // namespace

struct WorkerPool::State {
  std::vector<std::thread> threads;
  std::mutex queueMutex;
  std::deque<std::shared_ptr<Job>> queue;  // jobs with indexes left to claim, oldest first
  std::atomic<std::uint32_t> submissions{0};  // futex word of sleeping workers
  std::atomic<bool> stopping{false};
  std::atomic<int> sleepers{0};  // workers in (or about to enter) the futex wait

  std::shared_ptr<Job> claimableJob() {
    std::lock_guard lock(queueMutex);
    for (const auto& job : queue)
      if (job->next.load(std::memory_order_relaxed) < job->n) return job;
    return nullptr;
  }

  void run() {
    for (;;) {
      // Read before looking at the queue: a job queued after the look changes it.
      const std::uint32_t seen = submissions.load();
      while (const auto job = claimableJob()) job->work();
      // Stopping is set before the counter moves: a worker that started after the move sees it.
      const auto moved = [&] { return submissions.load() != seen || stopping.load(); };
      if (!spinUntil(moved, kWorkerSpin)) {
        ++sleepers;
        while (!moved()) futexWait(submissions, seen);
        --sleepers;
      }
      if (stopping.load()) return;
    }
  }

  void submit(const std::shared_ptr<Job>& job) {
    {
      std::lock_guard lock(queueMutex);
      queue.push_back(job);
    }
    submissions.fetch_add(1);
    // Polling workers see the counter; the wake is for sleeping ones, as many as could help.
    if (const int asleep = sleepers.load(); asleep > 0)
      futexWake(submissions, static_cast<int>(std::min<std::size_t>(job->n - 1, static_cast<std::size_t>(asleep))));
  }

  void retire(const std::shared_ptr<Job>& job) {
    std::lock_guard lock(queueMutex);
    if (const auto it = std::find(queue.begin(), queue.end(), job); it != queue.end()) queue.erase(it);
  }
};

WorkerPool::WorkerPool(std::size_t workers) : state_(std::make_unique<State>()) {
  state_->threads.reserve(workers);
  for (std::size_t i = 0; i < workers; ++i) state_->threads.emplace_back([state = state_.get()] { state->run(); });
}

WorkerPool::~WorkerPool() {
  state_->stopping.store(true);
  state_->submissions.fetch_add(1);
  futexWake(state_->submissions, std::numeric_limits<int>::max());
  for (auto& thread : state_->threads) thread.join();
}

std::size_t WorkerPool::size() const { return state_->threads.size() + 1; }

void WorkerPool::parallelFor(std::size_t n, const std::function<void(std::size_t)>& body) {
  if (n == 0) return;
  if (n == 1 || state_->threads.empty()) {
    for (std::size_t i = 0; i < n; ++i) body(i);
    return;
  }
  // The caller's wait counts indexes in a 32-bit word.
  constexpr std::size_t kMost = std::numeric_limits<std::uint32_t>::max();
  if (n > kMost) {
    for (std::size_t begin = 0; begin < n; begin += kMost)
      parallelFor(std::min(kMost, n - begin), [&](std::size_t i) { body(begin + i); });
    return;
  }
  auto job = std::make_shared<Job>();
  job->body = &body;
  job->n = n;
  job->unfinished.store(static_cast<std::uint32_t>(n));
  state_->submit(job);
  job->work();
  // Every index is claimed: no worker needs to find the job any more.
  state_->retire(job);
  job->waitUntilFinished();
  if (job->error) std::rethrow_exception(job->error);
}

WorkerPool& sharedPool() {
  static WorkerPool pool([] {
    // BLAS calls run single-threaded inside our loops; its own threads would compete with ours.
    openblas_set_num_threads(1);
    return static_cast<std::size_t>(platform::system::activeProcessorCount()) - 1;
  }());
  return pool;
}

void parallelFor(std::size_t n, const std::function<void(std::size_t)>& body) { sharedPool().parallelFor(n, body); }

std::size_t parallelism() { return sharedPool().size(); }

}  // namespace platform::ml::detail

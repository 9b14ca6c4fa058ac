// The worker pool of the kernels' parallel loops: every index runs once however the loop compares
// with the pool's size, a stalled index holds up nobody else, errors reach the caller, idle workers
// sleep, and the shared pool has one thread per processor the process may use.
#include <gtest/gtest.h>

#include <sched.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/ML/detail/Parallel.h"

extern char** environ;

namespace platform::ml::testing {
namespace {

using detail::WorkerPool;

// Waits until `ready` holds, at most 10 s (a fault shows as a failure, not a hang).
struct Event {
  std::mutex mutex;
  std::condition_variable changed;
  template <class Ready>
  bool waitFor(Ready ready) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(10), ready);
  }
  void notify() {
    std::lock_guard lock(mutex);
    changed.notify_all();
  }
};

TEST(WorkerPoolTest, EveryIndexRunsOnceWhetherFewerOrMoreThanTheThreads) {
  for (std::size_t workers : {0, 1, 3})
    for (std::size_t n : {1, 2, 3, 4, 5, 50, 1000}) {
      WorkerPool pool(workers);
      ASSERT_EQ(pool.size(), workers + 1);
      std::vector<std::atomic<int>> runs(n);
      for (int round = 0; round < 3; ++round) pool.parallelFor(n, [&](std::size_t i) { ++runs[i]; });
      for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(runs[i].load(), 3) << workers << " workers, index " << i << " of " << n;
    }
}

// Index 0 stands for a worker that lost its processor: it returns only once every other index is
// done, which happens only if the other threads claim them all.
TEST(WorkerPoolTest, AStalledIndexHoldsUpNoOtherIndex) {
  for (std::size_t n : {2, 3, 4, 9, 64}) {  // fewer chunks than the 4 threads, as many, and more
    WorkerPool pool(3);
    Event event;
    std::atomic<std::size_t> done{0};
    bool othersFinished = false;
    pool.parallelFor(n, [&](std::size_t i) {
      if (i == 0) {
        othersFinished = event.waitFor([&] { return done.load() == n - 1; });
        return;
      }
      ++done;
      event.notify();
    });
    EXPECT_TRUE(othersFinished) << n << " indexes";
  }
}

TEST(WorkerPoolTest, TheFirstErrorReachesTheCallerAfterEveryIndexRan) {
  WorkerPool pool(3);
  std::atomic<int> runs{0};
  try {
    pool.parallelFor(40, [&](std::size_t i) {
      ++runs;
      if (i % 10 == 3) throw std::runtime_error("index " + std::to_string(i));
    });
    FAIL() << "no exception";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()).rfind("index ", 0), 0u) << error.what();
  }
  EXPECT_EQ(runs.load(), 40);
  // The pool is still usable.
  std::atomic<int> after{0};
  pool.parallelFor(8, [&](std::size_t) { ++after; });
  EXPECT_EQ(after.load(), 8);
}

TEST(WorkerPoolTest, LoopsInsideLoopsAndFromSeveralCallersFinish) {
  WorkerPool pool(3);
  std::atomic<int> inner{0};
  std::vector<std::thread> callers;
  for (int c = 0; c < 3; ++c)
    callers.emplace_back([&] {
      for (int round = 0; round < 20; ++round)
        pool.parallelFor(6, [&](std::size_t) { pool.parallelFor(5, [&](std::size_t) { ++inner; }); });
    });
  for (auto& caller : callers) caller.join();
  EXPECT_EQ(inner.load(), 3 * 20 * 6 * 5);
}

char threadState(pid_t tid) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto close = stat.rfind(')');  // "tid (name) S ..."
  return close != std::string::npos && close + 2 < stat.size() ? stat[close + 2] : '?';
}

TEST(WorkerPoolTest, IdleWorkersSleepInTheKernel) {
  WorkerPool pool(3);
  // Each index waits for all four, so each thread of the pool runs exactly one and names itself.
  Event event;
  std::mutex mutex;
  std::set<pid_t> threads;
  pool.parallelFor(4, [&](std::size_t) {
    {
      std::lock_guard lock(mutex);
      threads.insert(static_cast<pid_t>(syscall(SYS_gettid)));
    }
    event.notify();
    event.waitFor([&] {
      std::lock_guard lock(mutex);
      return threads.size() == 4;
    });
  });
  ASSERT_EQ(threads.size(), 4u);
  threads.erase(static_cast<pid_t>(syscall(SYS_gettid)));
  // A worker that kept polling would stay running ('R').
  for (pid_t tid : threads) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (threadState(tid) != 'S' && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    EXPECT_EQ(threadState(tid), 'S') << "worker " << tid;
  }
}

std::size_t threadCount() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++count;
  return count;
}

// Run in a child process started by the next test with an affinity of `PARLET_POOL_CPUS` processors.
TEST(WorkerPoolTest, SharedPoolChildSide) {
  const char* expected = std::getenv("PARLET_POOL_CPUS");
  if (!expected) GTEST_SKIP() << "runs inside SharedPoolHasOneThreadPerUsableProcessor";
  const std::size_t before = threadCount();
  detail::parallelFor(100, [](std::size_t) {});
  EXPECT_EQ(detail::parallelism(), std::stoul(expected));
  EXPECT_EQ(threadCount() - before, std::stoul(expected) - 1);  // the workers; the caller is the last thread
}

TEST(WorkerPoolTest, SharedPoolHasOneThreadPerUsableProcessor) {
  if (std::getenv("PARLET_POOL_CPUS")) GTEST_SKIP() << "already the child";
  cpu_set_t original, restricted;
  ASSERT_EQ(sched_getaffinity(0, sizeof original, &original), 0);
  // The first three processors this thread may use (as `taskset -c` would give), or all if fewer.
  CPU_ZERO(&restricted);
  int chosen = 0;
  for (int cpu = 0; cpu < CPU_SETSIZE && chosen < 3; ++cpu)
    if (CPU_ISSET(cpu, &original)) CPU_SET(cpu, &restricted), ++chosen;
  const std::string variable = "PARLET_POOL_CPUS=" + std::to_string(chosen);
  std::vector<char*> env;
  for (char** e = environ; *e; ++e) env.push_back(*e);
  env.push_back(const_cast<char*>(variable.c_str()));
  env.push_back(nullptr);
  std::string exe = std::filesystem::read_symlink("/proc/self/exe").string(),
              filter = "--gtest_filter=WorkerPoolTest.SharedPoolChildSide";
  char* argv[] = {exe.data(), filter.data(), nullptr};
  // A child inherits the affinity of the thread that starts it.
  ASSERT_EQ(sched_setaffinity(0, sizeof restricted, &restricted), 0);
  pid_t child = 0;
  const int spawned = posix_spawn(&child, exe.c_str(), nullptr, nullptr, argv, env.data());
  ASSERT_EQ(sched_setaffinity(0, sizeof original, &original), 0);
  ASSERT_EQ(spawned, 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child's checks failed (its output is above)";
}

}  // namespace
}  // namespace platform::ml::testing

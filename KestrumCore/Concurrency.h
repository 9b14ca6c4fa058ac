// Task groups, detached jobs and cooperative cancellation on a small thread pool.
// Cancellation: whoever runs a task installs a std::stop_token as the thread's current token
// (StopTokenScope); `isCancelled()` reads it and `checkCancellation()` throws CancellationError.
// ThreadPool, TaskGroup and Task are thread-safe; a TaskGroup is used by the thread that owns it.
//   TaskGroup<int> group;  group.addTask([] { return work(); });  auto results = group.waitForAll();
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <thread>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace kestrum {

// Thrown by an operation that stops because its task was cancelled.
class CancellationError : public std::runtime_error {
 public:
  CancellationError() : std::runtime_error("CancellationError") {}
};

// The current thread's stop token; one that never stops outside any task.
std::stop_token currentStopToken();
// True when the current task has been cancelled.
bool isCancelled();
// Throws CancellationError when the current task has been cancelled.
void checkCancellation();

// Installs `token` as the current thread's stop token until the scope ends.
class StopTokenScope {
 public:
  explicit StopTokenScope(std::stop_token token);
  ~StopTokenScope();
  StopTokenScope(const StopTokenScope&) = delete;
  StopTokenScope& operator=(const StopTokenScope&) = delete;

 private:
  std::stop_token previous_;
};

class ThreadPool {
 public:
  // 0 threads: the active processor count, at least 2.
  explicit ThreadPool(std::size_t threadCount = 0);
  // Runs every queued job, then joins the threads.
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  // The process-wide pool; lives until the process ends.
  static ThreadPool& shared();

  std::size_t threadCount() const { return threads_.size(); }

  // A job without a result. It runs with `token` installed; an exception escaping it is
  // logged (Logging::error) and dropped.
  void detach(std::function<void()> job, std::stop_token token = {});

  // A job whose result or exception arrives through the future.
  template <class F>
  auto submit(F&& job, std::stop_token token = {}) -> std::future<std::invoke_result_t<std::decay_t<F>>> {
    using R = std::invoke_result_t<std::decay_t<F>>;
    auto task = std::make_shared<std::packaged_task<R()>>(std::forward<F>(job));
    auto future = task->get_future();
    enqueue([task, token = std::move(token)] {
      StopTokenScope scope(token);
      (*task)();
    });
    return future;
  }

  // Queues a raw job; it must not throw.
  void enqueue(std::function<void()> job);

 private:
  void workerLoop();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> queue_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

// An unstructured task: runs on a pool with its own stop source. `cancel()` requests a stop;
// `value()` waits and returns the result or rethrows the task's exception. Copies share the task.
template <class T>
class Task {
 public:
  template <class F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, Task>)  // copies go to the copy constructor
  explicit Task(F&& body, ThreadPool& pool = ThreadPool::shared()) : stop_(std::make_shared<std::stop_source>()) {
    future_ = pool.submit(std::forward<F>(body), stop_->get_token()).share();
  }

  void cancel() { stop_->request_stop(); }
  bool isCancelled() const { return stop_->stop_requested(); }
  bool isFinished() const { return future_.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }
  decltype(auto) value() const { return future_.get(); }
  void wait() const { future_.wait(); }

 private:
  std::shared_ptr<std::stop_source> stop_;
  std::shared_future<T> future_;
};

template <class F>
Task(F&&, ThreadPool& = ThreadPool::shared()) -> Task<std::invoke_result_t<std::decay_t<F>>>;

namespace detail {
template <class T>
struct TaskGroupChild;
template <class T>
struct TaskGroupState;
}  // namespace detail

// Child tasks on a pool. Children see the group's stop token, which stops on `cancelAll()` and
// when the token current at the group's creation stops. `waitForAll()` returns the results in
// the order the tasks were added; when a child throws, the others are cancelled and awaited and
// the first exception thrown is rethrown. While waiting, the owner runs children that have not
// started yet itself, so nested groups on a busy pool do not deadlock. The destructor cancels
// and waits for unfinished children.
template <class T>
class TaskGroup {
 public:
  using Stored = std::conditional_t<std::is_void_v<T>, std::monostate, T>;

  explicit TaskGroup(ThreadPool& pool = ThreadPool::shared());
  ~TaskGroup();
  TaskGroup(const TaskGroup&) = delete;
  TaskGroup& operator=(const TaskGroup&) = delete;

  void addTask(std::function<T()> body);
  void cancelAll() { state_->source.request_stop(); }
  bool isCancelled() const { return state_->source.stop_requested(); }

  // std::vector<T>, or nothing for TaskGroup<void>.
  auto waitForAll();

 private:
  using Child = detail::TaskGroupChild<T>;
  using State = detail::TaskGroupState<T>;
  static void run(const std::shared_ptr<State>& state, const std::shared_ptr<Child>& child);
  void waitUntilDone();

  ThreadPool& pool_;
  std::shared_ptr<State> state_;
  std::optional<std::stop_callback<std::function<void()>>> parentLink_;
};

// Facts about the process's processors.
struct ConcurrencyUtilities {
  // Processors currently available to this process, read anew on each call.
  static int activeProcessorCount();
};

}  // namespace kestrum

#include "KestrumCore/detail/TaskGroup.h"

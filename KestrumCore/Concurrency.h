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
  struct Child {
    std::function<T()> body;
    int phase = 0;  // 0 waiting, 1 running, 2 done; guarded by State::mutex
    std::optional<Stored> result;
  };
  struct State {
    std::mutex mutex;
    std::condition_variable done;
    std::stop_source source;
    std::vector<std::shared_ptr<Child>> children;
    std::exception_ptr firstError;
  };
  static void run(const std::shared_ptr<State>& state, const std::shared_ptr<Child>& child);
  void waitUntilDone();

  ThreadPool& pool_;
  std::shared_ptr<State> state_;
  std::optional<std::stop_callback<std::function<void()>>> parentLink_;
};

// ---- implementation ----

template <class T>
TaskGroup<T>::TaskGroup(ThreadPool& pool) : pool_(pool), state_(std::make_shared<State>()) {
  std::stop_token parent = currentStopToken();
  if (parent.stop_possible()) {
    parentLink_.emplace(parent, std::function<void()>([state = state_] { state->source.request_stop(); }));
  }
}

template <class T>
TaskGroup<T>::~TaskGroup() {
  state_->source.request_stop();
  waitUntilDone();
}

template <class T>
void TaskGroup<T>::addTask(std::function<T()> body) {
  auto child = std::make_shared<Child>();
  child->body = std::move(body);
  {
    std::lock_guard<std::mutex> hold(state_->mutex);
    state_->children.push_back(child);
  }
  pool_.enqueue([state = state_, child] { run(state, child); });
}

template <class T>
void TaskGroup<T>::run(const std::shared_ptr<State>& state, const std::shared_ptr<Child>& child) {
  {
    std::lock_guard<std::mutex> hold(state->mutex);
    if (child->phase != 0) return;
    child->phase = 1;
  }
  std::optional<Stored> result;
  std::exception_ptr error;
  {
    StopTokenScope scope(state->source.get_token());
    try {
      if constexpr (std::is_void_v<T>) {
        child->body();
        result.emplace();
      } else {
        result.emplace(child->body());
      }
    } catch (...) {
      error = std::current_exception();
    }
  }
  {
    std::lock_guard<std::mutex> hold(state->mutex);
    child->result = std::move(result);
    child->body = nullptr;
    if (error && !state->firstError) state->firstError = error;
    child->phase = 2;
    state->done.notify_all();
  }
  // Only after the error is recorded: siblings that stop on the cancellation must not come first.
  if (error) state->source.request_stop();
}

template <class T>
void TaskGroup<T>::waitUntilDone() {
  // Run children nobody has started yet on this thread, then wait for the running ones.
  for (std::size_t i = 0;; ++i) {
    std::shared_ptr<Child> child;
    {
      std::lock_guard<std::mutex> hold(state_->mutex);
      if (i >= state_->children.size()) break;
      child = state_->children[i];
    }
    run(state_, child);
  }
  std::unique_lock<std::mutex> hold(state_->mutex);
  state_->done.wait(hold, [&] {
    for (const auto& child : state_->children)
      if (child->phase != 2) return false;
    return true;
  });
}

template <class T>
auto TaskGroup<T>::waitForAll() {
  waitUntilDone();
  std::vector<std::shared_ptr<Child>> children;
  std::exception_ptr error;
  {
    std::lock_guard<std::mutex> hold(state_->mutex);
    children.swap(state_->children);
    error = std::exchange(state_->firstError, nullptr);
  }
  if (error) std::rethrow_exception(error);
  if constexpr (std::is_void_v<T>) {
    return;
  } else {
    std::vector<T> results;
    results.reserve(children.size());
    for (auto& child : children) results.push_back(std::move(*child->result));
    return results;
  }
}

// Facts about the process's processors.
struct ConcurrencyUtilities {
  // Processors currently available to this process, read anew on each call.
  static int activeProcessorCount();
};

}  // namespace kestrum

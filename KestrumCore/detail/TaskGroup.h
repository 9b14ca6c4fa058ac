// The machinery of TaskGroup: a group's shared state and its children, and the member functions.
// Included by KestrumCore/Concurrency.h after the class; not for use on its own.
#pragma once

#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace kestrum {
namespace detail {

template <class T>
struct TaskGroupChild {
  std::function<T()> body;
  int phase = 0;  // 0 waiting, 1 running, 2 done; guarded by TaskGroupState::mutex
  std::optional<std::conditional_t<std::is_void_v<T>, std::monostate, T>> result;
};

template <class T>
struct TaskGroupState {
  std::mutex mutex;
  std::condition_variable done;
  std::stop_source source;
  std::vector<std::shared_ptr<TaskGroupChild<T>>> children;
  std::exception_ptr firstError;
};

}  // namespace detail

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

}  // namespace kestrum

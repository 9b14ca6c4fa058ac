#include "KestrumCore/Concurrency.h"

#include <algorithm>

#include "KestrumCore/Logging.h"
#include "platform/System/SystemInfo.h"

namespace kestrum {
namespace {

thread_local std::stop_token currentToken;

}  // namespace

std::stop_token currentStopToken() { return currentToken; }

bool isCancelled() { return currentToken.stop_requested(); }

void checkCancellation() {
  if (currentToken.stop_requested()) throw CancellationError();
}

StopTokenScope::StopTokenScope(std::stop_token token) : previous_(std::exchange(currentToken, std::move(token))) {}

StopTokenScope::~StopTokenScope() { currentToken = std::move(previous_); }

ThreadPool::ThreadPool(std::size_t threadCount) {
  if (threadCount == 0) {
    threadCount = static_cast<std::size_t>(std::max(2, platform::system::activeProcessorCount()));
  }
  threads_.reserve(threadCount);
  for (std::size_t i = 0; i < threadCount; ++i) threads_.emplace_back([this] { workerLoop(); });
}

ThreadPool::~ThreadPool() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (auto& thread : threads_) thread.join();
}

ThreadPool& ThreadPool::shared() {
  // Never destroyed: detached jobs may still be running while static objects go away.
  static ThreadPool* pool = new ThreadPool();
  return *pool;
}

void ThreadPool::enqueue(std::function<void()> job) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    queue_.push_back(std::move(job));
  }
  wake_.notify_one();
}

void ThreadPool::detach(std::function<void()> job, std::stop_token token) {
  enqueue([job = std::move(job), token = std::move(token)] {
    StopTokenScope scope(token);
    try {
      job();
    } catch (const CancellationError&) {
      // A cancelled job just ends.
    } catch (const std::exception& error) {
      Logging::error("Detached job failed:", error.what());
    } catch (...) {
      Logging::error("Detached job failed with an unknown error");
    }
  });
}

void ThreadPool::workerLoop() {
  for (;;) {
    std::function<void()> job;
    {
      std::unique_lock<std::mutex> hold(mutex_);
      wake_.wait(hold, [&] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;  // stopping, and every queued job has run
      job = std::move(queue_.front());
      queue_.pop_front();
    }
    job();
  }
}

int ConcurrencyUtilities::activeProcessorCount() { return platform::system::activeProcessorCount(); }

}  // namespace kestrum

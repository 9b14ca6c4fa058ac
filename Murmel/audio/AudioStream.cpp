#include "Murmel/audio/AudioStream.h"

namespace murmel {

struct AudioStream::State {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::vector<float>> queue;
  bool finished = false;
  std::exception_ptr error;
  std::function<void()> onTermination;
  bool terminated = false;

  // Ends the stream; runs the handler outside the lock.
  void end(std::exception_ptr failure) {
    std::function<void()> handler;
    {
      std::lock_guard lock(mutex);
      if (finished) return;
      finished = true;
      error = std::move(failure);
      if (!terminated) {
        terminated = true;
        handler = std::move(onTermination);
      }
    }
    changed.notify_all();
    if (handler) handler();
  }
};

std::pair<AudioStream, AudioStream::Continuation> AudioStream::make() {
  auto state = std::make_shared<State>();
  return {AudioStream(state), Continuation(state)};
}

void AudioStream::Continuation::yield(std::vector<float> samples) const {
  {
    std::lock_guard lock(state_->mutex);
    if (state_->finished) return;
    state_->queue.push_back(std::move(samples));
  }
  state_->changed.notify_one();
}

void AudioStream::Continuation::finish(std::exception_ptr error) const { state_->end(std::move(error)); }

void AudioStream::Continuation::setOnTermination(std::function<void()> handler) const {
  {
    std::lock_guard lock(state_->mutex);
    if (!state_->terminated) {
      state_->onTermination = std::move(handler);
      return;
    }
  }
  if (handler) handler();
}

std::optional<std::vector<float>> AudioStream::next() const {
  std::unique_lock lock(state_->mutex);
  state_->changed.wait(lock, [&] { return !state_->queue.empty() || state_->finished; });
  if (!state_->queue.empty()) {
    auto samples = std::move(state_->queue.front());
    state_->queue.pop_front();
    return samples;
  }
  if (state_->error) std::rethrow_exception(state_->error);
  return std::nullopt;
}

void AudioStream::cancel() const { state_->end(nullptr); }

}  // namespace murmel

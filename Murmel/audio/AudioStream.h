// An unbounded, throwing stream of sample buffers with its continuation: the producer yields buffers
// and finishes (with or without an error); the consumer takes them in order with `next()`, which
// blocks until a buffer arrives or the stream ends. The termination handler runs once, on whichever
// thread finishes or cancels the stream. Thread-safe; both halves share one state.
//   auto [stream, continuation] = AudioStream::make();  continuation.yield(samples);  stream.next();
#pragma once

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace murmel {

class AudioStream {
  struct State;

 public:
  class Continuation {
   public:
    // Ignored once the stream has ended.
    void yield(std::vector<float> samples) const;
    // Ends the stream; `next()` then drains the queue and rethrows `error` if one is given.
    void finish(std::exception_ptr error = nullptr) const;
    // Runs once when the stream finishes or is cancelled (immediately if it already has).
    void setOnTermination(std::function<void()> handler) const;

   private:
    friend class AudioStream;
    explicit Continuation(std::shared_ptr<State> state) : state_(std::move(state)) {}
    std::shared_ptr<State> state_;
  };

  static std::pair<AudioStream, Continuation> make();

  // The next buffer; nothing at the end; rethrows the error the stream finished with.
  std::optional<std::vector<float>> next() const;
  // The consumer gives up: ends the stream and runs the termination handler.
  void cancel() const;

 private:
  explicit AudioStream(std::shared_ptr<State> state) : state_(std::move(state)) {}
  std::shared_ptr<State> state_;
};

}  // namespace murmel

// Fan-out of one changing state to any number of subscribers. Every subscriber owns a stream
// that buffers without limit; each broadcast state goes to every current subscriber in broadcast
// order, and a new subscriber first gets the latest state (or, before any broadcast, what the
// initial-state producer yields). Streams never end by themselves: a subscriber stops at the
// state it waits for; dropping a Subscription unsubscribes it. Destroying the broadcaster ends
// every open stream (next() then yields nothing). Thread-safe; nothing here throws.
//   Broadcaster<int> b([] { return std::optional<int>(0); });  auto s = b.subscribe();  b.broadcast(1);
//   s.next() == 0; s.next() == 1;
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <utility>

namespace hub {

template <class T>
class Broadcaster {
  struct Queue {
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<T> values;
    bool ended = false;

    void push(const T& value) {
      {
        std::lock_guard lock(mutex);
        if (ended) return;
        values.push_back(value);
      }
      ready.notify_all();
    }
    void end() {
      {
        std::lock_guard lock(mutex);
        ended = true;
      }
      ready.notify_all();
    }
  };

  struct Shared {
    std::mutex mutex;
    std::optional<T> latestState;
    std::map<std::uint64_t, std::shared_ptr<Queue>> continuations;
    std::uint64_t nextId = 0;
  };

 public:
  // One subscriber's stream. Move-only; its destructor unsubscribes.
  class Subscription {
   public:
    Subscription(Subscription&& other) noexcept = default;
    Subscription& operator=(Subscription&& other) noexcept {
      if (this != &other) {
        unsubscribe();
        owner_ = std::move(other.owner_);
        queue_ = std::move(other.queue_);
        id_ = other.id_;
      }
      return *this;
    }
    ~Subscription() { unsubscribe(); }

    // The next state, waiting as long as it takes; nothing once the broadcaster is gone, or when
    // `stop` is requested while waiting.
    std::optional<T> next(std::stop_token stop = {}) {
      std::stop_callback wake(stop, [queue = queue_] {
        std::lock_guard inner(queue->mutex);
        queue->ready.notify_all();
      });
      std::unique_lock lock(queue_->mutex);
      queue_->ready.wait(lock, [&] { return !queue_->values.empty() || queue_->ended || stop.stop_requested(); });
      if (queue_->values.empty()) return std::nullopt;
      T value = std::move(queue_->values.front());
      queue_->values.pop_front();
      return value;
    }

   private:
    friend class Broadcaster;
    Subscription(std::weak_ptr<Shared> owner, std::shared_ptr<Queue> queue, std::uint64_t id)
        : owner_(std::move(owner)), queue_(std::move(queue)), id_(id) {}
    void unsubscribe() {
      if (auto owner = owner_.lock()) {
        std::lock_guard lock(owner->mutex);
        owner->continuations.erase(id_);
      }
      owner_.reset();
    }

    std::weak_ptr<Shared> owner_;
    std::shared_ptr<Queue> queue_;
    std::uint64_t id_ = 0;
  };

  explicit Broadcaster(std::function<std::optional<T>()> initialState)
      : initialState_(std::move(initialState)), shared_(std::make_shared<Shared>()) {}
  ~Broadcaster() {
    std::lock_guard lock(shared_->mutex);
    for (auto& [id, queue] : shared_->continuations) queue->end();
    shared_->continuations.clear();
  }
  Broadcaster(const Broadcaster&) = delete;
  Broadcaster& operator=(const Broadcaster&) = delete;

  void broadcast(const T& state) {
    std::lock_guard lock(shared_->mutex);
    shared_->latestState = state;
    for (auto& [id, queue] : shared_->continuations) queue->push(state);
  }

  // The replay happens before subscribe() returns, so no later state can overtake it. The
  // producer runs under the broadcaster's lock and must not call back into it.
  Subscription subscribe() {
    auto queue = std::make_shared<Queue>();
    std::lock_guard lock(shared_->mutex);
    std::uint64_t id = shared_->nextId++;
    shared_->continuations.emplace(id, queue);
    if (shared_->latestState) {
      queue->push(*shared_->latestState);
    } else if (initialState_) {
      if (auto first = initialState_()) queue->push(*first);
    }
    return Subscription(shared_, queue, id);
  }

  std::size_t subscriberCount() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->continuations.size();
  }

 private:
  std::function<std::optional<T>()> initialState_;
  std::shared_ptr<Shared> shared_;
};

}  // namespace hub

// UnfairLock: a non-recursive mutex with `withLock(body)`, released on return and on throw.
// PropertyLock<Value>: one value behind its own lock. get, set, modify and toJson each hold the lock
// once; `modify` runs the caller's change under that single hold, so concurrent changes are never
// lost. Copies get their own lock and a copy of the value. In JSON a PropertyLock is exactly the
// bare value (see KestrumCore/JsonCoding.h for the value types supported).
//   PropertyLock<std::vector<int>> segments;  segments.modify([](auto& v) { v.push_back(1); });
#pragma once

#include <mutex>
#include <type_traits>
#include <utility>

#include "KestrumCore/JsonCoding.h"
#include "platform/System/Json.h"

namespace kestrum {

class UnfairLock {
 public:
  UnfairLock() = default;
  UnfairLock(const UnfairLock&) = delete;
  UnfairLock& operator=(const UnfairLock&) = delete;

  // Runs `body` under the lock and returns its result or rethrows its exception.
  // The body must not take the same lock again.
  template <class Body>
  decltype(auto) withLock(Body&& body) {
    std::lock_guard<std::mutex> hold(mutex_);
    return std::forward<Body>(body)();
  }

  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }

 private:
  std::mutex mutex_;
};

template <class Value>
class PropertyLock {
 public:
  PropertyLock() requires std::is_default_constructible_v<Value> : value_() {}
  PropertyLock(Value wrappedValue) : value_(std::move(wrappedValue)) {}
  PropertyLock(const PropertyLock& other) : value_(other.get()) {}
  PropertyLock& operator=(const PropertyLock& other) {
    if (this != &other) set(other.get());
    return *this;
  }
  PropertyLock& operator=(Value newValue) {
    set(std::move(newValue));
    return *this;
  }

  // A copy of the value.
  Value get() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return value_;
  }
  void set(Value newValue) {
    std::lock_guard<std::mutex> hold(mutex_);
    value_ = std::move(newValue);
  }
  // Runs `change(Value&)` under the lock and returns its result. A change that throws keeps
  // whatever it did to the value before throwing. `change` must not touch this PropertyLock.
  template <class Change>
  decltype(auto) modify(Change&& change) {
    std::lock_guard<std::mutex> hold(mutex_);
    return std::forward<Change>(change)(value_);
  }

  // The bare value's JSON form, encoded under the lock.
  platform::json::Value toJson() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return kestrum::toJson(value_);
  }
  // Decodes the bare value; a DecodingError propagates.
  static PropertyLock fromJson(const platform::json::Value& json) {
    return PropertyLock(kestrum::fromJson<Value>(json));
  }

 private:
  mutable std::mutex mutex_;
  Value value_;
};

}  // namespace kestrum

// One stop flag per decoding run, keyed by the run's UUID. Operations run one at a time under
// the object's own mutex; callable from any thread. Entries live from `set` until `remove`.
#pragma once

#include <cstddef>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "platform/System/Uuid.h"

namespace kestrum {

class EarlyStopActor {
 public:
  using UUID = platform::system::UUID;

  EarlyStopActor() = default;

  // Stores the flag for the id, replacing any earlier one.
  void set(bool value, const UUID& id);
  // The stored flag; false when none is stored.
  bool get(const UUID& id) const;
  // Removes the entry and returns the flag it held; nothing when there was none.
  std::optional<bool> remove(const UUID& id);
  // The entries stored: the runs not yet removed.
  std::size_t count() const;

 private:
  mutable std::mutex mutex_;
  std::unordered_map<UUID, bool> shouldStop_;
};

}  // namespace kestrum

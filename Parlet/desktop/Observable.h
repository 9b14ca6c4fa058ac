// A change notification for the models that views draw from: `changed()` runs every observer, in
// the order they were added, after the model's fields took their new values; `set(field, value)`
// stores a value and calls `changed()` only when it differs. Observers may remove
// themselves (or others) while being called. Main thread only; nothing here throws.
//   auto id = model.observe([&] { redraw(); });  ...  model.removeObserver(id);
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <utility>

namespace parlet {

class Observable {
 public:
  using ObserverId = std::uint64_t;

  ObserverId observe(std::function<void()> changed) {
    observers_.emplace(++lastId_, std::move(changed));
    return lastId_;
  }
  void removeObserver(ObserverId id) { observers_.erase(id); }

 protected:
  ~Observable() = default;
  void changed() {
    for (auto it = observers_.begin(); it != observers_.end();) {
      const ObserverId id = it->first;
      auto call = it->second;  // a copy: the observer may remove itself
      call();
      it = observers_.upper_bound(id);
    }
  }
  // Stores `value` and tells the observers, unless the field already holds it.
  template <class T>
  void set(T& field, T value) {
    if (field == value) return;
    field = std::move(value);
    changed();
  }

 private:
  std::map<ObserverId, std::function<void()>> observers_;
  ObserverId lastId_ = 0;
};

}  // namespace parlet

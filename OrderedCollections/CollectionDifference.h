// The changes that turn one ordered collection into another: removals at offsets of the old
// collection and insertions at offsets of the new one, each with the element and, when the element
// moved, the offset it is associated with on the other side. Plain value; thread-compatible.
//   difference of [b, a] from [a, b] => remove(0, a, 1), insert(1, a, 0)
#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>
#include <vector>

namespace collections {

template <class T>
struct CollectionDifference {
  struct Change {
    enum class Kind { insert, remove };
    Kind kind;
    std::size_t offset;
    T element;
    std::optional<std::size_t> associatedWith;
    bool operator==(const Change&) const = default;
  };

  // In the order they were found.
  std::vector<Change> changes;

  std::vector<Change> removals() const { return select(Change::Kind::remove); }
  std::vector<Change> insertions() const { return select(Change::Kind::insert); }

  // Removals by old offsets, then insertions by new offsets; nullopt when an offset does not fit.
  std::optional<std::vector<T>> applying(std::vector<T> base) const {
    auto rs = removals();
    std::vector<bool> removed(base.size(), false);
    for (const auto& r : rs) {
      if (r.offset >= base.size() || removed[r.offset]) return std::nullopt;
      removed[r.offset] = true;
    }
    std::vector<T> kept;
    for (std::size_t i = 0; i < base.size(); ++i)
      if (!removed[i]) kept.push_back(std::move(base[i]));
    auto is = insertions();
    std::vector<const Change*> sorted;
    for (const auto& c : is) sorted.push_back(&c);
    std::stable_sort(sorted.begin(), sorted.end(), [](auto* a, auto* b) { return a->offset < b->offset; });
    for (auto* c : sorted) {
      if (c->offset > kept.size()) return std::nullopt;
      kept.insert(kept.begin() + c->offset, c->element);
    }
    return kept;
  }

 private:
  std::vector<Change> select(typename Change::Kind kind) const {
    std::vector<Change> out;
    for (const auto& c : changes)
      if (c.kind == kind) out.push_back(c);
    return out;
  }
};

}  // namespace collections

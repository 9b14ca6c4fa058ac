// OrderedSet's set algebra. Results list the receiver's members first, in the receiver's order,
// then the argument's new members in the argument's order (first occurrence). The argument is another
// OrderedSet, its UnorderedView, a set-like container with contains() and size() (std::set,
// std::unordered_set), or any range of members read once.
#pragma once

#include <set>
#include <type_traits>
#include <unordered_set>

namespace collections {
namespace detail {

template <class S, class R>
concept OrderedSetLike = std::is_same_v<R, S> || std::is_same_v<R, typename S::UnorderedView>;
// Multi-containers repeat members: they count as plain sequences.
template <class R>
inline constexpr bool isMultiContainer = false;
template <class... A>
inline constexpr bool isMultiContainer<std::multiset<A...>> = true;
template <class... A>
inline constexpr bool isMultiContainer<std::unordered_multiset<A...>> = true;

// A container of distinct members that answers containment itself.
template <class R, class T>
concept SetLike = !isMultiContainer<R> && requires(const R& r, const T& v) {
  { r.contains(v) } -> std::convertible_to<bool>;
  { r.size() } -> std::convertible_to<std::size_t>;
};

template <class S, class R>
const S& asOrderedSet(const R& r) {
  if constexpr (std::is_same_v<R, S>) return r;
  else return r.base();
}

}  // namespace detail

#define PARLET_SET_ALGEBRA template <class T, class Hash, class Eq> template <class R>

PARLET_SET_ALGEBRA void OrderedSet<T, Hash, Eq>::formUnion(const R& other) {
  if constexpr (detail::OrderedSetLike<OrderedSet, R>) appendContentsOf(detail::asOrderedSet<OrderedSet>(other));
  else appendContentsOf(other);
}

PARLET_SET_ALGEBRA OrderedSet<T, Hash, Eq> OrderedSet<T, Hash, Eq>::unionWith(const R& other) const {
  OrderedSet out = *this;
  out.formUnion(other);
  return out;
}

// [3, 1, 2] ∩ [2, 3, 3] => [3, 2]
PARLET_SET_ALGEBRA OrderedSet<T, Hash, Eq> OrderedSet<T, Hash, Eq>::intersection(const R& other) const {
  if constexpr (detail::OrderedSetLike<OrderedSet, R>) {
    const OrderedSet& o = detail::asOrderedSet<OrderedSet>(other);
    OrderedSet out;
    for (const auto& v : elements_)
      if (o.contains(v)) out.appendNew(v);
    return out;
  } else {
    detail::BitSet hits(size());
    for (const auto& v : other)
      if (auto f = find(v)) hits.insert(*f);
    return extractSubset(hits);
  }
}

PARLET_SET_ALGEBRA void OrderedSet<T, Hash, Eq>::formIntersection(const R& other) { *this = intersection(other); }

// [1, 2, 3] - [3, 4, 1, 4] => [2]; stops reading the argument once nothing is left.
PARLET_SET_ALGEBRA OrderedSet<T, Hash, Eq> OrderedSet<T, Hash, Eq>::subtracting(const R& other) const {
  if constexpr (detail::OrderedSetLike<OrderedSet, R> && !std::is_same_v<R, OrderedSet>) {
    return subtracting(other.base());
  } else {
    if (empty()) return OrderedSet();
    detail::BitSet left(size(), true);
    for (const auto& v : other) {
      auto f = find(v);
      if (!f || !left.contains(*f)) continue;
      if (left.count() == 1) return OrderedSet();
      left.remove(*f);
    }
    return extractSubset(left);
  }
}

PARLET_SET_ALGEBRA void OrderedSet<T, Hash, Eq>::subtract(const R& other) { *this = subtracting(other); }

// [1, 2, 3] △ [3, 4, 1, 4] => [2, 4]
PARLET_SET_ALGEBRA OrderedSet<T, Hash, Eq> OrderedSet<T, Hash, Eq>::symmetricDifference(const R& other) const {
  if constexpr (detail::OrderedSetLike<OrderedSet, R>) {
    const OrderedSet& o = detail::asOrderedSet<OrderedSet>(other);
    detail::BitSet mine(size(), true), theirs(o.size(), true);
    for (std::size_t j = 0; j < o.size(); ++j)
      if (auto i = find(o.elements_[j])) mine.remove(*i);
    for (std::size_t i = 0; i < size(); ++i)
      if (auto j = o.find(elements_[i])) theirs.remove(*j);
    OrderedSet out = extractSubset(mine, theirs.count());
    theirs.forEach([&](std::size_t j) { out.appendNew(o.elements_[j]); });
    return out;
  } else {
    detail::BitSet mine(size(), true);
    OrderedSet extras;
    for (const auto& v : other) {
      if (auto i = find(v)) mine.remove(*i);
      else extras.append(v);
    }
    OrderedSet out = extractSubset(mine, extras.size());
    for (const auto& v : extras) out.appendNew(v);
    return out;
  }
}

PARLET_SET_ALGEBRA void OrderedSet<T, Hash, Eq>::formSymmetricDifference(const R& other) {
  *this = symmetricDifference(other);
}

PARLET_SET_ALGEBRA bool OrderedSet<T, Hash, Eq>::isSubset(const R& other) const {
  if constexpr (detail::OrderedSetLike<OrderedSet, R> || detail::SetLike<R, T>) {
    if (other.size() < size()) return false;
    return std::ranges::all_of(elements_, [&](const T& v) { return other.contains(v); });
  } else {
    if (empty()) return true;
    detail::BitSet hits(size());
    for (const auto& v : other)
      if (auto f = find(v); f && hits.insert(*f) && hits.count() == size()) return true;
    return false;
  }
}

PARLET_SET_ALGEBRA bool OrderedSet<T, Hash, Eq>::isSuperset(const R& other) const {
  if constexpr (detail::OrderedSetLike<OrderedSet, R> || detail::SetLike<R, T>) {
    if (size() < other.size()) return false;
  }
  for (const auto& v : other)
    if (!contains(v)) return false;
  return true;
}

PARLET_SET_ALGEBRA bool OrderedSet<T, Hash, Eq>::isStrictSubset(const R& other) const {
  if constexpr (detail::OrderedSetLike<OrderedSet, R> || detail::SetLike<R, T>) {
    return size() < other.size() && isSubset(other);
  } else {
    if (empty()) return std::ranges::begin(other) != std::ranges::end(other);
    detail::BitSet hits(size());
    bool extra = false;
    for (const auto& v : other) {
      if (auto f = find(v)) hits.insert(*f);
      else extra = true;
      if (extra && hits.count() == size()) return true;
    }
    return false;
  }
}

PARLET_SET_ALGEBRA bool OrderedSet<T, Hash, Eq>::isStrictSuperset(const R& other) const {
  if constexpr (detail::OrderedSetLike<OrderedSet, R> || detail::SetLike<R, T>) {
    return other.size() < size() && isSuperset(other);
  } else {
    if (empty()) return false;
    detail::BitSet hits(size());
    for (const auto& v : other) {
      auto f = find(v);
      if (!f) return false;
      if (hits.insert(*f) && hits.count() == size()) return false;
    }
    return hits.count() < size();
  }
}

PARLET_SET_ALGEBRA bool OrderedSet<T, Hash, Eq>::isDisjoint(const R& other) const {
  if constexpr (detail::OrderedSetLike<OrderedSet, R> || detail::SetLike<R, T>) {
    if (empty() || other.size() == 0) return true;
    if (size() <= other.size())
      return std::ranges::none_of(elements_, [&](const T& v) { return other.contains(v); });
  } else {
    if (empty()) return true;
  }
  for (const auto& v : other)
    if (contains(v)) return false;
  return true;
}

PARLET_SET_ALGEBRA bool OrderedSet<T, Hash, Eq>::isEqualSet(const R& other) const {
  if constexpr (detail::OrderedSetLike<OrderedSet, R>) {
    return unordered() == UnorderedView(detail::asOrderedSet<OrderedSet>(other));
  } else if constexpr (detail::SetLike<R, T>) {
    if (other.size() != size()) return false;
    return std::ranges::all_of(other, [&](const T& v) { return contains(v); });
  } else {
    if (empty()) return std::ranges::begin(other) == std::ranges::end(other);
    detail::BitSet hits(size());
    for (const auto& v : other) {
      auto f = find(v);
      if (!f) return false;
      hits.insert(*f);
    }
    return hits.count() == size();
  }
}

#undef PARLET_SET_ALGEBRA

}  // namespace collections

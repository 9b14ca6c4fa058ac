// OrderedSet's slice and unordered view, filtering and subset extraction.
#pragma once

#include "OrderedCollections/detail/BitSet.h"

namespace collections {

// A run of offsets [lo, hi) of a set (held by value). Indices are the base's offsets.
template <class T, class Hash, class Eq>
class OrderedSet<T, Hash, Eq>::SubSequence {
 public:
  using const_iterator = typename std::vector<T>::const_iterator;

  SubSequence(OrderedSet base, std::size_t lo, std::size_t hi) : base_(std::move(base)), lo_(lo), hi_(hi) {
    if (lo > hi || hi > base_.size()) throw std::out_of_range("OrderedSet slice out of range");
  }
  std::size_t startIndex() const { return lo_; }
  std::size_t endIndex() const { return hi_; }
  std::size_t size() const { return hi_ - lo_; }
  std::size_t count() const { return hi_ - lo_; }
  bool empty() const { return lo_ == hi_; }
  const T& operator[](std::size_t offset) const {
    if (offset < lo_ || offset >= hi_) throw std::out_of_range("OrderedSet slice offset out of range");
    return base_.elements_[offset];
  }
  SubSequence operator()(std::size_t lo, std::size_t hi) const {
    if (lo < lo_ || hi > hi_ || lo > hi) throw std::out_of_range("OrderedSet slice out of range");
    return SubSequence(base_, lo, hi);
  }
  const_iterator begin() const { return base_.elements_.begin() + lo_; }
  const_iterator end() const { return base_.elements_.begin() + hi_; }
  // The base offset of the value when it lies within the slice (a hash probe, not a scan).
  std::optional<std::size_t> find(const T& value) const {
    auto offset = base_.find(value);
    if (offset && *offset >= lo_ && *offset < hi_) return offset;
    return std::nullopt;
  }
  bool contains(const T& value) const { return find(value).has_value(); }
  std::vector<T> elements() const { return std::vector<T>(begin(), end()); }

  // Members in order; the bases and offsets are not compared.
  friend bool operator==(const SubSequence& a, const SubSequence& b) { return a.equals(b); }
  std::size_t hashValue(std::uint64_t seed = 0) const {
    detail::Hasher h(seed);
    h.combine(size());
    for (const auto& v : *this) h.combine(base_.hash_(v));
    return h.finalize();
  }
  std::string description() const { return arrayDescription(begin(), end()); }
  friend std::string debugDescription(const SubSequence& s) { return s.description(); }

 private:
  bool equals(const SubSequence& b) const {
    return std::ranges::equal(*this, b, [&](const T& x, const T& y) { return base_.eq_(x, y); });
  }

  OrderedSet base_;
  std::size_t lo_, hi_;
};

// The set with order-insensitive equality and hashing.
template <class T, class Hash, class Eq>
class OrderedSet<T, Hash, Eq>::UnorderedView {
 public:
  UnorderedView() = default;
  explicit UnorderedView(OrderedSet base) : base_(std::move(base)) {}
  const OrderedSet& base() const& { return base_; }
  OrderedSet base() && { return std::move(base_); }

  // Same members, in any order.
  friend bool operator==(const UnorderedView& a, const UnorderedView& b) { return a.equals(b); }
  // XOR of the members' seeded hashes, fed once after the seed: independent of order.
  std::size_t hashValue(std::uint64_t seed = 0) const {
    std::uint64_t inner = detail::Hasher(seed).finalize();
    std::uint64_t x = 0;
    for (const auto& v : base_) {
      detail::Hasher h(inner);
      h.combine(base_.hash_(v));
      x ^= h.finalize();
    }
    detail::Hasher h(seed);
    h.combine(x);
    return h.finalize();
  }

  bool contains(const T& value) const { return base_.contains(value); }
  const_iterator begin() const { return base_.begin(); }
  const_iterator end() const { return base_.end(); }
  std::size_t size() const { return base_.size(); }
  bool empty() const { return base_.empty(); }
  bool isEmpty() const { return base_.empty(); }
  // (inserted, the member now in the set).
  std::pair<bool, T> insert(const T& value) {
    auto r = base_.append(value);
    return {r.inserted, base_[r.index]};
  }
  std::optional<T> update(const T& value) { return base_.updateOrAppend(value); }
  std::optional<T> remove(const T& value) { return base_.remove(value); }

  template <class R> UnorderedView unionWith(const R& o) const { return UnorderedView(base_.unionWith(o)); }
  template <class R> UnorderedView intersection(const R& o) const { return UnorderedView(base_.intersection(o)); }
  template <class R> UnorderedView subtracting(const R& o) const { return UnorderedView(base_.subtracting(o)); }
  template <class R> UnorderedView symmetricDifference(const R& o) const {
    return UnorderedView(base_.symmetricDifference(o));
  }
  template <class R> void formUnion(const R& o) { base_.formUnion(o); }
  template <class R> void formIntersection(const R& o) { base_.formIntersection(o); }
  template <class R> void subtract(const R& o) { base_.subtract(o); }
  template <class R> void formSymmetricDifference(const R& o) { base_.formSymmetricDifference(o); }
  template <class R> bool isSubset(const R& o) const { return base_.isSubset(o); }
  template <class R> bool isSuperset(const R& o) const { return base_.isSuperset(o); }
  template <class R> bool isStrictSubset(const R& o) const { return base_.isStrictSubset(o); }
  template <class R> bool isStrictSuperset(const R& o) const { return base_.isStrictSuperset(o); }
  template <class R> bool isDisjoint(const R& o) const { return base_.isDisjoint(o); }
  template <class R> bool isEqualSet(const R& o) const { return base_.isEqualSet(o); }

  std::string description() const { return base_.description(); }
  friend std::string debugDescription(const UnorderedView& v) { return v.description(); }

 private:
  bool equals(const UnorderedView& b) const {
    if (base_.table_ && base_.table_ == b.base_.table_) return true;
    if (base_.size() != b.base_.size()) return false;
    return std::ranges::all_of(base_, [&](const T& v) { return b.base_.contains(v); });
  }

  OrderedSet base_;
};

template <class T, class Hash, class Eq>
typename OrderedSet<T, Hash, Eq>::SubSequence OrderedSet<T, Hash, Eq>::operator()(std::size_t lo, std::size_t hi) const {
  return SubSequence(*this, lo, hi);
}

template <class T, class Hash, class Eq>
typename OrderedSet<T, Hash, Eq>::UnorderedView OrderedSet<T, Hash, Eq>::unordered() const {
  return UnorderedView(*this);
}

template <class T, class Hash, class Eq>
void OrderedSet<T, Hash, Eq>::setUnordered(UnorderedView view) {
  *this = std::move(view).base();
}

template <class T, class Hash, class Eq>
template <class F>
decltype(auto) OrderedSet<T, Hash, Eq>::modifyUnordered(F&& body) {
  struct Restore {
    OrderedSet& set;
    UnorderedView view;
    ~Restore() { set = std::move(view).base(); }
  } restore{*this, UnorderedView(std::move(*this))};
  *this = OrderedSet();
  return body(restore.view);
}

template <class T, class Hash, class Eq>
OrderedSet<T, Hash, Eq> OrderedSet<T, Hash, Eq>::extractSubset(const detail::BitSet& members,
                                                               std::size_t extraCapacity) const {
  std::size_t n = members.count();
  if (n == 0) return minimumCapacity(extraCapacity);
  if (n == size()) {
    OrderedSet all = *this;
    if (capacityNow() - size() < extraCapacity) all.reserveCapacity(n + extraCapacity);
    return all;
  }
  OrderedSet out = minimumCapacity(n + extraCapacity);
  members.forEach([&](std::size_t offset) { out.appendNew(elements_[offset]); });
  return out;
}

template <class T, class Hash, class Eq>
template <class Pred>
OrderedSet<T, Hash, Eq> OrderedSet<T, Hash, Eq>::filter(Pred&& isIncluded) const {
  detail::BitSet keep(size());
  for (std::size_t i = 0; i < size(); ++i)
    if (isIncluded(elements_[i])) keep.insert(i);
  return extractSubset(keep);
}

}  // namespace collections

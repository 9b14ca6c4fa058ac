// OrderedSet<T, Hash, Eq>: a set that keeps its members in insertion (or caller-given) order and is
// a random-access collection of them. Lookup is a linear scan up to 15 members and a hash-table
// probe above (detail/HashTable.h). A value: the member array is copied with the set and the table
// is shared until one copy writes it. Members compare by Eq (std::equal_to: bytes for std::string).
// Offsets and ranges out of bounds throw std::out_of_range; a failed decode throws
// platform::json::DecodingError. One writer at a time per instance; mutations invalidate iterators.
//   OrderedSet<int> s{3, 1, 3, 2};  // [3, 1, 2]
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <ranges>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "OrderedCollections/CollectionDifference.h"
#include "OrderedCollections/Coding.h"
#include "OrderedCollections/Description.h"
#include "OrderedCollections/detail/BitSet.h"
#include "OrderedCollections/detail/HashTable.h"
#include "OrderedCollections/detail/Hashing.h"

namespace collections {

template <class T, class Hash = std::hash<T>, class Eq = std::equal_to<T>>
class OrderedSet {
 public:
  using value_type = T;
  using size_type = std::size_t;
  using const_iterator = typename std::vector<T>::const_iterator;
  using iterator = const_iterator;

  struct InsertResult {
    bool inserted;
    std::size_t index;
    bool operator==(const InsertResult&) const = default;
  };
  struct UpdateResult {
    std::optional<T> originalMember;
    std::size_t index;
  };
  // The hash-table parameters as the set reports them (scale 0, capacity 15 without a table).
  struct Internals {
    std::size_t capacity;
    std::size_t minimumCapacity;
    int scale;
    int reservedScale;
    std::size_t bias;
    std::vector<std::optional<std::size_t>> hashTableContents;  // empty without a table
    bool hasTable;
  };
  class SubSequence;
  class UnorderedView;

  OrderedSet() = default;
  OrderedSet(std::initializer_list<T> members) { initFromRandomAccess(std::vector<T>(members)); }
  // Later duplicates are dropped; the first occurrence keeps its place. A sized range gets a table
  // sized for its whole length up front; an unsized one grows with its distinct members.
  template <std::ranges::input_range R>
    requires(std::convertible_to<std::ranges::range_reference_t<R>, T> &&
             !std::is_same_v<std::remove_cvref_t<R>, OrderedSet>)
  explicit OrderedSet(R&& members) {
    if constexpr (std::is_same_v<std::remove_cvref_t<R>, UnorderedView>) {
      *this = std::forward<R>(members).base();  // the view's own set, table included
    } else if constexpr (std::ranges::sized_range<R>) {
      std::vector<T> all;
      all.reserve(std::ranges::size(members));
      for (auto&& m : members) all.emplace_back(std::forward<decltype(m)>(m));
      initFromRandomAccess(std::move(all));
    } else {
      for (auto&& m : members) append(m);
    }
  }
  explicit OrderedSet(std::vector<T>&& members) { initFromRandomAccess(std::move(members)); }
  // Members the caller guarantees distinct; nothing is tested.
  static OrderedSet uncheckedUniqueElements(std::vector<T> members);
  static OrderedSet minimumCapacity(std::size_t capacity, bool persistent = false);
  // A set whose table has the given scale and bias (diagnostics and tests); throws
  // std::invalid_argument for a scale or bias the contents cannot have, or duplicate contents.
  static OrderedSet withInternals(int scale, std::size_t bias, std::vector<T> contents);

  // Lookup.
  std::optional<std::size_t> find(const T& value) const { return findBucket(value).first; }
  std::optional<std::size_t> firstIndex(const T& value) const { return find(value); }
  std::optional<std::size_t> lastIndex(const T& value) const { return find(value); }
  bool contains(const T& value) const { return find(value).has_value(); }

  // Collection access.
  const T& operator[](std::size_t offset) const { return elements_[checkedOffset(offset)]; }
  SubSequence operator()(std::size_t lo, std::size_t hi) const;
  const std::vector<T>& elements() const { return elements_; }
  // Replaces the whole set by the given members, later duplicates dropped.
  void setElements(std::vector<T> members) { *this = OrderedSet(std::move(members)); }
  std::size_t size() const { return elements_.size(); }
  std::size_t count() const { return elements_.size(); }
  bool empty() const { return elements_.empty(); }
  bool isEmpty() const { return elements_.empty(); }
  const_iterator begin() const { return elements_.begin(); }
  const_iterator end() const { return elements_.end(); }
  const T& front() const { return (*this)[0]; }
  const T& back() const { return (*this)[size() - 1]; }

  // Insertion and update.
  InsertResult append(const T& value);
  template <std::ranges::input_range R>
  void appendContentsOf(R&& values) {
    for (auto&& v : values) append(v);
  }
  template <std::ranges::input_range R>
  OrderedSet appendingContentsOf(R&& values) const {
    OrderedSet out = *this;
    out.appendContentsOf(std::forward<R>(values));
    return out;
  }
  InsertResult insert(const T& value, std::size_t at);
  // `value` must equal the member at `at`; returns the member it replaces.
  T update(const T& value, std::size_t at);
  std::optional<T> updateOrAppend(const T& value);
  UpdateResult updateOrInsert(const T& value, std::size_t at);

  // Removal.
  std::optional<T> remove(const T& value);
  T removeAt(std::size_t offset);
  T removeFirst();
  T removeLast();
  void removeFirst(std::size_t k);
  void removeLast(std::size_t k);
  void removeSubrange(std::size_t lo, std::size_t hi);
  void removeAll(bool keepingCapacity = false);
  template <class Pred>
    requires std::predicate<Pred&, const T&>
  void removeAll(Pred&& shouldBeRemoved);

  // Capacity.
  void reserveCapacity(std::size_t n) { reserveCapacity(n, false); }
  void reserveCapacity(std::size_t n, bool persistent);
  Internals internals() const;

  // Algebra (results keep the order rules of each operation).
  template <class R> void formUnion(const R& other);
  template <class R> OrderedSet unionWith(const R& other) const;
  template <class R> void formIntersection(const R& other);
  template <class R> OrderedSet intersection(const R& other) const;
  template <class R> void subtract(const R& other);
  template <class R> OrderedSet subtracting(const R& other) const;
  template <class R> void formSymmetricDifference(const R& other);
  template <class R> OrderedSet symmetricDifference(const R& other) const;
  template <class R> bool isSubset(const R& other) const;
  template <class R> bool isSuperset(const R& other) const;
  template <class R> bool isStrictSubset(const R& other) const;
  template <class R> bool isStrictSuperset(const R& other) const;
  template <class R> bool isDisjoint(const R& other) const;
  template <class R> bool isEqualSet(const R& other) const;
  template <class Pred> OrderedSet filter(Pred&& isIncluded) const;
  UnorderedView unordered() const;
  void setUnordered(UnorderedView view);
  // Runs body(UnorderedView&) on the set moved into a view, then moves it back (also on a throw).
  template <class F> decltype(auto) modifyUnordered(F&& body);

  // Reordering.
  void swapAt(std::size_t i, std::size_t j);
  template <class Pred> std::size_t partition(Pred&& belongsInSecondPartition);
  template <class Less> void sort(Less&& areInIncreasingOrder);
  void sort() { sort(std::less<T>{}); }
  template <class Gen> void shuffle(Gen& generator);
  void shuffle();
  void reverse();
  // The changes that turn `old`'s order into this one's.
  CollectionDifference<T> difference(const OrderedSet& old) const;
  // nullopt when the difference does not apply or would repeat a member.
  std::optional<OrderedSet> applying(const CollectionDifference<T>& difference) const;

  // Order-sensitive equality and hashing; see UnorderedView for set equality.
  friend bool operator==(const OrderedSet& a, const OrderedSet& b) { return a.equalMembers(b.elements_); }
  std::size_t hashValue(std::uint64_t seed = 0) const;

  // "[\"a\", \"b\"]"; "[]" when empty.
  std::string description() const { return arrayDescription(begin(), end()); }
  friend std::string debugDescription(const OrderedSet& s) { return s.description(); }

  // A plain list of the members in order.
  json::Value toJsonValue() const { return toJson(elements_); }
  static OrderedSet fromJsonValue(const json::Value& value);
  friend json::Value toJson(const OrderedSet& s) { return s.toJsonValue(); }
  friend OrderedSet fromJson(const json::Value& v, std::type_identity<OrderedSet>) { return fromJsonValue(v); }

  // Reorders members (and `values` alongside) by offset-judging predicates, keeping the table valid.
  template <class V, class Pred> std::size_t halfStablePartition(std::vector<V>& values, Pred&& belongsInSecond);
  template <class V, class Pred> std::size_t partition(std::vector<V>& values, Pred&& belongsInSecond);

 private:
  // The dictionary keeps its keys in a set and drives it through the primitives below.
  template <class, class, class, class> friend class OrderedDictionary;

  // Primitives that trust their caller: the value is new (appendNew, insertNew) or present at
  // `offset` (removeExistingMember), `bucket` is the one findBucket gave for it, an adopted table
  // matches its members. They keep the table in step but check none of this.
  std::pair<std::optional<std::size_t>, std::size_t> findBucket(const T& value) const;
  void appendNew(T value, std::size_t bucket);
  void appendNew(T value);
  void insertNew(T value, std::size_t at, std::size_t bucket);
  T removeExistingMember(std::size_t offset, std::size_t bucket);
  std::size_t bucketFor(std::size_t offset) const;
  void swapBucketValues(std::size_t i, std::size_t j);
  // Adopts a member array and a table as they are.
  OrderedSet(std::vector<T> members, std::shared_ptr<detail::HashTable> table)
      : elements_(std::move(members)), table_(std::move(table)) {}
  // The members whose offsets are in `members`, in order, with room for `extraCapacity` more.
  OrderedSet extractSubset(const detail::BitSet& members, std::size_t extraCapacity = 0) const;
  void regenerateHashTable();
  void regenerateHashTable(int scale, int reservedScale);
  void regenerateExistingHashTable();
  static std::shared_ptr<detail::HashTable> createTable(const std::vector<T>& members, int scale, int reservedScale,
                                                        const Hash& hash = Hash{});

  std::size_t checkedOffset(std::size_t offset) const {
    if (offset >= elements_.size()) throw std::out_of_range("OrderedSet offset out of range");
    return offset;
  }
  std::size_t rawHash(const T& v) const { return hash_(v); }
  auto hashAt() const {
    return [this](std::size_t o) { return static_cast<std::size_t>(hash_(elements_[o])); };
  }
  void ensureUnique() {
    if (!table_) return;
    if (table_.use_count() > 1) table_ = std::make_shared<detail::HashTable>(*table_);
    // Pairs with the release of the last other owner, whose reads must finish before our writes.
    else std::atomic_thread_fence(std::memory_order_acquire);
  }
  std::size_t capacityNow() const { return table_ ? table_->capacity() : detail::HashTable::maximumUnhashedCount; }
  std::size_t minimumCapacityNow() const { return table_ ? table_->minimumCapacity() : 0; }
  int scaleNow() const { return table_ ? table_->scale() : 0; }
  int reservedScaleNow() const { return table_ ? table_->reservedScale() : 0; }
  void initFromRandomAccess(std::vector<T>&& members);
  template <class Container>
  bool equalMembers(const Container& other) const {
    return std::ranges::equal(elements_, other, [this](const T& a, const T& b) { return eq_(a, b); });
  }

  std::vector<T> elements_;
  std::shared_ptr<detail::HashTable> table_;
  [[no_unique_address]] Hash hash_{};
  [[no_unique_address]] Eq eq_{};
};

}  // namespace collections

#include "OrderedCollections/detail/OrderedSetImpl.h"
#include "OrderedCollections/detail/OrderedSetViews.h"
#include "OrderedCollections/detail/OrderedSetAlgebra.h"

template <class T, class H, class E>
struct std::hash<collections::OrderedSet<T, H, E>> {
  std::size_t operator()(const collections::OrderedSet<T, H, E>& s) const { return s.hashValue(); }
};

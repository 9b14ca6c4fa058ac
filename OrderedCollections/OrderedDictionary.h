// OrderedDictionary<K, V, Hash, Eq>: a hash map whose pairs keep insertion (or caller-given) order.
// Keys live in an OrderedSet (hash index above 15 keys), values in a vector at the same offsets.
// A value type: copies are independent (the key table is shared until written). Keys compare by Eq,
// so std::string keys compare by bytes; pass a canonical-equivalence Hash/Eq where that matters.
// Contract violations (duplicate keys where uniqueness is promised, offsets out of range) throw
// std::invalid_argument / std::out_of_range before anything changes. One writer at a time.
// Iterators and references into a dictionary are invalidated by its mutations (iterate a copy for
// a snapshot); keys() and values() are read-only references to the stores.
//   OrderedDictionary<std::string, int> d{{"b", 1}, {"a", 2}};  d.set("c", 3);  // [b, a, c]
#pragma once

#include <concepts>
#include <cstddef>
#include <functional>
#include <initializer_list>
#include <optional>
#include <ranges>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "OrderedCollections/OrderedSet.h"

namespace collections {

template <class K, class V, class Hash = std::hash<K>, class Eq = std::equal_to<K>>
class OrderedDictionary {
 public:
  using Keys = OrderedSet<K, Hash, Eq>;
  using key_type = K;
  using mapped_type = V;
  struct UpdateResult {
    std::optional<V> originalMember;
    std::size_t index;
  };
  template <bool Const> class Iterator;
  using iterator = Iterator<false>;
  using const_iterator = Iterator<true>;
  class Values;
  class Elements;

  OrderedDictionary() = default;
  // A dictionary literal: keys must be distinct (std::invalid_argument otherwise).
  OrderedDictionary(std::initializer_list<std::pair<K, V>> pairs) { *this = uniqueKeysWithValues(pairs); }

  // Pairs in order; a repeated key throws std::invalid_argument.
  template <std::ranges::input_range R>
  static OrderedDictionary uniqueKeysWithValues(R&& pairs);
  // Pairs in order; the caller guarantees distinct keys, nothing is tested.
  template <std::ranges::input_range R>
  static OrderedDictionary uncheckedUniqueKeysWithValues(R&& pairs);
  // Keys and values by position; counts must match and keys be distinct.
  template <std::ranges::input_range KR, std::ranges::input_range VR>
  static OrderedDictionary uniqueKeys(KR&& keys, VR&& values);
  template <std::ranges::input_range KR, std::ranges::input_range VR>
  static OrderedDictionary uncheckedUniqueKeys(KR&& keys, VR&& values);
  // Takes over another dictionary's key set (with its hash index) unchanged; value i is key i's.
  static OrderedDictionary uncheckedUniqueKeys(Keys keys, std::vector<V> values);
  // Repeated keys are folded with combine(stored, new).
  template <std::ranges::input_range R, class Combine>
  static OrderedDictionary uniquingKeysWith(R&& pairs, Combine&& combine);
  // One pair per distinct key (first appearance order); each value lists the elements in order.
  template <std::ranges::input_range R, class KeyOf>
  static OrderedDictionary grouping(R&& elements, KeyOf&& keyForValue);
  static OrderedDictionary minimumCapacity(std::size_t capacity, bool persistent = false);

  // Keyed access.
  std::optional<std::size_t> index(const K& key) const { return keys_.find(key); }
  const V* get(const K& key) const;
  V* get(const K& key);
  // The key's value, or `defaultValue`; never inserts.
  V get(const K& key, const V& defaultValue) const;
  // Replaces in place, appends a new key, or (nullopt) removes the pair.
  void set(const K& key, std::optional<V> value);
  // In-place access to the key's optional value; the outcome follows the final content, as set().
  template <class F> decltype(auto) modify(const K& key, F&& body);
  std::optional<V> updateValue(V value, const K& key);
  UpdateResult updateValue(V value, const K& key, std::size_t insertingAt);
  // Appends `defaultValue` for an absent key, then runs body(V&) on the stored value.
  template <class F>
    requires std::invocable<F&, V&>
  decltype(auto) updateValue(const K& key, V defaultValue, F&& body);
  template <class F>
    requires std::invocable<F&, V&>
  decltype(auto) updateValue(const K& key, V defaultValue, std::size_t insertingAt, F&& body);

  // Removal.
  std::optional<V> removeValue(const K& key);
  std::pair<K, V> removeAt(std::size_t offset);
  std::pair<K, V> removeFirst();
  std::pair<K, V> removeLast();
  void removeFirst(std::size_t k);
  void removeLast(std::size_t k);
  void removeSubrange(std::size_t lo, std::size_t hi);
  void removeAll(bool keepingCapacity = false);
  template <class Pred>
    requires std::predicate<Pred&, const K&, const V&>
  void removeAll(Pred&& shouldBeRemoved);

  // Merging.
  template <std::ranges::input_range R, class Combine>
  void merge(R&& pairs, Combine&& combine);
  template <std::ranges::input_range R, class Combine>
  OrderedDictionary merging(R&& pairs, Combine&& combine) const;

  // Capacity and views.
  void reserveCapacity(std::size_t n) { keys_.reserveCapacity(n); values_.reserve(n); }
  const Keys& keys() const { return keys_; }
  const std::vector<V>& values() const { return values_; }
  std::size_t size() const { return values_.size(); }
  std::size_t count() const { return values_.size(); }
  bool empty() const { return values_.empty(); }
  bool isEmpty() const { return values_.empty(); }
  const_iterator begin() const { return const_iterator(this, 0); }
  const_iterator end() const { return const_iterator(this, size()); }
  iterator begin() { return iterator(this, 0); }
  iterator end() { return iterator(this, size()); }

  // Views (snapshots; see OrderedDictionaryViews.h).
  Values valuesView() const&;
  Values valuesView() &&;
  void setValues(Values view);
  template <class F> decltype(auto) modifyValues(F&& body);
  Elements elements() const&;
  Elements elements() &&;
  void setElements(Elements view);
  template <class F> decltype(auto) modifyElements(F&& body);

  // Bulk operations.
  template <class Pred> OrderedDictionary filter(Pred&& isIncluded) const;
  template <class F> auto mapValues(F&& transform) const;
  template <class F> auto compactMapValues(F&& transform) const;
  void swapAt(std::size_t i, std::size_t j);
  template <class Pred> std::size_t partition(Pred&& belongsInSecondPartition);
  template <class Less> void sort(Less&& areInIncreasingOrder);
  void sort();
  template <class Gen> void shuffle(Gen& generator);
  void shuffle();
  void reverse();

  // Same keys in the same order and equal values at each offset.
  friend bool operator==(const OrderedDictionary& a, const OrderedDictionary& b)
    requires std::equality_comparable<V>
  {
    return a.keys_ == b.keys_ && a.values_ == b.values_;
  }
  // Feeds the count, then each key and its value in order.
  template <class VHash = std::hash<V>>
  std::size_t hashValue(std::uint64_t seed = 0, const VHash& valueHash = VHash{}) const;

  // "[\"a\": 1, \"b\": 2]"; "[:]" when empty.
  std::string description() const;
  friend std::string debugDescription(const OrderedDictionary& d) { return d.description(); }

  // [key0, value0, key1, value1, ...]
  json::Value toJsonValue() const;
  // Throws DecodingError(dataCorrupted) "Duplicate key at offset N" or
  // "Unkeyed container reached end before value in key-value pair"; element errors pass through.
  static OrderedDictionary fromJsonValue(const json::Value& value);
  friend json::Value toJson(const OrderedDictionary& d) { return d.toJsonValue(); }
  friend OrderedDictionary fromJson(const json::Value& v, std::type_identity<OrderedDictionary>) {
    return fromJsonValue(v);
  }

 private:
  OrderedDictionary(Keys keys, std::vector<V> values) : keys_(std::move(keys)), values_(std::move(values)) {}
  void checkOffset(std::size_t offset) const {
    if (offset >= values_.size()) throw std::out_of_range("OrderedDictionary offset out of range");
  }

  Keys keys_;
  std::vector<V> values_;
};

// (key, value) pairs by reference, in order; random access by offset.
template <class K, class V, class H, class E>
template <bool Const>
class OrderedDictionary<K, V, H, E>::Iterator {
  using Dict = std::conditional_t<Const, const OrderedDictionary, OrderedDictionary>;

 public:
  using value_type = std::pair<const K&, std::conditional_t<Const, const V&, V&>>;
  using reference = value_type;
  using difference_type = std::ptrdiff_t;
  using iterator_category = std::input_iterator_tag;
  using iterator_concept = std::forward_iterator_tag;

  Iterator() = default;
  Iterator(Dict* dict, std::size_t position) : dict_(dict), position_(position) {}
  reference operator*() const { return {dict_->keys_[position_], dict_->values_[position_]}; }
  Iterator& operator++() { ++position_; return *this; }
  Iterator operator++(int) { Iterator old = *this; ++position_; return old; }
  bool operator==(const Iterator& other) const { return position_ == other.position_; }

 private:
  Dict* dict_ = nullptr;
  std::size_t position_ = 0;
};

}  // namespace collections

#include "OrderedCollections/detail/OrderedDictionaryImpl.h"

template <class K, class V, class H, class E>
struct std::hash<collections::OrderedDictionary<K, V, H, E>> {
  std::size_t operator()(const collections::OrderedDictionary<K, V, H, E>& d) const { return d.hashValue(); }
};

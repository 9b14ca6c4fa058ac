// OrderedDictionary's positional views (Elements, Values) and its bulk and reordering operations.
// A view holds a whole dictionary: one taken with elements()/valuesView() is a snapshot; writes
// reach the dictionary only through modifyElements/modifyValues or by assigning the view back.
#pragma once

#include <algorithm>
#include <numeric>
#include <random>

namespace collections {

#define PARLET_ORDERED_DICT_TEMPLATE template <class K, class V, class Hash, class Eq>
#define PARLET_ORDERED_DICT OrderedDictionary<K, V, Hash, Eq>

// The values by offset; writable in place, fixed length (keys never change through it).
PARLET_ORDERED_DICT_TEMPLATE
class PARLET_ORDERED_DICT::Values {
 public:
  explicit Values(OrderedDictionary base) : base_(std::move(base)) {}
  std::size_t size() const { return base_.size(); }
  std::size_t count() const { return base_.size(); }
  bool empty() const { return base_.empty(); }
  const V& operator[](std::size_t i) const { base_.checkOffset(i); return base_.values_[i]; }
  V& operator[](std::size_t i) { base_.checkOffset(i); return base_.values_[i]; }
  auto begin() const { return base_.values_.cbegin(); }
  auto end() const { return base_.values_.cend(); }
  auto begin() { return base_.values_.begin(); }
  auto end() { return base_.values_.end(); }
  // The two keys exchange their values.
  void swapAt(std::size_t i, std::size_t j) {
    base_.checkOffset(i);
    base_.checkOffset(j);
    std::swap(base_.values_[i], base_.values_[j]);
  }
  // Reorders the values alone; returns the first offset of the values judged true.
  template <class Pred>
  std::size_t partition(Pred&& belongsInSecondPartition) {
    auto& v = base_.values_;
    return detail::twoEndedPartition(
        v.size(), [&](std::size_t i) { return static_cast<bool>(belongsInSecondPartition(v[i])); },
        [&](std::size_t i, std::size_t j) { std::swap(v[i], v[j]); });
  }
  std::vector<V> elements() const { return base_.values_; }
  const OrderedDictionary& base() const& { return base_; }
  OrderedDictionary base() && { return std::move(base_); }

  friend bool operator==(const Values& a, const Values& b) { return a.base_.values_ == b.base_.values_; }
  template <class VHash = std::hash<V>>
  std::size_t hashValue(std::uint64_t seed = 0, const VHash& valueHash = VHash{}) const {
    detail::Hasher h(seed);
    h.combine(size());
    for (const auto& v : base_.values_) h.combine(valueHash(v));
    return h.finalize();
  }
  // "[1, 2]"; "[]" when empty.
  std::string description() const { return arrayDescription(begin(), end()); }
  friend std::string debugDescription(const Values& v) { return v.description(); }

 private:
  friend class OrderedDictionary;
  OrderedDictionary base_;
};

// The pairs by offset, with slicing; compares, hashes and prints as the dictionary.
PARLET_ORDERED_DICT_TEMPLATE
class PARLET_ORDERED_DICT::Elements {
 public:
  using Pair = std::pair<const K&, const V&>;
  class SubSequence;

  explicit Elements(OrderedDictionary base) : base_(std::move(base)) {}
  std::size_t size() const { return base_.size(); }
  std::size_t count() const { return base_.size(); }
  bool empty() const { return base_.empty(); }
  Pair operator[](std::size_t i) const { base_.checkOffset(i); return {base_.keys_[i], base_.values_[i]}; }
  SubSequence operator()(std::size_t lo, std::size_t hi) const { return SubSequence(base_, lo, hi); }
  auto begin() const { return base_.begin(); }
  auto end() const { return base_.end(); }
  const Keys& keys() const { return base_.keys(); }
  const std::vector<V>& values() const { return base_.values(); }
  std::optional<std::size_t> index(const K& key) const { return base_.index(key); }

  void swapAt(std::size_t i, std::size_t j) { base_.swapAt(i, j); }
  template <class Pred> std::size_t partition(Pred&& p) { return base_.partition(std::forward<Pred>(p)); }
  template <class Less> void sort(Less&& less) { base_.sort(std::forward<Less>(less)); }
  void sort() { base_.sort(); }
  template <class Gen> void shuffle(Gen& g) { base_.shuffle(g); }
  void shuffle() { base_.shuffle(); }
  void reverse() { base_.reverse(); }
  std::pair<K, V> removeAt(std::size_t i) { return base_.removeAt(i); }
  void removeSubrange(std::size_t lo, std::size_t hi) { base_.removeSubrange(lo, hi); }
  std::pair<K, V> removeFirst() { return base_.removeFirst(); }
  std::pair<K, V> removeLast() { return base_.removeLast(); }
  void removeFirst(std::size_t k) { base_.removeFirst(k); }
  void removeLast(std::size_t k) { base_.removeLast(k); }
  void removeAll(bool keepingCapacity = false) { base_.removeAll(keepingCapacity); }
  template <class Pred>
    requires std::predicate<Pred&, const K&, const V&>
  void removeAll(Pred&& p) { base_.removeAll(std::forward<Pred>(p)); }

  const OrderedDictionary& base() const& { return base_; }
  OrderedDictionary base() && { return std::move(base_); }
  friend bool operator==(const Elements& a, const Elements& b) { return a.base_ == b.base_; }
  std::size_t hashValue(std::uint64_t seed = 0) const { return base_.hashValue(seed); }
  std::string description() const { return base_.description(); }
  friend std::string debugDescription(const Elements& e) { return e.description(); }

 private:
  friend class OrderedDictionary;
  OrderedDictionary base_;
};

// Pairs [lo, hi) of a dictionary (held by value); indices are the base's offsets.
PARLET_ORDERED_DICT_TEMPLATE
class PARLET_ORDERED_DICT::Elements::SubSequence {
 public:
  SubSequence(OrderedDictionary base, std::size_t lo, std::size_t hi) : base_(std::move(base)), lo_(lo), hi_(hi) {
    if (lo > hi || hi > base_.size()) throw std::out_of_range("OrderedDictionary slice out of range");
  }
  std::size_t startIndex() const { return lo_; }
  std::size_t endIndex() const { return hi_; }
  std::size_t size() const { return hi_ - lo_; }
  std::size_t count() const { return hi_ - lo_; }
  bool empty() const { return lo_ == hi_; }
  Pair operator[](std::size_t i) const {
    if (i < lo_ || i >= hi_) throw std::out_of_range("OrderedDictionary slice offset out of range");
    return {base_.keys_[i], base_.values_[i]};
  }
  SubSequence operator()(std::size_t lo, std::size_t hi) const {
    if (lo < lo_ || hi > hi_ || lo > hi) throw std::out_of_range("OrderedDictionary slice out of range");
    return SubSequence(base_, lo, hi);
  }
  auto begin() const { return const_iterator(&base_, lo_); }
  auto end() const { return const_iterator(&base_, hi_); }
  typename Keys::SubSequence keys() const { return base_.keys_(lo_, hi_); }
  std::vector<V> values() const { return {base_.values_.begin() + lo_, base_.values_.begin() + hi_}; }
  // The key's base offset when it lies within the slice.
  std::optional<std::size_t> index(const K& key) const {
    auto i = base_.index(key);
    if (i && *i >= lo_ && *i < hi_) return i;
    return std::nullopt;
  }
  std::string description() const {
    if (empty()) return "[:]";
    std::string out = "[";
    for (std::size_t i = lo_; i < hi_; ++i) {
      if (i > lo_) out += ", ";
      out += debugText(base_.keys_[i]) + ": " + debugText(base_.values_[i]);
    }
    return out + "]";
  }
  friend std::string debugDescription(const SubSequence& s) { return s.description(); }

 private:
  OrderedDictionary base_;
  std::size_t lo_, hi_;
};

PARLET_ORDERED_DICT_TEMPLATE
typename PARLET_ORDERED_DICT::Values PARLET_ORDERED_DICT::valuesView() const& { return Values(*this); }
PARLET_ORDERED_DICT_TEMPLATE
typename PARLET_ORDERED_DICT::Values PARLET_ORDERED_DICT::valuesView() && { return Values(std::move(*this)); }
PARLET_ORDERED_DICT_TEMPLATE
void PARLET_ORDERED_DICT::setValues(Values view) { *this = std::move(view.base_); }
PARLET_ORDERED_DICT_TEMPLATE
typename PARLET_ORDERED_DICT::Elements PARLET_ORDERED_DICT::elements() const& { return Elements(*this); }
PARLET_ORDERED_DICT_TEMPLATE
typename PARLET_ORDERED_DICT::Elements PARLET_ORDERED_DICT::elements() && { return Elements(std::move(*this)); }
PARLET_ORDERED_DICT_TEMPLATE
void PARLET_ORDERED_DICT::setElements(Elements view) { *this = std::move(view.base_); }

namespace detail {
// Moves a dictionary into a view for the duration of `body` and back afterwards, also on a throw,
// so the view holds the only copy of the storage.
template <class View, class Dict, class F>
decltype(auto) modifyThroughView(Dict& dict, F&& body) {
  struct Restore {
    Dict& dict;
    View view;
    ~Restore() { dict = std::move(view).base(); }
  } restore{dict, View(std::move(dict))};
  dict = Dict();
  return body(restore.view);
}
}  // namespace detail

PARLET_ORDERED_DICT_TEMPLATE
template <class F>
decltype(auto) PARLET_ORDERED_DICT::modifyValues(F&& body) {
  return detail::modifyThroughView<Values>(*this, std::forward<F>(body));
}
PARLET_ORDERED_DICT_TEMPLATE
template <class F>
decltype(auto) PARLET_ORDERED_DICT::modifyElements(F&& body) {
  return detail::modifyThroughView<Elements>(*this, std::forward<F>(body));
}

PARLET_ORDERED_DICT_TEMPLATE
template <class Pred>
PARLET_ORDERED_DICT PARLET_ORDERED_DICT::filter(Pred&& isIncluded) const {
  OrderedDictionary out;
  for (std::size_t i = 0; i < size(); ++i) {
    if (!isIncluded(keys_[i], values_[i])) continue;
    out.keys_.appendNew(keys_[i]);
    out.values_.push_back(values_[i]);
  }
  return out;
}

PARLET_ORDERED_DICT_TEMPLATE
template <class F>
auto PARLET_ORDERED_DICT::mapValues(F&& transform) const {
  using U = std::decay_t<std::invoke_result_t<F&, const V&>>;
  std::vector<U> mapped;
  mapped.reserve(size());
  for (const auto& v : values_) mapped.push_back(transform(v));
  // The key set, hash table included, is shared as it is.
  return OrderedDictionary<K, U, Hash, Eq>::uncheckedUniqueKeys(keys_, std::move(mapped));
}

PARLET_ORDERED_DICT_TEMPLATE
template <class F>
auto PARLET_ORDERED_DICT::compactMapValues(F&& transform) const {
  using U = typename std::decay_t<std::invoke_result_t<F&, const V&>>::value_type;
  std::vector<K> keys;
  std::vector<U> kept;
  for (std::size_t i = 0; i < size(); ++i) {
    auto r = transform(values_[i]);
    if (!r) continue;
    keys.push_back(keys_[i]);
    kept.push_back(std::move(*r));
  }
  return OrderedDictionary<K, U, Hash, Eq>::uncheckedUniqueKeys(std::move(keys), std::move(kept));
}

PARLET_ORDERED_DICT_TEMPLATE
void PARLET_ORDERED_DICT::swapAt(std::size_t i, std::size_t j) {
  keys_.swapAt(i, j);
  std::swap(values_[i], values_[j]);
}

PARLET_ORDERED_DICT_TEMPLATE
template <class Pred>
std::size_t PARLET_ORDERED_DICT::partition(Pred&& belongsInSecondPartition) {
  return keys_.partition(values_, [&](std::size_t i) {
    return static_cast<bool>(belongsInSecondPartition(keys_[i], values_[i]));
  });
}

PARLET_ORDERED_DICT_TEMPLATE
template <class Less>
void PARLET_ORDERED_DICT::sort(Less&& areInIncreasingOrder) {
  // Sorts an index list, so a throwing predicate leaves the dictionary unchanged.
  std::vector<std::size_t> order(size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return static_cast<bool>(areInIncreasingOrder(std::pair<const K&, const V&>(keys_[a], values_[a]),
                                                  std::pair<const K&, const V&>(keys_[b], values_[b])));
  });
  std::vector<K> keys;
  std::vector<V> values;
  keys.reserve(size());
  values.reserve(size());
  for (std::size_t i : order) {
    keys.push_back(keys_[i]);
    values.push_back(std::move(values_[i]));
  }
  keys_ = Keys::uncheckedUniqueElements(std::move(keys));
  values_ = std::move(values);
}

PARLET_ORDERED_DICT_TEMPLATE
void PARLET_ORDERED_DICT::sort() {
  sort([](const auto& a, const auto& b) { return a.first < b.first; });
}

PARLET_ORDERED_DICT_TEMPLATE
template <class Gen>
void PARLET_ORDERED_DICT::shuffle(Gen& generator) {
  if (size() < 2) return;
  std::vector<K> keys = keys_.elements();
  for (std::size_t i = 0, r = keys.size(); r > 1; ++i, --r) {
    std::size_t j = std::uniform_int_distribution<std::size_t>(0, r - 1)(generator);
    std::swap(keys[i], keys[i + j]);
    std::swap(values_[i], values_[i + j]);
  }
  keys_ = Keys::uncheckedUniqueElements(std::move(keys));
}

PARLET_ORDERED_DICT_TEMPLATE
void PARLET_ORDERED_DICT::shuffle() {
  std::random_device device;
  std::mt19937_64 generator(device());
  shuffle(generator);
}

PARLET_ORDERED_DICT_TEMPLATE
void PARLET_ORDERED_DICT::reverse() {
  keys_.reverse();
  std::reverse(values_.begin(), values_.end());
}

#undef PARLET_ORDERED_DICT_TEMPLATE
#undef PARLET_ORDERED_DICT

}  // namespace collections

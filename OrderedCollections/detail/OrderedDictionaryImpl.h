// Member definitions of OrderedDictionary: construction, keyed access, removal, merging, coding.
#pragma once

namespace collections {
namespace detail {
template <class T, class R>
std::vector<T> toVector(R&& range) {
  std::vector<T> out;
  if constexpr (std::ranges::sized_range<R>) out.reserve(std::ranges::size(range));
  for (auto&& x : range) out.emplace_back(std::forward<decltype(x)>(x));
  return out;
}
}  // namespace detail

#define PARLET_ORDERED_DICT_TEMPLATE template <class K, class V, class Hash, class Eq>
#define PARLET_ORDERED_DICT OrderedDictionary<K, V, Hash, Eq>

PARLET_ORDERED_DICT_TEMPLATE
template <std::ranges::input_range R>
PARLET_ORDERED_DICT PARLET_ORDERED_DICT::uniqueKeysWithValues(R&& pairs) {
  OrderedDictionary d;
  if constexpr (std::ranges::sized_range<R>) d.reserveCapacity(std::ranges::size(pairs));
  for (auto&& pair : pairs) {
    auto&& [key, value] = pair;
    auto [found, bucket] = d.keys_.findBucket(key);
    if (found) throw std::invalid_argument("Duplicate key in OrderedDictionary construction");
    d.keys_.appendNew(K(key), bucket);
    d.values_.push_back(V(value));
  }
  return d;
}

PARLET_ORDERED_DICT_TEMPLATE
template <std::ranges::input_range R>
PARLET_ORDERED_DICT PARLET_ORDERED_DICT::uncheckedUniqueKeysWithValues(R&& pairs) {
  OrderedDictionary d;
  if constexpr (std::ranges::sized_range<R>) d.reserveCapacity(std::ranges::size(pairs));
  for (auto&& pair : pairs) {
    auto&& [key, value] = pair;
    d.keys_.appendNew(K(key));
    d.values_.push_back(V(value));
  }
  return d;
}

PARLET_ORDERED_DICT_TEMPLATE
template <std::ranges::input_range KR, std::ranges::input_range VR>
PARLET_ORDERED_DICT PARLET_ORDERED_DICT::uniqueKeys(KR&& keys, VR&& values) {
  std::vector<K> keyArray = detail::toVector<K>(std::forward<KR>(keys));
  std::vector<V> valueArray = detail::toVector<V>(std::forward<VR>(values));
  if (keyArray.size() != valueArray.size()) throw std::invalid_argument("Key and value counts differ");
  Keys keySet(std::move(keyArray));
  if (keySet.size() != valueArray.size()) throw std::invalid_argument("Duplicate key in OrderedDictionary construction");
  return OrderedDictionary(std::move(keySet), std::move(valueArray));
}

PARLET_ORDERED_DICT_TEMPLATE
template <std::ranges::input_range KR, std::ranges::input_range VR>
PARLET_ORDERED_DICT PARLET_ORDERED_DICT::uncheckedUniqueKeys(KR&& keys, VR&& values) {
  std::vector<K> keyArray = detail::toVector<K>(std::forward<KR>(keys));
  std::vector<V> valueArray = detail::toVector<V>(std::forward<VR>(values));
  if (keyArray.size() != valueArray.size()) throw std::invalid_argument("Key and value counts differ");
  return OrderedDictionary(Keys::uncheckedUniqueElements(std::move(keyArray)), std::move(valueArray));
}

PARLET_ORDERED_DICT_TEMPLATE
PARLET_ORDERED_DICT PARLET_ORDERED_DICT::uncheckedUniqueKeys(Keys keys, std::vector<V> values) {
  if (keys.size() != values.size()) throw std::invalid_argument("Key and value counts differ");
  return OrderedDictionary(std::move(keys), std::move(values));
}

PARLET_ORDERED_DICT_TEMPLATE
template <std::ranges::input_range R, class Combine>
PARLET_ORDERED_DICT PARLET_ORDERED_DICT::uniquingKeysWith(R&& pairs, Combine&& combine) {
  OrderedDictionary d;
  d.merge(std::forward<R>(pairs), combine);
  return d;
}

PARLET_ORDERED_DICT_TEMPLATE
template <std::ranges::input_range R, class KeyOf>
PARLET_ORDERED_DICT PARLET_ORDERED_DICT::grouping(R&& elements, KeyOf&& keyForValue) {
  OrderedDictionary d;
  for (auto&& element : elements) {
    K key = keyForValue(element);
    d.updateValue(key, V{}, [&](V& group) { group.push_back(element); });
  }
  return d;
}

PARLET_ORDERED_DICT_TEMPLATE
PARLET_ORDERED_DICT PARLET_ORDERED_DICT::minimumCapacity(std::size_t capacity, bool persistent) {
  OrderedDictionary d;
  d.keys_.reserveCapacity(capacity, persistent);
  d.values_.reserve(capacity);
  return d;
}

PARLET_ORDERED_DICT_TEMPLATE
const V* PARLET_ORDERED_DICT::get(const K& key) const {
  auto offset = keys_.find(key);
  return offset ? &values_[*offset] : nullptr;
}

PARLET_ORDERED_DICT_TEMPLATE
V* PARLET_ORDERED_DICT::get(const K& key) {
  auto offset = keys_.find(key);
  return offset ? &values_[*offset] : nullptr;
}

PARLET_ORDERED_DICT_TEMPLATE
V PARLET_ORDERED_DICT::get(const K& key, const V& defaultValue) const {
  const V* v = get(key);
  return v ? *v : defaultValue;
}

PARLET_ORDERED_DICT_TEMPLATE
void PARLET_ORDERED_DICT::set(const K& key, std::optional<V> value) {
  auto [found, bucket] = keys_.findBucket(key);
  if (found) {
    if (value) {
      values_[*found] = std::move(*value);
    } else {
      keys_.removeExistingMember(*found, bucket);
      values_.erase(values_.begin() + *found);
    }
  } else if (value) {
    keys_.appendNew(key, bucket);
    values_.push_back(std::move(*value));
  }
}

PARLET_ORDERED_DICT_TEMPLATE
template <class F>
decltype(auto) PARLET_ORDERED_DICT::modify(const K& key, F&& body) {
  auto [found, bucket] = keys_.findBucket(key);
  std::optional<V> slot;
  if (found) slot.emplace(std::move(values_[*found]));
  // Whatever the body leaves (also when it throws) decides the outcome.
  struct Finish {
    OrderedDictionary* d;
    const K& key;
    std::optional<std::size_t> found;
    std::size_t bucket;
    std::optional<V>& slot;
    ~Finish() {
      if (found && slot) {
        d->values_[*found] = std::move(*slot);
      } else if (found) {
        d->keys_.removeExistingMember(*found, bucket);
        d->values_.erase(d->values_.begin() + *found);
      } else if (slot) {
        d->keys_.appendNew(key, bucket);
        d->values_.push_back(std::move(*slot));
      }
    }
  } finish{this, key, found, bucket, slot};
  return body(slot);
}

PARLET_ORDERED_DICT_TEMPLATE
std::optional<V> PARLET_ORDERED_DICT::updateValue(V value, const K& key) {
  auto [found, bucket] = keys_.findBucket(key);
  if (found) return std::exchange(values_[*found], std::move(value));
  keys_.appendNew(key, bucket);
  values_.push_back(std::move(value));
  return std::nullopt;
}

PARLET_ORDERED_DICT_TEMPLATE
typename PARLET_ORDERED_DICT::UpdateResult PARLET_ORDERED_DICT::updateValue(V value, const K& key,
                                                                            std::size_t insertingAt) {
  auto [found, bucket] = keys_.findBucket(key);
  if (found) return {std::exchange(values_[*found], std::move(value)), *found};
  if (insertingAt > values_.size()) throw std::out_of_range("OrderedDictionary insertion offset out of range");
  keys_.insertNew(key, insertingAt, bucket);
  values_.insert(values_.begin() + insertingAt, std::move(value));
  return {std::nullopt, insertingAt};
}

PARLET_ORDERED_DICT_TEMPLATE
template <class F>
  requires std::invocable<F&, V&>
decltype(auto) PARLET_ORDERED_DICT::updateValue(const K& key, V defaultValue, F&& body) {
  auto [found, bucket] = keys_.findBucket(key);
  std::size_t offset;
  if (found) {
    offset = *found;
  } else {
    keys_.appendNew(key, bucket);
    values_.push_back(std::move(defaultValue));
    offset = values_.size() - 1;
  }
  return body(values_[offset]);
}

PARLET_ORDERED_DICT_TEMPLATE
template <class F>
  requires std::invocable<F&, V&>
decltype(auto) PARLET_ORDERED_DICT::updateValue(const K& key, V defaultValue, std::size_t insertingAt, F&& body) {
  auto [found, bucket] = keys_.findBucket(key);
  std::size_t offset;
  if (found) {
    offset = *found;
  } else {
    if (insertingAt > values_.size()) throw std::out_of_range("OrderedDictionary insertion offset out of range");
    keys_.insertNew(key, insertingAt, bucket);
    values_.insert(values_.begin() + insertingAt, std::move(defaultValue));
    offset = insertingAt;
  }
  return body(values_[offset]);
}

PARLET_ORDERED_DICT_TEMPLATE
std::optional<V> PARLET_ORDERED_DICT::removeValue(const K& key) {
  auto [found, bucket] = keys_.findBucket(key);
  if (!found) return std::nullopt;
  keys_.removeExistingMember(*found, bucket);
  V removed = std::move(values_[*found]);
  values_.erase(values_.begin() + *found);
  return removed;
}

PARLET_ORDERED_DICT_TEMPLATE
std::pair<K, V> PARLET_ORDERED_DICT::removeAt(std::size_t offset) {
  checkOffset(offset);
  K key = keys_.removeAt(offset);
  V value = std::move(values_[offset]);
  values_.erase(values_.begin() + offset);
  return {std::move(key), std::move(value)};
}

PARLET_ORDERED_DICT_TEMPLATE
std::pair<K, V> PARLET_ORDERED_DICT::removeFirst() {
  if (empty()) throw std::out_of_range("Cannot remove the first pair of an empty OrderedDictionary");
  return removeAt(0);
}

PARLET_ORDERED_DICT_TEMPLATE
std::pair<K, V> PARLET_ORDERED_DICT::removeLast() {
  if (empty()) throw std::out_of_range("Cannot remove the last pair of an empty OrderedDictionary");
  K key = keys_.removeLast();
  V value = std::move(values_.back());
  values_.pop_back();
  return {std::move(key), std::move(value)};
}

PARLET_ORDERED_DICT_TEMPLATE
void PARLET_ORDERED_DICT::removeFirst(std::size_t k) {
  if (k > size()) throw std::out_of_range("Cannot remove more pairs than an OrderedDictionary holds");
  removeSubrange(0, k);
}

PARLET_ORDERED_DICT_TEMPLATE
void PARLET_ORDERED_DICT::removeLast(std::size_t k) {
  if (k > size()) throw std::out_of_range("Cannot remove more pairs than an OrderedDictionary holds");
  removeSubrange(size() - k, size());
}

PARLET_ORDERED_DICT_TEMPLATE
void PARLET_ORDERED_DICT::removeSubrange(std::size_t lo, std::size_t hi) {
  keys_.removeSubrange(lo, hi);
  values_.erase(values_.begin() + lo, values_.begin() + hi);
}

PARLET_ORDERED_DICT_TEMPLATE
void PARLET_ORDERED_DICT::removeAll(bool keepingCapacity) {
  keys_.removeAll(keepingCapacity);
  if (keepingCapacity) values_.clear();
  else std::vector<V>().swap(values_);
}

PARLET_ORDERED_DICT_TEMPLATE
template <class Pred>
  requires std::predicate<Pred&, const K&, const V&>
void PARLET_ORDERED_DICT::removeAll(Pred&& shouldBeRemoved) {
  std::size_t p = keys_.halfStablePartition(
      values_, [&](std::size_t i) { return static_cast<bool>(shouldBeRemoved(keys_[i], values_[i])); });
  removeSubrange(p, size());
}

PARLET_ORDERED_DICT_TEMPLATE
template <std::ranges::input_range R, class Combine>
void PARLET_ORDERED_DICT::merge(R&& pairs, Combine&& combine) {
  for (auto&& pair : pairs) {
    auto&& [key, value] = pair;
    auto [found, bucket] = keys_.findBucket(key);
    if (found) {
      values_[*found] = combine(values_[*found], value);
    } else {
      keys_.appendNew(K(key), bucket);
      values_.push_back(V(value));
    }
  }
}

PARLET_ORDERED_DICT_TEMPLATE
template <std::ranges::input_range R, class Combine>
PARLET_ORDERED_DICT PARLET_ORDERED_DICT::merging(R&& pairs, Combine&& combine) const {
  OrderedDictionary copy = *this;
  copy.merge(std::forward<R>(pairs), combine);
  return copy;
}

PARLET_ORDERED_DICT_TEMPLATE
template <class VHash>
std::size_t PARLET_ORDERED_DICT::hashValue(std::uint64_t seed, const VHash& valueHash) const {
  detail::Hasher h(seed);
  h.combine(size());
  Hash keyHash{};
  for (std::size_t i = 0; i < size(); ++i) {
    h.combine(keyHash(keys_[i]));
    h.combine(valueHash(values_[i]));
  }
  return h.finalize();
}

PARLET_ORDERED_DICT_TEMPLATE
std::string PARLET_ORDERED_DICT::description() const {
  if (empty()) return "[:]";
  std::string out = "[";
  for (std::size_t i = 0; i < size(); ++i) {
    if (i > 0) out += ", ";
    out += debugText(keys_[i]);
    out += ": ";
    out += debugText(values_[i]);
  }
  return out + "]";
}

PARLET_ORDERED_DICT_TEMPLATE
json::Value PARLET_ORDERED_DICT::toJsonValue() const {
  json::Array out;
  out.reserve(2 * size());
  for (std::size_t i = 0; i < size(); ++i) {
    out.push_back(encodeElement(keys_[i]));
    out.push_back(encodeElement(values_[i]));
  }
  return json::Value(std::move(out));
}

PARLET_ORDERED_DICT_TEMPLATE
PARLET_ORDERED_DICT PARLET_ORDERED_DICT::fromJsonValue(const json::Value& value) {
  const json::Array& list = value.asArray();
  OrderedDictionary d;
  for (std::size_t i = 0; i < list.size(); i += 2) {
    K key = decodeElement<K>(list[i]);
    auto [found, bucket] = d.keys_.findBucket(key);
    // The duplicate test comes first: a repeated key as the last element reports the duplicate.
    if (found)
      throw json::DecodingError(json::DecodingError::Kind::dataCorrupted,
                                "Duplicate key at offset " + std::to_string(i));
    if (i + 1 == list.size())
      throw json::DecodingError(json::DecodingError::Kind::dataCorrupted,
                                "Unkeyed container reached end before value in key-value pair");
    V v = decodeElement<V>(list[i + 1]);
    d.keys_.appendNew(std::move(key), bucket);
    d.values_.push_back(std::move(v));
  }
  return d;
}

#undef PARLET_ORDERED_DICT_TEMPLATE
#undef PARLET_ORDERED_DICT

}  // namespace collections

#include "OrderedCollections/detail/OrderedDictionaryViews.h"

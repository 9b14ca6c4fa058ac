// Member definitions of OrderedSet: storage, lookup, insertion, removal, capacity, coding.
#pragma once

#include <random>

#include "OrderedCollections/detail/Partition.h"

namespace collections {

#define PARLET_ORDERED_SET_TEMPLATE template <class T, class Hash, class Eq>
#define PARLET_ORDERED_SET OrderedSet<T, Hash, Eq>

PARLET_ORDERED_SET_TEMPLATE
std::shared_ptr<detail::HashTable> PARLET_ORDERED_SET::createTable(const std::vector<T>& members, int scale,
                                                                   int reservedScale, const Hash& hash) {
  int s = std::max({scale, detail::HashTable::scaleForCapacity(members.size()), reservedScale});
  if (s < detail::HashTable::minimumScale) return nullptr;
  auto table = std::make_shared<detail::HashTable>(s, reservedScale);
  table->fillUnchecked(members.size(), [&](std::size_t o) { return static_cast<std::size_t>(hash(members[o])); });
  return table;
}

PARLET_ORDERED_SET_TEMPLATE
void PARLET_ORDERED_SET::initFromRandomAccess(std::vector<T>&& members) {
  const std::size_t n = members.size();
  int s = detail::HashTable::scaleForCapacity(n);
  std::size_t end = n;
  std::shared_ptr<detail::HashTable> table;
  if (s >= detail::HashTable::minimumScale) {
    table = std::make_shared<detail::HashTable>(s, 0);
    end = table->fillUntilFirstDuplicate(
        n, [&](std::size_t o) { return static_cast<std::size_t>(hash_(members[o])); },
        [&](std::size_t a, std::size_t b) { return eq_(members[a], members[b]); });
  } else {
    for (std::size_t i = 1; i < n && end == n; ++i)
      for (std::size_t j = 0; j < i; ++j)
        if (eq_(members[j], members[i])) {
          end = i;
          break;
        }
  }
  if (end == n) {
    elements_ = std::move(members);
    table_ = std::move(table);
    return;
  }
  std::vector<T> rest(std::make_move_iterator(members.begin() + end), std::make_move_iterator(members.end()));
  members.erase(members.begin() + end, members.end());
  elements_ = std::move(members);
  table_ = std::move(table);
  for (auto& v : rest) append(v);
}

PARLET_ORDERED_SET_TEMPLATE
PARLET_ORDERED_SET PARLET_ORDERED_SET::uncheckedUniqueElements(std::vector<T> members) {
  auto table = createTable(members, 0, 0);
  return OrderedSet(std::move(members), std::move(table));
}

PARLET_ORDERED_SET_TEMPLATE
PARLET_ORDERED_SET PARLET_ORDERED_SET::minimumCapacity(std::size_t capacity, bool persistent) {
  OrderedSet s;
  s.reserveCapacity(capacity, persistent);
  return s;
}

PARLET_ORDERED_SET_TEMPLATE
PARLET_ORDERED_SET PARLET_ORDERED_SET::withInternals(int scale, std::size_t bias, std::vector<T> contents) {
  int c = detail::HashTable::scaleForCapacity(contents.size());
  if (scale < 0 || scale > detail::HashTable::maximumScale || scale < c)
    throw std::invalid_argument("Invalid hash table scale");
  if (scale < detail::HashTable::minimumScale) {
    // A set without a table reports scale 0 and bias 0.
    if (scale != 0 || bias != 0) throw std::invalid_argument("Invalid hash table scale or bias");
  } else if (bias >= (std::size_t{1} << scale) - 1) {
    throw std::invalid_argument("Invalid hash table bias");
  }
  OrderedSet probe;
  std::shared_ptr<detail::HashTable> table;
  if (scale >= detail::HashTable::minimumScale) {
    table = std::make_shared<detail::HashTable>(scale, 0);
    table->setBias(bias);
    std::size_t end = table->fillUntilFirstDuplicate(
        contents.size(), [&](std::size_t o) { return static_cast<std::size_t>(probe.hash_(contents[o])); },
        [&](std::size_t a, std::size_t b) { return probe.eq_(contents[a], contents[b]); });
    if (end != contents.size()) throw std::invalid_argument("Duplicate contents");
  } else {
    OrderedSet check(contents);
    if (check.size() != contents.size()) throw std::invalid_argument("Duplicate contents");
  }
  return OrderedSet(std::move(contents), std::move(table));
}

PARLET_ORDERED_SET_TEMPLATE
std::pair<std::optional<std::size_t>, std::size_t> PARLET_ORDERED_SET::findBucket(const T& value) const {
  if (!table_) {
    for (std::size_t i = 0; i < elements_.size(); ++i)
      if (eq_(elements_[i], value)) return {i, 0};
    return {std::nullopt, 0};
  }
  return table_->find(rawHash(value), [&](std::size_t o) { return eq_(elements_[o], value); });
}

PARLET_ORDERED_SET_TEMPLATE
std::size_t PARLET_ORDERED_SET::bucketFor(std::size_t offset) const {
  return table_->bucketHolding(offset, rawHash(elements_[offset]));
}

PARLET_ORDERED_SET_TEMPLATE
void PARLET_ORDERED_SET::appendNew(T value, std::size_t bucket) {
  elements_.push_back(std::move(value));
  if (elements_.size() > capacityNow()) {
    regenerateHashTable();
  } else if (table_) {
    ensureUnique();
    table_->set(bucket, elements_.size() - 1);
  }
}

PARLET_ORDERED_SET_TEMPLATE
void PARLET_ORDERED_SET::appendNew(T value) {
  std::size_t bucket = table_ ? table_->firstEmptyBucket(rawHash(value)) : 0;
  appendNew(std::move(value), bucket);
}

PARLET_ORDERED_SET_TEMPLATE
void PARLET_ORDERED_SET::insertNew(T value, std::size_t at, std::size_t bucket) {
  if (at > elements_.size()) throw std::out_of_range("OrderedSet insertion offset out of range");
  if (elements_.size() < capacityNow()) {
    if (table_) {
      ensureUnique();
      table_->adjustForInsertion(at, elements_.size(), hashAt());
      table_->set(bucket, at);
    }
    elements_.insert(elements_.begin() + at, std::move(value));
  } else {
    elements_.insert(elements_.begin() + at, std::move(value));
    regenerateHashTable();
  }
}

PARLET_ORDERED_SET_TEMPLATE
T PARLET_ORDERED_SET::removeExistingMember(std::size_t offset, std::size_t bucket) {
  T removed = std::move(elements_[offset]);
  if (elements_.size() - 1 < minimumCapacityNow()) {
    elements_.erase(elements_.begin() + offset);
    regenerateHashTable();
    return removed;
  }
  if (table_) {
    ensureUnique();
    // The moved-from slot is never hashed: its bucket goes first, and renumbering skips it.
    table_->erase(bucket, hashAt());
    table_->adjustForRemoval(offset, offset + 1, elements_.size(), hashAt());
  }
  elements_.erase(elements_.begin() + offset);
  return removed;
}

PARLET_ORDERED_SET_TEMPLATE
typename PARLET_ORDERED_SET::InsertResult PARLET_ORDERED_SET::append(const T& value) {
  auto [found, bucket] = findBucket(value);
  if (found) return {false, *found};
  appendNew(value, bucket);
  return {true, elements_.size() - 1};
}

PARLET_ORDERED_SET_TEMPLATE
typename PARLET_ORDERED_SET::InsertResult PARLET_ORDERED_SET::insert(const T& value, std::size_t at) {
  if (at > elements_.size()) throw std::out_of_range("OrderedSet insertion offset out of range");
  auto [found, bucket] = findBucket(value);
  if (found) return {false, *found};
  insertNew(value, at, bucket);
  return {true, at};
}

PARLET_ORDERED_SET_TEMPLATE
T PARLET_ORDERED_SET::update(const T& value, std::size_t at) {
  checkedOffset(at);
  if (!eq_(elements_[at], value)) throw std::invalid_argument("OrderedSet update with a value not equal to the member");
  T old = std::exchange(elements_[at], value);
  return old;
}

PARLET_ORDERED_SET_TEMPLATE
std::optional<T> PARLET_ORDERED_SET::updateOrAppend(const T& value) {
  auto [found, bucket] = findBucket(value);
  if (!found) {
    appendNew(value, bucket);
    return std::nullopt;
  }
  return std::exchange(elements_[*found], value);
}

PARLET_ORDERED_SET_TEMPLATE
typename PARLET_ORDERED_SET::UpdateResult PARLET_ORDERED_SET::updateOrInsert(const T& value, std::size_t at) {
  if (at > elements_.size()) throw std::out_of_range("OrderedSet insertion offset out of range");
  auto [found, bucket] = findBucket(value);
  if (!found) {
    insertNew(value, at, bucket);
    return {std::nullopt, at};
  }
  return {std::exchange(elements_[*found], value), *found};
}

PARLET_ORDERED_SET_TEMPLATE
std::optional<T> PARLET_ORDERED_SET::remove(const T& value) {
  auto [found, bucket] = findBucket(value);
  if (!found) return std::nullopt;
  return removeExistingMember(*found, bucket);
}

PARLET_ORDERED_SET_TEMPLATE
T PARLET_ORDERED_SET::removeAt(std::size_t offset) {
  checkedOffset(offset);
  std::size_t bucket = table_ ? bucketFor(offset) : 0;
  return removeExistingMember(offset, bucket);
}

PARLET_ORDERED_SET_TEMPLATE
T PARLET_ORDERED_SET::removeFirst() {
  if (elements_.empty()) throw std::out_of_range("Cannot remove the first member of an empty OrderedSet");
  return removeAt(0);
}

PARLET_ORDERED_SET_TEMPLATE
T PARLET_ORDERED_SET::removeLast() {
  if (elements_.empty()) throw std::out_of_range("Cannot remove the last member of an empty OrderedSet");
  if (table_ && elements_.size() - 1 >= minimumCapacityNow()) {
    ensureUnique();
    table_->erase(bucketFor(elements_.size() - 1), hashAt());
  }
  T removed = std::move(elements_.back());
  elements_.pop_back();
  if (table_ && elements_.size() < minimumCapacityNow()) regenerateHashTable();
  return removed;
}

PARLET_ORDERED_SET_TEMPLATE
void PARLET_ORDERED_SET::removeFirst(std::size_t k) {
  if (k > elements_.size()) throw std::out_of_range("Cannot remove more members than an OrderedSet holds");
  removeSubrange(0, k);
}

PARLET_ORDERED_SET_TEMPLATE
void PARLET_ORDERED_SET::removeLast(std::size_t k) {
  if (k > elements_.size()) throw std::out_of_range("Cannot remove more members than an OrderedSet holds");
  removeSubrange(elements_.size() - k, elements_.size());
}

PARLET_ORDERED_SET_TEMPLATE
void PARLET_ORDERED_SET::removeSubrange(std::size_t lo, std::size_t hi) {
  if (lo > hi || hi > elements_.size()) throw std::out_of_range("OrderedSet range out of bounds");
  if (lo == hi) return;
  auto first = elements_.begin() + lo, last = elements_.begin() + hi;
  if (!table_) {
    elements_.erase(first, last);
    return;
  }
  std::size_t n = elements_.size() - (hi - lo);
  if (elements_.size() / 2 >= n || n < minimumCapacityNow()) {
    // Removing half the set or more: rebuild instead of deleting entry by entry.
    elements_.erase(first, last);
    regenerateHashTable();
    return;
  }
  ensureUnique();
  for (std::size_t i = lo; i < hi; ++i) table_->erase(bucketFor(i), hashAt());
  table_->adjustForRemoval(lo, hi, elements_.size(), hashAt());
  elements_.erase(elements_.begin() + lo, elements_.begin() + hi);
}

PARLET_ORDERED_SET_TEMPLATE
void PARLET_ORDERED_SET::removeAll(bool keepingCapacity) {
  if (!keepingCapacity) {
    std::vector<T>().swap(elements_);
    table_.reset();
    return;
  }
  elements_.clear();
  if (table_) {
    ensureUnique();
    table_->clear();
  }
}

PARLET_ORDERED_SET_TEMPLATE
template <class Pred>
  requires std::predicate<Pred&, const T&>
void PARLET_ORDERED_SET::removeAll(Pred&& shouldBeRemoved) {
  // Kept members slide to the front in order; the table is rebuilt once, also on a throw.
  struct Rebuild {
    OrderedSet* set;
    ~Rebuild() { set->regenerateHashTable(); }
  } rebuild{this};
  std::size_t kept = detail::halfStablePartition(
      elements_.size(), [&](std::size_t i) { return static_cast<bool>(shouldBeRemoved(elements_[i])); },
      [&](std::size_t i, std::size_t j) { std::swap(elements_[i], elements_[j]); });
  elements_.erase(elements_.begin() + kept, elements_.end());
}

PARLET_ORDERED_SET_TEMPLATE
void PARLET_ORDERED_SET::regenerateHashTable() {
  int r = reservedScaleNow();
  if (elements_.size() > detail::HashTable::maximumUnhashedCount || r != 0)
    regenerateHashTable(detail::HashTable::scaleForCapacity(elements_.size()), r);
  else
    table_.reset();
}

PARLET_ORDERED_SET_TEMPLATE
void PARLET_ORDERED_SET::regenerateHashTable(int scale, int reservedScale) {
  table_ = createTable(elements_, scale, reservedScale, hash_);
}

PARLET_ORDERED_SET_TEMPLATE
void PARLET_ORDERED_SET::regenerateExistingHashTable() {
  if (!table_) return;
  ensureUnique();
  table_->clear();
  table_->fillUnchecked(elements_.size(), hashAt());
}

PARLET_ORDERED_SET_TEMPLATE
void PARLET_ORDERED_SET::reserveCapacity(std::size_t n, bool persistent) {
  elements_.reserve(n);
  int c = scaleNow();
  int w = detail::HashTable::scaleForCapacity(n);
  int r = persistent ? w : reservedScaleNow();
  if (c < w) {
    regenerateHashTable(w, r);
    return;
  }
  int t = std::max({w, r, detail::HashTable::scaleForCapacity(elements_.size())});
  if (t < c) {
    regenerateHashTable(t, r);
  } else if (table_ && table_->reservedScale() != r) {
    ensureUnique();
    table_->setReservedScale(r);
  }
}

PARLET_ORDERED_SET_TEMPLATE
typename PARLET_ORDERED_SET::Internals PARLET_ORDERED_SET::internals() const {
  Internals out{capacityNow(), minimumCapacityNow(), scaleNow(), reservedScaleNow(), table_ ? table_->bias() : 0, {}, table_ != nullptr};
  if (table_) out.hashTableContents = table_->debugContents();
  return out;
}

PARLET_ORDERED_SET_TEMPLATE
std::size_t PARLET_ORDERED_SET::hashValue(std::uint64_t seed) const {
  detail::Hasher h(seed);
  h.combine(elements_.size());
  for (const auto& v : elements_) h.combine(hash_(v));
  return h.finalize();
}

PARLET_ORDERED_SET_TEMPLATE
PARLET_ORDERED_SET PARLET_ORDERED_SET::fromJsonValue(const json::Value& value) {
  std::vector<T> members = decodeElement<std::vector<T>>(value);
  OrderedSet s;
  for (std::size_t i = 0; i < members.size(); ++i) {
    auto [found, bucket] = s.findBucket(members[i]);
    if (found)
      throw json::DecodingError(json::DecodingError::Kind::dataCorrupted,
                                "Decoded elements aren't unique (first duplicate at offset " + std::to_string(i) + ")");
    s.appendNew(std::move(members[i]), bucket);
  }
  return s;
}

PARLET_ORDERED_SET_TEMPLATE
void PARLET_ORDERED_SET::swapBucketValues(std::size_t i, std::size_t j) {
  // Members already swapped: the member now at i still sits in the bucket holding j, and back.
  std::size_t bi = table_->bucketHolding(j, rawHash(elements_[i]));
  std::size_t bj = table_->bucketHolding(i, rawHash(elements_[j]));
  table_->set(bi, i);
  table_->set(bj, j);
}

PARLET_ORDERED_SET_TEMPLATE
void PARLET_ORDERED_SET::swapAt(std::size_t i, std::size_t j) {
  checkedOffset(i);
  checkedOffset(j);
  if (i == j) return;
  std::swap(elements_[i], elements_[j]);
  if (table_) {
    ensureUnique();
    swapBucketValues(i, j);
  }
}

PARLET_ORDERED_SET_TEMPLATE
template <class V, class Pred>
std::size_t PARLET_ORDERED_SET::halfStablePartition(std::vector<V>& values, Pred&& belongsInSecond) {
  if (values.size() != elements_.size()) throw std::invalid_argument("Values and members differ in count");
  ensureUnique();
  return detail::halfStablePartition(elements_.size(), belongsInSecond, [&](std::size_t i, std::size_t j) {
    std::swap(elements_[i], elements_[j]);
    std::swap(values[i], values[j]);
    if (table_) swapBucketValues(i, j);
  });
}

PARLET_ORDERED_SET_TEMPLATE
template <class V, class Pred>
std::size_t PARLET_ORDERED_SET::partition(std::vector<V>& values, Pred&& belongsInSecond) {
  if (values.size() != elements_.size()) throw std::invalid_argument("Values and members differ in count");
  ensureUnique();
  return detail::twoEndedPartition(elements_.size(), belongsInSecond, [&](std::size_t i, std::size_t j) {
    std::swap(elements_[i], elements_[j]);
    std::swap(values[i], values[j]);
    if (table_) swapBucketValues(i, j);
  });
}

PARLET_ORDERED_SET_TEMPLATE
template <class Pred>
std::size_t PARLET_ORDERED_SET::partition(Pred&& belongsInSecondPartition) {
  ensureUnique();
  return detail::twoEndedPartition(
      elements_.size(), [&](std::size_t i) { return static_cast<bool>(belongsInSecondPartition(elements_[i])); },
      [&](std::size_t i, std::size_t j) {
        std::swap(elements_[i], elements_[j]);
        if (table_) swapBucketValues(i, j);
      });
}

PARLET_ORDERED_SET_TEMPLATE
template <class Less>
void PARLET_ORDERED_SET::sort(Less&& areInIncreasingOrder) {
  // Sorted into a copy so that a throwing comparator leaves the set as it was.
  std::vector<T> sorted = elements_;
  std::sort(sorted.begin(), sorted.end(), areInIncreasingOrder);
  elements_ = std::move(sorted);
  regenerateExistingHashTable();
}

PARLET_ORDERED_SET_TEMPLATE
template <class Gen>
void PARLET_ORDERED_SET::shuffle(Gen& generator) {
  std::shuffle(elements_.begin(), elements_.end(), generator);
  regenerateExistingHashTable();
}

PARLET_ORDERED_SET_TEMPLATE
void PARLET_ORDERED_SET::shuffle() {
  std::random_device device;
  std::mt19937_64 generator(device());
  shuffle(generator);
}

PARLET_ORDERED_SET_TEMPLATE
void PARLET_ORDERED_SET::reverse() {
  std::reverse(elements_.begin(), elements_.end());
  regenerateHashTable();
}

PARLET_ORDERED_SET_TEMPLATE
CollectionDifference<T> PARLET_ORDERED_SET::difference(const OrderedSet& old) const {
  using Change = typename CollectionDifference<T>::Change;
  CollectionDifference<T> out;
  std::size_t x = 0, y = 0;
  auto remove = [&] {
    out.changes.push_back({Change::Kind::remove, x, old[x], find(old[x])});
    ++x;
  };
  auto insert = [&] {
    out.changes.push_back({Change::Kind::insert, y, elements_[y], old.find(elements_[y])});
    ++y;
  };
  while (x < old.size() || y < size()) {
    if (y == size()) { remove(); continue; }
    if (x == old.size()) { insert(); continue; }
    auto oldInNew = find(old[x]);
    if (!oldInNew || *oldInNew < y) { remove(); continue; }
    auto newInOld = old.find(elements_[y]);
    if (!newInOld || *newInOld < x) { insert(); continue; }
    if (*newInOld == x) { ++x; ++y; continue; }
    // Ties favour removal.
    if (*newInOld - x >= *oldInNew - y) remove();
    else insert();
  }
  return out;
}

PARLET_ORDERED_SET_TEMPLATE
std::optional<PARLET_ORDERED_SET> PARLET_ORDERED_SET::applying(const CollectionDifference<T>& difference) const {
  auto array = difference.applying(elements_);
  if (!array) return std::nullopt;
  OrderedSet out(*array);
  if (out.size() != array->size()) return std::nullopt;
  return out;
}

#undef PARLET_ORDERED_SET_TEMPLATE
#undef PARLET_ORDERED_SET

}  // namespace collections

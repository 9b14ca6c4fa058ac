// The offset index behind OrderedSet (and so OrderedDictionary's keys): an open-addressing table
// with linear probing and back-shift deletion whose buckets hold element offsets, never elements.
// Buckets are unpacked 64-bit words; 0 is empty and offset v is stored as ((v - bias) mod m) ^ m,
// m = 2^scale - 1, so moving the bias renumbers every offset at once. Element-aware operations take
// the element's unseeded hash (or a function from offset to it) and an offset matcher.
// Not thread-safe for writers; the owner copies a shared table before writing it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace collections::detail {

// Broken internal invariant (a table that disagrees with its element array).
[[noreturn]] void internalInconsistency(const char* what);

class HashTable {
 public:
  static constexpr int minimumScale = 5;
  static constexpr int maximumScale = 56;
  static constexpr std::size_t maximumUnhashedCount = 15;

  // 15 below minimumScale, else 3/4 of the buckets.
  static std::size_t maximumCapacity(int scale);
  // 0 below minimumScale, else 1/4 of the buckets.
  static std::size_t minimumCapacity(int scale);
  // 0 for capacity <= 15 (no table); else the smallest scale whose table keeps `capacity` at 3/4.
  static int scaleForCapacity(std::size_t capacity);

  // A new, empty table. A scale outside minimumScale...maximumScale throws std::length_error before
  // anything is allocated. Each table gets its own seed.
  HashTable(int scale, int reservedScale);
  // copy(): header (seed and bias included) and buckets verbatim.
  HashTable(const HashTable& other);
  HashTable& operator=(const HashTable&) = delete;

  int scale() const { return scale_; }
  int reservedScale() const { return reservedScale_; }
  void setReservedScale(int r) { reservedScale_ = r; }
  std::size_t bias() const { return bias_; }
  void setBias(std::size_t bias) { bias_ = bias % mask_; }
  std::uint64_t seed() const { return seed_; }
  std::size_t bucketCount() const { return mask_ + 1; }
  std::size_t bucketMask() const { return mask_; }
  std::size_t capacity() const { return maximumCapacity(scale_); }
  // 0 at the reserved scale: such a table never asks to shrink.
  std::size_t minimumCapacity() const { return scale_ == reservedScale_ ? 0 : minimumCapacity(scale_); }

  bool isOccupied(std::size_t bucket) const { return buckets_[bucket] != 0; }
  std::optional<std::size_t> operator[](std::size_t bucket) const {
    std::uint64_t c = buckets_[bucket];
    if (c == 0) return std::nullopt;
    return decode(c);
  }
  void set(std::size_t bucket, std::optional<std::size_t> offset) {
    buckets_[bucket] = offset ? encode(*offset) : 0;
  }
  std::size_t next(std::size_t bucket) const { return (bucket + 1) & mask_; }
  std::size_t previous(std::size_t bucket) const { return (bucket - 1) & mask_; }

  std::size_t idealBucket(std::size_t rawHash) const { return seededHash(rawHash) & mask_; }
  std::size_t seededHash(std::size_t rawHash) const;

  // Probes from the ideal bucket: (offset, its bucket) when `matches(offset)` holds for an occupied
  // bucket, else (nullopt, the first empty bucket: where the element goes).
  template <class Matches>
  std::pair<std::optional<std::size_t>, std::size_t> find(std::size_t rawHash, Matches&& matches) const {
    std::size_t b = idealBucket(rawHash);
    for (std::size_t steps = 0; steps <= mask_; ++steps, b = next(b)) {
      std::uint64_t c = buckets_[b];
      if (c == 0) return {std::nullopt, b};
      std::size_t offset = decode(c);
      if (matches(offset)) return {offset, b};
    }
    internalInconsistency("Hash table has no unoccupied buckets");
  }

  // The bucket holding `offset`, whose element hashes to `rawHash`.
  std::size_t bucketHolding(std::size_t offset, std::size_t rawHash) const;
  // The first empty bucket of the chain starting at the element's ideal bucket.
  std::size_t firstEmptyBucket(std::size_t rawHash) const;
  // The first bucket of the run of occupied buckets containing `bucket`.
  std::size_t firstOccupiedBucketInChain(std::size_t bucket) const;

  // Stores offsets 0..<count of elements known to be distinct; no comparisons.
  template <class HashAt>
  void fillUnchecked(std::size_t count, HashAt&& hashAt) {
    for (std::size_t i = 0; i < count; ++i) set(firstEmptyBucket(hashAt(i)), i);
  }
  // Stores offsets in order until an element equals an earlier one; returns that element's
  // offset, or `count` when all are distinct. `equal(a, b)` compares elements at two offsets.
  template <class HashAt, class Equal>
  std::size_t fillUntilFirstDuplicate(std::size_t count, HashAt&& hashAt, Equal&& equal) {
    for (std::size_t i = 0; i < count; ++i) {
      auto [found, bucket] = find(hashAt(i), [&](std::size_t o) { return equal(o, i); });
      if (found) return i;
      set(bucket, i);
    }
    return count;
  }

  // Backward-shift deletion of an occupied bucket; `hashAt(offset)` gives the raw hash of the
  // element stored at a (current) offset.
  template <class HashAt>
  void erase(std::size_t bucket, HashAt&& hashAt) {
    std::size_t hole = bucket;
    std::size_t b = next(bucket);
    if (!isOccupied(b)) {
      buckets_[hole] = 0;
      return;
    }
    std::size_t start = firstOccupiedBucketInChain(bucket);
    for (; isOccupied(b); b = next(b)) {
      std::size_t c = idealBucket(hashAt(decode(buckets_[b])));
      bool movable = start <= hole ? (start <= c && c <= hole) : (c >= start || c <= hole);
      if (movable) {
        buckets_[hole] = buckets_[b];
        hole = b;
      }
    }
    buckets_[hole] = 0;
  }

  // Renumbers before the owner inserts at `offset` into an array of `count` elements: offsets at or
  // above `offset` grow by one (the front half is done through the bias).
  template <class HashAt>
  void adjustForInsertion(std::size_t offset, std::size_t count, HashAt&& hashAt) {
    std::size_t t = capacity() / 3;
    if (offset < count / 2) {
      setBias(bias_ + 1);
      if (offset <= t) {
        for (std::size_t i = 1; i <= offset; ++i) rewrite(i, i - 1, hashAt(i - 1));
      } else {
        sweep([&](std::size_t v) { return v <= offset ? v - 1 : v; });
      }
    } else if (count - offset <= t + 1) {
      // Downwards, so that no two buckets hold the same offset mid-way.
      for (std::size_t i = count; i-- > offset;) rewrite(i, i + 1, hashAt(i));
    } else {
      sweep([&](std::size_t v) { return v >= offset ? v + 1 : v; });
    }
  }

  // Renumbers before the owner removes offsets [lo, hi) from an array of `count` elements, after
  // their buckets were erased: offsets at or above `hi` shrink by hi - lo.
  template <class HashAt>
  void adjustForRemoval(std::size_t lo, std::size_t hi, std::size_t count, HashAt&& hashAt) {
    if (hi <= lo) return;
    std::size_t d = hi - lo;
    std::size_t t = capacity() / 3;
    if (lo < (count - d) / 2) {
      if (lo < t) {
        // Downwards: offset i + d must not meet an element still waiting to move.
        for (std::size_t i = lo; i-- > 0;) rewrite(i, i + d, hashAt(i));
      } else {
        sweep([&](std::size_t v) { return v < lo ? v + d : v; });
      }
      setBias(bias_ + mask_ - d % mask_);
    } else if (count - hi < t) {
      for (std::size_t i = hi; i < count; ++i) rewrite(i, i - d, hashAt(i));
    } else {
      sweep([&](std::size_t v) { return v >= hi ? v - d : v; });
    }
  }

  // Empties every bucket; scale, seed, reserved scale and bias stay.
  void clear();

  // Diagnostics.
  double debugLoadFactor() const;
  std::vector<std::optional<std::size_t>> debugContents() const;
  std::string description() const;

 private:
  std::uint64_t encode(std::size_t v) const {
    std::size_t d = v >= bias_ ? v - bias_ : v + mask_ - bias_;
    if (d >= mask_) d -= mask_;
    return d ^ mask_;
  }
  std::size_t decode(std::uint64_t c) const {
    std::size_t v = (c ^ mask_) + bias_;
    return v >= mask_ ? v - mask_ : v;
  }
  void rewrite(std::size_t from, std::size_t to, std::size_t rawHash) { buckets_[bucketHolding(from, rawHash)] = encode(to); }
  template <class F>
  void sweep(F&& f) {
    for (std::size_t b = 0; b <= mask_; ++b)
      if (buckets_[b] != 0) buckets_[b] = encode(f(decode(buckets_[b])));
  }

  int scale_;
  int reservedScale_;
  std::size_t mask_;
  std::size_t bias_ = 0;
  std::uint64_t seed_;
  std::unique_ptr<std::uint64_t[]> buckets_;
};

}  // namespace collections::detail

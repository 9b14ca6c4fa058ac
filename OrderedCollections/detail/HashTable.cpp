#include "OrderedCollections/detail/HashTable.h"

#include <bit>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <string>

namespace collections::detail {

void internalInconsistency(const char* what) { throw std::logic_error(what); }

std::size_t HashTable::maximumCapacity(int scale) {
  if (scale < minimumScale) return maximumUnhashedCount;
  return (std::size_t{1} << scale) * 3 / 4;
}

std::size_t HashTable::minimumCapacity(int scale) {
  if (scale < minimumScale) return 0;
  return (std::size_t{1} << scale) / 4;
}

int HashTable::scaleForCapacity(std::size_t capacity) {
  if (capacity <= maximumUnhashedCount) return 0;
  if (capacity >= (std::size_t{1} << 61)) throw std::length_error("Capacity out of range");
  std::size_t e = std::max((capacity * 4 + 2) / 3, capacity + 1);
  int s = std::bit_width(e - 1);
  return std::max(s, minimumScale);
}

namespace {
// Checked before the bucket count is computed or allocated.
int checkedScale(int scale) {
  if (scale < HashTable::minimumScale || scale > HashTable::maximumScale)
    throw std::length_error("Hash table scale " + std::to_string(scale) + " is outside " +
                            std::to_string(HashTable::minimumScale) + "..." + std::to_string(HashTable::maximumScale));
  return scale;
}
}  // namespace

HashTable::HashTable(int scale, int reservedScale)
    : scale_(checkedScale(scale)),
      reservedScale_(reservedScale),
      mask_((std::size_t{1} << scale_) - 1),
      buckets_(new std::uint64_t[mask_ + 1]()) {
  // Every table gets its own seed, so two tables of the same elements place them differently.
  seed_ = static_cast<std::uint64_t>(scale) | (reinterpret_cast<std::uintptr_t>(buckets_.get()) << 6);
}

HashTable::HashTable(const HashTable& other)
    : scale_(other.scale_),
      reservedScale_(other.reservedScale_),
      mask_(other.mask_),
      bias_(other.bias_),
      seed_(other.seed_),
      buckets_(new std::uint64_t[other.mask_ + 1]) {
  std::memcpy(buckets_.get(), other.buckets_.get(), (mask_ + 1) * sizeof(std::uint64_t));
}

std::size_t HashTable::seededHash(std::size_t rawHash) const {
  // splitmix64 finaliser over the element hash mixed with the seed: std::hash of an integer is
  // the integer itself, which would otherwise cluster in one run of buckets.
  std::uint64_t x = static_cast<std::uint64_t>(rawHash) ^ seed_;
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return static_cast<std::size_t>(x ^ (x >> 31));
}

std::size_t HashTable::bucketHolding(std::size_t offset, std::size_t rawHash) const {
  std::size_t b = idealBucket(rawHash);
  for (std::size_t steps = 0; steps <= mask_; ++steps, b = next(b)) {
    std::uint64_t c = buckets_[b];
    if (c == 0) break;
    if (decode(c) == offset) return b;
  }
  internalInconsistency("Hash table lost an element's offset");
}

std::size_t HashTable::firstEmptyBucket(std::size_t rawHash) const {
  std::size_t b = idealBucket(rawHash);
  for (std::size_t steps = 0; steps <= mask_; ++steps, b = next(b))
    if (buckets_[b] == 0) return b;
  internalInconsistency("Hash table has no unoccupied buckets");
}

std::size_t HashTable::firstOccupiedBucketInChain(std::size_t bucket) const {
  std::size_t b = bucket;
  for (std::size_t steps = 0; steps <= mask_; ++steps) {
    std::size_t p = previous(b);
    if (buckets_[p] == 0) return b;
    b = p;
  }
  internalInconsistency("Hash table has no unoccupied buckets");
}

void HashTable::clear() { std::memset(buckets_.get(), 0, (mask_ + 1) * sizeof(std::uint64_t)); }

double HashTable::debugLoadFactor() const {
  std::size_t occupied = 0;
  for (std::size_t b = 0; b <= mask_; ++b) occupied += buckets_[b] != 0;
  return static_cast<double>(occupied) / static_cast<double>(mask_ + 1);
}

std::vector<std::optional<std::size_t>> HashTable::debugContents() const {
  std::vector<std::optional<std::size_t>> out;
  out.reserve(mask_ + 1);
  for (std::size_t b = 0; b <= mask_; ++b) out.push_back((*this)[b]);
  return out;
}

std::string HashTable::description() const {
  std::ostringstream out;
  out << "_HashTable(scale: " << scale_ << ", reservedScale: " << reservedScale_ << ", bias: " << bias_
      << ", seed: " << std::hex << seed_ << std::dec << ")\n  load factor: " << debugLoadFactor();
  if (mask_ + 1 < 128) {
    out << "\n ";
    for (auto v : debugContents()) {
      out << ' ';
      if (v) out << *v; else out << '_';
    }
  }
  return out.str();
}

}  // namespace collections::detail

// An open-addressing hash table from a pair of 32-bit symbol ids to a merge (rank and merged
// symbol): the innermost lookup of byte-pair merging, kept flat so that a probe is one cache line.
// Built once, then read-only and safe to share between threads.
#pragma once

#include <cstdint>
#include <vector>

namespace tokenizers::detail {

class PairTable {
 public:
  struct Value {
    std::int64_t rank;
    std::int32_t merged;
  };

  // A later insertion of the same pair replaces the earlier value.
  void insert(std::int32_t left, std::int32_t right, Value value) {
    if ((count_ + 1) * 2 > slots_.size()) grow();
    place(key(left, right), value);
  }

  const Value* find(std::int32_t left, std::int32_t right) const {
    if (slots_.empty()) return nullptr;
    const std::uint64_t k = key(left, right);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = mix(k) & mask;; i = (i + 1) & mask) {
      const Slot& s = slots_[i];
      if (s.key == k) return &s.value;
      if (s.key == kEmpty) return nullptr;
    }
  }

 private:
  static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};
  struct Slot {
    std::uint64_t key = kEmpty;
    Value value{};
  };

  static std::uint64_t key(std::int32_t left, std::int32_t right) {
    return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(left)) << 32) | static_cast<std::uint32_t>(right);
  }
  static std::size_t mix(std::uint64_t k) {
    k ^= k >> 33;
    k *= 0xff51afd7ed558ccdull;
    k ^= k >> 33;
    return static_cast<std::size_t>(k);
  }
  void place(std::uint64_t k, Value value) {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = mix(k) & mask;; i = (i + 1) & mask) {
      Slot& s = slots_[i];
      if (s.key == k) {
        s.value = value;
        return;
      }
      if (s.key == kEmpty) {
        s.key = k;
        s.value = value;
        ++count_;
        return;
      }
    }
  }
  void grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.empty() ? 64 : old.size() * 2, Slot{});
    count_ = 0;
    for (const Slot& s : old)
      if (s.key != kEmpty) place(s.key, s.value);
  }

  std::vector<Slot> slots_;
  std::size_t count_ = 0;
};

}  // namespace tokenizers::detail

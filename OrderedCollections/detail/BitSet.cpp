#include "OrderedCollections/detail/BitSet.h"

#include <algorithm>
#include <cstdio>

namespace collections::detail {

std::string BitSet::Word::description() const {
  char text[17];
  std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(value));
  return text;
}

void BitSet::insertAll(std::size_t bound) {
  bound = std::min(bound, capacity());
  for (std::size_t w = 0; w < bound / 64; ++w) words_[w] = ~std::uint64_t{0};
  if (bound % 64) words_[bound / 64] |= Word::upTo(static_cast<unsigned>(bound % 64)).value;
  count_ = 0;
  for (std::size_t w = 0; w < wordCount_; ++w) count_ += word(w).count();
}

std::size_t BitSet::startIndex() const {
  for (std::size_t w = 0; w < wordCount_; ++w)
    if (auto bit = word(w).firstMember()) return w * 64 + *bit;
  return capacity();
}

std::size_t BitSet::indexAfter(std::size_t i) const {
  if (i >= capacity()) return capacity();
  std::size_t w = i / 64;
  // Only the bits of i's word above i, then whole words.
  Word bits = word(w).subtracting(Word::upTo(static_cast<unsigned>(i % 64) + 1));
  for (;;) {
    if (auto bit = bits.firstMember()) return w * 64 + *bit;
    if (++w == wordCount_) return capacity();
    bits = word(w);
  }
}

std::optional<std::size_t> BitSet::indexBefore(std::size_t i) const {
  i = std::min(i, capacity());
  if (i == 0) return std::nullopt;
  // The word holding i - 1, masked to the bits below i (all of them when i ends a word).
  std::size_t w = (i - 1) / 64;
  Word bits = word(w).intersection(Word::upTo(static_cast<unsigned>((i - 1) % 64) + 1));
  for (;;) {
    if (auto bit = bits.lastMember()) return w * 64 + *bit;
    if (w-- == 0) return std::nullopt;
    bits = word(w);
  }
}

std::ptrdiff_t BitSet::distance(std::size_t from, std::size_t to) const {
  const std::size_t a = std::min({from, to, capacity()}), b = std::min(std::max(from, to), capacity());
  if (a == b) return 0;
  const std::size_t wa = a / 64, wb = b / 64;
  std::size_t members;
  if (wa == wb) {
    members = word(wa).intersection(Word::range(a % 64, b % 64)).count();
  } else {
    members = word(wa).subtracting(Word::upTo(a % 64)).count();
    for (std::size_t w = wa + 1; w < wb; ++w) members += word(w).count();
    if (wb < wordCount_) members += word(wb).intersection(Word::upTo(b % 64)).count();
  }
  const auto signedCount = static_cast<std::ptrdiff_t>(members);
  return to < from ? -signedCount : signedCount;
}

std::optional<std::size_t> BitSet::index(std::size_t i, std::ptrdiff_t offset, std::optional<std::size_t> limit) const {
  i = std::min(i, capacity());
  if (offset == 0) return i;
  std::optional<std::size_t> result;
  if (offset > 0) {
    // The offset-th member above i: the (offset - 1)-th counting from 0 among those above it.
    std::size_t k = static_cast<std::size_t>(offset) - 1;
    if (i < capacity()) {
      std::size_t w = i / 64;
      Word bits = word(w).subtracting(Word::upTo(static_cast<unsigned>(i % 64) + 1));
      for (;;) {
        if (auto bit = bits.nthElement(k)) {
          result = w * 64 + *bit;
          break;
        }
        if (++w == wordCount_) {
          if (k == 0) result = capacity();  // one past the last member
          break;
        }
        bits = word(w);
      }
    }
    if (result && limit && *limit >= i && *result > *limit) return std::nullopt;
  } else {
    std::size_t k = static_cast<std::size_t>(-(offset + 1));  // |offset| - 1, also for the lowest offset
    if (i > 0) {
      std::size_t w = (i - 1) / 64;
      Word bits = word(w).intersection(Word::upTo(static_cast<unsigned>((i - 1) % 64) + 1));
      for (;;) {
        if (auto bit = bits.nthElementFromEnd(k)) {
          result = w * 64 + *bit;
          break;
        }
        if (w-- == 0) break;
        bits = word(w);
      }
    }
    if (result && limit && *limit <= i && *result < *limit) return std::nullopt;
  }
  return result;
}

}  // namespace collections::detail

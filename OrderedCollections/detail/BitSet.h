// Scratch set of small non-negative integers (member offsets) for one set operation.
// Up to 8,192 members the words live inside the object (no heap); larger sets allocate.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace collections::detail {

class BitSet {
 public:
  static constexpr std::size_t inlineWords = 128;

  // `allSet`: members 0..<capacity start present.
  explicit BitSet(std::size_t capacity, bool allSet = false) : wordCount_((capacity + 63) / 64) {
    if (wordCount_ > inlineWords) heap_.assign(wordCount_, 0);
    else inline_.fill(0);
    words_ = wordCount_ > inlineWords ? heap_.data() : inline_.data();
    if (allSet) {
      for (std::size_t w = 0; w < capacity / 64; ++w) words_[w] = ~std::uint64_t{0};
      if (capacity % 64) words_[capacity / 64] = (std::uint64_t{1} << (capacity % 64)) - 1;
      count_ = capacity;
    }
  }
  BitSet(const BitSet&) = delete;
  BitSet& operator=(const BitSet&) = delete;

  bool contains(std::size_t member) const {
    return member / 64 < wordCount_ && (words_[member / 64] >> (member % 64) & 1);
  }
  // True when the member was absent.
  bool insert(std::size_t member) {
    std::uint64_t bit = std::uint64_t{1} << (member % 64);
    std::uint64_t& word = words_[member / 64];
    if (word & bit) return false;
    word |= bit;
    ++count_;
    return true;
  }
  // True when the member was present.
  bool remove(std::size_t member) {
    if (member / 64 >= wordCount_) return false;
    std::uint64_t bit = std::uint64_t{1} << (member % 64);
    std::uint64_t& word = words_[member / 64];
    if (!(word & bit)) return false;
    word &= ~bit;
    --count_;
    return true;
  }
  std::size_t count() const { return count_; }

  // Calls f(member) in increasing order.
  template <class F>
  void forEach(F&& f) const {
    for (std::size_t w = 0; w < wordCount_; ++w)
      for (std::uint64_t word = words_[w]; word != 0; word &= word - 1)
        f(w * 64 + static_cast<std::size_t>(std::countr_zero(word)));
  }

 private:
  std::size_t wordCount_;
  std::size_t count_ = 0;
  std::array<std::uint64_t, inlineWords> inline_;
  std::vector<std::uint64_t> heap_;
  std::uint64_t* words_;
};

}  // namespace collections::detail

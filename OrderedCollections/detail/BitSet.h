// Scratch set of small non-negative integers (member offsets) for one set operation.
// Up to 8,192 members the words live inside the object (no heap); larger sets allocate.
// Member n is bit n % 64 of word n / 64. Positions double as indices: a member's index is the
// member itself, and capacity() is the end index. Not thread-safe; nothing throws.
//   BitSet s(130);  s.insert(64);  s.insert(127);  s.index(s.startIndex(), 1) == 127
#pragma once

#include <array>
#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace collections::detail {

// Position of the n-th set bit of `word` counting from 0 at the lowest, found by halving the word
// (compare n with the set bits of the lower half, descend, repeat); none when fewer are set.
//   bitRanked(std::uint16_t{0b1011'0000}, 2) == 7
template <std::unsigned_integral W>
constexpr std::optional<unsigned> bitRanked(W word, unsigned n) {
  if (n >= static_cast<unsigned>(std::popcount(word))) return std::nullopt;
  std::uint64_t bits = word;
  unsigned base = 0;
  for (unsigned width = std::numeric_limits<W>::digits / 2; width > 0; width /= 2) {
    const std::uint64_t low = bits & ((std::uint64_t{1} << width) - 1);
    const auto lowCount = static_cast<unsigned>(std::popcount(low));
    if (n < lowCount) {
      bits = low;
    } else {
      n -= lowCount;
      bits >>= width;
      base += width;
    }
  }
  return base;
}

// Set bits of `word` below `bit` (all of them for bit ≥ the width).  rank(0b1011u, 3) == 2
template <std::unsigned_integral W>
constexpr unsigned rank(W word, unsigned bit) {
  if (bit < static_cast<unsigned>(std::numeric_limits<W>::digits)) word &= static_cast<W>((W{1} << bit) - 1);
  return static_cast<unsigned>(std::popcount(word));
}

class BitSet {
 public:
  // One 64-bit word as a set of bit positions 0...63 (0 = least significant).
  struct Word {
    static constexpr unsigned capacity = 64, wordShift = 6, wordMask = 63;

    std::uint64_t value = 0;

    static constexpr Word empty() { return {0}; }
    static constexpr Word allBits() { return {~std::uint64_t{0}}; }
    // ⌈bitCount / 64⌉.
    static constexpr std::size_t wordCount(std::size_t bitCount) { return bitCount / 64 + (bitCount % 64 != 0); }
    // Bits below n; all of them for n ≥ 64.  upTo(4) == {0xf}
    static constexpr Word upTo(unsigned n) { return {n >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n) - 1}; }
    // Bits from..to-1, each bound clamped at 64.  range(4, 8) == {0xf0}
    static constexpr Word range(unsigned from, unsigned to) {
      return from >= to ? empty() : Word{upTo(to).value & ~upTo(from).value};
    }

    constexpr bool contains(unsigned bit) const { return bit < 64 && (value >> bit & 1); }
    // These two return whether the bit changed.
    constexpr bool insert(unsigned bit) {
      const bool was = contains(bit);
      set(bit);
      return !was;
    }
    constexpr bool remove(unsigned bit) {
      const bool was = contains(bit);
      clear(bit);
      return was;
    }
    constexpr void set(unsigned bit) { value |= std::uint64_t{1} << bit; }
    constexpr void clear(unsigned bit) { value &= ~(std::uint64_t{1} << bit); }
    constexpr void update(unsigned bit, bool member) { member ? set(bit) : clear(bit); }
    constexpr void insertAll(unsigned upToBit) { value |= upTo(upToBit).value; }
    constexpr void removeAll(unsigned upToBit) { value &= ~upTo(upToBit).value; }
    constexpr void removeAllThrough(unsigned bit) { removeAll(bit + 1); }
    constexpr void removeAllFrom(unsigned bit) { value &= upTo(bit).value; }

    constexpr bool isEmpty() const { return value == 0; }
    constexpr bool isFull() const { return value == ~std::uint64_t{0}; }
    constexpr unsigned count() const { return static_cast<unsigned>(std::popcount(value)); }
    constexpr std::optional<unsigned> firstMember() const {
      return value ? std::optional<unsigned>(static_cast<unsigned>(std::countr_zero(value))) : std::nullopt;
    }
    constexpr std::optional<unsigned> lastMember() const {
      return value ? std::optional<unsigned>(63u - static_cast<unsigned>(std::countl_zero(value))) : std::nullopt;
    }
    // The n-th member from the lowest (from the highest); when the word holds n or fewer members,
    // none, and n is lowered by the word's count so that the search can go on in the next word.
    constexpr std::optional<unsigned> nthElement(std::size_t& n) const {
      if (n < count()) return bitRanked(value, static_cast<unsigned>(n));
      n -= count();
      return std::nullopt;
    }
    constexpr std::optional<unsigned> nthElementFromEnd(std::size_t& n) const {
      if (n < count()) return bitRanked(value, count() - 1 - static_cast<unsigned>(n));
      n -= count();
      return std::nullopt;
    }

    constexpr Word complement() const { return {~value}; }
    constexpr void formComplement() { value = ~value; }
    constexpr Word unionWith(Word other) const { return {value | other.value}; }
    constexpr void formUnion(Word other) { value |= other.value; }
    constexpr Word intersection(Word other) const { return {value & other.value}; }
    constexpr void formIntersection(Word other) { value &= other.value; }
    constexpr Word symmetricDifference(Word other) const { return {value ^ other.value}; }
    constexpr void formSymmetricDifference(Word other) { value ^= other.value; }
    constexpr Word subtracting(Word other) const { return {value & ~other.value}; }
    constexpr void subtract(Word other) { value &= ~other.value; }
    // Shifts by 64 or more leave nothing.
    constexpr Word shiftedDown(unsigned n) const { return {n >= 64 ? 0 : value >> n}; }
    constexpr Word shiftedUp(unsigned n) const { return {n >= 64 ? 0 : value << n}; }

    // Takes out and returns the lowest member.
    constexpr std::optional<unsigned> next() {
      const auto first = firstMember();
      if (first) value &= value - 1;
      return first;
    }
    friend constexpr bool operator==(Word, Word) = default;
    // Lower-case hexadecimal without padding: {0xf0} => "f0".
    std::string description() const;
  };

  static constexpr std::size_t inlineWords = 128;

  // `allSet`: members 0..<capacity start present.
  explicit BitSet(std::size_t capacity, bool allSet = false) : wordCount_(Word::wordCount(capacity)) {
    if (wordCount_ > inlineWords) heap_.assign(wordCount_, 0);
    else inline_.fill(0);
    words_ = wordCount_ > inlineWords ? heap_.data() : inline_.data();
    if (allSet) insertAll(capacity);
  }
  BitSet(const BitSet&) = delete;
  BitSet& operator=(const BitSet&) = delete;

  std::size_t wordCount() const { return wordCount_; }
  // Whole words: the set holds members 0..<capacity().
  std::size_t capacity() const { return wordCount_ * 64; }
  bool isWithinBounds(std::size_t member) const { return member < capacity(); }

  bool contains(std::size_t member) const {
    return member / 64 < wordCount_ && (words_[member / 64] >> (member % 64) & 1);
  }
  // True when the member was absent. The member must be within bounds.
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
  // Makes the member present or absent. The member must be within bounds.
  void update(std::size_t member, bool present) {
    if (present) insert(member);
    else remove(member);
  }
  // Adds every member below `bound` (at most capacity()).
  void insertAll(std::size_t bound);

  std::size_t count() const { return count_; }
  bool isEmpty() const { return count_ == 0; }

  // Calls f(member) in increasing order.
  template <class F>
  void forEach(F&& f) const {
    for (std::size_t w = 0; w < wordCount_; ++w)
      for (std::uint64_t word = words_[w]; word != 0; word &= word - 1)
        f(w * 64 + static_cast<std::size_t>(std::countr_zero(word)));
  }

  // Members in increasing order.
  class Iterator {
   public:
    using value_type = std::size_t;
    using difference_type = std::ptrdiff_t;
    using iterator_category = std::input_iterator_tag;

    Iterator() = default;
    std::size_t operator*() const { return word_ * 64 + static_cast<std::size_t>(std::countr_zero(bits_)); }
    Iterator& operator++() {
      bits_ &= bits_ - 1;
      settle();
      return *this;
    }
    Iterator operator++(int) {
      Iterator before = *this;
      ++*this;
      return before;
    }
    friend bool operator==(const Iterator& a, const Iterator& b) { return a.word_ == b.word_ && a.bits_ == b.bits_; }

   private:
    friend class BitSet;
    Iterator(const BitSet* set, std::size_t word) : set_(set), word_(word), bits_(word < set->wordCount_ ? set->words_[word] : 0) {
      settle();
    }
    // Skips to the next word with members left; past the last word the iteration is over.
    void settle() {
      while (bits_ == 0 && word_ < set_->wordCount_)
        if (++word_ < set_->wordCount_) bits_ = set_->words_[word_];
    }
    const BitSet* set_ = nullptr;
    std::size_t word_ = 0;
    std::uint64_t bits_ = 0;  // members of word_ not yet visited
  };
  Iterator begin() const { return Iterator(this, 0); }
  Iterator end() const { return Iterator(this, wordCount_); }

  // Navigation. Positions at or past capacity() read as the end index.
  // The smallest member, or capacity() when empty.
  std::size_t startIndex() const;
  std::size_t endIndex() const { return capacity(); }
  // The next member above `i`, or capacity() when none is left.
  std::size_t indexAfter(std::size_t i) const;
  // The next member below `i`; none when no member lies below it.
  std::optional<std::size_t> indexBefore(std::size_t i) const;
  // Members in [from, to), negative when to < from.
  std::ptrdiff_t distance(std::size_t from, std::size_t to) const;
  // The member `offset` members after (before, when negative) member `i`, or capacity() when the
  // count ends exactly one past the last member; none when the walk runs out of members, or when
  // `limit` lies in the direction of travel and the result would pass it.
  std::optional<std::size_t> index(std::size_t i, std::ptrdiff_t offset,
                                   std::optional<std::size_t> limit = std::nullopt) const;

 private:
  Word word(std::size_t w) const { return {words_[w]}; }

  std::size_t wordCount_;
  std::size_t count_ = 0;
  std::array<std::uint64_t, inlineWords> inline_;
  std::vector<std::uint64_t> heap_;
  std::uint64_t* words_;
};

}  // namespace collections::detail

template <>
struct std::hash<collections::detail::BitSet::Word> {
  std::size_t operator()(collections::detail::BitSet::Word w) const noexcept { return std::hash<std::uint64_t>{}(w.value); }
};

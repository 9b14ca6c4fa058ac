#include "OrderedCollections/detail/BitSet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace {

using collections::detail::bitRanked;
using collections::detail::BitSet;
using collections::detail::rank;
using Word = BitSet::Word;

// ---- one word ------------------------------------------------------------------------------------

TEST(BitSetWordTest, MasksAndRemovalsAtBothEndsOfTheWord) {
  struct Case {
    const char* name;
    Word word;
    std::uint64_t expected;
  };
  auto after = [](std::uint64_t start, auto change) {
    Word w{start};
    change(w);
    return w;
  };
  const std::uint64_t all = ~std::uint64_t{0};
  const Case cases[] = {
      {"upTo 0", Word::upTo(0), 0},
      {"upTo 1", Word::upTo(1), 1},
      {"upTo 63", Word::upTo(63), 0x7fffffffffffffff},
      {"upTo 64", Word::upTo(64), all},
      {"upTo 65 is clamped", Word::upTo(65), all},
      {"range 4..8", Word::range(4, 8), 0xf0},
      {"range 60..70 is clamped", Word::range(60, 70), 0xf000000000000000},
      {"range 63..64", Word::range(63, 64), 0x8000000000000000},
      {"empty range", Word::range(8, 8), 0},
      {"reversed range", Word::range(9, 8), 0},
      {"insertAll upTo 3", after(0x100, [](Word& w) { w.insertAll(3); }), 0x107},
      {"removeAll upTo 4", after(0xff, [](Word& w) { w.removeAll(4); }), 0xf0},
      {"removeAll upTo 64", after(all, [](Word& w) { w.removeAll(64); }), 0},
      {"removeAll through 3", after(0xff, [](Word& w) { w.removeAllThrough(3); }), 0xf0},
      {"removeAll through 63", after(all, [](Word& w) { w.removeAllThrough(63); }), 0},
      {"removeAll from 4", after(0xff, [](Word& w) { w.removeAllFrom(4); }), 0x0f},
      {"removeAll from 0", after(all, [](Word& w) { w.removeAllFrom(0); }), 0},
      {"set 63", after(0, [](Word& w) { w.set(63); }), 0x8000000000000000},
      {"clear 0", after(0x3, [](Word& w) { w.clear(0); }), 0x2},
      {"update 5 on", after(0, [](Word& w) { w.update(5, true); }), 0x20},
      {"update 5 off", after(0x21, [](Word& w) { w.update(5, false); }), 0x1},
      {"complement", Word{0xf0}.complement(), ~std::uint64_t{0xf0}},
      {"union", Word{0xc}.unionWith(Word{0x6}), 0xe},
      {"intersection", Word{0xc}.intersection(Word{0x6}), 0x4},
      {"symmetric difference", Word{0xc}.symmetricDifference(Word{0x6}), 0xa},
      {"subtracting", Word{0xc}.subtracting(Word{0x6}), 0x8},
      {"formComplement", after(0, [](Word& w) { w.formComplement(); }), all},
      {"formUnion", after(0xc, [](Word& w) { w.formUnion({0x6}); }), 0xe},
      {"formIntersection", after(0xc, [](Word& w) { w.formIntersection({0x6}); }), 0x4},
      {"formSymmetricDifference", after(0xc, [](Word& w) { w.formSymmetricDifference({0x6}); }), 0xa},
      {"subtract", after(0xc, [](Word& w) { w.subtract({0x6}); }), 0x8},
      {"shiftedDown 4", Word{0xf0}.shiftedDown(4), 0xf},
      {"shiftedDown 63", Word{all}.shiftedDown(63), 1},
      {"shiftedDown 64", Word{all}.shiftedDown(64), 0},
      {"shiftedUp 63", Word{1}.shiftedUp(63), 0x8000000000000000},
      {"shiftedUp 64", Word{all}.shiftedUp(64), 0},
  };
  for (const auto& c : cases) EXPECT_EQ(c.word.value, c.expected) << c.name;
}

TEST(BitSetWordTest, MembersCountsAndChanges) {
  Word w{0x8000000000000011};  // members 0, 4, 63
  EXPECT_EQ(w.count(), 3u);
  EXPECT_EQ(w.firstMember(), 0u);
  EXPECT_EQ(w.lastMember(), 63u);
  EXPECT_FALSE(w.isEmpty());
  EXPECT_FALSE(w.isFull());
  EXPECT_TRUE(w.contains(63));
  EXPECT_FALSE(w.contains(64));
  EXPECT_FALSE(w.insert(4));  // already there
  EXPECT_TRUE(w.insert(5));
  EXPECT_TRUE(w.remove(5));
  EXPECT_FALSE(w.remove(5));
  EXPECT_EQ(w.description(), "8000000000000011");
  EXPECT_EQ(Word::empty().description(), "0");
  EXPECT_EQ(Word{0xf0}.description(), "f0");
  EXPECT_TRUE(Word::empty().isEmpty());
  EXPECT_TRUE(Word::allBits().isFull());
  EXPECT_EQ(Word::empty().firstMember(), std::nullopt);
  EXPECT_EQ(Word::empty().lastMember(), std::nullopt);
  EXPECT_EQ(std::hash<Word>{}(Word{7}), std::hash<Word>{}(Word{7}));

  // Iteration takes out the lowest member each time.
  std::vector<unsigned> seen;
  while (auto bit = w.next()) seen.push_back(*bit);
  EXPECT_EQ(seen, (std::vector<unsigned>{0, 4, 63}));
  EXPECT_TRUE(w.isEmpty());

  for (auto [bits, words] : {std::pair<std::size_t, std::size_t>{0, 0}, {1, 1}, {63, 1}, {64, 1}, {65, 2}, {128, 2},
                             {129, 3}, {SIZE_MAX, SIZE_MAX / 64 + 1}})
    EXPECT_EQ(Word::wordCount(bits), words) << bits;
}

TEST(BitSetWordTest, NthElementSearchesAndLowersTheCounter) {
  const Word w{0x8000000000000011};  // members 0, 4, 63
  struct Case {
    std::size_t n;
    std::optional<unsigned> fromStart, fromEnd;
    std::size_t left;  // the counter after a miss
  };
  const Case cases[] = {{0, 0, 63, 0}, {1, 4, 4, 1}, {2, 63, 0, 2}, {3, std::nullopt, std::nullopt, 0}, {7, std::nullopt, std::nullopt, 4}};
  for (const auto& c : cases) {
    std::size_t n = c.n, m = c.n;
    EXPECT_EQ(w.nthElement(n), c.fromStart) << c.n;
    EXPECT_EQ(w.nthElementFromEnd(m), c.fromEnd) << c.n;
    EXPECT_EQ(n, c.left) << c.n;
    EXPECT_EQ(m, c.left) << c.n;
  }
}

// The n-th set bit by a plain scan, lowest first.
template <class W>
std::optional<unsigned> scanRanked(W word, unsigned n) {
  for (unsigned bit = 0; bit < sizeof(W) * 8; ++bit)
    if (word >> bit & 1 && n-- == 0) return bit;
  return std::nullopt;
}

TEST(BitSetWordTest, RankHelpersOnEveryWidth) {
  EXPECT_EQ(bitRanked(std::uint16_t{0b1011'0000}, 2), 7u);
  EXPECT_EQ(bitRanked(std::uint64_t{1} << 63, 0), 63u);
  EXPECT_EQ(bitRanked(std::uint64_t{1} << 63, 1), std::nullopt);
  EXPECT_EQ(bitRanked(std::uint32_t{0}, 0), std::nullopt);
  EXPECT_EQ(rank(std::uint64_t{0b1011}, 3), 2u);
  EXPECT_EQ(rank(~std::uint64_t{0}, 63), 63u);
  EXPECT_EQ(rank(~std::uint64_t{0}, 64), 64u);
  EXPECT_EQ(rank(std::uint16_t{0xffff}, 16), 16u);
  const std::uint64_t patterns[] = {0, 1, 0x8000000000000001, 0xaaaaaaaaaaaaaaaa, 0x00ff00ff00ff00ff,
                                    0xffffffff00000000, ~std::uint64_t{0}, 0x123456789abcdef0};
  for (std::uint64_t p : patterns) {
    for (unsigned n = 0; n <= 64; ++n) {
      EXPECT_EQ(bitRanked(p, n), scanRanked(p, n)) << std::hex << p << " n " << std::dec << n;
      EXPECT_EQ(bitRanked(static_cast<std::uint32_t>(p), n), scanRanked(static_cast<std::uint32_t>(p), n)) << n;
      EXPECT_EQ(bitRanked(static_cast<std::uint16_t>(p >> 8), n), scanRanked(static_cast<std::uint16_t>(p >> 8), n)) << n;
    }
  }
}

// ---- the set ------------------------------------------------------------------------------------

// Members on both sides of the word boundaries 64 and 128, in a set of four words.
const std::vector<std::size_t> kMembers = {3, 63, 64, 65, 127, 128, 191, 255};

std::vector<std::size_t> members(const BitSet& s) {
  std::vector<std::size_t> out;
  for (std::size_t m : s) out.push_back(m);
  return out;
}

TEST(BitSetTest, MembersAcrossWordBoundaries) {
  BitSet s(200);
  EXPECT_EQ(s.wordCount(), 4u);
  EXPECT_EQ(s.capacity(), 256u);
  EXPECT_TRUE(s.isWithinBounds(255));
  EXPECT_FALSE(s.isWithinBounds(256));
  EXPECT_TRUE(s.isEmpty());
  for (std::size_t m : kMembers) s.update(m, true);
  s.update(3, true);  // already there: counted once
  EXPECT_EQ(s.count(), kMembers.size());
  EXPECT_FALSE(s.isEmpty());
  EXPECT_EQ(members(s), kMembers);
  for (std::size_t m : {62, 66, 126, 129, 1000}) EXPECT_FALSE(s.contains(m)) << m;

  s.update(64, false);
  s.update(64, false);
  s.update(127, false);
  EXPECT_EQ(members(s), (std::vector<std::size_t>{3, 63, 65, 128, 191, 255}));
  EXPECT_FALSE(s.remove(1000));  // beyond the buffer
  for (std::size_t m : {3, 63, 65, 128, 191, 255}) s.update(m, false);
  EXPECT_TRUE(s.isEmpty());
  EXPECT_EQ(s.begin(), s.end());
}

TEST(BitSetTest, InsertAllSetsEveryMemberBelowTheBound) {
  for (std::size_t bound : {0, 1, 63, 64, 65, 127, 128, 129, 256, 300}) {
    BitSet s(256);
    s.insert(200);
    s.insertAll(bound);
    const std::size_t below = std::min<std::size_t>(bound, 256);
    EXPECT_EQ(s.count(), below + (bound <= 200)) << bound;
    EXPECT_EQ(s.contains(below - 1), below > 0) << bound;
    EXPECT_EQ(s.contains(below), below == 200) << bound;
    EXPECT_EQ(BitSet(bound, true).count(), bound) << bound;
  }
}

// Navigation against a walk over the sorted members, with capacity() as the end.
struct Reference {
  std::vector<std::size_t> positions;  // the members, then the end index

  std::ptrdiff_t at(std::size_t i) const {
    return std::find(positions.begin(), positions.end(), i) - positions.begin();
  }
  // One step at a time, stopping at the limit as a collection's default walk does.
  std::optional<std::size_t> index(std::size_t i, std::ptrdiff_t n, std::optional<std::size_t> limit) const {
    std::ptrdiff_t p = at(i);
    for (; n > 0; --n) {
      if (limit && positions[p] == *limit) return std::nullopt;
      if (++p == static_cast<std::ptrdiff_t>(positions.size())) return std::nullopt;
    }
    for (; n < 0; ++n) {
      if (limit && positions[p] == *limit) return std::nullopt;
      if (p-- == 0) return std::nullopt;
    }
    return positions[p];
  }
};

TEST(BitSetTest, NavigationAcrossWordBoundaries) {
  BitSet s(256);
  for (std::size_t m : kMembers) s.insert(m);
  Reference ref{kMembers};
  ref.positions.push_back(256);
  const std::vector<std::size_t>& all = ref.positions;

  EXPECT_EQ(s.startIndex(), 3u);
  EXPECT_EQ(s.endIndex(), 256u);
  for (std::size_t p = 0; p + 1 < all.size(); ++p) {
    EXPECT_EQ(s.indexAfter(all[p]), all[p + 1]) << all[p];
    EXPECT_EQ(s.indexBefore(all[p + 1]), all[p]) << all[p + 1];
  }
  EXPECT_EQ(s.indexBefore(3), std::nullopt);
  // From positions that are not members, on each side of a boundary.
  EXPECT_EQ(s.indexAfter(62), 63u);
  EXPECT_EQ(s.indexAfter(66), 127u);
  EXPECT_EQ(s.indexBefore(127), 65u);
  EXPECT_EQ(s.indexBefore(129), 128u);
  EXPECT_EQ(s.indexBefore(300), 255u);

  for (std::size_t a = 0; a <= 256; ++a)
    for (std::size_t b : {0, 3, 4, 63, 64, 65, 66, 127, 128, 129, 192, 255, 256}) {
      const auto expected = std::count_if(kMembers.begin(), kMembers.end(),
                                          [&](std::size_t m) { return m >= std::min(a, b) && m < std::max(a, b); });
      ASSERT_EQ(s.distance(a, b), b < a ? -expected : expected) << a << " to " << b;
    }

  std::vector<std::optional<std::size_t>> limits = {std::nullopt};
  limits.insert(limits.end(), all.begin(), all.end());
  for (std::size_t i : all)
    for (std::ptrdiff_t n = -10; n <= 10; ++n)
      for (const auto& limit : limits)
        ASSERT_EQ(s.index(i, n, limit), ref.index(i, n, limit))
            << "from " << i << " by " << n << " limited by " << (limit ? std::to_string(*limit) : "none");
}

TEST(BitSetTest, EmptyAndZeroCapacitySetsNavigateToTheEnd) {
  for (std::size_t capacity : {0, 64, 65}) {
    BitSet s(capacity);
    const std::size_t end = s.endIndex();
    EXPECT_EQ(s.startIndex(), end) << capacity;
    EXPECT_EQ(s.indexAfter(0), end) << capacity;
    EXPECT_EQ(s.indexBefore(end), std::nullopt) << capacity;
    EXPECT_EQ(s.index(end, 0), end) << capacity;
    EXPECT_EQ(s.index(end, 1), std::nullopt) << capacity;
    EXPECT_EQ(s.index(end, -1), std::nullopt) << capacity;
    EXPECT_EQ(s.distance(0, end), 0) << capacity;
    EXPECT_EQ(s.begin(), s.end()) << capacity;
    EXPECT_FALSE(s.contains(1000)) << capacity;
  }
  BitSet twoWords(65);
  twoWords.insert(64);
  EXPECT_EQ(twoWords.wordCount(), 2u);
  EXPECT_EQ(twoWords.startIndex(), 64u);
  EXPECT_EQ(twoWords.index(64, 1), 128u);
}

TEST(BitSetTest, LargeSetsOnTheHeapNavigateAlike) {
  BitSet s(BitSet::inlineWords * 64 + 1);  // one word more than fits inline
  s.insert(63);
  s.insert(8191);
  s.insert(8192);
  EXPECT_EQ(members(s), (std::vector<std::size_t>{63, 8191, 8192}));
  EXPECT_EQ(s.index(63, 2), 8192u);
  EXPECT_EQ(s.index(8192, -2), 63u);
  EXPECT_EQ(s.distance(0, s.endIndex()), 3);
}

}  // namespace

#include "OrderedCollections/OrderedSet.h"

#include <gtest/gtest.h>

#include <concepts>
#include <memory>
#include <numeric>
#include <random>
#include <ranges>
#include <string>
#include <vector>

namespace {

using collections::OrderedSet;
using IntSet = OrderedSet<int>;
namespace json = platform::json;

IntSet range(int n) {
  IntSet s;
  for (int i = 0; i < n; ++i) s.append(i);
  return s;
}

// Callers outside the collections reach only members that keep the set's invariants.
template <class S>
concept HasAppendNew = requires(S s, typename S::value_type v) { s.appendNew(v); };
template <class S>
concept HasInsertNew = requires(S s, typename S::value_type v) { s.insertNew(v, 0, 0); };
template <class S>
concept HasRemoveExistingMember = requires(S s) { s.removeExistingMember(0, 0); };
template <class S>
concept HasRegenerateHashTable = requires(S s) { s.regenerateHashTable(); };
template <class S>
concept AdoptsAnUncheckedTable =
    std::constructible_from<S, std::vector<typename S::value_type>, std::shared_ptr<collections::detail::HashTable>>;

TEST(OrderedSetTest, MembersThatSkipTheInvariantsAreNotPublic) {
  EXPECT_FALSE(HasAppendNew<IntSet>);
  EXPECT_FALSE(HasInsertNew<IntSet>);
  EXPECT_FALSE(HasRemoveExistingMember<IntSet>);
  EXPECT_FALSE(HasRegenerateHashTable<IntSet>);
  EXPECT_FALSE(AdoptsAnUncheckedTable<IntSet>);
}

TEST(OrderedSetTest, ConstructionDropsLaterDuplicates) {
  EXPECT_EQ(IntSet({3, 1, 3, 2}).elements(), (std::vector<int>{3, 1, 2}));
  std::vector<int> big;
  for (int i = 0; i < 40; ++i) big.push_back(i % 25);
  IntSet s(big);
  EXPECT_EQ(s.size(), 25u);
  EXPECT_EQ(s[24], 24);
  for (int i = 0; i < 25; ++i) EXPECT_EQ(s.find(i), static_cast<std::size_t>(i));
}

TEST(OrderedSetTest, UnsizedRangeGrowsWithItsDistinctMembers) {
  // 1,000 values, 20 distinct. A sized source sizes the table for all 1,000 (scale 11, 2,048
  // buckets); an unsized one is appended member by member and ends at scale 5 (16 to 24 members).
  std::vector<int> repeated;
  for (int i = 0; i < 1000; ++i) repeated.push_back(i % 20);
  auto unsized = repeated | std::views::filter([](int) { return true; });
  struct Case {
    IntSet set;
    int scale;
    std::size_t capacity;
  } cases[] = {{IntSet(repeated), 11, 1536}, {IntSet(unsized), 5, 24}};
  for (const auto& c : cases) {
    EXPECT_EQ(c.set.size(), 20u);
    EXPECT_EQ(c.set.internals().scale, c.scale);
    EXPECT_EQ(c.set.internals().capacity, c.capacity);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(c.set.find(i), static_cast<std::size_t>(i));
  }
}

TEST(OrderedSetTest, TableAppearsAt16AndGrowsAt25) {
  IntSet s = range(15);
  EXPECT_FALSE(s.internals().hasTable);
  EXPECT_EQ(s.internals().capacity, 15u);
  s.append(15);
  auto in = s.internals();
  EXPECT_TRUE(in.hasTable);
  EXPECT_EQ(in.scale, 5);
  EXPECT_EQ(in.capacity, 24u);
  EXPECT_EQ(in.minimumCapacity, 8u);
  for (int i = 16; i < 24; ++i) s.append(i);
  EXPECT_EQ(s.internals().scale, 5);
  s.append(24);
  EXPECT_EQ(s.internals().scale, 6);
  EXPECT_EQ(s.internals().capacity, 48u);
}

TEST(OrderedSetTest, RemovalsShrinkBelowQuarterAndDropTableAt15) {
  IntSet s = range(16);
  while (s.size() > 8) {
    s.removeLast();
    EXPECT_EQ(s.internals().scale, 5) << s.size();
  }
  s.removeLast();  // 7 left: below the minimum capacity of 8
  EXPECT_FALSE(s.internals().hasTable);
  EXPECT_EQ(s.internals().scale, 0);

  IntSet big = range(100);  // scale 8 after growth through 7: sized for 97+ members
  int before = big.internals().scale;
  EXPECT_EQ(before, 8);
  while (big.size() >= 64) big.removeAt(0);
  // 63 < 64 = minimum capacity of scale 8: rebuilt for 63 members.
  EXPECT_EQ(big.internals().scale, 7);
  EXPECT_EQ(big.front(), 37);
}

TEST(OrderedSetTest, PersistentReservationKeepsTable) {
  IntSet s = IntSet::minimumCapacity(100, true);
  auto in = s.internals();
  EXPECT_TRUE(in.hasTable);
  EXPECT_EQ(in.scale, 8);
  EXPECT_EQ(in.reservedScale, 8);
  EXPECT_EQ(in.minimumCapacity, 0u);
  for (int i = 0; i < 20; ++i) s.append(i);
  for (int i = 0; i < 20; ++i) s.removeLast();
  EXPECT_EQ(s.internals().scale, 8);
  s.reserveCapacity(10);  // not persistent: the reserved scale stays
  EXPECT_EQ(s.internals().scale, 8);
  s.reserveCapacity(10, true);
  EXPECT_FALSE(s.internals().hasTable);

  IntSet t = IntSet::minimumCapacity(100, true);
  t.removeAll(false);
  EXPECT_FALSE(t.internals().hasTable);
}

TEST(OrderedSetTest, ReservationShrinksOversizedTable) {
  IntSet s = range(20);
  s.reserveCapacity(90);
  EXPECT_EQ(s.internals().scale, 7);
  s.reserveCapacity(0);
  EXPECT_EQ(s.internals().scale, 5);
}

TEST(OrderedSetTest, RemoveAllKeepingCapacityKeepsTable) {
  IntSet s = range(100);
  int scale = s.internals().scale;
  s.removeAll(true);
  EXPECT_TRUE(s.empty());
  EXPECT_EQ(s.internals().scale, scale);
  s.append(5);
  EXPECT_EQ(s.internals().scale, scale);
  EXPECT_EQ(s.find(5), 0u);
}

TEST(OrderedSetTest, RemoveSubrangeRebuildsWhenHalfGoes) {
  // 20 members at scale 5 (minimum capacity 8). Removing 10 rebuilds (10 left: no table);
  // removing 9 deletes the entries in place and keeps the table.
  for (int removed : {10, 9}) {
    IntSet s = range(20);
    ASSERT_EQ(s.internals().scale, 5);
    s.removeSubrange(0, removed);
    EXPECT_EQ(s.internals().hasTable, removed == 9) << removed;
    for (int i = removed; i < 20; ++i) EXPECT_EQ(s.find(i), static_cast<std::size_t>(i - removed));
  }
}

TEST(OrderedSetTest, InsertNearFrontMovesBiasOnly) {
  IntSet s = range(100);
  std::size_t bias = s.internals().bias;
  auto contents = s.internals().hashTableContents;
  s.insert(-1, 0);
  auto in = s.internals();
  EXPECT_EQ(in.bias, bias + 1);
  EXPECT_EQ(s.find(-1), 0u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(s.find(i), static_cast<std::size_t>(i + 1));
  s.removeFirst();
  EXPECT_EQ(s.internals().bias, bias);
  EXPECT_EQ(s.internals().hashTableContents, contents);
}

TEST(OrderedSetTest, AppendInsertAndUpdateOfExistingMembers) {
  IntSet s{10, 20, 30, 40, 50, 60};
  EXPECT_EQ(s.append(30), (IntSet::InsertResult{false, 2}));
  EXPECT_EQ(s.insert(60, 0), (IntSet::InsertResult{false, 5}));
  EXPECT_EQ(s.insert(5, 0), (IntSet::InsertResult{true, 0}));
  EXPECT_EQ(s.elements(), (std::vector<int>{5, 10, 20, 30, 40, 50, 60}));
  EXPECT_EQ(s.updateOrAppend(20), 20);
  EXPECT_EQ(s.updateOrAppend(70), std::nullopt);
  auto r = s.updateOrInsert(40, 0);
  EXPECT_EQ(r.originalMember, 40);
  EXPECT_EQ(r.index, 4u);
  EXPECT_THROW(s.update(41, 4), std::invalid_argument);
  EXPECT_EQ(s.update(40, 4), 40);
}

TEST(OrderedSetTest, ContractViolationsThrowAndLeaveSetUnchanged) {
  IntSet s{1, 2, 3};
  EXPECT_THROW(s[3], std::out_of_range);
  EXPECT_THROW(s.removeAt(3), std::out_of_range);
  EXPECT_THROW(s.insert(9, 4), std::out_of_range);
  EXPECT_THROW(s.removeSubrange(2, 4), std::out_of_range);
  EXPECT_THROW(s.removeFirst(4), std::out_of_range);
  EXPECT_THROW(s.swapAt(0, 3), std::out_of_range);
  EXPECT_THROW(IntSet().removeFirst(), std::out_of_range);
  EXPECT_THROW(IntSet().removeLast(), std::out_of_range);
  EXPECT_EQ(s.elements(), (std::vector<int>{1, 2, 3}));
}

TEST(OrderedSetTest, CopiesAreIndependent) {
  IntSet a = range(50);
  IntSet b = a;
  b.remove(10);
  b.insert(1000, 0);
  EXPECT_EQ(a.size(), 50u);
  EXPECT_EQ(a.find(10), 10u);
  EXPECT_FALSE(a.contains(1000));
  EXPECT_EQ(b.find(11), 11u);
}

TEST(OrderedSetTest, EqualityAndHashFollowOrder) {
  IntSet a{1, 2, 3}, b{3, 1, 2};
  EXPECT_NE(a, b);
  EXPECT_NE(a.hashValue(), b.hashValue());
  EXPECT_EQ(a, (IntSet{1, 2, 3}));
  EXPECT_EQ(a.hashValue(), (IntSet{1, 2, 3}).hashValue());
  EXPECT_EQ(std::hash<IntSet>{}(a), a.hashValue());
}

TEST(OrderedSetTest, JsonIsPlainListAndDuplicatesFail) {
  OrderedSet<std::string> s{"b", "a"};
  EXPECT_EQ(json::write(s.toJsonValue()), R"(["b","a"])");
  EXPECT_EQ(OrderedSet<std::string>::fromJsonValue(s.toJsonValue()), s);
  try {
    IntSet::fromJsonValue(json::parse("[1,2,1]"));
    ADD_FAILURE() << "no error";
  } catch (const json::DecodingError& e) {
    EXPECT_EQ(e.kind, json::DecodingError::Kind::dataCorrupted);
    EXPECT_STREQ(e.what(), "Decoded elements aren't unique (first duplicate at offset 2)");
  }
  EXPECT_THROW(IntSet::fromJsonValue(json::parse(R"([1,"x"])")), json::DecodingError);
}

TEST(OrderedSetTest, Description) {
  EXPECT_EQ(IntSet().description(), "[]");
  EXPECT_EQ((OrderedSet<std::string>{"a", "b"}).description(), R"(["a", "b"])");
  EXPECT_EQ((OrderedSet<double>{1.0, 0.5}).description(), "[1.0, 0.5]");
}

TEST(OrderedSetTest, ReorderingKeepsLookupsValid) {
  IntSet s = range(100);
  std::mt19937 rng(3);
  s.shuffle(rng);
  for (std::size_t i = 0; i < s.size(); ++i) EXPECT_EQ(s.find(s[i]), i);
  s.sort();
  EXPECT_EQ(s, range(100));
  s.reverse();
  EXPECT_EQ(s.front(), 99);
  for (std::size_t i = 0; i < s.size(); ++i) EXPECT_EQ(s.find(s[i]), i);
}

TEST(OrderedSetTest, PartitionScansFromBothEnds) {
  IntSet s{1, 2, 3, 4, 5, 6};
  EXPECT_EQ(s.partition([](int x) { return x % 2 == 0; }), 3u);
  EXPECT_EQ(s.elements(), (std::vector<int>{1, 5, 3, 4, 2, 6}));
}

TEST(OrderedSetTest, HalfStablePartitionMovesValuesAlong) {
  IntSet s{1, 2, 3, 4, 5};
  std::vector<char> values{'a', 'b', 'c', 'd', 'e'};
  EXPECT_EQ(s.halfStablePartition(values, [&](std::size_t i) { return s[i] % 2 == 0; }), 3u);
  EXPECT_EQ(s.elements(), (std::vector<int>{1, 3, 5, 4, 2}));
  EXPECT_EQ(values, (std::vector<char>{'a', 'c', 'e', 'd', 'b'}));
  EXPECT_EQ(s.halfStablePartition(values, [](std::size_t) { return false; }), 5u);
}

TEST(OrderedSetTest, SwapOfCollidingMembersKeepsBothFindable) {
  struct Colliding {
    std::size_t operator()(int) const { return 0; }
  };
  OrderedSet<int, Colliding> s;
  for (int i = 0; i < 30; ++i) s.append(i);
  s.swapAt(0, 1);
  s.swapAt(3, 3);
  EXPECT_EQ(s.find(1), 0u);
  EXPECT_EQ(s.find(0), 1u);
  for (int i = 2; i < 30; ++i) EXPECT_EQ(s.find(i), static_cast<std::size_t>(i));
}

TEST(OrderedSetTest, ThrowingPredicatesLeaveSetConsistent) {
  IntSet s = range(40);
  int calls = 0;
  EXPECT_THROW(s.removeAll([&](int x) {
    if (++calls == 20) throw std::runtime_error("stop");
    return x % 2 == 0;
  }),
               std::runtime_error);
  EXPECT_EQ(s.size(), 40u);
  for (std::size_t i = 0; i < s.size(); ++i) EXPECT_EQ(s.find(s[i]), i);
  IntSet t = range(40);
  EXPECT_THROW(t.sort([&](int, int) -> bool { throw std::runtime_error("stop"); }), std::runtime_error);
  EXPECT_EQ(t, range(40));
}

TEST(OrderedSetTest, WithInternalsForcesScaleAndBias) {
  std::vector<int> ten(10);
  std::iota(ten.begin(), ten.end(), 0);
  auto s = IntSet::withInternals(5, 3, ten);
  EXPECT_EQ(s.internals().scale, 5);
  EXPECT_EQ(s.internals().bias, 3u);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(s.find(i), static_cast<std::size_t>(i));
  EXPECT_THROW(IntSet::withInternals(4, 1, ten), std::invalid_argument);
  EXPECT_THROW(IntSet::withInternals(4, 0, ten), std::invalid_argument);
  EXPECT_THROW(IntSet::withInternals(5, 31, ten), std::invalid_argument);
  EXPECT_THROW(IntSet::withInternals(5, 0, {1, 1}), std::invalid_argument);
}

}  // namespace

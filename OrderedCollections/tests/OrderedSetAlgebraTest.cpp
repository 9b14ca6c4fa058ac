#include "OrderedCollections/OrderedSet.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <unordered_set>
#include <vector>

namespace {

using collections::OrderedSet;
using IntSet = OrderedSet<int>;
using Ints = std::vector<int>;

// Every argument kind must give the same results.
template <class Arg>
Arg makeArg(const Ints& values);
template <>
Ints makeArg<Ints>(const Ints& values) { return values; }
template <>
IntSet makeArg<IntSet>(const Ints& values) { return IntSet(values); }
template <>
IntSet::UnorderedView makeArg<IntSet::UnorderedView>(const Ints& values) { return IntSet(values).unordered(); }
template <>
std::set<int> makeArg<std::set<int>>(const Ints& values) { return std::set<int>(values.begin(), values.end()); }

// One row of a comparison table: a receiver, an argument and the expected answers.
struct ComparisonCase {
  Ints receiver, arg;
  bool subset, superset, strictSubset, strictSuperset, disjoint, equalSet;
};

// `arg` is the row's argument in the kind under test.
template <class Arg>
void expectComparisons(const ComparisonCase& c, const Arg& arg) {
  SCOPED_TRACE(::testing::PrintToString(c.receiver) + " vs " + ::testing::PrintToString(c.arg));
  IntSet r(c.receiver);
  EXPECT_EQ(r.isSubset(arg), c.subset);
  EXPECT_EQ(r.isSuperset(arg), c.superset);
  EXPECT_EQ(r.isStrictSubset(arg), c.strictSubset);
  EXPECT_EQ(r.isStrictSuperset(arg), c.strictSuperset);
  EXPECT_EQ(r.isDisjoint(arg), c.disjoint);
  EXPECT_EQ(r.isEqualSet(arg), c.equalSet);
}

template <class Arg>
class OrderedSetAlgebraTest : public ::testing::Test {};
using ArgumentKinds = ::testing::Types<Ints, IntSet, IntSet::UnorderedView, std::set<int>>;
TYPED_TEST_SUITE(OrderedSetAlgebraTest, ArgumentKinds);

TYPED_TEST(OrderedSetAlgebraTest, BuildingOperationsKeepReceiverOrderFirst) {
  IntSet receiver{1, 2, 3};
  auto arg = makeArg<TypeParam>({3, 4, 1, 4});
  EXPECT_EQ(receiver.unionWith(arg).elements(), (Ints{1, 2, 3, 4}));
  EXPECT_EQ(receiver.intersection(arg).elements(), (Ints{1, 3}));
  EXPECT_EQ(receiver.subtracting(arg).elements(), (Ints{2}));
  EXPECT_EQ(receiver.symmetricDifference(arg).elements(), (Ints{2, 4}));
  IntSet inPlace = receiver;
  inPlace.formSymmetricDifference(arg);
  EXPECT_EQ(inPlace.elements(), (Ints{2, 4}));

  // Same with a receiver large enough for a hash table.
  IntSet big;
  for (int i = 100; i > 0; --i) big.append(i);
  EXPECT_EQ(big.intersection(arg).elements(), (Ints{4, 3, 1}));
  EXPECT_EQ(big.symmetricDifference(arg).size(), 97u);
  EXPECT_EQ(big.subtracting(arg).size(), 97u);
}

TYPED_TEST(OrderedSetAlgebraTest, ComparisonTests) {
  const ComparisonCase cases[] = {
      {{}, {}, true, true, false, false, true, true},
      {{}, {1}, true, false, true, false, true, false},
      {{1, 2}, {2, 1}, true, true, false, false, false, true},
      {{1, 2}, {1, 2, 3}, true, false, true, false, false, false},
      {{1, 2, 3}, {1, 2}, false, true, false, true, false, false},
      {{1, 2, 3}, {1, 4}, false, false, false, false, false, false},
      {{1, 2}, {3, 4}, false, false, false, false, true, false},
  };
  for (const auto& c : cases) expectComparisons(c, makeArg<TypeParam>(c.arg));
}

// Arguments that repeat members: a multi-container answers as the plain sequence does.
template <class Arg>
class OrderedSetAlgebraRepeatsTest : public ::testing::Test {};
using RepeatingKinds = ::testing::Types<Ints, std::multiset<int>, std::unordered_multiset<int>>;
TYPED_TEST_SUITE(OrderedSetAlgebraRepeatsTest, RepeatingKinds);

TYPED_TEST(OrderedSetAlgebraRepeatsTest, ComparisonTestsIgnoreRepeats) {
  const ComparisonCase cases[] = {
      {{1, 2}, {2, 1, 2}, true, true, false, false, false, true},
      {{1, 2, 3}, {1, 1, 2}, false, true, false, true, false, false},
      {{1}, {1, 1}, true, true, false, false, false, true},
      {{1, 2}, {1, 1, 2, 2, 3}, true, false, true, false, false, false},
      {{5}, {1, 1}, false, false, false, false, true, false},
  };
  for (const auto& c : cases) expectComparisons(c, TypeParam(c.arg.begin(), c.arg.end()));
}

TEST(OrderedSetAlgebraTest, SequencesWithRepeats) {
  IntSet s{3, 1, 2};
  EXPECT_EQ(s.intersection(Ints{2, 3, 3}).elements(), (Ints{3, 2}));
  EXPECT_TRUE((IntSet{1, 2}).isEqualSet(Ints{2, 1, 2}));
  EXPECT_TRUE((IntSet{1, 2, 3}).isStrictSuperset(Ints{1, 1, 2}));
  EXPECT_FALSE((IntSet{1, 2, 3}).isStrictSuperset(Ints{3, 2, 1}));
  EXPECT_FALSE((IntSet{1, 2}).isStrictSubset(Ints{1, 1, 2, 2}));
  EXPECT_TRUE((IntSet{1, 2}).isStrictSubset(Ints{2, 9, 1}));
  EXPECT_EQ(s.symmetricDifference(Ints{5, 1, 5, 6}).elements(), (Ints{3, 2, 5, 6}));
}

TEST(OrderedSetViewsTest, SliceUsesBaseOffsets) {
  OrderedSet<std::string> s{"a", "b", "c", "d"};
  auto slice = s(1, 3);
  EXPECT_EQ(slice.startIndex(), 1u);
  EXPECT_EQ(slice.count(), 2u);
  EXPECT_EQ(slice.find("a"), std::nullopt);
  EXPECT_EQ(slice.find("c"), 2u);
  EXPECT_EQ(slice[2], "c");
  EXPECT_THROW(slice[0], std::out_of_range);
  EXPECT_THROW(s(2, 5), std::out_of_range);
  OrderedSet<std::string> t{"x", "b", "c"};
  EXPECT_EQ(slice, t(1, 3));
  EXPECT_EQ(slice.hashValue(), t(1, 3).hashValue());
  EXPECT_EQ(slice.description(), R"(["b", "c"])");
}

TEST(OrderedSetViewsTest, UnorderedViewIgnoresOrder) {
  IntSet a{1, 2, 3}, b{3, 1, 2};
  EXPECT_NE(a, b);
  EXPECT_EQ(a.unordered(), b.unordered());
  EXPECT_EQ(a.unordered().hashValue(), b.unordered().hashValue());
  EXPECT_NE(a.unordered(), (IntSet{1, 2}).unordered());
  auto view = a.unordered();
  EXPECT_EQ(view.update(2), 2);
  EXPECT_EQ(view.base().elements(), (Ints{1, 2, 3}));
  EXPECT_EQ(view.insert(9), (std::pair<bool, int>{true, 9}));
  EXPECT_EQ(view.base().elements(), (Ints{1, 2, 3, 9}));
}

TEST(OrderedSetViewsTest, SetBuiltFromViewIsTheViewsBase) {
  // A persistent reservation of 100 gives a scale-8 table that 3 members would not have.
  IntSet s = IntSet::minimumCapacity(100, true);
  for (int i : {3, 1, 2}) s.append(i);
  IntSet::UnorderedView view = s.unordered();
  for (const IntSet& built : {IntSet(view), IntSet(s.unordered())}) {
    EXPECT_EQ(built, s);
    EXPECT_EQ(built.internals().scale, 8);
    EXPECT_EQ(built.internals().reservedScale, 8);
  }
}

TEST(OrderedSetViewsTest, FilterKeepsOrder) {
  IntSet s;
  for (int i = 0; i < 200; ++i) s.append(i);
  EXPECT_EQ(s.filter([](int) { return true; }), s);
  EXPECT_TRUE(s.filter([](int) { return false; }).empty());
  auto odd = s.filter([](int x) { return x % 2 == 1; });
  EXPECT_EQ(odd.size(), 100u);
  EXPECT_EQ(odd[0], 1);
  EXPECT_EQ(odd.find(199), 99u);
}

TEST(OrderedSetDifferenceTest, SwapIsRemovalThenInsertion) {
  OrderedSet<std::string> old{"a", "b"}, now{"b", "a"};
  auto diff = now.difference(old);
  using Change = collections::CollectionDifference<std::string>::Change;
  ASSERT_EQ(diff.changes.size(), 2u);
  EXPECT_EQ(diff.changes[0], (Change{Change::Kind::remove, 0, "a", 1}));
  EXPECT_EQ(diff.changes[1], (Change{Change::Kind::insert, 1, "a", 0}));
  EXPECT_EQ(old.applying(diff), now);
}

TEST(OrderedSetDifferenceTest, ApplyingReplaysArbitraryReorderings) {
  IntSet old{1, 2, 3, 4, 5, 6}, now{6, 2, 7, 4, 1};
  auto diff = now.difference(old);
  EXPECT_EQ(old.applying(diff), now);
  using Change = collections::CollectionDifference<int>::Change;
  collections::CollectionDifference<int> dup{{Change{Change::Kind::insert, 0, 3, std::nullopt}}};
  EXPECT_EQ(old.applying(dup), std::nullopt);
  collections::CollectionDifference<int> bad{{Change{Change::Kind::remove, 9, 3, std::nullopt}}};
  EXPECT_EQ(old.applying(bad), std::nullopt);
}

}  // namespace

namespace {

TEST(OrderedSetViewsTest, ModifyUnorderedWritesThrough) {
  IntSet s{1, 2};
  s.modifyUnordered([](IntSet::UnorderedView& v) { v.formUnion(Ints{3, 1}); v.remove(2); });
  EXPECT_EQ(s.elements(), (Ints{1, 3}));
  s.setUnordered(IntSet{7}.unordered());
  EXPECT_EQ(s.elements(), (Ints{7}));
}

}  // namespace

#include "OrderedCollections/OrderedDictionary.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

using collections::OrderedDictionary;
using Dict = OrderedDictionary<std::string, int>;
using Strings = std::vector<std::string>;

Dict letters(int n) {
  Dict d;
  for (int i = 0; i < n; ++i) d.set(std::string(1, static_cast<char>('a' + i)), i);
  return d;
}

// Keys "aa", "ab", ... sort in insertion order; the value is the insertion offset.
Dict numbered(int n) {
  Dict d;
  for (int i = 0; i < n; ++i) d.set(std::string{static_cast<char>('a' + i / 26), static_cast<char>('a' + i % 26)}, i);
  return d;
}

TEST(OrderedDictionaryKeyedTest, UpdateValueInsertingAt) {
  Dict d{{"a", 1}, {"b", 2}, {"c", 3}};
  auto r = d.updateValue(20, "b", 0);
  EXPECT_EQ(r.originalMember, 2);
  EXPECT_EQ(r.index, 1u);
  EXPECT_EQ(d.keys().elements(), (Strings{"a", "b", "c"}));
  r = d.updateValue(4, "d", 3);
  EXPECT_EQ(r.originalMember, std::nullopt);
  EXPECT_EQ(r.index, 3u);
  EXPECT_EQ(d.updateValue(5, "e", 0).index, 0u);
  EXPECT_EQ(d.keys().elements(), (Strings{"e", "a", "b", "c", "d"}));
  EXPECT_THROW(d.updateValue(9, "z", 9), std::out_of_range);
  EXPECT_EQ(d.size(), 5u);
}

TEST(OrderedDictionaryKeyedTest, DefaultedAccess) {
  Dict d{{"a", 1}};
  EXPECT_EQ(d.get("x", 7), 7);
  EXPECT_EQ(d.size(), 1u);
  d.updateValue("x", 7, [](int& v) { v += 1; });
  EXPECT_EQ(d.keys().elements(), (Strings{"a", "x"}));
  EXPECT_EQ(*d.get("x"), 8);
  EXPECT_THROW(d.updateValue("y", 0, [](int& v) { v = 5; throw std::runtime_error("body"); }), std::runtime_error);
  // The key stays inserted with whatever the body left.
  EXPECT_EQ(*d.get("y"), 5);
  int seen = d.updateValue("a", 0, 0, [](int& v) { return v * 10; });
  EXPECT_EQ(seen, 10);
}

TEST(OrderedDictionaryKeyedTest, ModifyOutcomeFollowsFinalContent) {
  Dict d = letters(20);
  d.modify("t", [](std::optional<int>& v) { v.reset(); });  // the last key
  EXPECT_EQ(d.size(), 19u);
  EXPECT_EQ(d.keys().back(), "s");
  d.modify("c", [](std::optional<int>& v) { v.reset(); });
  EXPECT_EQ(d.index("d"), 2u);
  EXPECT_EQ(d.values()[2], 3);
  d.modify("e", [](std::optional<int>& v) { *v += 100; });
  EXPECT_EQ(*d.get("e"), 104);
  EXPECT_EQ(d.index("e"), 3u);
  d.modify("new", [](std::optional<int>& v) { v = 1; });
  EXPECT_EQ(d.keys().back(), "new");
  d.modify("absent", [](std::optional<int>&) {});
  EXPECT_FALSE(d.get("absent"));
}

TEST(OrderedDictionaryKeyedTest, MergeCombinesStoredThenNew) {
  std::vector<std::pair<std::string, int>> pairs{{"a", 1}, {"b", 2}, {"a", 3}};
  auto d = Dict::uniquingKeysWith(pairs, [](int a, int b) { return a + b; });
  EXPECT_EQ(d, (Dict{{"a", 4}, {"b", 2}}));
  std::vector<std::pair<int, int>> calls;
  Dict e{{"a", 10}};
  e.merge(std::vector<std::pair<std::string, int>>{{"a", 1}, {"a", 2}}, [&](int stored, int fresh) {
    calls.emplace_back(stored, fresh);
    return stored;
  });
  EXPECT_EQ(calls, (std::vector<std::pair<int, int>>{{10, 1}, {10, 2}}));
  Dict f{{"x", 1}};
  EXPECT_THROW(f.merge(pairs, [](int, int) -> int { throw std::runtime_error("combine"); }), std::runtime_error);
  // Pairs merged before the throw stay merged.
  EXPECT_EQ(f.keys().elements(), (Strings{"x", "a", "b"}));
}

TEST(OrderedDictionaryKeyedTest, RemovalsShiftLaterPairs) {
  Dict d = letters(30);
  EXPECT_EQ(d.removeValue("b"), 1);
  EXPECT_EQ(d.removeValue("b"), std::nullopt);
  EXPECT_EQ(d.index("c"), 1u);
  EXPECT_EQ(d.removeAt(0), (std::pair<std::string, int>{"a", 0}));
  EXPECT_EQ(d.removeLast(), (std::pair<std::string, int>{std::string(1, 'a' + 29), 29}));
  d.removeFirst(3);
  EXPECT_EQ(d.keys().front(), "f");
  d.removeAll([](const std::string&, int v) { return v % 2 == 0; });
  EXPECT_EQ(d.keys().front(), "f");
  EXPECT_EQ(d.keys()[1], "h");
  for (std::size_t i = 0; i < d.size(); ++i) EXPECT_EQ(d.index(d.keys()[i]), i);
  d.removeAll(true);
  EXPECT_TRUE(d.empty());
}

TEST(OrderedDictionaryKeyedTest, FromUnorderedMapKeepsItsIterationOrder) {
  std::unordered_map<std::string, int> source{{"one", 1}, {"two", 2}, {"three", 3}, {"four", 4}};
  auto d = Dict::uncheckedUniqueKeysWithValues(source);
  std::size_t i = 0;
  for (const auto& [k, v] : source) {
    EXPECT_EQ(d.keys()[i], k);
    EXPECT_EQ(d.values()[i], v);
    ++i;
  }
}

TEST(OrderedDictionaryKeyedTest, UniqueKeysChecksCountsAndDuplicates) {
  auto d = Dict::uniqueKeys(Strings{"x", "y"}, std::vector<int>{1, 2});
  EXPECT_EQ(d, (Dict{{"x", 1}, {"y", 2}}));
  EXPECT_THROW(Dict::uniqueKeys(Strings{"x", "x"}, std::vector<int>{1, 2}), std::invalid_argument);
  EXPECT_THROW(Dict::uniqueKeys(Strings{"x"}, std::vector<int>{1, 2}), std::invalid_argument);
  EXPECT_THROW((Dict{{"a", 1}, {"a", 2}}), std::invalid_argument);
}

TEST(OrderedDictionaryKeyedTest, IteratorSurvivesOnlyOnItsCopy) {
  Dict d{{"a", 1}, {"b", 2}};
  Dict copy = d;
  d.set("a", std::nullopt);
  d.set("c", 3);
  EXPECT_EQ(copy, (Dict{{"a", 1}, {"b", 2}}));
  std::vector<std::string> keys;
  for (auto [k, v] : copy) keys.push_back(k);
  EXPECT_EQ(keys, (Strings{"a", "b"}));
}

TEST(OrderedDictionaryViewsTest, ValuesSwapExchangesValuesBetweenKeys) {
  Dict d{{"a", 1}, {"b", 2}, {"c", 3}};
  d.modifyValues([](Dict::Values& v) { v.swapAt(0, 2); });
  EXPECT_EQ(d, (Dict{{"a", 3}, {"b", 2}, {"c", 1}}));
  d.swapAt(0, 2);
  EXPECT_EQ(d, (Dict{{"c", 1}, {"b", 2}, {"a", 3}}));
}

TEST(OrderedDictionaryViewsTest, ValuesSnapshotAndAssignment) {
  Dict d{{"a", 1}, {"b", 2}};
  auto values = d.valuesView();
  values[1] = 20;
  EXPECT_EQ(*d.get("b"), 2);  // a snapshot
  d.setValues(values);
  EXPECT_EQ(*d.get("b"), 20);
  Dict other{{"z", 9}};
  d.setValues(other.valuesView());
  EXPECT_EQ(d, other);
  EXPECT_EQ(Dict().valuesView().description(), "[]");
  EXPECT_EQ(other.valuesView().description(), "[9]");
}

TEST(OrderedDictionaryViewsTest, ElementsSliceUsesBaseOffsets) {
  Dict d = letters(6);
  auto slice = d.elements()(2, 5);
  EXPECT_EQ(slice.startIndex(), 2u);
  EXPECT_EQ(slice.count(), 3u);
  EXPECT_EQ(slice.index("a"), std::nullopt);
  EXPECT_EQ(slice.index("d"), 3u);
  EXPECT_EQ(slice[3].first, "d");
  EXPECT_THROW(slice[1], std::out_of_range);
  EXPECT_EQ(slice.keys().find("e"), 4u);
  EXPECT_EQ(slice.values(), (std::vector<int>{2, 3, 4}));
  EXPECT_EQ(slice.description(), R"(["c": 2, "d": 3, "e": 4])");
  EXPECT_EQ(d.elements().description(), d.description());
}

TEST(OrderedDictionaryViewsTest, ModifyElementsWritesThrough) {
  Dict d = letters(5);
  d.modifyElements([](Dict::Elements& e) { e.removeFirst(2); e.reverse(); });
  EXPECT_EQ(d.keys().elements(), (Strings{"e", "d", "c"}));
}

TEST(OrderedDictionaryBulkTest, FilterMapAndCompactMap) {
  Dict d = letters(20);
  EXPECT_TRUE(Dict().filter([](const std::string&, int) { return true; }).empty());
  auto evens = d.filter([](const std::string&, int v) { return v % 2 == 0; });
  EXPECT_EQ(evens.size(), 10u);
  EXPECT_EQ(evens.index("e"), 2u);
  auto doubled = d.mapValues([](int v) { return v * 2.0; });
  EXPECT_EQ(doubled.keys(), d.keys());
  EXPECT_EQ(*doubled.get("t"), 38.0);
  auto some = d.compactMapValues([](int v) { return v % 3 == 0 ? std::optional<std::string>(std::to_string(v)) : std::nullopt; });
  EXPECT_EQ(some.keys().elements(), (Strings{"a", "d", "g", "j", "m", "p", "s"}));
  EXPECT_EQ(*some.get("s"), "18");
}

TEST(OrderedDictionaryBulkTest, GroupingByFirstLetter) {
  using Groups = OrderedDictionary<char, Strings>;
  auto g = Groups::grouping(Strings{"apple", "avocado", "banana"}, [](const std::string& s) { return s[0]; });
  EXPECT_EQ(g.keys().elements(), (std::vector<char>{'a', 'b'}));
  EXPECT_EQ(*g.get('a'), (Strings{"apple", "avocado"}));
  EXPECT_EQ(*g.get('b'), (Strings{"banana"}));
}

TEST(OrderedDictionaryBulkTest, ReorderingKeepsPairsTogether) {
  Dict d = numbered(40);
  std::mt19937 rng(9);
  d.shuffle(rng);
  EXPECT_NE(d, numbered(40));
  for (std::size_t i = 0; i < d.size(); ++i) {
    EXPECT_EQ(d.values()[i], (d.keys()[i][0] - 'a') * 26 + (d.keys()[i][1] - 'a'));
    EXPECT_EQ(d.index(d.keys()[i]), i);
  }
  d.sort();
  EXPECT_EQ(d, numbered(40));
  d.sort([](const auto& a, const auto& b) { return a.second > b.second; });
  EXPECT_EQ(d.values().front(), 39);
  EXPECT_EQ(*d.get("aa"), 0);
  std::size_t p = d.partition([](const std::string&, int v) { return v < 10; });
  EXPECT_EQ(p, 30u);
  for (std::size_t i = 0; i < d.size(); ++i) EXPECT_EQ(d.values()[i] < 10, i >= p);
  Dict one{{"x", 1}};
  one.shuffle();
  EXPECT_EQ(one, (Dict{{"x", 1}}));
  EXPECT_THROW(d.sort([](const auto&, const auto&) -> bool { throw std::runtime_error("cmp"); }), std::runtime_error);
  EXPECT_EQ(d.size(), 40u);
}

}  // namespace

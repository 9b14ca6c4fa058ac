#include "OrderedCollections/OrderedDictionary.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using collections::OrderedDictionary;
using Dict = OrderedDictionary<std::string, int>;
namespace json = platform::json;

std::vector<std::string> keysOf(const Dict& d) { return d.keys().elements(); }

TEST(OrderedDictionaryTest, SetKeepsPositionAppendsAndRemoves) {
  Dict d{{"b", 1}, {"a", 2}, {"c", 3}};
  d.set("a", 20);
  EXPECT_EQ(keysOf(d), (std::vector<std::string>{"b", "a", "c"}));
  EXPECT_EQ(d.values(), (std::vector<int>{1, 20, 3}));
  d.set("d", 4);
  EXPECT_EQ(keysOf(d), (std::vector<std::string>{"b", "a", "c", "d"}));
  d.set("a", std::nullopt);
  EXPECT_EQ(keysOf(d), (std::vector<std::string>{"b", "c", "d"}));
  EXPECT_EQ(d.values(), (std::vector<int>{1, 3, 4}));
  d.set("zz", std::nullopt);
  EXPECT_EQ(d.size(), 3u);
  d.set("a", 5);
  EXPECT_EQ(keysOf(d), (std::vector<std::string>{"b", "c", "d", "a"}));
  ASSERT_NE(d.get("a"), nullptr);
  EXPECT_EQ(*d.get("a"), 5);
  EXPECT_EQ(d.get("q"), nullptr);
}

TEST(OrderedDictionaryTest, KeySetAdoptedWithNewValues) {
  Dict source;
  for (int i = 0; i < 40; ++i) source.set(std::string("k").append(std::to_string(i)), i);
  std::vector<double> values;
  for (int i = 0; i < 40; ++i) values.push_back(i * 0.5);
  auto d = OrderedDictionary<std::string, double>::uncheckedUniqueKeys(source.keys(), values);
  EXPECT_EQ(d.keys(), source.keys());
  ASSERT_NE(d.get("k39"), nullptr);
  EXPECT_EQ(*d.get("k39"), 19.5);
  using DoubleDict = OrderedDictionary<std::string, double>;
  EXPECT_THROW(DoubleDict::uncheckedUniqueKeys(source.keys(), std::vector<double>{1.0}), std::invalid_argument);
}

TEST(OrderedDictionaryTest, IterationYieldsPairsInOrder) {
  Dict d{{"x", 1}, {"y", 2}};
  std::vector<std::pair<std::string, int>> seen;
  for (auto [k, v] : d) seen.emplace_back(k, v);
  EXPECT_EQ(seen, (std::vector<std::pair<std::string, int>>{{"x", 1}, {"y", 2}}));
}

TEST(OrderedDictionaryTest, EqualityIsOrderSensitive) {
  Dict a{{"x", 1}, {"y", 2}};
  Dict b{{"y", 2}, {"x", 1}};
  EXPECT_NE(a, b);
  EXPECT_NE(a.hashValue(), b.hashValue());
  b.set("y", std::nullopt);
  b.set("y", 2);
  EXPECT_EQ(a, b);
  EXPECT_EQ(a.hashValue(), b.hashValue());
}

TEST(OrderedDictionaryTest, DuplicateKeysInUniqueConstructionThrow) {
  std::vector<std::pair<std::string, int>> pairs{{"a", 1}, {"b", 2}, {"a", 3}};
  EXPECT_THROW(Dict::uniqueKeysWithValues(pairs), std::invalid_argument);
}

TEST(OrderedDictionaryTest, JsonRoundTripKeepsOrder) {
  Dict d{{"z", 1}, {"a", 2}};
  json::Value encoded = d.toJsonValue();
  EXPECT_EQ(json::write(encoded), R"(["z",1,"a",2])");
  EXPECT_EQ(Dict::fromJsonValue(encoded), d);
  EXPECT_EQ(json::write(Dict().toJsonValue()), "[]");
  EXPECT_TRUE(Dict::fromJsonValue(json::parse("[]")).empty());
}

TEST(OrderedDictionaryTest, JsonDecodingErrors) {
  struct Case {
    const char* text;
    const char* message;
  } cases[] = {
      {R"(["a",1,"a",2])", "Duplicate key at offset 2"},
      {R"(["a",1,"a"])", "Duplicate key at offset 2"},
      {R"(["a",1,"b"])", "Unkeyed container reached end before value in key-value pair"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    try {
      Dict::fromJsonValue(json::parse(c.text));
      ADD_FAILURE() << "no error";
    } catch (const json::DecodingError& e) {
      EXPECT_EQ(e.kind, json::DecodingError::Kind::dataCorrupted);
      EXPECT_STREQ(e.what(), c.message);
    }
  }
  EXPECT_THROW(Dict::fromJsonValue(json::parse(R"(["a","x"])")), json::DecodingError);
  EXPECT_THROW(Dict::fromJsonValue(json::parse(R"({"a":1})")), json::DecodingError);
}

TEST(OrderedDictionaryTest, DescriptionQuotesStringKeys) {
  EXPECT_EQ(Dict().description(), "[:]");
  EXPECT_EQ((Dict{{"a", 1}, {"b\"", 2}}).description(), R"(["a": 1, "b\"": 2])");
}

}  // namespace

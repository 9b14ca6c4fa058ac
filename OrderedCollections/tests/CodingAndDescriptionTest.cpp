#include "OrderedCollections/OrderedDictionary.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

namespace demo {
// A user type joins coding and printing through functions found by argument-dependent lookup.
struct Point {
  int x, y;
  bool operator==(const Point&) const = default;
};
platform::json::Value toJson(const Point& p) { return platform::json::Array{p.x, p.y}; }
Point fromJson(const platform::json::Value& v, std::type_identity<Point>) {
  const auto& a = v.asArray();
  return {static_cast<int>(a.at(0).asInt()), static_cast<int>(a.at(1).asInt())};
}
std::string debugDescription(const Point& p) { return "(" + std::to_string(p.x) + ", " + std::to_string(p.y) + ")"; }

// Members instead of free functions.
struct Tag {
  std::string name;
  bool operator==(const Tag&) const = default;
  platform::json::Value toJson() const { return platform::json::Value("#" + name); }
  static Tag fromJson(const platform::json::Value& v) { return Tag{v.asString().substr(1)}; }
};

// A value type that holds maps of itself, as a template engine's object value does.
struct Node {
  int leaf = 0;
  collections::OrderedDictionary<std::string, Node> children;
  bool operator==(const Node&) const = default;
};
}  // namespace demo

namespace {

using collections::OrderedDictionary;
namespace json = platform::json;

TEST(CodingTest, CustomAndNestedElementsRoundTrip) {
  using Inner = OrderedDictionary<std::string, std::vector<std::optional<int>>>;
  OrderedDictionary<demo::Point, Inner, decltype([](const demo::Point& p) { return std::hash<int>{}(p.x * 31 + p.y); })> d;
  d.set(demo::Point{1, 2}, Inner{{"a", {1, std::nullopt}}});
  d.set(demo::Point{0, 0}, Inner{});
  std::string text = json::write(d.toJsonValue());
  EXPECT_EQ(text, R"([[1,2],["a",[1,null]],[0,0],[]])");
  EXPECT_EQ(decltype(d)::fromJsonValue(json::parse(text)), d);
  EXPECT_EQ(d.description(), R"([(1, 2): ["a": [Optional(1), nil]], (0, 0): [:]])");
}

TEST(CodingTest, MemberCodingFunctions) {
  OrderedDictionary<std::string, demo::Tag> d{{"k", demo::Tag{"v"}}};
  EXPECT_EQ(json::write(d.toJsonValue()), R"(["k","#v"])");
  EXPECT_EQ((OrderedDictionary<std::string, demo::Tag>::fromJsonValue(d.toJsonValue())), d);
}

TEST(CodingTest, ElementErrorsPassThrough) {
  using Dict = OrderedDictionary<std::string, std::int8_t>;
  EXPECT_THROW(Dict::fromJsonValue(json::parse(R"(["a", 300])")), json::DecodingError);
  EXPECT_THROW(Dict::fromJsonValue(json::parse(R"([1, 2])")), json::DecodingError);
  EXPECT_THROW(Dict::fromJsonValue(json::parse(R"("not a list")")), json::DecodingError);
  OrderedDictionary<std::string, double> inf{{"x", std::numeric_limits<double>::infinity()}};
  EXPECT_THROW(json::write(inf.toJsonValue()), json::EncodingError);
}

TEST(CodingTest, RecursiveValueType) {
  demo::Node root;
  root.children.set("child", demo::Node{7, {}});
  demo::Node copy = root;
  copy.children.get("child")->leaf = 8;
  EXPECT_EQ(root.children.get("child")->leaf, 7);
  EXPECT_NE(root, copy);
}

TEST(DescriptionTest, DebugForms) {
  struct Case {
    std::string got, expected;
  } cases[] = {
      {collections::debugText(std::string("it's \"q\"\n\\")), R"("it\'s \"q\"\n\\")"},
      {collections::debugText(std::string("\x01")), R"("\u{1}")"},
      {collections::debugText(std::string("é")), "\"é\""},
      {collections::debugText(1.0), "1.0"},
      {collections::debugText(0.1), "0.1"},
      {collections::debugText(-2.5), "-2.5"},
      {collections::debugText(1e16), "1e+16"},
      {collections::debugText(1e-5), "1e-05"},
      {collections::debugText(0.1f), "0.1"},
      {collections::debugText(-2.5f), "-2.5"},
      {collections::debugText(1e-5f), "1e-05"},
      {OrderedDictionary<std::string, float>{{"a", 0.1f}}.description(), R"(["a": 0.1])"},
      {collections::debugText(42), "42"},
      {collections::debugText(true), "true"},
      {collections::debugText(std::optional<int>()), "nil"},
      {collections::debugText(std::vector<int>{}), "[]"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.expected);
}

}  // namespace

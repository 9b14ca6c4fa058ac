#include "templates/Value.h"

#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "templates/JinjaError.h"

namespace jinja {
namespace {

namespace json = platform::json;

std::string runtimeError(const std::function<void()>& body) {
  try {
    body();
  } catch (const JinjaError& e) {
    EXPECT_EQ(e.kind(), JinjaError::Kind::runtime);
    return e.message();
  }
  return "no error";
}

TEST(ValueTest, PrintedForms) {
  struct Case {
    Value value;
    std::string printed;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  // Doubles as Python's repr prints them (Jinja2 output of {{ x }}).
  const Case cases[] = {
      {Value(1.0), "1.0"},          {Value(-0.0), "-0.0"},     {Value(0.1), "0.1"},
      {Value(0.00001), "1e-05"},    {Value(1e300), "1e+300"},  {Value(0.0001), "0.0001"},
      {Value(100000.0), "100000.0"}, {Value(2.5e-07), "2.5e-07"}, {Value(1.2345678901234568e+17), "1.2345678901234568e+17"},
      {Value(9007199254740992.0), "9007199254740992.0"}, {Value(1e16), "1e+16"}, {Value(123.456), "123.456"},
      {Value(inf), "inf"},          {Value(-inf), "-inf"},     {Value(nan), "nan"},
      {Value(true), "true"},        {Value(-12), "-12"},       {Value(), ""},
      {Value::undefined(), ""},     {Value("it's"), "it's"},   {Value::array({Value("it's")}), "['it's']"},
      {Value::array({}), "[]"},     {Value::object({}), "{}"},
      {Value::array({1, "a", Value::array({2.5, "b"}), Value::object({{"k", "v"}}), Value()}),
       "[1, 'a', [2.5, 'b'], {k: v}, ]"},
      {Value::object({{"b", 1}, {"a", Value::array({"x"})}}), "{b: 1, a: ['x']}"},
      {Value(Function([](const Arguments&, const KeywordArguments&, const EnvironmentRef&) { return Value(); })),
       "[Function]"},
      {Value(Macro("m", {}, {}, {})), "[Macro m]"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.value.description(), c.printed);
}

TEST(ValueTest, Truthiness) {
  const Value falsy[] = {Value(0), Value(0.0), Value(-0.0), Value(""), Value::array({}), Value::object({}), Value(),
                         Value::undefined(), Value(false)};
  for (const Value& v : falsy) EXPECT_FALSE(v.isTruthy()) << v.description();
  const Value truthy[] = {Value(std::numeric_limits<double>::quiet_NaN()), Value(" "), Value(Macro("m", {}, {}, {})),
                          Value(Function{}), Value(-1), Value::array({Value()})};
  for (const Value& v : truthy) EXPECT_TRUE(v.isTruthy()) << v.description();
}

TEST(ValueTest, StrictAndLooseEquality) {
  EXPECT_FALSE(Value(1) == Value(1.0));
  EXPECT_TRUE(Value(1).isEquivalent(Value(1.0)));
  EXPECT_TRUE(Value::array({1, 2}).isEquivalent(Value::array({1.0, 2.0})));
  EXPECT_FALSE(Value::array({1, 2}) == Value::array({1.0, 2.0}));
  Value ab = Value::object({{"a", 1}, {"b", 2}});
  Value ba = Value::object({{"b", 2}, {"a", 1}});
  EXPECT_FALSE(ab == ba);
  EXPECT_FALSE(ab.isEquivalent(ba));
  Value f(Function([](const Arguments&, const KeywordArguments&, const EnvironmentRef&) { return Value(); }));
  EXPECT_FALSE(f == f);
  EXPECT_FALSE(f.isEquivalent(f));
  EXPECT_FALSE(Value() == Value::undefined());
  EXPECT_FALSE(Value().isEquivalent(Value::undefined()));
  EXPECT_FALSE(Value(true).isEquivalent(Value(1)));
  EXPECT_FALSE(Value(1).isEquivalent(Value("1")));
  // Canonical equivalence: precomposed and decomposed e-acute.
  EXPECT_TRUE(Value("\u00e9") == Value("e\u0301"));
  EXPECT_EQ(Value("\u00e9").hashValue(), Value("e\u0301").hashValue());
  EXPECT_EQ(Value(0.0).hashValue(), Value(-0.0).hashValue());
  EXPECT_EQ(Value::array({1, "x"}).hashValue(), Value::array({1, "x"}).hashValue());
}

TEST(ValueTest, ArithmeticResults) {
  struct Case {
    Value result;
    Value expected;
  };
  const Case cases[] = {
      {Value("a").add(1), Value("a1")},
      {Value(1).add("a"), Value("1a")},
      {Value::array({1}).add(Value::array({2})), Value::array({1, 2})},
      {Value().add("x"), Value("x")},
      {Value(1).add(2.5), Value(3.5)},
      {Value("ab").multiply(0), Value("")},
      {Value(3).multiply("ab"), Value("ababab")},
      {Value("ab").multiply(-2), Value("")},
      {Value(7).divide(2), Value(3.5)},
      {Value(4).divide(2), Value(2.0)},
      {Value(-7).floorDivide(2), Value(-4)},
      {Value(-7.0).floorDivide(2), Value(-4.0)},
      {Value(7.5).floorDivide(2), Value(3.0)},
      {Value(1e300).floorDivide(1e-300), Value(std::numeric_limits<double>::infinity())},
      {Value(2).power(10), Value(1024)},
      {Value(2).power(-1), Value(0.5)},
      {Value(2.0).power(2), Value(4.0)},
      {Value(-7).modulo(3), Value(2)},
      {Value(7).modulo(-3), Value(-2)},
      {Value(7.0).modulo(2), Value(1.0)},
      {Value([] { return Value::array({1, 2}); }()).multiply(2), Value::array({1, 2, 1, 2})},
      {Value(std::numeric_limits<std::int64_t>::min()).modulo(-1), Value(0)},
      {Value("a").concatenate(1), Value("a1")},
      {Value(1).concatenate("a"), Value("1a")},
      {Value::array({1}).concatenate("x"), Value("[1]x")},
  };
  for (const Case& c : cases) EXPECT_TRUE(c.result == c.expected) << c.result.description();
}

TEST(ValueTest, OperationErrorsNameOperands) {
  struct Case {
    std::function<void()> body;
    std::string message;
  };
  const auto maxInt = std::numeric_limits<std::int64_t>::max();
  const auto minInt = std::numeric_limits<std::int64_t>::min();
  const Case cases[] = {
      {[] { Value(1).add(true); }, "Cannot add values of different types (1 and true)"},
      {[] { Value().subtract(1); }, "Cannot subtract non-numeric values ( and 1)"},
      {[] { Value("ab").multiply(2.0); }, "Cannot multiply values of these types (ab and 2.0)"},
      {[] { Value(1).divide(0); }, "Division by zero"},
      {[] { Value(1.5).floorDivide(0.0); }, "Division by zero"},
      {[] { Value("a").divide(0); }, "Cannot divide non-numeric values (a and 0)"},
      {[] { Value(true).modulo(2); }, "Modulo operation requires numbers (true and 2)"},
      {[] { Value(5).modulo(0); }, "Modulo by zero"},
      {[] { Value(1).concatenate(2); }, "Cannot concatenate values of different types (1 and 2)"},
      {[] { Value(true).compare(false); }, "Cannot compare values of different types (true and false)"},
      {[] { Value(1).isContained(5); }, "'in' operator requires iterable on right side (5)"},
      // Integer results outside 64 bits are errors.
      {[=] { Value(maxInt).add(1); }, "Integer result out of range (9223372036854775807 and 1)"},
      {[=] { Value(minInt).subtract(1); }, "Integer result out of range (-9223372036854775808 and 1)"},
      {[=] { Value(maxInt).multiply(2); }, "Integer result out of range (9223372036854775807 and 2)"},
      {[=] { Value(minInt).floorDivide(-1); }, "Integer result out of range (-9223372036854775808 and -1)"},
      {[] { Value(2).power(63); }, "Integer result out of range (2 and 63)"},
      // Repetition and joins past the size cap.
      {[] { Value("x").multiply(Value(std::int64_t{1000000000000000})); }, "String result longer than 64 MiB"},
      {[] { Value(std::string(40u << 20, 'x')).add(Value(std::string(40u << 20, 'y'))); },
       "String result longer than 64 MiB"},
      // Doubling an array of long strings copies the strings.
      {[] {
         Value a = Value::array({Value(std::string(20u << 20, 'x')), Value(std::string(20u << 20, 'y'))});
         a.add(a);
       },
       "String result longer than 64 MiB"},
  };
  for (const Case& c : cases) EXPECT_EQ(runtimeError(c.body), c.message);
  // Just below the caps works.
  EXPECT_EQ(Value("x").multiply(Value(static_cast<std::int64_t>(Value::maxStringBytes))).asString().size(),
            Value::maxStringBytes);
  EXPECT_TRUE(Value(2).power(62) == Value(std::int64_t{1} << 62));
  Value a = Value::array({Value(std::string(16u << 20, 'x'))});
  EXPECT_EQ(a.add(a).add(a.add(a)).asArray().size(), 4u);  // exactly 64 MiB of text
}

TEST(ValueTest, OrderingAndContainment) {
  EXPECT_EQ(Value(1).compare(1.5), -1);
  EXPECT_EQ(Value(std::numeric_limits<double>::quiet_NaN()).compare(1), 0);
  EXPECT_EQ(Value("B").compare("a"), -1);
  EXPECT_EQ(Value("ab").compare("a"), 1);
  EXPECT_EQ(Value("\u00e9").compare("e\u0301"), 0);
  EXPECT_TRUE(Value("").isContained("abc"));
  EXPECT_TRUE(Value("b").isContained("abc"));
  EXPECT_FALSE(Value(1).isContained("abc"));
  EXPECT_FALSE(Value(1).isContained(Value::array({1.0})));
  EXPECT_TRUE(Value("k").isContained(Value::object({{"k", 0}})));
  EXPECT_FALSE(Value(1).isContained(Value::object({{"1", 0}})));
  EXPECT_FALSE(Value(1).isContained(Value()));
  EXPECT_FALSE(Value(1).isContained(Value::undefined()));
}

TEST(ValueTest, CopiesAreIndependent) {
  Value a = Value::array({1, 2});
  Value b = a;
  b.append(3);
  EXPECT_EQ(a.description(), "[1, 2]");
  EXPECT_EQ(b.description(), "[1, 2, 3]");
  Value o = Value::object({{"a", 1}});
  Value p = o;
  p.setMember("b", Value(2));
  EXPECT_EQ(o.description(), "{a: 1}");
}

TEST(ValueTest, NestingIsCappedWhereContainersAreBuilt) {
  Value deepest(1);
  for (std::uint32_t i = 0; i < Value::maxDepth; ++i) deepest = Value::array({deepest});
  EXPECT_EQ(deepest.depth(), Value::maxDepth);
  const std::string message = "Value nested deeper than 512 levels";
  EXPECT_EQ(runtimeError([&] { Value::array({deepest}); }), message);
  EXPECT_EQ(runtimeError([&] { Value::object({{"k", deepest}}); }), message);
  Value array = Value::array({});
  EXPECT_EQ(runtimeError([&] { array.append(deepest); }), message);
  Value object = Value::object({});
  EXPECT_EQ(runtimeError([&] { object.setMember("k", deepest); }), message);
  Value shallower = deepest.asArray()[0];
  array.append(shallower);
  object.setMember("k", shallower);
  EXPECT_EQ(array.depth(), Value::maxDepth);
  EXPECT_EQ(object.depth(), Value::maxDepth);
  EXPECT_TRUE(deepest == Value::array({shallower}));
}

TEST(ValueTest, HostDataAndJson) {
  Value host = Value::fromAny(json::parse(R"({"b": [1, null, 2.5, true], "a": "x"})"));
  EXPECT_EQ(host.description(), "{a: x, b: [1, , 2.5, true]}");
  EXPECT_EQ(runtimeError([] { Value::fromAny(json::Value(18446744073709551615ull)); }),
            "Cannot convert value of type Optional<Any> to Jinja Value");
  // Literal pairs: last value wins at the first position.
  EXPECT_EQ(Value::object({{"a", 1}, {"b", 2}, {"a", 3}}).description(), "{a: 3, b: 2}");
  // The JSON form sorts object keys; undefined becomes null.
  Value ordered = Value::object({{"b", 1}, {"a", Value::array({Value::undefined(), 1.5, "s"})}});
  EXPECT_EQ(json::write(ordered.toJson()), R"({"a":[null,1.5,"s"],"b":1})");
  Value back = Value::fromJson(json::parse(R"({"b":1,"a":[null,2,2.0]})"));
  EXPECT_EQ(back.description(), "{a: [, 2, 2.0], b: 1}");
  EXPECT_TRUE(back.asObject().get("a")->asArray()[1].isInt());
  EXPECT_TRUE(back.asObject().get("a")->asArray()[2].isDouble());
  Value f(Function([](const Arguments&, const KeywordArguments&, const EnvironmentRef&) { return Value(); }));
  EXPECT_THROW(Value::array({f}).toJson(), json::EncodingError);
}

}  // namespace
}  // namespace jinja

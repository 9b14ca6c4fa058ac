#include "templates/Ast.h"

#include <gtest/gtest.h>

#include "templates/Lexer.h"
#include "templates/Macro.h"
#include "templates/Parser.h"
#include "templates/tests/TreeBuilders.h"

namespace jinja {
namespace {

using namespace testing_trees;
namespace json = platform::json;

std::string compact(const json::Value& v) { return json::write(v, {.escapeSlashes = false}); }

Nodes parse(const std::string& source) { return Parser::parse(Lexer::tokenize(source)); }

template <class T>
void expectDecodingError(const std::string& text, const std::string& message) {
  try {
    T::fromJson(json::parse(text));
    ADD_FAILURE() << "decoded " << text;
  } catch (const json::DecodingError& e) {
    EXPECT_EQ(e.what(), message) << text;
  }
}

TEST(AstJsonTest, WrittenForms) {
  struct Case {
    std::string json;
    std::string expected;
  };
  const Case cases[] = {
      {compact(E::null().toJson()), R"({"null":{}})"},
      {compact(Statement::break_().toJson()), R"({"break":{}})"},
      {compact(Statement::continue_().toJson()), R"({"continue":{}})"},
      {compact(E::ternary(Id("a"), Id("b"), std::nullopt).toJson()),
       R"({"ternary":{"_0":{"identifier":{"_0":"a"}},"test":{"identifier":{"_0":"b"}}}})"},
      {compact(E::slice(Id("x"), std::nullopt, I(2), std::nullopt).toJson()),
       R"({"slice":{"_0":{"identifier":{"_0":"x"}},"stop":{"integer":{"_0":2}}}})"},
      {compact(Bin(B::notIn, Id("a"), Id("b")).toJson()),
       R"({"binary":{"_0":"not in","_1":{"identifier":{"_0":"a"}},"_2":{"identifier":{"_0":"b"}}}})"},
      {compact(Un(U::splat, Id("a")).toJson()), R"({"unary":{"_0":"*","_1":{"identifier":{"_0":"a"}}}})"},
      {compact(Dot(Id("a"), "b").toJson()),
       R"({"member":{"_0":{"identifier":{"_0":"a"}},"_1":{"identifier":{"_0":"b"}},"computed":false}})"},
      {compact(E::object(Obj({{"b", I(1)}, {"a", S("x")}})).toJson()),
       R"({"object":{"_0":["b",{"integer":{"_0":1}},"a",{"string":{"_0":"x"}}]}})"},
      {compact(Is(Id("x"), "odd", {}, true).toJson()),
       R"({"test":{"_0":{"identifier":{"_0":"x"}},"_1":"odd","_2":[],"negated":true}})"},
      {compact(Statement::set(Id("x"), std::nullopt, {Text("hi")}).toJson()),
       R"({"set":{"target":{"identifier":{"_0":"x"}},"body":[{"text":{"_0":"hi"}}]}})"},
      {compact(Statement::call(Id("m"), std::nullopt, {}).toJson()),
       R"({"call":{"callable":{"identifier":{"_0":"m"}},"body":[]}})"},
      {compact(Statement::for_(Statement::LoopVar::tuple({"k", "v"}), Id("d"), {}, {}, std::nullopt).toJson()),
       R"({"for":{"_0":{"tuple":{"_0":["k","v"]}},"_1":{"identifier":{"_0":"d"}},"_2":[],"_3":[]}})"},
      {compact(Statement::macro("m", {"x", "y"}, Obj({{"y", I(2)}}), {}).toJson()),
       R"({"macro":{"_0":"m","_1":["x","y"],"_2":["y",{"integer":{"_0":2}}],"_3":[]}})"},
      {compact(Node::comment(" c ").toJson()), R"({"comment":{"_0":" c "}})"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.json, c.expected);
}

TEST(AstJsonTest, MacroFormHasDefaultsAsAnObject) {
  Macro macro("m", {"x", "y"}, Obj({{"y", I(2)}}), {Text("a"), Out(Id("x"))});
  EXPECT_EQ(compact(macro.toJson()),
            R"({"name":"m","parameters":["x","y"],"defaults":{"y":{"integer":{"_0":2}}},)"
            R"("body":[{"text":{"_0":"a"}},{"expression":{"_0":{"identifier":{"_0":"x"}}}}]})");
  EXPECT_EQ(Macro::fromJson(macro.toJson()), macro);
}

TEST(AstJsonTest, DecodedMacroDefaultsAreInAscendingKeyOrder) {
  Macro definedOrder("m", {"y", "b"}, Obj({{"y", I(1)}, {"b", I(2)}}), {});
  Macro decoded = Macro::fromJson(definedOrder.toJson());
  ASSERT_EQ(decoded.defaults().count(), 2u);
  EXPECT_EQ(decoded.defaults().keys()[0], "b");
  EXPECT_EQ(decoded.defaults().keys()[1], "y");
  EXPECT_FALSE(decoded == definedOrder);
  Macro ascending("m", {"b", "y"}, Obj({{"b", I(2)}, {"y", I(1)}}), {});
  EXPECT_EQ(Macro::fromJson(ascending.toJson()), ascending);
  try {
    Macro::fromJson(json::parse(R"({"name":"m","parameters":[],"body":[]})"));
    ADD_FAILURE() << "decoded without defaults";
  } catch (const json::DecodingError& e) {
    EXPECT_EQ(e.kind, json::DecodingError::Kind::keyNotFound);
  }
}

TEST(AstJsonTest, VariantNeedsExactlyOneKnownCase) {
  const std::string invalid = "Invalid number of keys found, expected one.";
  expectDecodingError<Node>("{}", invalid);
  expectDecodingError<Node>(R"({"text":{"_0":"a"},"comment":{"_0":"b"}})", invalid);
  expectDecodingError<Node>(R"({"Text":{"_0":"a"}})", invalid);
  expectDecodingError<Expression>(R"({"if":{}})", invalid);
  expectDecodingError<Statement>(R"({"break":{},"continue":{}})", invalid);
  expectDecodingError<Statement::LoopVar>(R"({})", invalid);
  EXPECT_EQ(Node::fromJson(json::parse(R"({"text":{"_0":"a"},"other":1})")), Text("a"));
  EXPECT_EQ(Statement::fromJson(json::parse(R"({"break":{"ignored":1}})")), Statement::break_());
}

TEST(AstJsonTest, PayloadErrorsComeFromTheJsonLayer) {
  using K = json::DecodingError::Kind;
  struct Case {
    const char* json;
    K kind;
    const char* message;  // nullptr: the JSON layer's own wording
  };
  const Case cases[] = {
      {R"({"string":{}})", K::keyNotFound, nullptr},
      {R"({"string":{"_0":1}})", K::typeMismatch, nullptr},
      {R"({"string":true})", K::typeMismatch, nullptr},
      {R"({"member":{"_0":{"null":{}},"_1":{"null":{}}}})", K::keyNotFound, nullptr},
      {R"({"unary":{"_0":"NOT","_1":{"null":{}}}})", K::dataCorrupted, nullptr},
      {R"({"binary":{"_0":"not  in","_1":{"null":{}},"_2":{"null":{}}}})", K::dataCorrupted, nullptr},
      {R"({"object":{"_0":["a",{"null":{}},"b"]}})", K::dataCorrupted,
       "Unkeyed container reached end before value in key-value pair"},
      {R"({"object":{"_0":["a",{"null":{}},"a",{"null":{}}]}})", K::dataCorrupted, "Duplicate key at offset 2"},
  };
  for (const Case& c : cases) {
    try {
      Expression::fromJson(json::parse(std::string(R"({"array":{"_0":[)") + c.json + "]}}"));
      ADD_FAILURE() << "decoded " << c.json;
    } catch (const json::DecodingError& e) {
      EXPECT_EQ(e.kind, c.kind) << c.json;
      if (c.message) {
        EXPECT_STREQ(e.what(), c.message);
      }
    }
  }
  // An absent optional may also be written as null.
  EXPECT_EQ(Expression::fromJson(json::parse(
                R"({"ternary":{"_0":{"null":{}},"test":{"null":{}},"alternate":null}})")),
            E::ternary(E::null(), E::null(), std::nullopt));
}

// An ordered map of the tree (an object literal, a macro statement's defaults) is read by the
// ordered dictionary's own decoder: one set of checks in one order, the duplicate before the end.
TEST(AstJsonTest, OrderedMapsDecodeAsTheOrderedDictionary) {
  using K = json::DecodingError::Kind;
  struct Case {
    const char* pairs;  // "N" stands for a value
    K kind;
    const char* message;  // nullptr: the JSON layer's own wording
  };
  const Case cases[] = {
      {R"(["a",N,"a"])", K::dataCorrupted, "Duplicate key at offset 2"},
      {R"(["a",N,"a",N])", K::dataCorrupted, "Duplicate key at offset 2"},
      {R"(["a",N,"b",N,"b"])", K::dataCorrupted, "Duplicate key at offset 4"},
      {R"(["a",N,"b"])", K::dataCorrupted, "Unkeyed container reached end before value in key-value pair"},
      {R"(["a"])", K::dataCorrupted, "Unkeyed container reached end before value in key-value pair"},
      {R"([1,N])", K::typeMismatch, nullptr},
  };
  auto failure = [](const std::string& text, auto decode) -> std::pair<K, std::string> {
    try {
      decode(json::parse(text));
    } catch (const json::DecodingError& e) {
      return {e.kind, e.what()};
    }
    ADD_FAILURE() << "decoded " << text;
    return {};
  };
  for (const Case& c : cases) {
    std::string pairs = c.pairs;
    for (std::size_t at; (at = pairs.find('N')) != std::string::npos;) pairs.replace(at, 1, R"({"null":{}})");
    const auto dictionary = failure(pairs, [](const json::Value& v) { return Expression::Map::fromJsonValue(v); });
    const auto object = failure(R"({"object":{"_0":)" + pairs + "}}",
                                [](const json::Value& v) { return Expression::fromJson(v); });
    const auto macro = failure(R"({"macro":{"_0":"m","_1":[],"_2":)" + pairs + R"(,"_3":[]}})",
                               [](const json::Value& v) { return Statement::fromJson(v); });
    EXPECT_EQ(dictionary.first, c.kind) << c.pairs;
    if (c.message) {
      EXPECT_EQ(dictionary.second, c.message) << c.pairs;
    }
    EXPECT_EQ(object, dictionary) << c.pairs;
    EXPECT_EQ(macro, dictionary) << c.pairs;
  }
}

TEST(AstEqualityTest, StructuralEqualityAndHashing) {
  struct Case {
    Expression a, b;
    bool equal;
  };
  const Case cases[] = {
      {Index(Id("a"), Id("b")), Dot(Id("a"), "b"), false},
      {E::object(Obj({{"a", I(1)}, {"b", I(2)}})), E::object(Obj({{"b", I(2)}, {"a", I(1)}})), false},
      {Call(Id("f"), {}, {{"a", I(1)}, {"b", I(2)}}), Call(Id("f"), {}, {{"b", I(2)}, {"a", I(1)}}), true},
      {Filt(Id("x"), "f", {}, {{"a", I(1)}, {"b", I(2)}, {"c", I(3)}}),
       Filt(Id("x"), "f", {}, {{"c", I(3)}, {"a", I(1)}, {"b", I(2)}}), true},
      {Call(Id("f"), {}, {{"a", I(1)}}), Call(Id("f"), {}, {{"a", I(2)}}), false},
      {E::ternary(Id("a"), Id("b"), std::nullopt), E::ternary(Id("a"), Id("b"), Id("c")), false},
      {D(0.0), D(-0.0), true},
      {S("\u00e9"), S("e\u0301"), true},
      {I(1), D(1.0), false},
      {E::array({I(1)}), E::tuple({I(1)}), false},
      {Un(U::splat, Id("a")), Un(U::minus, Id("a")), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(compact(c.a.toJson()) + " vs " + compact(c.b.toJson()));
    EXPECT_EQ(c.a == c.b, c.equal);
    if (c.equal) {
      EXPECT_EQ(c.a.hashValue(), c.b.hashValue());
    }
  }
  Expression nan = D(std::nan(""));
  EXPECT_FALSE(nan == nan);
}

TEST(AstEqualityTest, TreesFromTheSameTextAreEqualAndHashAlike) {
  const std::string source =
      "{% for m in messages if m.role != 'system' %}{{ m.content | trim ~ '!' }}{% else %}none{% endfor %}"
      "{% macro f(a, b={'k': [1, 2.5]}) %}{{ a(b, c=3) }}{% endmacro %}";
  Nodes a = parse(source), b = parse(source);
  ASSERT_EQ(a.size(), 2u);
  EXPECT_TRUE(a == b);
  Hasher ha, hb;
  for (const Node& n : a) n.hash(ha);
  for (const Node& n : b) n.hash(hb);
  EXPECT_EQ(ha.finalize(), hb.finalize());
  EXPECT_FALSE(parse("{{ a.b }}") == parse("{{ a['b'] }}"));
}

TEST(AstOperatorTest, RawValues) {
  EXPECT_EQ(rawValue(B::notIn), "not in");
  EXPECT_EQ(rawValue(U::splat), rawValue(B::multiply));
  EXPECT_EQ(binaryOpFromRawValue("not in"), B::notIn);
  EXPECT_EQ(binaryOpFromRawValue("NOT IN"), std::nullopt);
  EXPECT_EQ(binaryOpFromRawValue("not  in"), std::nullopt);
  EXPECT_EQ(unaryOpFromRawValue("not"), U::not_);
  for (B op : allBinaryOps()) EXPECT_EQ(binaryOpFromRawValue(rawValue(op)), op);
  for (U op : allUnaryOps()) EXPECT_EQ(unaryOpFromRawValue(rawValue(op)), op);
  EXPECT_EQ(allBinaryOps().size(), 18u);
}

TEST(AstTest, CopiesShareSubtrees) {
  Expression big = Bin(B::add, Id("a"), Id("b"));
  Expression copy = big;
  EXPECT_EQ(&copy.as<Expression::Binary>(), &big.as<Expression::Binary>());
  EXPECT_EQ(big.getIf<Expression::Unary>(), nullptr);
  EXPECT_THROW(big.as<Expression::Unary>(), std::bad_variant_access);
}

}  // namespace
}  // namespace jinja

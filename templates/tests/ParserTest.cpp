#include "templates/Parser.h"

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "templates/JinjaError.h"
#include "templates/Lexer.h"
#include "templates/tests/TreeBuilders.h"

namespace jinja {
namespace {

using namespace testing_trees;
namespace json = platform::json;

Nodes parse(const std::string& source) { return Parser::parse(Lexer::tokenize(source)); }

std::string jsonOf(const Nodes& nodes) {
  json::Array array;
  for (const Node& n : nodes) array.push_back(n.toJson());
  return json::write(json::Value(std::move(array)), {.escapeSlashes = false});
}

std::string jsonOf(const Expression& e) { return json::write(e.toJson(), {.escapeSlashes = false}); }

Expression parseExpression(const std::string& source) {
  Nodes nodes = parse("{{ " + source + " }}");
  if (nodes.size() != 1 || nodes[0].kind() != Node::Kind::expression) {
    ADD_FAILURE() << "not one output tag: " << source;
    return E::null();
  }
  return nodes[0].expression();
}

std::string parserError(const std::string& source) {
  try {
    parse(source);
  } catch (const JinjaError& e) {
    EXPECT_EQ(e.kind(), JinjaError::Kind::parser) << e.what();
    return e.message();
  }
  return "(no error)";
}

struct ExpressionCase {
  std::string source;
  Expression expected;
};

TEST(ParserExpressionTest, PrecedenceAndShapes) {
  const std::vector<ExpressionCase> cases = {
      {"1 + 2 * 3", Bin(B::add, I(1), Bin(B::multiply, I(2), I(3)))},
      {"1 + 2 ~ 3", Bin(B::add, I(1), Bin(B::concat, I(2), I(3)))},
      {"1 - 2 - 3", Bin(B::subtract, Bin(B::subtract, I(1), I(2)), I(3))},
      {"2 ** 3 ** 2", Bin(B::power, Bin(B::power, I(2), I(3)), I(2))},
      {"-2 ** 2", Bin(B::power, Un(U::minus, I(2)), I(2))},
      {"- + -x", Un(U::minus, Un(U::plus, Un(U::minus, Id("x"))))},
      {"a // b % c / d", Bin(B::divide, Bin(B::modulo, Bin(B::floorDivide, Id("a"), Id("b")), Id("c")), Id("d"))},
      {"'a' 'b'", Bin(B::concat, S("a"), S("b"))},
      {"'a' ~ 'b'", Bin(B::concat, S("a"), S("b"))},
      {"'Hi ' name", Bin(B::concat, S("Hi "), Id("name"))},
      {"x not in y", Bin(B::notIn, Id("x"), Id("y"))},
      {"not x in y", Un(U::not_, Bin(B::in, Id("x"), Id("y")))},
      {"not not x", Un(U::not_, Un(U::not_, Id("x")))},
      {"a or b and c", Bin(B::or_, Id("a"), Bin(B::and_, Id("b"), Id("c")))},
      {"a and b or c", Bin(B::or_, Bin(B::and_, Id("a"), Id("b")), Id("c"))},
      {"a < b < c", Bin(B::less, Bin(B::less, Id("a"), Id("b")), Id("c"))},
      {"a != b >= c", Bin(B::greaterEqual, Bin(B::notEqual, Id("a"), Id("b")), Id("c"))},
      {"a == b + c", Bin(B::equal, Id("a"), Bin(B::add, Id("b"), Id("c")))},
      {"a == not b", Bin(B::equal, Id("a"), Bin(B::concat, Id("not"), Id("b")))},
      {"x is not divisibleby(3)", Is(Id("x"), "divisibleby", {I(3)}, true)},
      {"x is not divisibleby 3", Is(Id("x"), "divisibleby", {I(3)}, true)},
      {"x is none", Is(Id("x"), "none")},
      {"x is True", Is(Id("x"), "True")},
      {"x is odd == true", Bin(B::equal, Is(Id("x"), "odd"), E::boolean(true))},
      {"x is sameas(y, k=1)", Is(Id("x"), "sameas", {Id("y")})},
      {"x | f", Filt(Id("x"), "f")},
      {"x | f(1, k=2)", Filt(Id("x"), "f", {I(1)}, {{"k", I(2)}})},
      {"x | f | g", Filt(Filt(Id("x"), "f"), "g")},
      {"-x | abs", Filt(Un(U::minus, Id("x")), "abs")},
      {"a * b | f", Filt(Bin(B::multiply, Id("a"), Id("b")), "f")},
      {"a ~ b | f", Bin(B::concat, Id("a"), Filt(Id("b"), "f"))},
      {"x | f [0]", Bin(B::concat, Filt(Id("x"), "f"), E::array({I(0)}))},
      {"(x | f)[0]", Index(Filt(Id("x"), "f"), I(0))},
      {"x | set", Filt(Id("x"), "set")},
      {"a.b[0](1)", Call(Index(Dot(Id("a"), "b"), I(0)), {I(1)})},
      {"loop.if", Dot(Id("loop"), "if")},
      {"x[1:3]", E::slice(Id("x"), I(1), I(3), std::nullopt)},
      {"x[::2]", E::slice(Id("x"), std::nullopt, std::nullopt, I(2))},
      {"x[1:]", E::slice(Id("x"), I(1), std::nullopt, std::nullopt)},
      {"x[:]", E::slice(Id("x"), std::nullopt, std::nullopt, std::nullopt)},
      {"x[-1:a + 1]", E::slice(Id("x"), Un(U::minus, I(1)), Bin(B::add, Id("a"), I(1)), std::nullopt)},
      {"()", E::tuple({})},
      {"(1)", I(1)},
      {"(1,)", E::tuple({I(1)})},
      {"(1, 2,)", E::tuple({I(1), I(2)})},
      {"[1, 2,]", E::array({I(1), I(2)})},
      {"[]", E::array({})},
      {"{'a': 1, 'b': 2,}", E::object(Obj({{"a", I(1)}, {"b", I(2)}}))},
      // A key that is not a string literal is evaluated: the literal is a call of dict over pairs.
      {"{'a': 1, b: 2,}",
       E::call(Id("dict"), {E::array({E::array({E::string("a"), I(1)}), E::array({Id("b"), I(2)})})}, {})},
      {"{1: 2}", E::call(Id("dict"), {E::array({E::array({I(1), I(2)})})}, {})},
      {"{'a': 1, 'b': 2, 'a': 3}", E::object(Obj({{"a", I(3)}, {"b", I(2)}}))},
      {"{}", E::object({})},
      {"1.5", D(1.5)},
      {"1.", D(1.0)},
      {"7", I(7)},
      {"9223372036854775807", I(9223372036854775807LL)},
      {"True", E::boolean(true)},
      {"false", E::boolean(false)},
      {"none", E::null()},
      {"set", Id("set")},
      {"a if b", E::ternary(Id("a"), Id("b"), std::nullopt)},
      {"a if b else c if d else e", E::ternary(Id("a"), Id("b"), E::ternary(Id("c"), Id("d"), Id("e")))},
      {"a or b if c or d else e", E::ternary(Bin(B::or_, Id("a"), Id("b")), Bin(B::or_, Id("c"), Id("d")), Id("e"))},
      {"f(*args, k=1)", Call(Id("f"), {Un(U::splat, Id("args"))}, {{"k", I(1)}})},
      {"f(k=1, k=2, 3)", Call(Id("f"), {I(3)}, {{"k", I(2)}})},
      {"*a.b", Dot(Un(U::splat, Id("a")), "b")},
  };
  for (const ExpressionCase& c : cases) {
    SCOPED_TRACE(c.source);
    Expression parsed = parseExpression(c.source);
    EXPECT_EQ(jsonOf(parsed), jsonOf(c.expected));
    EXPECT_EQ(parsed, c.expected);
  }
}

struct ErrorCase {
  std::string source;
  std::string message;
};

TEST(ParserExpressionTest, ErrorMessages) {
  const std::vector<ErrorCase> cases = {
      {"{{ 'a' none }}", "Expected '}}' after expression.. Got null instead"},
      {"{{ a not }}", "Expected '}}' after expression.. Got not instead"},
      {"{{ x is 5 }}", "Expected test name but found number."},
      {"{{ x is divisibleby 3 + 1 }}", "Expected '}}' after expression.. Got plus instead"},
      {"{{ x is }}", "Expected test name but found closeExpression."},
      {"{{ x[] }}", "Invalid subscript"},
      {"{{ x[1:2:] }}", "Unexpected token for primary expression: closeBracket"},
      {"{{ {'a': 1,", "Expected string literal or identifier for object key. Got eof instead"},
      {"{{ {'a' 1} }}", "Expected ':' after object key.. Got closeBrace instead"},
      {"{{ {'a': 1 : } }}", "Expected '}' after object literal.. Got colon instead"},
      {"{{ f(a,) }}", "Unexpected token for primary expression: closeParen"},
      {"{% set x = 1, %}", "Unexpected token for primary expression: closeStatement"},
      {"{{ a.1 }}", "Expected identifier but found number."},
      {"{{ x | 1 }}", "Expected identifier but found number."},
      {"{{ f(x }}", "Expected ')' after arguments.. Got closeExpression instead"},
      {"{{ (1 }}", "Expected ')' after expression.. Got closeExpression instead"},
      {"{{ (1, 2 }}", "Expected ')' after tuple.. Got closeExpression instead"},
      {"{{ [1 }}", "Expected ']' after array literal.. Got closeExpression instead"},
      {"{{ x | f(1 }}", "Expected ')' after filter arguments.. Got closeExpression instead"},
      {"{{ x is f(1 }}", "Expected ')' after test arguments.. Got closeExpression instead"},
      {"{{ x[1 }}", "Expected ']' after index.. Got closeExpression instead"},
      {"{{ }}", "Unexpected token for primary expression: closeExpression"},
      {"{{", "Unexpected token for primary expression: eof"},
      // A slice bound that is present must parse; it is not silently dropped.
      {"{{ x[1 + :2] }}", "Unexpected token for primary expression: colon"},
      {"{{ x[:2 * ] }}", "Unexpected token for primary expression: closeBracket"},
      // A bound at which no expression can begin is absent, as in "x[]" and "x[:]".
      {"{{ x[)] }}", "Invalid subscript"},
      {"{{ x[ }}", "Invalid subscript"},
      {"{{ x[%}", "Invalid subscript"},
      {"{{ x[1:)] }}", "Expected ']' after index.. Got closeParen instead"},
      {"{{ x[:,] }}", "Expected ']' after index.. Got comma instead"},
      {"{{ x[1:2:)] }}", "Unexpected token for primary expression: closeParen"},
      // Number literals that do not fit are errors, not zero.
      {"{{ 9223372036854775808 }}", "Integer literal out of range: 9223372036854775808"},
      {"{{ 99999999999999999999999 }}", "Integer literal out of range: 99999999999999999999999"},
      {"{{ \u0661\u0662 }}", "Invalid number literal: \u0661\u0662"},
      {"{{ \u00bd }}", "Invalid number literal: \u00bd"},
      {"{{ 1.\u0662 }}", "Invalid number literal: 1.\u0662"},
      {"{{ " + std::string(400, '9') + ".5 }}", "Number literal out of range: " + std::string(400, '9') + ".5"},
  };
  for (const ErrorCase& c : cases) EXPECT_EQ(parserError(c.source), c.message) << c.source;
}

TEST(ParserExpressionTest, LongFractionsStillRead) {
  EXPECT_EQ(parseExpression("0." + std::string(400, '0') + "1"), D(0.0));
  EXPECT_EQ(parseExpression("3.14159265358979323846264338327950288"), D(3.141592653589793));
}

struct StatementCase {
  std::string source;
  Nodes expected;
};

TEST(ParserStatementTest, Shapes) {
  const std::vector<StatementCase> cases = {
      {"", {}},
      {"Hello {{ name }}!", {Text("Hello "), Out(Id("name")), Text("!")}},
      {"{# c #}", {Node::comment(" c ")}},
      {"{% if a %}x{% elif b %}y{% else %}z{% endif %}",
       {Stmt(Statement::if_(Id("a"), {Text("x")}, {Stmt(Statement::if_(Id("b"), {Text("y")}, {Text("z")}))}))}},
      {"{% if a %}x{% endif %}", {Stmt(Statement::if_(Id("a"), {Text("x")}, {}))}},
      {"{% for k, v in d.items() %}{{ k }}{% endfor %}",
       {Stmt(Statement::for_(Statement::LoopVar::tuple({"k", "v"}), Call(Dot(Id("d"), "items")), {Out(Id("k"))}, {},
                             std::nullopt))}},
      {"{% for x in xs if x %}a{% else %}b{% endfor %}",
       {Stmt(Statement::for_(Statement::LoopVar::single("x"), Id("xs"), {Text("a")}, {Text("b")}, Id("x")))}},
      {"{% for x in xs | sort if x > 1 %}{% endfor %}",
       {Stmt(Statement::for_(Statement::LoopVar::single("x"), Filt(Id("xs"), "sort"), {}, {},
                             Bin(B::greater, Id("x"), I(1))))}},
      {"{% set x = 1 %}", {Stmt(Statement::set(Id("x"), I(1), {}))}},
      {"{% set a, b = 1, 2 %}",
       {Stmt(Statement::set(E::tuple({Id("a"), Id("b")}), E::tuple({I(1), I(2)}), {}))}},
      {"{% set ns.x = 1 %}", {Stmt(Statement::set(Dot(Id("ns"), "x"), I(1), {}))}},
      {"{% set x %}hi{% endset %}", {Stmt(Statement::set(Id("x"), std::nullopt, {Text("hi")}))}},
      {"{% macro m(a, b=2) %}{{ a }}{% endmacro %}",
       {Stmt(Statement::macro("m", {"a", "b"}, Obj({{"b", I(2)}}), {Out(Id("a"))}))}},
      {"{% macro m(a=1, b, a=3) %}{% endmacro %}",
       {Stmt(Statement::macro("m", {"a", "b", "a"}, Obj({{"a", I(3)}}), {}))}},
      {"{% call(x, y=1) m() %}..{% endcall %}", {Stmt(Statement::call(Call(Id("m")), std::vector<E>{Id("x")}, {Text("..")}))}},
      {"{% call() m() %}{% endcall %}", {Stmt(Statement::call(Call(Id("m")), std::vector<E>{}, {}))}},
      {"{% call m() %}x{% endcall %}", {Stmt(Statement::call(Call(Id("m")), std::nullopt, {Text("x")}))}},
      {"{% break %}{% continue %}", {Stmt(Statement::break_()), Stmt(Statement::continue_())}},
      {"{% filter upper %}abc{% endfilter %}", {Stmt(Statement::filter(Id("upper"), {Text("abc")}))}},
      {"{% filter x | truncate(3) %}abc{% endfilter %}",
       {Stmt(Statement::filter(Filt(Id("x"), "truncate", {I(3)}), {Text("abc")}))}},
      // The call form takes the pipe form's shape, so the block's filter gets its arguments.
      {"{% filter truncate(10, end='') %}abc{% endfilter %}",
       {Stmt(Statement::filter(Filt(E::null(), "truncate", {I(10)}, {{"end", S("")}}), {Text("abc")}))}},
      {"{% filter m.f(1) %}{% endfilter %}", {Stmt(Statement::filter(Call(Dot(Id("m"), "f"), {I(1)}), {}))}},
      {"{% generation %}x{% endgeneration %}", {Stmt(Statement::generation({Text("x")}))}},
      {"a {%- if x -%} b {%- endif %}", {Text("a"), Stmt(Statement::if_(Id("x"), {Text("b")}, {}))}},
  };
  for (const StatementCase& c : cases) {
    SCOPED_TRACE(c.source);
    Nodes parsed = parse(c.source);
    EXPECT_EQ(jsonOf(parsed), jsonOf(c.expected));
    EXPECT_TRUE(parsed == c.expected);
  }
}

TEST(ParserStatementTest, AdjacentTextIsJoinedAndEmptyTextDropped) {
  std::vector<Token> tokens = {Token(Token::Kind::text, "a", 0), Token(Token::Kind::text, "", 1),
                               Token(Token::Kind::text, "b", 1), Token(Token::Kind::eof, "", 2)};
  EXPECT_EQ(jsonOf(Parser::parse(tokens)), jsonOf(Nodes{Text("ab")}));
  EXPECT_TRUE(Parser::parse({Token(Token::Kind::eof, "", 0)}).empty());
  EXPECT_TRUE(Parser::parse({}).empty());
  // Nothing after the end marker is read.
  EXPECT_TRUE(Parser::parse({Token(Token::Kind::eof, "", 0), Token(Token::Kind::closeParen, ")", 0)}).empty());
}

TEST(ParserStatementTest, ErrorMessages) {
  const std::vector<ErrorCase> cases = {
      {"{% if a %}x", "Unclosed if statement"},
      {"{% for x in y %}x", "Unclosed for loop"},
      {"{% set x %}x", "Expected '{%' for endset.. Got eof instead"},
      {"{% if a %}{% endfor %}{% endif %}", "Unknown statement: endfor"},
      {"{% for x in a + b %}", "Expected '%}' after for loop.. Got plus instead"},
      {"{{ x }", "Expected '}}' after expression.. Got closeBrace instead"},
      {"{% %}", "Unknown statement: %}"},
      {"{% foo %}", "Unknown statement: foo"},
      {"{% endif %}", "Unknown statement: endif"},
      {"{%", "Unknown statement: "},
      {"{% macro m(a,) %}{% endmacro %}", "Expected identifier but found closeParen."},
      {"{% macro m %}", "Expected '(' after macro name.. Got closeStatement instead"},
      {"{% macro m(a b) %}", "Expected ')' after macro parameters.. Got identifier instead"},
      {"{% macro m() x %}", "Expected '%}' after macro definition.. Got identifier instead"},
      {"{% macro m() %}", "Expected '{%' for endmacro.. Got eof instead"},
      {"{% if a none %}", "Expected '%}' after if condition.. Got null instead"},
      {"{% if a %}{% else x %}", "Expected '%}' after else.. Got identifier instead"},
      {"{% if a %}{% else %}", "Expected '{%' for endif.. Got eof instead"},
      {"{% if a %}{% endif x %}", "Expected '%}' after endif.. Got identifier instead"},
      {"{% if a %}{% elif %}", "Unexpected token for primary expression: closeStatement"},
      {"{% for (a, b) in c %}", "Expected identifier but found openParen."},
      {"{% for a b %}", "Expected 'in' in for loop.. Got identifier instead"},
      {"{% for a in b %}{% else %}", "Expected '{%' for endfor.. Got eof instead"},
      {"{% for a in b %}{% endfor x %}", "Expected '%}' after endfor.. Got identifier instead"},
      {"{% break x %}", "Expected '%}' after break.. Got identifier instead"},
      {"{% continue x %}", "Expected '%}' after continue.. Got identifier instead"},
      {"{% set x = 1 none %}", "Expected '%}' after set statement.. Got null instead"},
      {"{% set x %}{% endset x %}", "Expected '%}' after endset.. Got identifier instead"},
      {"{% call(a none) m() %}", "Expected ')' after caller arguments.. Got null instead"},
      {"{% call m() none %}", "Expected '%}' after call statement.. Got null instead"},
      {"{% call m() %}", "Expected '{%' for endcall.. Got eof instead"},
      {"{% filter f none %}", "Expected '%}' after filter statement.. Got null instead"},
      {"{% filter f %}", "Expected '{%' for endfilter.. Got eof instead"},
      {"{% generation x %}", "Expected '%}' after generation statement.. Got identifier instead"},
      {"{% generation %}{% endgeneration x %}", "Expected '%}' after endgeneration.. Got identifier instead"},
  };
  for (const ErrorCase& c : cases) EXPECT_EQ(parserError(c.source), c.message) << c.source;
}

// Deeply nested input is refused with an error instead of exhausting the stack.
TEST(ParserNestingTest, DeepNestingIsAParserError) {
  auto repeat = [](const std::string& piece, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += piece;
    return out;
  };
  const std::string tooDeep = "Template nested too deeply (more than 100 levels)";
  const std::vector<std::string> hostile = {
      "{{ " + repeat("(", 20000) + "x" + repeat(")", 20000) + " }}",
      "{{ " + repeat("not ", 20000) + "x }}",
      "{{ " + repeat("-", 20000) + "x }}",
      "{{ " + repeat("* ", 20000) + "x }}",
      "{{ " + repeat("[", 20000) + " }}",
      "{{ " + repeat("{'a': ", 20000) + " }}",
      "{{ " + repeat("f(", 20000) + " }}",
      "{{ x" + repeat(" ~ x", 20000) + " }}",
      "{{ x" + repeat(" | f", 20000) + " }}",
      "{{ x" + repeat(".a", 20000) + " }}",
      "{{ x" + repeat(" if y else x", 20000) + " }}",
      repeat("{% if x %}", 20000),
      "{% if x %}" + repeat("{% elif x %}", 20000) + "{% endif %}",
  };
  for (const std::string& source : hostile) EXPECT_EQ(parserError(source), tooDeep) << source.substr(0, 40);
}

TEST(ParserNestingTest, NestingJustBelowTheLimitParses) {
  std::string open(90, '('), close(90, ')');
  EXPECT_EQ(parseExpression(open + "1" + close), I(1));
  std::string source;
  for (int i = 0; i < 90; ++i) source += "{% for x in y %}";
  for (int i = 0; i < 90; ++i) source += "{% endfor %}";
  EXPECT_EQ(parse(source).size(), 1u);
  std::string chain = "x";
  for (int i = 0; i < 99; ++i) chain += " + x";
  EXPECT_EQ(parseExpression(chain).depth(), 100u);
  EXPECT_EQ(parserError("{{ " + chain + " + x }}"), "Template nested too deeply (more than 100 levels)");
}

// Every tree the parser accepts reads back from its JSON form: the deepest ones of each nesting
// construct stay within the JSON reader's depth.
TEST(ParserNestingTest, DeepestTreesReadBackFromJson) {
  auto nested = [](const std::string& open, const std::string& middle, const std::string& close, std::uint32_t n) {
    std::string out;
    for (std::uint32_t i = 0; i < n; ++i) out += open;
    out += middle;
    for (std::uint32_t i = 0; i < n; ++i) out += close;
    return out;
  };
  using Maker = std::function<std::string(std::uint32_t)>;
  const std::vector<Maker> makers = {
      [&](std::uint32_t k) { return nested("{% if x %}", "{{ [x] }}", "{% endif %}", k); },
      [&](std::uint32_t k) { return "{% if x %}a" + nested("{% elif x %}", "", "", k) + "{% endif %}"; },
      [&](std::uint32_t k) { return nested("{% for x in y %}", "{{ x }}", "{% else %}{% endfor %}", k); },
      [&](std::uint32_t k) { return nested("{% macro m(a=[1]) %}", "", "{% endmacro %}", k); },
      [&](std::uint32_t k) { return nested("{% call(a) m() %}", "", "{% endcall %}", k); },
      [&](std::uint32_t k) { return nested("{% filter f(1) %}", "", "{% endfilter %}", k); },
      [&](std::uint32_t k) { return nested("{% set x %}", "", "{% endset %}", k); },
      [&](std::uint32_t k) { return nested("{% generation %}", "", "{% endgeneration %}", k); },
      [&](std::uint32_t k) { return "{{ " + nested("[", "1", "]", k) + " }}"; },
      [&](std::uint32_t k) { return "{{ " + nested("{'a': ", "1", "}", k) + " }}"; },
      [&](std::uint32_t k) { return "{{ " + nested("f(", "1", ")", k) + " }}"; },
      [&](std::uint32_t k) { return "{{ " + nested("f(k=", "1", ")", k) + " }}"; },
      [&](std::uint32_t k) { return "{{ " + nested("x[", "1", "]", k) + " }}"; },
      [&](std::uint32_t k) { return "{{ " + nested("x[::", "1", "]", k) + " }}"; },
      [&](std::uint32_t k) { return "{{ " + nested("(", "1", ")|f(1)", k) + " }}"; },
      [&](std::uint32_t k) { return "{{ " + nested("(", "1", ") is t(1)", k) + " }}"; },
      [&](std::uint32_t k) { return "{{ x" + nested(" if y else x", "", "", k) + " }}"; },
  };
  for (const Maker& make : makers) {
    // The deepest nesting of this construct that parses.
    std::uint32_t k = Parser::maxNesting;
    Nodes nodes;
    for (;; --k) {
      try {
        nodes = parse(make(k));
        break;
      } catch (const JinjaError&) {
        ASSERT_GT(k, Parser::maxNesting / 2) << make(1);
      }
    }
    json::Array array;
    for (const Node& node : nodes) array.push_back(node.toJson());
    json::Value back = json::parse(json::write(json::Value(std::move(array))));
    ASSERT_EQ(back.asArray().size(), nodes.size()) << make(1);
    for (std::size_t i = 0; i < nodes.size(); ++i) EXPECT_EQ(Node::fromJson(back.asArray()[i]), nodes[i]) << make(1);
  }
}

}  // namespace
}  // namespace jinja

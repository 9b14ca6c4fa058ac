// The built-in tests, through templates. Expected outputs are Jinja2's (python3-jinja2 3.1) where
// the dialects agree, with booleans printed in lower case as this engine prints them; the second
// table holds the rules where this engine answers differently.
#include <string>

#include <gtest/gtest.h>

#include "templates/BuiltIns.h"
#include "templates/Environment.h"
#include "templates/JinjaError.h"
#include "templates/Template.h"
#include "templates/tests/RenderCase.h"

namespace jinja {
namespace {

using test::Case;
using test::render;

TEST(BuiltInTestsTest, AnswersAsJinja2) {
  const Case cases[] = {
      {"{{ none is defined }}|{{ nope is defined }}|{{ nope is undefined }}|{{ none is none }}|{{ nope is none }}",
       "true|false|true|true|false"},
      {"{{ 1 is number }}|{{ 1.0 is number }}|{{ 1 is integer }}|{{ 1.0 is float }}|{{ 1.0 is integer }}|"
       "{{ 'a' is string }}|{{ 1 is string }}",
       "true|true|true|true|false|true|false"},
      {"{{ 1 is true }}|{{ true is true }}|{{ false is false }}|{{ 0 is false }}|{{ true is boolean }}|"
       "{{ 1 is boolean }}",
       "false|true|true|false|true|false"},
      {"{{ -4 is even }}|{{ -3 is odd }}|{{ 2.5 is even }}|{{ 2.5 is odd }}|{{ 4.0 is even }}|{{ 3.0 is odd }}|"
       "{{ -3.0 is odd }}|{{ 7 is even }}",
       "true|true|false|false|true|true|true|false"},
      {"{{ 10 is divisibleby 5 }}|{{ 7.5 is divisibleby(2.5) }}|{{ 10 is divisibleby(3) }}|"
       "{{ 9 is divisibleby(-3) }}|{{ 10 is divisibleby(2.5) }}|{{ -9 is divisibleby(4) }}",
       "true|true|false|true|true|false"},
      {"{{ {} is iterable }}|{{ {} is mapping }}|{{ 'ab' is iterable }}|{{ 'ab' is sequence }}|{{ 5 is iterable }}|"
       "{{ [1] is sequence }}|{{ [1] is mapping }}",
       "true|true|true|true|false|true|false"},
      {"{{ 'abc' is lower }}|{{ 'aBc' is lower }}|{{ 'ABC' is upper }}|{{ 'AbC' is upper }}|{{ 5 is lower }}",
       "true|false|true|false|false"},
      {"{{ 1 is eq 1.0 }}|{{ 1 is equalto 2 }}|{{ 1 is ne 2 }}|{{ 2 is gt 1 }}|{{ 2 is greaterthan 2 }}|"
       "{{ 2 is ge 2 }}|{{ 'a' is lt 'b' }}|{{ 'a' is lessthan 'a' }}|{{ 1 is le 1.0 }}|{{ 1 is sameas 1 }}",
       "true|false|true|true|false|true|true|false|true|true"},
      {"{{ 1 is not none }}|{{ none is not none }}|{{ range is callable }}|{{ 'x' is callable }}|"
       "{{ 'x' is escaped }}",
       "true|false|true|false|false"},
  };
  for (const Case& c : cases) EXPECT_EQ(render(c.source), c.expected) << c.source;
}

TEST(BuiltInTestsTest, AnswersOfThisDialect) {
  const Case cases[] = {
      {"{{ true is number }}|{{ true is integer }}", "false|false"},  // booleans are not numbers
      {"{{ {} is sequence }}|{{ '' is lower }}|{{ '123' is lower }}|{{ '' is upper }}", "false|true|true|true"},
      {"{{ 10 is divisibleby(0) }}|{{ '10' is divisibleby(5) }}|{{ 1.0 is divisibleby(0) }}", "false|false|false"},
      {"{{ 1 is gt 'a' }}|{{ 1 is le none }}", "false|false"},  // unordered kinds: no error
  };
  for (const Case& c : cases) EXPECT_EQ(render(c.source), c.expected) << c.source;
}

TEST(BuiltInTestsTest, ErrorsAreRuntimeErrors) {
  const Case cases[] = {
      {"{{ 1 is sameas 'a' }}", "Runtime error: Cannot compare values of different types (1 and a)"},
      {"{{ 5 is eq }}", "Runtime error: Missing required argument 'b' for filter."},
      {"{{ 5 is divisibleby }}", "Runtime error: Missing required argument 'divisor' for filter."},
      {"{{ 5 is True }}", "Runtime error: Unknown test: True"},
  };
  for (const Case& c : cases) EXPECT_EQ(render(c.source), c.expected) << c.source;
}

// The tests whose names the parser reads as keywords (in, filter) are reached through the table,
// as the select and reject filters reach them.
TEST(BuiltInTestsTest, KeywordNamedTests) {
  struct Row {
    const char* test;
    Value value, argument;
    bool expected;  // Jinja2's answer to `value in argument` where the dialects agree
  };
  const Row rows[] = {
      {"in", "b", "abc", true},
      {"in", "d", "abc", false},
      {"in", "b", Value::object({{"b", 1}}), true},
      {"in", 2, Value::array({1, 2.0}), true},
      // Membership is by equality: elements of other kinds are no match rather than an error.
      {"in", 2, Value::array({"x", 2}), true},
      {"in", 2, Value::array({2, "x"}), true},
      {"in", "x", Value::array({1, Value()}), false},
      {"in", 3, Value::array({1, 2}), false},
      {"in", Value::array({1}), Value::array({Value::array({1})}), true},
      {"in", 2, 5, false},                              // not a container
      {"in", 1, Value::object({{"1", 0}}), false},      // keys are strings
      {"filter", "nosuch", Value(), false},
      {"filter", 5, Value(), false},
      {"test", "defined", Value(), true},
      {"test", "==", Value(), true},
      {"test", 5, Value(), false},
  };
  auto env = Environment::make();
  for (const Row& row : rows) {
    Arguments args = {row.value};
    if (std::string(row.test) == "in") args.push_back(row.argument);
    EXPECT_EQ((*Tests::find(row.test))(args, {}, env), row.expected) << row.test << " " << row.value.description();
  }
}

TEST(BuiltInTestsTest, TableHoldsEveryNameAndAlias) {
  const char* names[] = {"defined", "undefined", "none",  "string", "number", "boolean",  "iterable", "even",
                         "odd",     "divisibleby", "mapping", "callable", "integer", "true", "false", "lower",
                         "upper",   "float",     "sequence", "escaped", "filter", "test",    "sameas",   "in",
                         "eq",      "==",        "equalto", "ne",     "!=",     "gt",       ">",        "greaterthan",
                         "ge",      ">=",        "lt",      "<",      "lessthan", "le",     "<="};
  EXPECT_EQ(Tests::builtIn().size(), std::size(names));
  auto env = Environment::make();
  for (const char* name : names) EXPECT_NE(Tests::find(name), nullptr) << name;
  // Aliases answer as their test: 1 == 1.0, 2 > 1, 1 <= 1.
  EXPECT_TRUE((*Tests::find("=="))({1, 1.0}, {}, env));
  EXPECT_FALSE((*Tests::find("!="))({1, 1.0}, {}, env));
  EXPECT_TRUE((*Tests::find(">"))({2, 1}, {}, env));
  EXPECT_FALSE((*Tests::find("<"))({2, 1}, {}, env));
  EXPECT_TRUE((*Tests::find(">="))({1, 1}, {}, env));
  EXPECT_TRUE((*Tests::find("<="))({1, 1}, {}, env));
}

}  // namespace
}  // namespace jinja

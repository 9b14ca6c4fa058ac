#include "templates/PropertyMembers.h"

#include <string>

#include <gtest/gtest.h>

#include "templates/JinjaError.h"
#include "templates/Template.h"

namespace jinja {
namespace {

std::string render(const std::string& source) {
  try {
    return Template(source).render({});
  } catch (const JinjaError& e) {
    return e.what();
  }
}

struct Case {
  const char* source;
  const char* expected;
};

// Outputs agree with Jinja2 (python3-jinja2 3.1), apart from the noted rows.
TEST(PropertyMembersTest, StringMethods) {
  const Case cases[] = {
      {"[{{ ' a '.strip() }}][{{ ' a '.lstrip() }}][{{ ' a '.rstrip() }}][{{ ' a '.strip('x') }}]", "[a][a ][ a][ a ]"},
      {"[{{ '\u00a0\u2003a\u3000\n'.strip() }}]", "[a]"},
      {"{{ 'hello world'.title() }} {{ 'hELLO'.title() }} {{ 'a\tb'.title() }}", "Hello World Hello A\tB"},
      {"{{ 'Stra\u00dfe'.upper() }} {{ '\u00c9A'.lower() }}", "STRASSE \u00e9a"},
      {"{{ 'a b  c'.split() }} {{ 'a b c'.split(none, 1) }} {{ ' '.split() }}", "['a', 'b', 'c'] ['a', 'b', 'c'] []"},
      {"{{ 'a,b,c'.split(',', 1) }} {{ 'a,b,c'.split(',', 0) }} {{ 'a,,b'.split(',') }} {{ ',a,'.split(',') }}",
       "['a', 'b,c'] ['a,b,c'] ['a', '', 'b'] ['', 'a', '']"},
      {"{{ 'a,b'.split(maxsplit=-5, separator=',') }} {{ 'a\tb c'.split() }}", "['a', 'b'] ['a\tb', 'c']"},
      {"{{ 'aXbXc'.replace('X', '-') }} {{ 'aXbXc'.replace('X', '-', 1) }} {{ 'ab'.replace('', '-') }}",
       "a-b-c a-bXc -a-b-"},
      {"{{ 'ab'.replace('', '-', 1) }} {{ 'ab'.replace('', '-', 2) }} {{ 'ab'.replace('', '-', 0) }}", "-ab -a-b ab"},
      // With a count the scan moves forward past each replacement, as without one.
      {"{{ 'aaa'.replace('a', 'ba', 3) }} {{ 'aaa'.replace('a', 'ba') }} {{ 'aaa'.replace('a', 'ba', 2) }}",
       "bababa bababa babaa"},
      {"{{ 'abc'.startswith('ab') }} {{ 'abc'.endswith('bc') }} {{ 'abc'.startswith('') }} {{ 'e\u0301'.startswith('e') }}",
       "true true true false"},  // booleans print in lower case; whole characters only
      {"{{ 'abc'.foo }}|{{ (5).foo }}|{{ [1].x }}", "||"},
  };
  for (const Case& c : cases) EXPECT_EQ(render(c.source), c.expected) << c.source;
}

// Text whose ends are visible ASCII comes back whole without being split into characters; each row
// also holds what splitting gives where an end is not.
TEST(PropertyMembersTest, StripKeepsTextWithVisibleEndsWhole) {
  struct Row {
    const char* text;
    const char* strip;
    const char* lstrip;
    const char* rstrip;
  };
  const Row rows[] = {
      {"a  b", "a  b", "a  b", "a  b"},
      {"a\xcc\x81 \xe3\x80\x80z", "a\xcc\x81 \xe3\x80\x80z", "a\xcc\x81 \xe3\x80\x80z", "a\xcc\x81 \xe3\x80\x80z"},
      {" a.", "a.", "a.", " a."},
      {"a. ", "a.", "a. ", "a."},
      {"a \xcc\x81", "a \xcc\x81", "a \xcc\x81", "a \xcc\x81"},  // a space carrying a mark is no space
      {"\tx\n", "x", "x\n", "\tx"},
      {"a\xff b", "a\xef\xbf\xbd b", "a\xef\xbf\xbd b", "a\xef\xbf\xbd b"},  // repaired as ever
      {"x", "x", "x", "x"},
      {"", "", "", ""},
  };
  for (const Row& row : rows) {
    const char* expected[] = {row.strip, row.lstrip, row.rstrip};
    const char* names[] = {"strip", "lstrip", "rstrip"};
    for (int k = 0; k < 3; ++k) {
      Value result;
      ASSERT_TRUE(PropertyMembers::callMethod(Value(row.text), names[k], {}, {}, result));
      EXPECT_EQ(result, Value(expected[k])) << names[k] << " of " << row.text;
    }
  }
}

TEST(PropertyMembersTest, ObjectMethodsAndKeys) {
  const Case cases[] = {
      {"{{ {'a': 1}.get('a') }} {{ {'a': 1}.get('b') }}|{{ {'a': 1}.get('b', 2) }} {{ {'1': 5}.get(1) }}", "1 |2 5"},
      {"{{ {'b': 1, 'a': 2}.keys() }} {{ {'b': 1, 'a': 2}.values() }} {{ {'b': 1}.items() }}",
       "['b', 'a'] [1, 2] [['b', 1]]"},
      {"{{ {'items': 1}.items }} {{ {'items': 1}['items'] }} {{ {'x': 1}.x }}|{{ {'x': 1}.y }}|",
       "[Function] 1 1||"},
      // A method keeps the receiver as it was when the name was evaluated.
      {"{% set d = {'a': 1} %}{% set k = d.keys %}{% set d.b = 2 %}{{ k() }} {{ d.keys() }}", "['a'] ['a', 'b']"},
  };
  for (const Case& c : cases) EXPECT_EQ(render(c.source), c.expected) << c.source;
}

TEST(PropertyMembersTest, ArgumentErrors) {
  const Case cases[] = {
      {"{{ 'x'.strip(nope='y') }}", "Runtime error: Unexpected keyword argument 'nope' for filter."},
      {"{{ 'ab'.replace('a') }}", "Runtime error: Missing required argument 'new' for filter."},
      {"{{ 'abc'.startswith('a', prefix='b') }}", "Runtime error: Argument 'prefix' passed both positionally and as keyword."},
      {"{{ 'abc'.endswith(1) }}", "Runtime error: endswith() requires a string suffix"},
      {"{{ 'abc'.startswith(none) }}", "Runtime error: startswith() requires a string prefix"},
      {"{{ 'ab'.replace(1, 'x') }}", "Runtime error: replace() requires 'old' and 'new' string arguments"},
  };
  for (const Case& c : cases) EXPECT_EQ(render(c.source), c.expected) << c.source;
}

TEST(PropertyMembersTest, ResolveCallArguments) {
  BoundArguments bound = resolveCallArguments({1, 2, 3}, {}, {"a", "b"}, {{"b", Value(0)}});
  EXPECT_EQ(bound.size(), 2u);
  EXPECT_TRUE(bound.at("a") == Value(1));
  EXPECT_TRUE(bound.at("b") == Value(2));
  bound = resolveCallArguments({}, {{"a", Value(7)}}, {"a", "b"}, {{"b", Value(0)}, {"z", Value(9)}});
  EXPECT_TRUE(bound.at("b") == Value(0));
  EXPECT_EQ(bound.count("z"), 0u);
  try {
    resolveCallArguments({}, {{"b", Value(1)}}, {"a", "b"}, {});
    ADD_FAILURE();
  } catch (const JinjaError& e) {
    EXPECT_EQ(e.message(), "Missing required argument 'a' for filter.");
  }
}

}  // namespace
}  // namespace jinja

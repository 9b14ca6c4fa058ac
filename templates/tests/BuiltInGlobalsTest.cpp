// The built-in global functions. Expected outputs are Jinja2's (python3-jinja2 3.1) where the
// dialects agree; dict's key order, printed null and the caps are this engine's own rules.
#include <atomic>
#include <ctime>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "templates/BuiltIns.h"
#include "templates/Environment.h"
#include "templates/JinjaError.h"
#include "templates/Template.h"
#include "templates/tests/RenderCase.h"
#include "templates/TemplateException.h"
#include "templates/builtins/BuiltInRows.h"

namespace jinja {
namespace {

using test::Case;
using test::render;

TEST(BuiltInGlobalsTest, RenderAsJinja2) {
  const Case cases[] = {
      {"{% for i in range(3) %}{{ i }},{% endfor %}|{% for i in range(2, 5) %}{{ i }},{% endfor %}|"
       "{% for i in range(0, 10, 3) %}{{ i }},{% endfor %}|{% for i in range(5, 0, -2) %}{{ i }},{% endfor %}|"
       "{% for i in range(3, 3) %}{{ i }},{% endfor %}|{% for i in range(0, 5, -1) %}{{ i }},{% endfor %}|"
       "{% for i in range(-3) %}{{ i }},{% endfor %}|{% for i in range(-5, -1, 2) %}{{ i }},{% endfor %}|",
       "0,1,2,|2,3,4,|0,3,6,9,|5,3,1,||||-5,-3,|"},
      // current is the item next() gives next, also after reset (Jinja2 prints the null as None).
      {"{% set c = cycler('a', 'b') %}{{ c.current }}{{ c.next() }}{{ c.current }}{{ c.next() }}{{ c.current }}"
       "{{ c.next() }}{{ c.reset() }}{{ c['current'] }}{{ c.next() }}",
       "aabbaaaa"},
      {"{% set j = joiner() %}[{{ j() }}][{{ j() }}][{{ j() }}]{% set k = joiner(sep='-') %}[{{ k() }}][{{ k() }}]",
       "[][, ][, ][][-]"},
      {"{% set ns = namespace(x=1) %}{% for i in range(3) %}{% set ns.x = ns.x + i %}{% endfor %}{{ ns.x }}", "4"},
      {"{{ lipsum(0) }}|{{ lipsum(0, false) }}", "|"},
  };
  for (const Case& c : cases) EXPECT_EQ(render(c.source), c.expected) << c.source;
}

TEST(BuiltInGlobalsTest, RulesOfThisDialect) {
  const Case cases[] = {
      {"{{ dict(b=1, a=2) }}|{{ dict() }}|{{ namespace(x=1) }}", "{a: 2, b: 1}|{}|{x: 1}"},
      {"{{ range(3, stop=9) }}", "[0, 1, 2]"},  // keywords are ignored
  };
  for (const Case& c : cases) EXPECT_EQ(render(c.source), c.expected) << c.source;
  // Two one-word paragraphs: a capitalised word and a full stop, two line breaks between.
  std::string text = render("{{ lipsum(2, false, 1, 1) }}");
  EXPECT_TRUE(std::regex_match(text, std::regex("[A-Z][a-z]+\\.\n\n[A-Z][a-z]+\\."))) << text;
  text = render("{{ lipsum(3, min=2, max=4) }}");
  EXPECT_TRUE(std::regex_match(text, std::regex("(<p>[A-Z][a-z]+( [a-z]+){1,3}\\.</p>\n){2}<p>[A-Z][a-z]+( [a-z]+){1,3}\\.</p>")))
      << text;
  EXPECT_EQ(render("{{ lipsum(1, true, 0, 0) }}"), "<p>.</p>");
}

TEST(BuiltInGlobalsTest, ErrorsAreRuntimeErrors) {
  const Case cases[] = {
      {"{{ range(1, 2, 0) }}", "Runtime error: range() step argument must not be zero"},
      {"{{ range(1.5) }}", "Runtime error: range() stop argument must be an integer"},
      {"{{ range('a', 2) }}", "Runtime error: range() arguments must be integers"},
      {"{{ range() }}", "Runtime error: range() takes 1 to 3 arguments"},
      {"{{ range(1, 2, 3, 4) }}", "Runtime error: range() takes 1 to 3 arguments"},
      {"{{ range(stop=3) }}", "Runtime error: range() takes 1 to 3 arguments"},
      {"{{ lipsum(n='2') }}", "Runtime error: Invalid arguments for lipsum()"},
      {"{{ lipsum(-1) }}", "Runtime error: Invalid arguments for lipsum()"},
      {"{{ lipsum(1, true, 5, 4) }}", "Runtime error: Invalid arguments for lipsum()"},
      {"{{ cycler() }}", "Runtime error: cycler() requires at least one argument"},
      {"{{ dict(1, 2) }}", "Runtime error: dict expected at most 1 positional argument, got 2"},
      {"{{ dict(1) }}", "Runtime error: dict needs a mapping or a list of pairs, not 1"},
      {"{{ dict([[1, 2]]) }}", "Runtime error: Non-string dictionary keys are not supported (1)"},
      {"{{ joiner(5) }}", "Runtime error: joiner separator must be a string"},
      {"{{ strftime_now() }}", "Runtime error: strftime_now takes exactly 1 argument"},
      {"{{ strftime_now(format='%Y') }}", "Runtime error: strftime_now takes exactly 1 argument"},
      {"{{ strftime_now(1) }}", "Runtime error: strftime_now format argument must be a string"},
      // Huge requests stop with an error instead of allocating without bound; just below the cap
      // still works.
      {"{{ range(10000000000) }}", "Runtime error: range() would yield more than 4194304 values"},
      {"{{ range(-9223372036854775807, 9223372036854775807, 2) }}",
       "Runtime error: range() would yield more than 4194304 values"},
      {"{{ range(4194305) | length }}", "Runtime error: range() would yield more than 4194304 values"},
      {"{{ lipsum(1000000, false, 1000000, 1000000) }}", "Runtime error: lipsum() arguments ask for more than 67108864 bytes"},
      {"{{ lipsum(1, false, 0, 10000000) }}", "Runtime error: lipsum() arguments ask for more than 67108864 bytes"},
  };
  for (const Case& c : cases) EXPECT_EQ(render(c.source), c.expected) << c.source;
  auto env = Environment::make();
  const Function& range = Globals::builtIn().at("range").asFunction();
  EXPECT_EQ(range({4194304}, {}, env).asArray().size(), 4194304u);
  EXPECT_EQ(range({9223372036854775807 - 4, 9223372036854775807, 2}, {}, env).description(),
            "[9223372036854775803, 9223372036854775805]");
}

TEST(BuiltInGlobalsTest, RaiseExceptionThrowsItsOwnError) {
  const Case cases[] = {{"{{ raise_exception('bad') }}", "bad"},
                        {"{{ raise_exception(message='named') }}", "named"},
                        {"{{ raise_exception() }}", ""},
                        {"{{ raise_exception(5) }}", ""}};
  for (const Case& c : cases) {
    try {
      Template(c.source).render({});
      ADD_FAILURE() << "no exception: " << c.source;
    } catch (const TemplateException& e) {
      EXPECT_EQ(e.what(), std::string(c.expected)) << c.source;
      EXPECT_EQ(e.message.has_value(), *c.expected != '\0') << c.source;
    }
  }
}

// Literals are quoted for the date pattern, a quote inside one doubled.
TEST(BuiltInGlobalsTest, StrftimeFormatsBecomeDatePatterns) {
  const Case cases[] = {
      {"%Y-%m-%d %H:%M", "yyyy'-'MM'-'dd' 'HH':'mm"},
      {"%Q", "'%Q'"},
      {"100%", "'100%'"},
      {"%%", "%"},
      {"it's %Y", "'it''s 'yyyy"},
      {"%d %b %Y", "dd' 'MMM' 'yyyy"},
      {"%I %p %j %a", "h' 'a' 'DDD' 'EEE"},
  };
  for (const Case& c : cases) EXPECT_EQ(detail::strftimePattern(c.source), c.expected) << c.source;
}

TEST(BuiltInGlobalsTest, StrftimeNowFormatsTheCurrentDate) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char year[8];
  std::strftime(year, sizeof year, "%Y", &local);
  // Around midnight of New Year the two clocks may straddle a year; the pattern still holds.
  std::string out = render("{{ strftime_now('%Y') }}|{{ strftime_now(\"it's %Y, 100%\") }}|{{ strftime_now('%d %b') }}");
  EXPECT_TRUE(std::regex_match(out, std::regex("(\\d{4})\\|it's \\1, 100%\\|\\d\\d [A-Z][a-z][a-z]"))) << out;
  EXPECT_EQ(out.substr(0, 4), year);
}

// Formatters are kept for a few formats per thread: cycling through more formats than that, twice,
// gives each its own text every time (reference: the C library's strftime).
TEST(BuiltInGlobalsTest, StrftimeNowKeepsEachFormatApart) {
  const char* formats[] = {"%Y", "%m", "%d", "%y", "%j", "%B", "%A"};
  std::string source, expected;
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  for (int round = 0; round < 2; ++round)
    for (const char* format : formats) {
      source += std::string("{{ strftime_now('") + format + "') }}|";
      char text[64];
      std::strftime(text, sizeof text, format, &local);
      expected += std::string(text) + "|";
    }
  // Rendered and computed on the same day unless run across midnight.
  EXPECT_EQ(render(source), expected);
}

TEST(BuiltInGlobalsTest, CyclersAndJoinersAreSafeAcrossThreads) {
  auto env = Environment::make();
  Value c = Globals::builtIn().at("cycler").asFunction()({1, 2, 3}, {}, env);
  const Function& next = c.asObject().get("next")->asFunction();
  std::vector<std::thread> threads;
  std::atomic<long> sum{0};
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 3000; ++i) sum += next({}, {}, env).asInt();
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(sum.load(), 4 * 1000 * 6);  // 12000 calls, each full turn of 1, 2, 3 adds 6
}

}  // namespace
}  // namespace jinja

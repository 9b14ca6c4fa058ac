#include "templates/Template.h"

#include <pthread.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Text/Unicode.h"
#include "templates/Interpreter.h"
#include "templates/JinjaError.h"
#include "templates/Parser.h"
#include "templates/detail/Text.h"

namespace jinja {
namespace {

// Stand-ins for built-in filters, passed as function variables (which take precedence over the
// built-in table): upper(text), join(list, separator), wrap(text, edge).
Template::Context helpers() {
  Template::Context context;
  context["upper"] = Value(Function([](const Arguments& args, const KeywordArguments&, const EnvironmentRef&) {
    return Value(platform::text::uppercased(args.at(0).description()));
  }));
  context["join"] = Value(Function([](const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef&) {
    std::string separator = args.size() > 1 ? args[1].asString() : "";
    if (auto it = kwargs.find("d"); it != kwargs.end()) separator = it->second.asString();
    std::string out;
    for (const Value& v : args.at(0).asArray()) out += (out.empty() ? "" : separator) + v.description();
    return Value(out);
  }));
  context["wrap"] = Value(Function([](const Arguments& args, const KeywordArguments&, const EnvironmentRef&) {
    return Value(args.at(1).description() + args.at(0).description() + args.at(1).description());
  }));
  context["ns"] = Value::object({{"x", 0}});
  context["xs"] = Value::array({10, 20, 30});
  context["message"] = Value::object({{"role", "user"}, {"content", "Hi"}});
  return context;
}

std::string render(const std::string& source, Template::Options options = {}) {
  return Template(source, options).render(helpers());
}

std::string renderError(const std::string& source) {
  try {
    std::string out = render(source);
    return "rendered: " + out;
  } catch (const JinjaError& e) {
    return e.what();
  }
}

struct Case {
  const char* source;
  const char* expected;
};

// Each source renders to its expected text; a throw shows as "threw <message>".
template <std::size_t N>
void expectRenders(const Case (&cases)[N]) {
  for (const Case& c : cases) {
    std::string out;
    try {
      out = render(c.source);
    } catch (const std::exception& e) {
      out = std::string("threw ") + e.what();
    }
    EXPECT_EQ(out, c.expected) << c.source;
  }
}

// Expected outputs are Jinja2's (python3-jinja2 3.1) where the dialects agree; the rest follow the
// engine's documented rules (noted per block).
TEST(TemplateTest, RendersExpressions) {
  const Case cases[] = {
      {"", ""},
      {"plain text\n", "plain text"},
      {"{{ nosuch }}|{{ 'abc' }}|{{ none }}", "|abc|"},
      {"{{ 0 and 5 }} {{ 1 and 'x' }} {{ 0 or '' }}|{{ false and f() }}", "0 x |false"},  // booleans print in lower case
      {"{{ 3 if false else 4 }}|{{ 3 if false }}|", "4||"},
      {"{{ [1, 2, 3][-1] }}{{ [1, 2, 3][3] }}{{ [1, 2, 3][-4] }}{{ 'abc'[1] }}{{ 'abc'[-1] }}", "3bc"},
      {"{{ {'a': 1}['b'] }}{{ {'a': 1}['a'] }}", "1"},
      {"{{ 'abc'[::-1] }} {{ [1, 2, 3][::2] }} {{ [1, 2, 3][1:100] }} {{ 'abcdef'[-9::2] }}",
       "cba [1, 3] [2, 3] bdf"},
      {"{{ [1, 2, 3][5::-1] }} {{ 'abcdef'[1:-1] }} {{ 'abcdef'[-2:] }}", "[3, 2, 1] bcde ef"},
      {"{{ 'abc'[-9223372036854775807:] }} {{ 'abc'[9223372036854775807::-1] }} {{ 'abc'[::9223372036854775807] }}",
       "abc cba a"},
      {"{{ [1, 2, 3][::-9223372036854775807 - 1] }} {{ 'abc'[-9223372036854775807 - 1::-1] }}|", "[3] |"},
      {"{{ 7 // 2 }} {{ 7 / 2 }} {{ 2 ** 10 }} {{ 7 % 3 }} {{ 1 ~ 'a' }} {{ 'a' * 3 }}", "3 3.5 1024 1 1a aaa"},
      {"{{ 1 < 2 }} {{ 'b' > 'a' }} {{ 1 == 1.0 }} {{ 2 in [1, 2] }} {{ 'x' not in 'abc' }}",
       "true true true true true"},
      {"{{ not 0 }} {{ -(3) }} {{ +2.5 }} {{ -0.0 }}", "true -3 2.5 -0.0"},
      {"{{ message.role }}:{{ message['content'] }}:{{ message.nope }}:{{ none.x }}:{{ [1].length }}",
       "user:Hi:::"},
      {"{{ 'ab' | upper }} {{ xs | join(', ') }} {{ xs | join(d='-') }}", "AB 10, 20, 30 10-20-30"},
      {"{{ 'Hello World'.upper() }} {{ ' a '.strip() }}|{{ 'a,b,c'.split(',', 1) }}", "HELLO WORLD a|['a', 'b,c']"},
      {"{{ message.items() }} {{ message.keys() }} {{ message.get('x', 5) }}",
       "[['role', 'user'], ['content', 'Hi']] ['role', 'content'] 5"},  // pairs are lists
  };
  expectRenders(cases);
}

TEST(TemplateTest, RendersStatements) {
  const Case cases[] = {
      {"{% set x = 1 %}{% if x %}a{% elif y %}b{% else %}c{% endif %}", "a"},
      {"{% if 0 %}a{% elif 1 %}b{% else %}c{% endif %}", "b"},
      {"{% for x in [] %}a{% else %}empty{% endfor %}", "empty"},
      {"{% for x in [1, 2] if x > 5 %}a{% else %}empty{% endfor %}", "empty"},
      {"{% for c in 'ab' %}{{ c }};{% endfor %}{% for k in {'a': 1} %}{{ k }}{% endfor %}", "a;b;a"},
      {"{% for k, v in {'a': 1, 'b': 2} %}{{ k }}={{ v }} {% endfor %}", "a=1 b=2 "},
      {"{% for a, b in [[1], [2, 3, 4]] %}({{ a }},{{ b }}){% endfor %}", "(1,)(2,3)"},
      {"{% for x in xs if x != 10 %}{{ loop.index }}{{ loop.first }}{{ loop.last }} {% endfor %}",
       "1truefalse 2falsetrue "},
      {"{% for x in xs %}{{ loop.index0 }}{{ loop.revindex }}{{ loop.revindex0 }}{{ loop.length }} {% endfor %}",
       "0323 1213 2103 "},
      {"{% for x in xs %}{{ loop.cycle('odd', 'even') }} {% endfor %}|{% for x in [1] %}{{ loop.cycle() }}{% endfor %}",
       "odd even odd |"},
      {"{% for x in xs %}{{ x }}{% if loop.index == 2 %}{% break %}{% endif %}!{% else %}E{% endfor %}",
       "10!20"},
      {"{% for x in xs %}{% if x == 20 %}{% continue %}{% endif %}{{ x }}{% endfor %}", "1030"},
      {"{% for c in 'abc' %}{% if c == 'b' %}{% break %}{% endif %}{{ c }}{% endfor %}", "a"},
      {"{% for k in {'a': 1, 'b': 2} %}{% if k == 'a' %}{% continue %}{% endif %}{{ k }}{% endfor %}", "b"},
      {"{% for x in xs %}{% set y = x %}{% endfor %}[{{ y }}]", "[]"},
      {"{% for x in xs %}{% set ns.x = ns.x + x %}{% endfor %}{{ ns.x }}", "60"},
      {"{% set s = 'str' %}{% set s.x = 1 %}{{ s }}", "str"},
      {"{% set a, b = [1, 2] %}{{ b }}{{ a }}", "21"},
      {"{% set d = {} %}{% set d['k'] = 'v' %}{{ d }}", "{k: v}"},
      {"{% set t %}in {{ 'block' }}{% endset %}[{{ t }}]", "[in block]"},
      {"{% filter upper %}abc{{ 'd' }}{% endfilter %}", "ABCD"},
      // The call form and the pipe form of a filter block both pass arguments; the block's text comes first.
      {"{% filter wrap('*') %}ab{% endfilter %}|{% filter 'ignored' | wrap('-') %}c{% endfilter %}", "*ab*|-c-"},
      {"{% filter upper(1) %}x{% endfilter %}", "X"},
      {"{% generation %}g{% endgeneration %}{# comment #}", "g"},
      {"{% macro m(a, b=2) %}{{ a }}-{{ b }}-{{ c }}{% endmacro %}{{ m(1) }} {{ m(1, 3) }} {{ m(1, b=4) }}",
       "1-2- 1-3- 1-4-"},
      {"{% set b = 'outer' %}{% macro m(a, b) %}{{ a }}{{ b }}{% endmacro %}{{ m(1) }}", "1outer"},
      {"{% macro m(a) %}{{ a }}{% endmacro %}{{ m(1, a=2) }}", "2"},
      {"{% macro m() %}[{{ caller() }}]{% endmacro %}{% call m() %}xyz{% endcall %}", "[xyz]"},
      {"{% macro m() %}{{ caller(5) }}{{ caller() }}{% endmacro %}{% set x = 'site' %}"
       "{% call(x) m() %}<{{ x }}>{% endcall %}",
       "<5><site>"},
      {"{% macro m(n) %}{% if n > 0 %}{{ n }}{{ m(n - 1) }}{% endif %}{% endmacro %}{{ m(3) }}", "321"},
      {"{% for x in xs %}{% macro stop() %}{% break %}{% endmacro %}{{ x }}{{ stop() }}{% endfor %}", "10"},
  };
  expectRenders(cases);
}

// Words that open tags are names wherever an expression is expected; tags are still recognised by
// the word right after "{%".
TEST(TemplateTest, TagWordsAreNamesInExpressions) {
  const Case cases[] = {
      {"{% for call in xs %}{{ call }}{% endfor %}", "102030"},
      {"{% set filter = {'call': 1, 'endfor': 2} %}{{ filter.call }}{{ filter['endfor'] }}{{ filter.endfor }}", "122"},
      {"{% macro macro(generation, elif) %}{{ generation }}{{ elif }}{% endmacro %}{{ macro(elif=1, generation=2) }}", "21"},
      {"{% set endif, endset = [1, 2] %}{{ endif + endset }}{% if endif %}y{% endif %}", "3y"},
      {"{{ 'ab' | wrap(endcall) }}{% for x in [endmacro, endfilter, endgeneration] %}{{ x }}{% endfor %}", "ab"},
      {"{% filter upper %}{% for x in [1] %}{% call(x) wrap('a', filter) %}{% endcall %}{% endfor %}{% endfilter %}",
       "A"},
      // Text outside tags runs until an opener, closers included.
      {"{\"tool\": {\"name\": \"{{ 'x' }}\"}} %} #}", "{\"tool\": {\"name\": \"x\"}} %} #}"},
  };
  expectRenders(cases);
}

TEST(TemplateTest, RuntimeErrors) {
  const Case cases[] = {
      {"{{ 1 + true }}", "Runtime error: Cannot add values of different types (1 and true)"},
      {"{% for x in 5 %}{% endfor %}", "Runtime error: Cannot iterate over non-iterable value"},
      {"{% set a, b = [1, 2, 3] %}", "Runtime error: Tuple assignment mismatch: 2 variables and 3 values."},
      {"{% set a, b = 'ab' %}", "Runtime error: Cannot unpack non-array value for tuple assignment."},
      {"{% set x[1] = 1 %}", "Runtime error: Computed property key must be a string"},
      {"{{ 5(1) }}", "Runtime error: Cannot call non-function value"},
      // Arguments are evaluated before the callee or filter is checked.
      {"{{ 5(1 + true) }}", "Runtime error: Cannot add values of different types (1 and true)"},
      {"{{ 1 | nosuch(1 + true) }}", "Runtime error: Cannot add values of different types (1 and true)"},
      {"{% call 'str'(1 + true) %}x{% endcall %}", "Runtime error: Cannot add values of different types (1 and true)"},
      {"{% call m(*[1]) %}x{% endcall %}", "Runtime error: Unpacking operator can only be used in function calls"},
      {"{{ upper(*5) }}", "Runtime error: Cannot unpack non-array value"},
      {"{{ x | nosuch }}", "Runtime error: Unknown filter: nosuch"},
      {"{{ x is nosuch }}", "Runtime error: Unknown test: nosuch"},
      {"{{ -'a' }}", "Runtime error: Cannot negate non-numeric value"},
      {"{{ +true }}", "Runtime error: Cannot apply unary plus to non-numeric value"},
      {"{{ [1][::0] }}", "Runtime error: Slice step cannot be zero"},
      {"{{ 5[::0] }}", "Runtime error: Slice step cannot be zero"},
      {"{{ 5[1:2] }}", "Runtime error: Slice requires array or string"},
      {"{{ 'ab'.replace(1, 'x') }}", "Runtime error: replace() requires 'old' and 'new' string arguments"},
      {"{% filter nosuch %}x{% endfilter %}", "Runtime error: Unknown filter: nosuch"},
      {"{% call 'str'() %}x{% endcall %}", "Runtime error: Cannot call non-function value"},
      {"{% macro m() %}{{ caller(1) }}{% endmacro %}{% call(a.b) m() %}x{% endcall %}",
       "Runtime error: Caller parameter must be an identifier"},
      // Loop control outside a loop is an error of the render, not a stray signal.
      {"{% break %}", "Runtime error: 'break' outside a loop"},
      {"a{% if true %}{% continue %}{% endif %}", "Runtime error: 'continue' outside a loop"},
      {"{% macro m() %}{% break %}{% endmacro %}{{ m() }}", "Runtime error: 'break' outside a loop"},
      // Unbounded work becomes an error.
      {"{{ 'x' * 10**15 }}", "Runtime error: String result longer than 64 MiB"},
      {"{{ 9223372036854775807 + 1 }}", "Runtime error: Integer result out of range (9223372036854775807 and 1)"},
      {"{% macro m() %}{{ m() }}{% endmacro %}{{ m() }}",
       "Runtime error: Maximum nesting depth of 400 exceeded while rendering"},
      {"{% set s = 'x' * 40000000 %}{{ s ~ s }}",
       "Runtime error: String result longer than 64 MiB"},
  };
  for (const Case& c : cases) EXPECT_EQ(renderError(c.source), c.expected) << c.source;
}

std::string renderWithin(const std::string& source, std::chrono::milliseconds limit) {
  try {
    return "rendered " + std::to_string(Template(source).render(helpers(), {.timeLimit = limit}).size()) + " bytes";
  } catch (const JinjaError& e) {
    return e.what();
  }
}

// Templates that would run for hours stop at the render's time limit.
TEST(TemplateTest, HostileTemplatesStopAtTheTimeLimit) {
  const std::string fiveLoops = "{% for a in range(100) %}{% for b in range(100) %}{% for c in range(100) %}"
                                "{% for d in range(100) %}{% for e in range(100) %}{% endfor %}{% endfor %}"
                                "{% endfor %}{% endfor %}{% endfor %}";
  const std::string doublingMacro =
      "{% macro f(n) %}{% if n > 0 %}{{ f(n - 1) }}{{ f(n - 1) }}{% endif %}{% endmacro %}{{ f(40) }}";
  const std::string longLoops =
      "{% for a in range(4000000) %}{% for b in range(4000000) %}{% endfor %}{% endfor %}";
  // Walking a value that shares one array 2^64 times over, without output to fill.
  const std::string doubled = "{% set ns = namespace(l=[1]) %}{% for i in range(64) %}{% set ns.l = [ns.l, ns.l] %}"
                              "{% endfor %}{% set copy = [ns.l][0] %}";
  for (const std::string& source : {fiveLoops, doublingMacro, longLoops, doubled + "{{ ns.l == copy }}",
                                    doubled + "{{ copy in [1, ns.l] }}", doubled + "{{ [ns.l, copy] | unique | length }}"})
    EXPECT_EQ(renderWithin(source, std::chrono::milliseconds(50)),
              "Runtime error: Rendering took longer than its time limit of 50 ms")
        << source;
  // Without a limit, and within one, a template renders as ever.
  EXPECT_EQ(Template("{% for a in range(3) %}{{ a }}{% endfor %}").render({}, {.timeLimit = {}}), "012");
  EXPECT_EQ(renderWithin("{% for a in range(1000) %}{% endfor %}", std::chrono::minutes(10)), "rendered 0 bytes");
}

// Searches whose simple forms compare the needle again at every byte (about 28 s for the first
// case) take time in proportion to the text and end well within a short limit.
TEST(TemplateTest, SearchesOfLongNeedlesTakeLinearTime) {
  Template::Context context;
  context["h"] = Value(std::string(4'000'000, 'a'));
  context["n"] = Value(std::string(400'000, 'a') + "b");
  context["lt"] = Value(std::string(3'000'000, '<'));
  context["t"] = Value(std::string(200'000, 'a'));
  context["set"] = Value(std::string(200'000, 'b') + "a");
  const std::pair<const char*, const char*> cases[] = {
      {"{{ n in h }}|{{ n not in h }}|{{ n[:-1] in h }}|{{ [n, n[:-1]] | select('in', h) | length }}", "false|true|true|1"},
      {"{{ h.replace(n, 'x') | length }}|{{ h | replace(n, 'x') | length }}|{{ (h ~ 'b').replace(n, 'x') | length }}",
       "4000000|4000000|3600001"},
      {"{{ h.split(n) | length }}|{{ (h ~ 'b').split(n) | length }}|{{ ((h ~ 'b').split(n) | first) | length }}",
       "1|2|3600000"},
      {"{{ lt | striptags | length }}|{{ (lt ~ '>x') | striptags }}", "3000000|x"},
      {"{{ t | trim(set) | length }}|{{ (t ~ 'c') | trim(set) }}", "0|c"},
  };
  for (const auto& [source, expected] : cases) {
    std::string out;
    try {
      out = Template(source).render(context, {.timeLimit = std::chrono::seconds(5)});
    } catch (const JinjaError& e) {
      out = e.what();
    }
    EXPECT_EQ(out, expected) << source;
  }
}

// Needles up to Substring::shortLength bytes and longer ones are found alike, also where the
// needle overlaps itself; the reference is a plain search from each position.
TEST(TemplateTest, ReplaceFindsNeedlesOfEveryLength) {
  auto reference = [](const std::string& text, const std::string& old, const std::string& with) {
    std::string out;
    std::size_t from = 0;
    while (true) {
      std::size_t at = std::string::npos;
      for (std::size_t k = from; k + old.size() <= text.size() && at == std::string::npos; ++k)
        if (text.compare(k, old.size(), old) == 0) at = k;
      if (at == std::string::npos) break;
      out += text.substr(from, at - from) + with;
      from = at + old.size();
    }
    return out + text.substr(from);
  };
  const Template replace("{{ s.replace(old, '#') }}|{{ s | replace(old, '#') }}|{{ old in s }}|{{ s.split(old) | length }}");
  std::vector<std::pair<std::string, std::string>> cases;
  const std::string periodic = "aabaabaaab";
  for (std::size_t length : {std::size_t{2}, jinja::detail::Substring::shortLength - 1, jinja::detail::Substring::shortLength,
                             jinja::detail::Substring::shortLength + 1, std::size_t{40}}) {
    std::string runs(length, 'a');
    std::string cycle;
    while (cycle.size() < length) cycle += periodic;
    cycle.resize(length);
    cases.push_back({std::string(3 * length + 1, 'a'), runs});
    cases.push_back({std::string(length - 1, 'a') + "b" + std::string(2 * length, 'a') + "b", runs + "b"});
    cases.push_back({periodic + periodic + periodic + periodic + periodic + periodic, cycle});
    cases.push_back({"x" + cycle.substr(0, length - 1) + "y" + cycle + cycle, cycle});
  }
  for (const auto& [text, old] : cases) {
    const std::string replaced = reference(text, old, "#");
    std::size_t pieces = 1;
    for (char c : replaced) pieces += c == '#';
    const std::string expected = replaced + "|" + replaced + "|" + (replaced != text ? "true" : "false") + "|" +
                                 std::to_string(pieces);
    EXPECT_EQ(replace.render({{"s", Value(text)}, {"old", Value(old)}}), expected) << text << " / " << old;
  }
}

// A built-in that works through a long text looks at the clock on the way: each of these renders
// one expression that takes far longer than the limit.
TEST(TemplateTest, LongBuiltInsStopAtTheTimeLimit) {
  Template::Context context;
  context["big"] = Value(std::string(60'000'000, 'a') + " b");
  context["n"] = Value(std::string(100, 'a') + "c");
  std::string wide;
  for (int i = 0; i < 20'000'000; ++i) wide += "\xc3\x89";  // É
  context["wide"] = Value(std::move(wide));
  for (const char* source : {"{{ big | reverse | length }}", "{{ big | title | length }}", "{{ big | wordcount }}",
                             "{{ big[-1] }}", "{{ n in big }}", "{{ big.split(n) | length }}",
                             "{{ big | striptags | length }}", "{{ big | trim('a') }}",
                             // Built-ins whose one call is long, and chains of cheap ones.
                             "{{ big | upper | length }}", "{{ big | lower | length }}", "{{ big.upper() | length }}",
                             "{{ wide | lower | length }}", "{{ big | tojson | length }}", "{{ big | e | length }}",
                             "{{ big | urlencode | length }}", "{{ big | string | length }}", "{{ big | trim | length }}",
                             "{{ big.strip() | length }}", "{{ big | truncate(59000000) | length }}",
                             "{{ '%s' | format(big) | length }}", "{{ (big ~ 'x') | length }}",
                             "{{ ('ab' * 30000000) | length }}", "{{ big == big[1:] ~ 'a' }}"}) {
    std::string out;
    try {
      out = Template(source).render(context, {.timeLimit = std::chrono::milliseconds(1)});
    } catch (const JinjaError& e) {
      out = e.what();
    }
    EXPECT_EQ(out, "Runtime error: Rendering took longer than its time limit of 1 ms") << source;
  }
}

// Arrays and objects of one render, with the strings they hold, and the strings bound to variables
// and parameters count towards one memory budget, however the values are spread: past it the render ends with its error, within it renders as ever.
TEST(TemplateTest, ValuesOfOneRenderShareOneMemoryBudget) {
  const char* const sources[] = {
      "{{ range(300000) | list | length }}",
      "{% set ns = namespace(l=[]) %}{% for i in range(300) %}{% set ns.l = ns.l + ['x' * 10000] %}{% endfor %}"
      "{{ ns.l | length }}",
      "{% set ns = namespace(l=[]) %}{% for i in range(300) %}{% set ns.l = ns.l + [[i, 'x' * 10000]] %}{% endfor %}"
      "{{ ns.l | length }}",
      "{% set ns = namespace(l=[]) %}{% for i in range(300) %}{% set ns.l = ns.l + [dict(a='x' * 10000)] %}{% endfor %}"
      "{{ ns.l | length }}",
      "{% set ns = namespace() %}{% for i in range(300) %}{% set ns.x = namespace(up=ns.x, s='x' * 10000) %}{% endfor %}"
      "{{ ns.x.up.up.s | length }}",
      // Each call's argument copies the strings of the one before: 60 calls hold 1.8 MB.
      "{% macro m(n, l) %}{% if n > 0 %}{{ m(n - 1, l + ['x' * 1000]) }}{% else %}{{ l | length }}{% endif %}{% endmacro %}"
      "{{ m(60, []) }}",
      "{% macro m(n, s) %}{% if n > 0 %}{{ m(n - 1, s ~ 'x' * 1000) }}{% else %}{{ s | length }}{% endif %}{% endmacro %}"
      "{{ m(60, '') }}",
      // Strings being built, arguments being gathered and the text of bodies count before any of
      // them is bound.
      "{{ (('x' * 600000) ~ ('y' * 600000)) | length }}",
      "{{ ('x' * 500000).replace('x' * 500000, 'y' * 500000) | length }}",
      "{% macro m(n) %}{% if n > 0 %}{{ 'x' * 100000 }}{{ m(n - 1) }}{% endif %}{% endmacro %}{{ m(15) | length }}",
  };
  const char* const expected[] = {"300000", "300", "300", "300", "10000", "60", "60000", "1200000", "500000", "1500000"};
  for (std::size_t k = 0; k < std::size(sources); ++k) {
    auto renderWithBudget = [&](std::size_t bytes) {
      try {
        return Template(sources[k]).render({}, {.memoryLimit = bytes});
      } catch (const JinjaError& e) {
        return std::string(e.what());
      }
    };
    EXPECT_EQ(renderWithBudget(1 << 20), "Runtime error: Rendering needs more than its memory budget of 1048576 bytes")
        << sources[k];
    EXPECT_EQ(renderWithBudget(64 << 20), expected[k]) << sources[k];
    EXPECT_EQ(renderWithBudget(0), expected[k]) << sources[k];
  }
}

// `set x = x ~ ...` appends where x is stored when nothing else can see the difference; the
// results are those of evaluating the whole expression. Expected outputs come from Jinja2 3.1.
TEST(TemplateTest, AppendingSetsGiveTheValueOfTheExpression) {
  expectRenders({
      {"{% set ns = namespace(s='a') %}{% for i in range(3) %}{% set ns.s = ns.s ~ i ~ '-' %}{% endfor %}{{ ns.s }}",
       "a0-1-2-"},
      {"{% set s = 'a' %}{% set s = s + 'b' %}{% set s = s ~ s %}{% set s = s ~ 'c' ~ s %}{{ s }}", "ababcabab"},
      {"{% set ns = namespace(s='a') %}{% set t = ns.s %}{% set ns.s = ns.s ~ 'b' %}{{ t }} {{ ns.s }}", "a ab"},
      {"{% set ns = namespace(s='a') %}{% macro m() %}{% set ns.s = 'z' %}y{% endmacro %}"
       "{% set ns.s = ns.s ~ m() %}{{ ns.s }}",
       "ay"},
      {"{% set ns = namespace(s='a', t='b') %}{% set ns.s = ns.s ~ ns.t ~ ns.s %}{{ ns.s }}", "aba"},
      {"{% set ns = namespace(s='a') %}{% set ns.s = ns.s ~ ns.s|upper %}{{ ns.s }}", "aA"},
      {"{% set ns = namespace(n=1) %}{% set ns.n = ns.n + 2 %}{{ ns.n }}", "3"},
      {"{% set ns = namespace(s='a') %}{% set ns.s = ns.s ~ [1, 'b'] %}{{ ns.s }}", "a[1, 'b']"},
      {"{% set ns = namespace(s='') %}{% for m in [{'c': 'x'}, {'c': 'y'}] %}"
       "{% set ns.s = ns.s + m['c'] | upper + '|' %}{% endfor %}{{ ns.s }}",
       "X|Y|"},
  });
}

// Growing a text piece by piece takes time in proportion to its length and ends at the size cap.
TEST(TemplateTest, AppendingSetsGrowInPlaceUpToTheCap) {
  for (const char* source :
       {"{% set piece = 'x' * 1000 %}{% set ns = namespace(s='') %}{% for i in range(100000) %}"
        "{% set ns.s = ns.s ~ piece %}{% endfor %}",
        "{% set piece = 'x' * 1000 %}{% set s = '' %}{% for i in range(100000) %}{% set s = s + piece %}{% endfor %}"})
    EXPECT_EQ(renderWithin(source, std::chrono::minutes(2)), "Runtime error: String result longer than 64 MiB")
        << source;
}

// Values that would take more memory than the machine has end at the caps with their error. (Long
// strings at the leaves reach the cap in fewer steps.)
TEST(TemplateTest, HostileValuesStopAtTheCaps) {
  const std::string doubled = "{% set ns = namespace(l=[1, 'x' * 10000]) %}{% for i in range(64) %}{% set ns.l = [ns.l, ns.l] %}"
                              "{% endfor %}";
  const std::string doubledDouble = "{% set ns = namespace(l=[1.5, '\u00e9' * 5000]) %}"
                                    "{% for i in range(64) %}"
                                    "{% set ns.l = {'a': ns.l, 'b': [ns.l]} %}{% endfor %}";
  const char* const stringCap = "Runtime error: String result longer than 64 MiB";
  const char* const elementCap = "Runtime error: Array result longer than 4194304 elements";
  const std::pair<std::string, const char*> cases[] = {
      {doubled + "{{ ns.l | tojson }}", stringCap},
      {doubled + "{{ ns.l | tojson(indent=2) }}", stringCap},
      {doubledDouble + "{{ ns.l | tojson }}", stringCap},
      {doubled + "{{ ns.l }}", stringCap},
      {doubled + "{{ ns.l ~ '' }}", stringCap},
      // Every array an operation builds holds at most the element cap, strings' characters too.
      {"{{ ('a ' * 5000000).split() | length }}", elementCap},
      {"{{ ('a,' * 5000000).split(',') | length }}", elementCap},
      {"{% for c in 'a' * 5000000 %}{% endfor %}", elementCap},
      {"{{ ('a' * 5000000) | list | length }}", elementCap},
      {"{{ ('\u00e9' * 5000000) | list | length }}", elementCap},
  };
  for (const auto& [source, expected] : cases)
    EXPECT_EQ(renderWithin(source, std::chrono::minutes(2)), expected) << source;
  // Counting characters builds no array, so it has no such cap.
  expectRenders({
      {"{{ ('a' * 60000000) | length }}", "60000000"},
      {"{{ ('a\r\n' * 3000000) | length }}|{{ ('\u00e9' * 5000000) | length }}", "6000000|5000000"},
      {"{{ 'e\u0301\r\n' | length }}|{{ 'a\r\n' | length }}|{{ '' | length }}", "2|2|0"},
  });
}

// A text of more characters than an array may hold is read character by character: only a result
// counts against the element cap. Both sides of the cap in ASCII, and past it in two-byte characters.
TEST(TemplateTest, TextsLongerThanTheElementCapAreReadInPlace) {
  const std::size_t cap = Value::maxArrayElements;
  const std::pair<std::size_t, std::string> texts[] = {{cap, "b"}, {cap + 1, "b"}, {cap + 1, "\u00e9"}};
  for (const auto& [n, fill] : texts) {
    // "a " + fill * (n - 4) + " z": n characters, three words.
    std::string text = "a ";
    for (std::size_t k = 0; k < n - 4; ++k) text += fill;
    text += " z";
    const std::string upper = fill == "b" ? "B" : "\u00c9";
    const std::pair<std::string, std::string> cases[] = {
        {"{{ s[0] }}|{{ s[1] }}|{{ s[2] }}|{{ s[-1] }}|{{ s[-2] }}|{{ s[-3] }}", "a| |" + fill + "|z| |" + fill},
        {"{{ s[:3] }}|{{ s[-3:] }}|{{ s[1:3] }}|{{ s[::-1][:3] }}|{{ s[-2::-1][:2] }}",
         "a " + fill + "|" + fill + " z| " + fill + "|z " + fill + "| " + fill},
        {"{{ s[::2] | length }}|{{ s[1::-1] }}|{{ s[::-2] | length }}|{{ s[" + std::to_string(n) + ":] }}",
         std::to_string((n + 1) / 2) + "| a|" + std::to_string((n + 1) / 2) + "|"},
        {"{{ s | first }}|{{ s | last }}|{{ s | wordcount }}|{{ s | length }}", "a|z|3|" + std::to_string(n)},
        {"{{ (s | title)[:4] }}|{{ (s | title)[-3:] }}|{{ s.title()[:4] }}",
         "A " + upper + fill + "|" + fill + " Z|A " + upper + fill},
        {"{{ (s | reverse)[:3] }}|{{ (s | reverse)[-3:] }}|{{ s | reverse | length }}",
         "z " + fill + "|" + fill + " a|" + std::to_string(n)},
        {"{{ s | truncate(5) }}|{{ s | truncate(5, true) }}|{{ s | truncate(" + std::to_string(n) + ") | length }}",
         "a...|a ...|" + std::to_string(n)},
        {"{{ s.startswith('a ' ~ s[2]) }}|{{ s.endswith(s[-3] ~ ' z') }}|{{ s.strip() | length }}",
         "true|true|" + std::to_string(n)},
        // A result of one element per character is an array as any other.
        {"{{ s | list | length }}", n > cap ? "threw Runtime error: Array result longer than 4194304 elements"
                                            : std::to_string(n)},
    };
    for (const auto& [source, expected] : cases) {
      std::string out;
      try {
        out = Template(source).render({{"s", Value(text)}}, {.timeLimit = {}});  // no limit: slow sanitizer builds
      } catch (const JinjaError& e) {
        out = std::string("threw ") + e.what();
      }
      EXPECT_EQ(out, expected) << source << " over " << n << " characters of '" << fill << "'";
    }
  }
}

// Characters are grapheme clusters, also where plain Latin letters meet marks, joiners, flags and
// line ends; each case lists the characters as `list` finds them.
TEST(TemplateTest, CharacterWalksAgreeWithTheCharacterList) {
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      {"ae\u0301b", {"a", "e\u0301", "b"}},
      {"x\u00e9\u0301y", {"x", "\u00e9\u0301", "y"}},
      {"\u00e9\r\nb\r", {"\u00e9", "\r\n", "b", "\r"}},
      {"\u00e9\u200db\u00ad", {"\u00e9\u200d", "b", "\u00ad"}},
      {"\u00e9\U0001F1EB\U0001F1F7\U0001F1E9\U0001F1EA", {"\u00e9", "\U0001F1EB\U0001F1F7", "\U0001F1E9\U0001F1EA"}},
      {"\u00c0\u1100\u1161\u11a8z", {"\u00c0", "\u1100\u1161\u11a8", "z"}},
      {"\u00e9\U0001F44D\U0001F3FD!", {"\u00e9", "\U0001F44D\U0001F3FD", "!"}},
  };
  const Template walked("{{ s | list | join('|') }}#{% for i in range(s | length) %}{{ s[i] }}|{% endfor %}#"
                        "{{ s | reverse }}#{{ s[::-1] }}#{{ s[1:] }}#{{ s | first }}#{{ s | last }}");
  for (const auto& [text, characters] : cases) {
    std::string listed, indexed, reversed, rest;
    for (std::size_t k = 0; k < characters.size(); ++k) {
      listed += (k ? "|" : "") + characters[k];
      indexed += characters[k] + "|";
      reversed = characters[k] + reversed;
      if (k > 0) rest += characters[k];
    }
    EXPECT_EQ(walked.render({{"s", Value(text)}}), listed + "#" + indexed + "#" + reversed + "#" + reversed + "#" + rest +
                                                       "#" + characters.front() + "#" + characters.back())
        << text;
  }
}

// A loop can nest a value one level per item; past the cap that is an error, not a deep recursion
// when printing or releasing it.
TEST(TemplateTest, ValuesNestOnlyToTheCap) {
  const std::string source = "{% set d = {'x': 0} %}{% for c in s %}{% set d.x = [d.x] %}{% endfor %}{{ d }}";
  Template t(source);
  std::string expected = "{x: " + std::string(511, '[') + "0" + std::string(511, ']') + "}";
  EXPECT_EQ(t.render({{"s", Value(std::string(511, 'c'))}}), expected);
  try {
    t.render({{"s", Value(std::string(100000, 'c'))}});
    ADD_FAILURE() << "no error";
  } catch (const JinjaError& e) {
    EXPECT_STREQ(e.what(), "Runtime error: Value nested deeper than 512 levels");
  }
}

TEST(TemplateTest, StandAloneInterpretReportsLoopControlAsAnError) {
  Environment scope;
  scope.set("x", Value("ok"));
  EXPECT_EQ(Interpreter::interpret(Template("{{ x }}{% for y in [1] %}{% break %}{% endfor %}").nodes(), scope), "ok");
  try {
    Interpreter::interpret(Template("{% continue %}").nodes(), scope);
    ADD_FAILURE() << "no error";
  } catch (const JinjaError& e) {
    EXPECT_STREQ(e.what(), "Runtime error: 'continue' outside a loop");
  }
}

TEST(TemplateTest, LineOptions) {
  Template::Options lstrip{.lstripBlocks = true};
  Template::Options trim{.trimBlocks = true};
  EXPECT_EQ(render("  {% if true %}x{% endif %}\n  {{ 'y' }}\n a {% if true %}z{% endif %}", lstrip),
            "x\n  y\n a z");
  // CR LF and CR read as line feeds, as in Jinja2; other line separators are kept.
  EXPECT_EQ(render("a\r\n  {% if true %}b{% endif %}\r\n\t{# c #}d\u2028  e", lstrip), "a\nb\nd\u2028  e");
  EXPECT_EQ(render("{% if true %}\n\nx{% endif %}{{ 'y' }}\nz{# c #}\nw", trim), "\nxy\nzw");
  EXPECT_EQ(Template("{% if true %}x{% endif %}", Template::Options{}), Template("{% if true %}x{% endif %}"));
}

// One final line end of the source is not rendered; any other stays, CR LF and CR as line feeds.
// Expected outputs come from Jinja2 3.1 (default environment, and with trim_blocks and
// lstrip_blocks on).
TEST(TemplateTest, TheFinalLineEndIsDropped) {
  struct LineCase {
    const char* source;
    const char* plain;    // both line options off
    const char* trimmed;  // lstripBlocks and trimBlocks
  };
  const LineCase cases[] = {
      {"a\n", "a", "a"},
      {"a\n\n", "a\n", "a\n"},
      {"a\r\n", "a", "a"},
      {"a\r", "a", "a"},
      {"a\n\r", "a\n", "a\n"},
      {"a\r\n\r\n", "a\n", "a\n"},
      {"\n", "", ""},
      {"a\u2028|a\u0085|a\v|a\f", "a\u2028|a\u0085|a\v|a\f", "a\u2028|a\u0085|a\v|a\f"},
      {"a\nb", "a\nb", "a\nb"},
      {"{{ 1 }}\n", "1", "1"},
      {"{# c #}\n", "", ""},
      {"{{ 1 -}}\n", "1", "1"},
      {"a {{- 1 }}\n\n", "a1\n", "a1\n"},
      {"{% if true %}a\n{% endif %}\n", "a\n", "a\n"},
      {"a\n  {% if true %}\n  b\n  {% endif %}\n", "a\n  \n  b\n  ", "a\n  b\n"},
      {"{% if true %}\n{% endif %}\n\n", "\n\n", ""},
  };
  const Template::Options both{.lstripBlocks = true, .trimBlocks = true};
  for (const LineCase& c : cases) {
    EXPECT_EQ(render(c.source), c.plain) << c.source;
    EXPECT_EQ(render(c.source, both), c.trimmed) << c.source << " (line options on)";
  }
}

// A "-" trims the whitespace on its side of a comment as of a tag, and a trimming marker after
// leading whitespace removes all of it. Expected outputs come from Jinja2 3.1, with both line
// options off and with trim_blocks and lstrip_blocks on.
TEST(TemplateTest, WhitespaceControlOnCommentsAndAtTheStart) {
  struct LineCase {
    const char* source;
    const char* plain;    // both line options off
    const char* trimmed;  // lstripBlocks and trimBlocks
  };
  const LineCase cases[] = {
      {"A {#- c -#} B", "AB", "AB"},
      {"A\n  {#- c #}\nB", "A\nB", "AB"},
      {"A {# c -#}\n\n B", "A B", "A B"},
      {"{% for x in [1, 2] %}{#- note -#} {{ x }}{% endfor %}", "12", "12"},
      {"  {#- c #}A", "A", "A"},
      {"  {{- 'A' }}", "A", "A"},
      {"\n\n{%- if true %}A{% endif %}", "A", "A"},
      {" \t{{- 1 }} {{- 2 }}", "12", "12"},
      {"\n {#- c -#} \n{{ 'A' }}", "A", "A"},
      {"x\n  {%- if true %}\n  A\n  {%- endif %}\nB", "x\n  A\nB", "x  AB"},
  };
  const Template::Options both{.lstripBlocks = true, .trimBlocks = true};
  for (const LineCase& c : cases) {
    EXPECT_EQ(render(c.source), c.plain) << c.source;
    EXPECT_EQ(render(c.source, both), c.trimmed) << c.source << " (line options on)";
  }
}

// An undefined iterable loops as an empty list; any other non-iterable value is still an error.
// Expected outputs come from Jinja2 3.1.
TEST(TemplateTest, LoopOverUndefinedRunsTheElseBranch) {
  expectRenders({
      {"{% for x in nothing %}a{% endfor %}b", "b"},
      {"{% for x in nothing %}a{% else %}empty{% endfor %}", "empty"},
      {"{% for k, v in nothing %}a{% else %}none{% endfor %}", "none"},
      {"{% for x in nothing if x %}a{% else %}filtered{% endfor %}", "filtered"},
      {"{% for x in message.missing %}a{% else %}empty{% endfor %}", "empty"},
  });
  for (const char* source : {"{% for x in 5 %}{% endfor %}", "{% for x in none %}{% endfor %}",
                             "{% for x in true %}{% else %}e{% endfor %}"})
    EXPECT_EQ(renderError(source), "Runtime error: Cannot iterate over non-iterable value") << source;
}

// Operands read without a copy still see the value of their moment: a macro on the right that
// rewrites a namespace does not change the left operand already read (Jinja2 gives the same).
TEST(TemplateTest, OperandsKeepTheValueReadBeforeTheRightSide) {
  const Case cases[] = {
      {"{% set n = namespace(x=1) %}{% macro bump() %}{% set n.x = 2 %}{% endmacro %}{{ n.x ~ bump() ~ n.x }}", "12"},
      {"{% set n = namespace(x='a') %}{% macro bump() %}{% set n.x = 'b' %}{% endmacro %}"
       "{{ n.x + bump() + n.x }}|{{ n['x'] }}",
       "ab|b"},
  };
  expectRenders(cases);
}

// `x.name(...)` calls a string or object method directly; the same method taken as a value and
// called later gives the same result, the receiver is the value read before the arguments, and
// members that are not methods are called as what they hold.
TEST(TemplateTest, MethodCallsMatchTheMethodTakenAsAValue) {
  const char* calls[] = {
      "' a b '.strip()", "'a,b,c'.split(',', 1)", "'aaa'.replace('a', 'b', 2)", "'Hi'.startswith(prefix='H')",
      "message.get('role')", "message.get('none', 'fallback')", "message.items()", "message.keys()",
      "{'items': 1}.items()", "message.values()",
  };
  for (const char* call : calls) {
    std::string direct = render(std::string("{{ ") + call + " }}");
    std::string open = call;
    std::size_t paren = open.rfind('(');
    std::string viaValue =
        render("{% set f = " + open.substr(0, paren) + " %}{{ f" + open.substr(paren) + " }}");
    EXPECT_EQ(direct, viaValue) << call;
    EXPECT_EQ(direct.find("rendered"), std::string::npos) << call;
  }
  const Case cases[] = {
      // A macro among the arguments rewrites the receiver's namespace after it was read.
      {"{% set n = namespace(s='ab') %}{% macro bump() %}{% set n.s = 'xy' %}{{ 'a' }}{% endmacro %}"
       "{{ n.s.startswith(bump()) }}{{ n.s }}",
       "truexy"},
      {"{{ {'f': upper}.f('x') }}|{{ {'keys': 1}.keys() | list }}", "X|['keys']"},
  };
  expectRenders(cases);
  EXPECT_EQ(renderError("{{ 'abc'.nothing() }}"), "Runtime error: String method 'nothing' is not supported");
  EXPECT_EQ(renderError("{% set f = 'abc'.nothing %}{{ f() }}"), "Runtime error: Cannot call non-function value");
  EXPECT_EQ(renderError("{{ 'abc'.upper(1, x=2) }}").rfind("rendered", 0), std::string::npos);
}

// A computed string on the left of + and ~ grows in place; the result is the one a stored left
// operand gives.
TEST(TemplateTest, ComputedAndStoredLeftOperandsConcatenateAlike) {
  for (const char* right : {"'c'", "1", "[1, 'x']", "none", "xs", "message"}) {
    for (const char* op : {"+", "~"}) {
      std::string computed = render(std::string("{{ ('a' ~ 'b') ") + op + " " + right + " }}");
      std::string stored = render(std::string("{% set l = 'a' ~ 'b' %}{{ l ") + op + " " + right + " }}");
      EXPECT_EQ(computed, stored) << op << " " << right;
      EXPECT_EQ(computed.rfind("ab", 0), 0u) << computed;
    }
  }
  EXPECT_EQ(render("{{ (1 + 2) + 3 }}|{{ ([1] + [2]) + [3] }}"), "6|[1, 2, 3]");
}

// An output tag writes a chain of `+` and `~` straight to the output once its value is a string; it
// prints what the same chain stored in a variable prints, and fails alike.
TEST(TemplateTest, ChainsWrittenToTheOutputPrintTheirValue) {
  std::string longChain = "'a'";
  for (int i = 0; i < 20; ++i) longChain += " + " + std::to_string(i);
  const Case cases[] = {
      {"'<' + message.role + '>' ~ message['content'] + '\\n'", "<user>Hi\n"},
      {"1 + 2 + 'x' + 3", "3x3"},                 // a string from the second step on
      {"(1 + 2) ~ 'x'", "3x"},
      {"1 + 2 + 3.5", "6.5"},                     // never a string
      {"[1] + [2] + 'z'", "[1, 2]z"},
      {"none ~ 'a' + none + xs", "a[10, 20, 30]"},
      {"ns + 'k'", "{x: 0}k"},
      {"'a' + wrap('b', '|') + ('c' ~ 1)", "a|b|c1"},
      {longChain.c_str(), nullptr},  // longer than the chains written directly
  };
  for (const Case& c : cases) {
    std::string stored = render(std::string("{% set v = ") + c.source + " %}{{ v }}");
    EXPECT_EQ(render(std::string("{{ ") + c.source + " }}"), stored) << c.source;
    if (c.expected) {
      EXPECT_EQ(stored, c.expected) << c.source;
    }
  }
  for (const char* bad : {"'a' + 1 - 'b'", "1 + 2 + [3]", "'a' + (1 + [2])", "'x' * 40000000 + 'y' + 'x' * 40000000"}) {
    std::string stored = renderError(std::string("{% set v = ") + bad + " %}{{ v }}");
    EXPECT_EQ(renderError(std::string("{{ ") + bad + " }}"), stored) << bad;
    EXPECT_EQ(stored.rfind("rendered", 0), std::string::npos) << bad;
  }
}

// Loop objects of short loops are kept per thread and shared; the fields are the same on both sides
// of that length, and a write to one iteration's loop object reaches no other loop.
TEST(TemplateTest, LoopObjectsOfShortAndLongLoops) {
  for (int n : {1, 2, 16, 17, 40}) {
    std::string expected;
    const char* cycle[] = {"a", "b", "c"};
    for (int i = 0; i < n; ++i)
      expected += std::to_string(i + 1) + "," + std::to_string(i) + "," + std::to_string(n - i) + "," +
                  std::to_string(n - i - 1) + "," + (i == 0 ? "true" : "false") + "," + (i + 1 == n ? "true" : "false") +
                  "," + std::to_string(n) + "," + cycle[i % 3] + ";";
    for (int round = 0; round < 2; ++round)
      EXPECT_EQ(render("{% for x in range(" + std::to_string(n) + ") %}{{ loop.index }},{{ loop.index0 }},"
                       "{{ loop.revindex }},{{ loop.revindex0 }},{{ loop.first }},{{ loop.last }},{{ loop.length }},"
                       "{{ loop.cycle('a', 'b', 'c') }};{% endfor %}"),
                expected)
          << n;
  }
  EXPECT_EQ(render("{% for x in [1, 2] %}{% set loop.extra = x %}{{ loop.extra }}{% endfor %}|"
                   "{% for x in [1, 2] %}{{ loop.extra is defined }}{{ loop | length }}{% endfor %}"),
            "12|false8false8");
}

// Argument lists are reused within a thread and freed above a size; calls with lists on both sides
// of it, nested in filters and each other, see exactly their own arguments, also on a second round.
TEST(TemplateTest, CallsOfFewAndManyArguments) {
  for (int n : {1, 16, 17, 40}) {
    std::string params, args, expected;
    for (int i = 0; i < n; ++i) {
      params += (i ? ", p" : "p");
      params += std::to_string(i);
      args += (i ? ", " : "");
      args += std::to_string(i * 3);
      expected += (i ? ";" : "");
      expected += std::to_string(i * 3);
    }
    std::string body;
    for (int i = 0; i < n; ++i) body += (i ? ",{{ p" : "{{ p") + std::to_string(i) + " }}";
    const std::string source = "{% macro m(" + params + ") %}" + body + "{% endmacro %}{{ m(" + args +
                               ") | replace(',', ';') }}|{{ m(*([m(" + args + ") | length] + (range(1, " +
                               std::to_string(n) + ") | list))) | length > 0 }}|{{ m(" + args + ") is string }}";
    for (int round = 0; round < 2; ++round)
      EXPECT_EQ(render(source), expected + "|true|true") << n;
  }
}

// `name.key = value` writes the object where `name` is bound (a scope, or the root for a context
// entry); values keep value semantics, so a copy bound to another name is not changed (dialect:
// Jinja2's namespace objects are shared instead).
TEST(TemplateTest, MemberAssignmentWritesWhereTheNameIsBound) {
  const Case cases[] = {
      {"{% set ns.x = 5 %}{{ ns.x }}", "5"},
      {"{% set a = namespace(x=1) %}{% set b = a %}{% set b.x = 2 %}{{ a.x }}{{ b.x }}", "12"},
      {"{% set n = 3 %}{% set n.x = 2 %}{{ n }}", "3"},
      {"{% set n = namespace(c=0) %}{% for x in xs %}{% set n.c = n.c + x %}{% endfor %}{{ n.c }}", "60"},
      {"{% set n = namespace(c=0) %}{% for x in xs %}{% set n = namespace(c=x) %}{% set n.c = n.c + 1 %}"
       "{{ n.c }}{% endfor %}{{ n.c }}",
       "1121310"},
  };
  expectRenders(cases);
}

TEST(TemplateTest, RenderScopes) {
  Template t("{{ range }}|{{ a }}|{{ b }}{% set a = 'changed' %}");
  auto parent = Environment::make();
  parent->set("b", Value("from parent"));
  auto given = Environment::make(parent);
  // A context entry named like a global function is hidden by the global.
  EXPECT_EQ(t.render({{"a", Value("ctx")}, {"range", Value("mine")}}, given), "[Function]|ctx|");
  // The context lands in the given scope; assignments of the template never do.
  EXPECT_EQ((*given)["a"].description(), "ctx");
  EXPECT_EQ(t.render({}, given), "[Function]|ctx|");
}

// Renders `source` on a thread with a 1 MiB stack; the outcome as text.
std::string renderOnSmallStack(const std::string& source) {
  struct Job {
    std::string source, outcome;
  } job{source, {}};
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, 1 << 20);
  pthread_t thread;
  pthread_create(
      &thread, &attributes,
      [](void* data) -> void* {
        auto* job = static_cast<Job*>(data);
        try {
          job->outcome = "rendered " + std::to_string(Template(job->source).render({}).size());
        } catch (const JinjaError& e) {
          job->outcome = e.what();
        }
        return nullptr;
      },
      &job);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
  return job.outcome;
}

std::string nested(const std::string& open, const std::string& middle, const std::string& close, std::uint32_t n) {
  std::string out;
  for (std::uint32_t i = 0; i < n; ++i) out += open;
  out += middle;
  for (std::uint32_t i = 0; i < n; ++i) out += close;
  return out;
}

// The deepest templates the parser accepts, and macros recursing to the render limit, fit on a
// 1 MiB stack (the optimised build's budget; sanitizer builds use more per level and skip this).
TEST(TemplateTest, DeepestTemplatesFitOneMebibyteStack) {
#if defined(__SANITIZE_ADDRESS__) || !defined(NDEBUG)
  GTEST_SKIP() << "stack use per level is measured in the optimised build";
#endif
  using Maker = std::function<std::string(std::uint32_t)>;
  const Maker makers[] = {
      [](std::uint32_t k) { return "{{ " + nested("(", "1", ")", k) + " }}"; },
      [](std::uint32_t k) { return "{{ " + nested("[", "1", "]", k) + " }}"; },
      [](std::uint32_t k) { return "{{ " + nested("(", "'a'", ")|upper", k) + " }}"; },
      [](std::uint32_t k) { return nested("{% if true %}", "x", "{% endif %}", k); },
      [](std::uint32_t k) { return nested("{% for x in [1] %}", "x", "{% endfor %}", k); },
      [](std::uint32_t k) { return nested("{% macro m() %}", "", "{% endmacro %}", k); },
      [](std::uint32_t k) { return "{{ 1" + nested(" + 1", "", "", k) + " }}"; },
      [](std::uint32_t k) { return "{{ xs" + nested(".a", "", "", k) + " }}"; },
      [](std::uint32_t k) { return "{{ xs" + nested("['b']", "", "", k) + " }}"; },
  };
  for (const Maker& make : makers) {
    std::uint32_t k = Parser::maxNesting;
    while (k > 0) {
      try {
        Template t(make(k));
        break;
      } catch (const JinjaError&) {
        --k;
      }
    }
    ASSERT_GT(k, Parser::maxNesting / 2) << make(1);
    std::string outcome = renderOnSmallStack(make(k));
    EXPECT_TRUE(outcome.rfind("rendered ", 0) == 0 || outcome == "Runtime error: Unknown filter: upper") << outcome;
  }
  EXPECT_EQ(renderOnSmallStack("{% macro m(n) %}{{ m(n + 1) }}{% endmacro %}{{ m(0) }}"),
            "Runtime error: Maximum nesting depth of 400 exceeded while rendering");
  EXPECT_EQ(renderOnSmallStack("{% macro m(n) %}{% for x in [1] %}{% if true %}{{ [(m(n + 1))] }}{% endif %}"
                               "{% endfor %}{% endmacro %}{{ m(0) }}"),
            "Runtime error: Maximum nesting depth of 400 exceeded while rendering");
  EXPECT_EQ(renderOnSmallStack("{% macro m() %}{% call m() %}x{% endcall %}{% endmacro %}{{ m() }}"),
            "Runtime error: Maximum nesting depth of 400 exceeded while rendering");
}

TEST(TemplateTest, OneTemplateRendersOnSeveralThreadsAtOnce) {
  const Template t("{% macro m(x) %}<{{ x }}>{% endmacro %}{% for x in xs %}{{ m(x) }}{{ loop.index }}{% endfor %}");
  const Template::Context context = helpers();
  std::vector<std::string> outcomes(4);
  std::vector<std::thread> threads;
  for (std::size_t k = 0; k < outcomes.size(); ++k)
    threads.emplace_back([&, k] {
      for (int round = 0; round < 200; ++round) {
        std::string out = t.render(context);
        if (round == 0 || out != outcomes[k]) outcomes[k] += out;
      }
    });
  for (std::thread& thread : threads) thread.join();
  for (const std::string& outcome : outcomes) EXPECT_EQ(outcome, "<10>1<20>2<30>3");
}

TEST(TemplateTest, LongScopeChainsReleaseWithoutRecursion) {
  EnvironmentRef scope = Environment::make();
  for (int i = 0; i < 100000; ++i) scope = Environment::make(scope);
  scope.reset();  // would overflow the stack with nested destructors
  SUCCEED();
}

}  // namespace
}  // namespace jinja

// Random and mutated templates: the lexer and parser give a tree or a JinjaError, and rendering
// gives output or a JinjaError, nothing else.
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "templates/JinjaError.h"
#include "templates/Lexer.h"
#include "templates/Parser.h"
#include "templates/Template.h"
#include "templates/TemplateException.h"
#include "templates/tests/Conversation.h"
#include "testsupport/Fixtures.h"

namespace jinja {
namespace {

namespace json = platform::json;

const std::vector<std::string> kFragments = {
    "{{", "}}", "{%", "%}", "{#", "#}", "{%-", "-%}", "{{-", "-}}", "(", ")", "[", "]", "{", "}", "'", "\"", "\\",
    ",", ":", "|", ".", "*", "**", "-", "+", "~", "=", "==", "!", " ", "\n", "not ", " in ", " is ", "if ", "else",
    "elif ", "endif", "for ", "endfor", "set ", "endset", "macro ", "endmacro", "call", "endcall", "filter ",
    "endfilter", "generation", "break", "x", "loop.index", "none", "True", "0", "1.5", "99999999999999999999",
    "\u0662", "\u00e9", "e\u0301", "\r\n", "\u00a0", "\xff", "\xe2\x82"};

std::filesystem::path chatTemplateFolder() { return testsupport::fixturesDir() / "chat-templates"; }

std::vector<std::string> chatTemplates() {
  std::vector<std::string> out;
  for (const auto& entry : std::filesystem::directory_iterator(chatTemplateFolder())) {
    if (entry.path().extension() != ".jinja") continue;
    std::ifstream file(entry.path(), std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    out.push_back(text.str());
  }
  return out;
}

// Parses and, when a tree results and `roundTrip` is set, checks that it survives its JSON form.
void expectTreeOrJinjaError(const std::string& source, bool roundTrip = true) {
  Nodes nodes;
  try {
    nodes = Parser::parse(Lexer::tokenize(source));
  } catch (const JinjaError& e) {
    EXPECT_NE(e.kind(), JinjaError::Kind::runtime);
    return;
  } catch (const std::exception& e) {
    ADD_FAILURE() << "unexpected " << e.what() << " for: " << source;
    return;
  }
  if (!roundTrip) return;
  for (const Node& node : nodes) {
    Node back = Node::fromJson(json::parse(json::write(node.toJson())));
    if (!(back == node)) {
      ADD_FAILURE() << "JSON round trip changed the tree of: " << source;
      return;
    }
  }
}

// Renders against a small conversation when the source compiles; a template may also refuse it
// through raise_exception.
void expectOutputOrJinjaError(const std::string& source) {
  static const Template::Context context = testing_conversation::conversation(true);
  try {
    Template(source).render(context);
  } catch (const JinjaError&) {
  } catch (const TemplateException&) {
  } catch (const std::exception& e) {
    ADD_FAILURE() << "unexpected " << e.what() << " rendering: " << source;
  } catch (...) {
    ADD_FAILURE() << "unexpected non-standard exception rendering: " << source;
  }
}

class Mutator {
 public:
  explicit Mutator(unsigned seed) : random_(seed) {}

  std::string mutate(std::string text) {
    int steps = 1 + pick(4);
    for (int i = 0; i < steps; ++i) {
      std::size_t at = text.empty() ? 0 : pick(text.size());
      std::size_t length = std::min<std::size_t>(text.size() - at, 1 + pick(24));
      switch (pick(5)) {
        case 0: text.erase(at, length); break;
        case 1: text.insert(at, text.substr(at, length)); break;
        case 2: text.insert(at, fragment()); break;
        case 3: text.resize(at); break;
        default: text.replace(at, std::min<std::size_t>(length, 2), fragment()); break;
      }
    }
    return text;
  }

  std::string soup() {
    std::string text;
    int count = pick(40);
    for (int i = 0; i < count; ++i) text += fragment();
    return text;
  }

  // A well-formed template of random statements and expressions, so that most rounds reach the
  // runtime: loops, macros, call and filter blocks, loop control, arithmetic at the integer bounds.
  std::string program(int depth = 0) {
    static const std::vector<std::string> leaves = {
        "1", "-9223372036854775807 - 1", "9223372036854775807", "2.5", "'ab'", "none", "m", "m.content", "messages",
        "messages[-1]", "ns", "ns.a", "loop.index", "tools[0].function.name", "[1, 'x', [none]]", "{'k': m}",
        "caller()", "f(1)", "f(*[1, 2], b=3)", "m.content.split(' ')", "ns.items()", "'a b'.replace(' ', '-', 1)",
        "loop.cycle(1, 2)", "x", "t"};
    static const std::vector<std::string> operators = {" + ", " - ", " * ", " // ", " / ", " % ", " ** ", " ~ ",
                                                       " == ", " < ", " in ", " and ", " or ", "[", "[::-"};
    auto expression = [&] {
      std::string e = leaves[pick(leaves.size())];
      for (int n = pick(3); n > 0; --n) {
        const std::string& op = operators[pick(operators.size())];
        e = op[0] == '[' ? "(" + e + ")" + op + leaves[pick(leaves.size())] + "]"
                         : "(" + e + op + leaves[pick(leaves.size())] + ")";
      }
      return e;
    };
    std::string out;
    for (int n = 1 + pick(4); n > 0; --n) {
      switch (depth >= 4 ? pick(3) : pick(12)) {
        case 0: out += "text "; break;
        case 1: out += "{{ " + expression() + " }}"; break;
        case 2: out += pick(2) ? "{% break %}" : "{% continue %}"; break;
        case 3: out += "{% for m in " + (pick(2) ? std::string("messages") : "(" + expression() + ")") + " %}" + program(depth + 1) +
                       "{% else %}" + program(depth + 1) + "{% endfor %}"; break;
        case 4: out += "{% if " + expression() + " %}" + program(depth + 1) + "{% elif " + expression() + " %}" +
                       program(depth + 1) + "{% endif %}"; break;
        case 5: out += "{% macro f(a, b=" + expression() + ") %}" + program(depth + 1) + "{% endmacro %}"; break;
        case 6: out += "{% call(x) f(" + expression() + ") %}" + program(depth + 1) + "{% endcall %}"; break;
        case 7: out += "{% set ns = {'a': " + expression() + "} %}"; break;
        case 8: out += "{% set ns.a = [ns.a, " + expression() + "] %}"; break;
        case 9: out += "{% set t %}" + program(depth + 1) + "{% endset %}"; break;
        case 10: out += "{% set x, y = [" + expression() + ", 1] %}"; break;
        default: out += "{{ f(" + expression() + ") }}"; break;
      }
    }
    return out;
  }

 private:
  std::size_t pick(std::size_t n) { return n == 0 ? 0 : random_() % n; }
  const std::string& fragment() { return kFragments[pick(kFragments.size())]; }
  std::mt19937 random_;
};

TEST(FuzzTest, RealChatTemplatesParseAndSurviveTheirJsonForm) {
  PARLET_REQUIRE_FIXTURE(chatTemplateFolder());
  std::vector<std::string> templates = chatTemplates();
  ASSERT_FALSE(templates.empty()) << "no .jinja file in " << chatTemplateFolder();
  int parsed = 0;
  for (const std::string& source : templates) {
    try {
      Parser::parse(Lexer::tokenize(source));
      ++parsed;
    } catch (const JinjaError&) {
    }
    expectTreeOrJinjaError(source);
    expectOutputOrJinjaError(source);
  }
  EXPECT_EQ(parsed, static_cast<int>(templates.size()));
}

TEST(FuzzTest, MutatedChatTemplatesGiveATreeOrAJinjaError) {
  PARLET_REQUIRE_FIXTURE(chatTemplateFolder());
  std::vector<std::string> templates = chatTemplates();
  ASSERT_FALSE(templates.empty()) << "no .jinja file in " << chatTemplateFolder();
  Mutator mutator(20261209);
  for (int round = 0; round < 1500; ++round) {
    std::string source = mutator.mutate(templates[static_cast<std::size_t>(round) % templates.size()]);
    expectTreeOrJinjaError(source, round % 8 == 0);
    expectOutputOrJinjaError(source);
    if (HasFailure()) return;
  }
}

TEST(FuzzTest, RandomFragmentSoupGivesATreeOrAJinjaError) {
  Mutator mutator(7);
  for (int round = 0; round < 2000; ++round) {
    std::string source = mutator.soup();
    expectTreeOrJinjaError(source);
    expectOutputOrJinjaError(source);
    if (HasFailure()) return;
  }
}

TEST(FuzzTest, RandomProgramsGiveOutputOrAJinjaError) {
  Mutator mutator(11);
  for (int round = 0; round < 3000; ++round) {
    expectOutputOrJinjaError("{% macro f(a, b=2) %}{{ a }}{% endmacro %}{% set ns = {'a': 1} %}" + mutator.program());
    if (HasFailure()) return;
  }
}

}  // namespace
}  // namespace jinja

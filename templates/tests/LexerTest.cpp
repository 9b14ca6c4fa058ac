#include "templates/Lexer.h"

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unicode/regex.h>

#include "templates/JinjaError.h"

namespace jinja {
namespace {

// "kind:value@position" for each token.
std::vector<std::string> describe(const std::vector<Token>& tokens) {
  std::vector<std::string> out;
  for (const Token& t : tokens)
    out.push_back(std::string(kindName(t.kind())) + ":" + std::string(t.value()) + "@" + std::to_string(t.position()));
  return out;
}

struct LexCase {
  const char* source;
  std::vector<std::string> tokens;
};

class LexerStreamTest : public testing::TestWithParam<LexCase> {};

TEST_P(LexerStreamTest, ProducesTheTokenStream) {
  EXPECT_EQ(describe(Lexer::tokenize(GetParam().source)), GetParam().tokens);
}

INSTANTIATE_TEST_SUITE_P(
    Templates, LexerStreamTest,
    testing::Values(
        LexCase{"", {"eof:@0"}},
        LexCase{"Hello", {"text:Hello@0", "eof:@5"}},
        LexCase{"{{ x }}", {"openExpression:{{@0", "identifier:x@3", "closeExpression:}}@5", "eof:@7"}},
        LexCase{"{{ {'a': 1}}}",
                {"openExpression:{{@0", "openBrace:{@3", "string:a@4", "colon::@7", "number:1@9", "closeBrace:}@10",
                 "closeExpression:}}@11", "eof:@13"}},
        LexCase{"{{ a//b**c }}",
                {"openExpression:{{@0", "identifier:a@3", "floorDivide://@4", "identifier:b@6", "power:**@7",
                 "identifier:c@9", "closeExpression:}}@11", "eof:@13"}},
        LexCase{"{{ x not in y }}",
                {"openExpression:{{@0", "identifier:x@3", "not:not@5", "in:in@9", "identifier:y@12",
                 "closeExpression:}}@14", "eof:@16"}},
        LexCase{"{{ x is not none }}",
                {"openExpression:{{@0", "identifier:x@3", "is:is@5", "not:not@8", "null:none@12",
                 "closeExpression:}}@17", "eof:@19"}},
        LexCase{"{{True true False false None none null Null TRUE}}",
                {"openExpression:{{@0", "boolean:True@2", "boolean:true@7", "boolean:False@12", "boolean:false@18",
                 "null:None@24", "null:none@29", "null:null@34", "identifier:Null@39", "identifier:TRUE@44",
                 "closeExpression:}}@48", "eof:@50"}},
        LexCase{"{{ 'it\\'s' \"a\\tb\" 'q\\q\\u0041' }}",
                {"openExpression:{{@0", "string:it's@3", "string:a\tb@11", "string:qqu0041@18",
                 "closeExpression:}}@30", "eof:@32"}},
        LexCase{"{{ \"say 'hi'\" }}", {"openExpression:{{@0", "string:say 'hi'@3", "closeExpression:}}@14", "eof:@16"}},
        LexCase{"{{ -5 1.2.3 1e5 1.}}",
                {"openExpression:{{@0", "minus:-@3", "number:5@4", "number:1.2@6", "dot:.@9", "number:3@10",
                 "number:1e5@12", "number:1.@16", "closeExpression:}}@18", "eof:@20"}},
        LexCase{"{{ 1ex 2E+3 }}",
                {"openExpression:{{@0", "number:1@3", "identifier:ex@4", "number:2E+3@7", "closeExpression:}}@12", "eof:@14"}},
        LexCase{"{{ a!=b==c<=d>=e<f>g=h|i~j%k }}",
                {"openExpression:{{@0", "identifier:a@3", "notEqual:!=@4", "identifier:b@6", "equal:==@7",
                 "identifier:c@9", "lessEqual:<=@10", "identifier:d@12", "greaterEqual:>=@13", "identifier:e@15",
                 "less:<@16", "identifier:f@17", "greater:>@18", "identifier:g@19", "equals:=@20", "identifier:h@21",
                 "pipe:|@22", "identifier:i@23", "concat:~@24", "identifier:j@25", "modulo:%@26", "identifier:k@27",
                 "closeExpression:}}@29", "eof:@31"}},
        LexCase{"{%if x%}{%endif%}",
                {"openStatement:{%@0", "if:if@2", "identifier:x@5", "closeStatement:%}@6", "openStatement:{%@8",
                 "endif:endif@10", "closeStatement:%}@15", "eof:@17"}},
        LexCase{"{#- x -#}", {"comment: x @0", "eof:@7"}},
        LexCase{"a{##}b", {"text:a@0", "comment:@1", "text:b@5", "eof:@6"}},
        LexCase{"{{ a }}  {{ b }}",
                {"openExpression:{{@0", "identifier:a@3", "closeExpression:}}@5", "text:  @7", "openExpression:{{@9",
                 "identifier:b@12", "closeExpression:}}@14", "eof:@16"}},
        // Outside a tag, text runs until an opener: closers there are text.
        LexCase{"a }} b", {"text:a }} b@0", "eof:@6"}},
        LexCase{"a %} b", {"text:a %} b@0", "eof:@6"}},
        LexCase{"{\"a\": {\"b\": 1}}%}{{ x }}#}", {"text:{\"a\": {\"b\": 1}}%}@0", "openExpression:{{@17",
                                                 "identifier:x@20", "closeExpression:}}@22", "text:#}@24", "eof:@26"}},
        LexCase{"a } b 50% {x #", {"text:a } b 50% {x #@0", "eof:@14"}},
        // Outside a tag "#}", and "}}" inside an open brace, are text.
        LexCase{"a #} b", {"text:a #} b@0", "eof:@6"}},
        LexCase{"{%if {'a':1%} }} x",
                {"openStatement:{%@0", "if:if@2", "openBrace:{@5", "string:a@6", "colon::@9", "number:1@10",
                 "closeStatement:%}@11", "text: }} x@13", "eof:@18"}},
        // Inside a tag "{{" and "{#" keep their meaning.
        LexCase{"{{ {# c #} }}",
                {"openExpression:{{@0", "comment: c @3", "closeExpression:}}@11", "eof:@13"}},
        // Positions count grapheme clusters: e + combining acute is one, so is CR LF.
        LexCase{"e\u0301\r\n{{ x }}",
                {"text:e\u0301\r\n@0", "openExpression:{{@2", "identifier:x@5", "closeExpression:}}@7", "eof:@9"}},
        LexCase{"{{ gr\u00f6\u00dfe \u00bd _x1 }}",
                {"openExpression:{{@0", "identifier:gr\u00f6\u00dfe@3", "number:\u00bd@9", "identifier:_x1@11",
                 "closeExpression:}}@15", "eof:@17"}},
        // White_Space beyond ASCII separates tokens inside a tag.
        LexCase{"{{\u00a0x\u3000}}", {"openExpression:{{@0", "identifier:x@3", "closeExpression:}}@5", "eof:@7"}},
        // Whitespace-control markers are rewritten before scanning; positions follow the rewritten text.
        LexCase{"a  {%- if x -%}  b",
                {"text:a@0", "openStatement:{%@1", "if:if@4", "identifier:x@7", "closeStatement:%}@9", "text:b@11",
                 "eof:@12"}},
        LexCase{"{  {%- x %}", {"text:{ @0", "openStatement:{%@2", "identifier:x@5", "closeStatement:%}@7", "eof:@9"}},
        LexCase{"{{ x", {"openExpression:{{@0", "identifier:x@3", "eof:@4"}}));

struct ErrorCase {
  const char* source;
  const char* message;
};

class LexerErrorTest : public testing::TestWithParam<ErrorCase> {};

TEST_P(LexerErrorTest, ThrowsLexerError) {
  try {
    Lexer::tokenize(GetParam().source);
    FAIL() << "no error";
  } catch (const JinjaError& e) {
    EXPECT_EQ(e.kind(), JinjaError::Kind::lexer);
    EXPECT_EQ(e.message(), GetParam().message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Templates, LexerErrorTest,
    testing::Values(ErrorCase{"{{ a ! b }}", "Unexpected character '!' at position 5"},
                    ErrorCase{"{{ a ; }}", "Unexpected character ';' at position 5"},
                    ErrorCase{"{{ 'abc }}", "Unclosed string at position 3"},
                    ErrorCase{"{{ 'abc\\", "Unclosed string at position 3"},
                    ErrorCase{"{# note", "Unclosed comment at position 0"},
                    ErrorCase{"ab{#}", "Unclosed comment at position 2"},
                    ErrorCase{"{#", "Unclosed comment at position 0"},
                    ErrorCase{"e\u0301\u00e9 {{ @ }}", "Unexpected character '@' at position 6"},
                    // "{{ " then "=" followed by a combining mark is one character, no operator.
                    ErrorCase{"{{ =\u0301 }}", "Unexpected character '=\u0301' at position 3"},
                    // Counted in the rewritten text: "x{% 'a %}".
                    ErrorCase{"x  {%- 'a %}", "Unclosed string at position 4"}));

TEST(LexerTest, IllFormedUtf8IsReadAsReplacementCharacter) {
  auto tokens = Lexer::tokenize("a\xff{{ x }}");
  ASSERT_EQ(tokens.size(), 5u);
  EXPECT_EQ(tokens[0].value(), "a\uFFFD");
  EXPECT_EQ(tokens[2].position(), 5);
}

TEST(LexerTest, TokensViewOneSharedBufferThatOutlivesTheLexer) {
  std::vector<Token> tokens = Lexer::tokenize("{{ alpha + beta }}");
  std::vector<Token> kept(tokens.begin() + 1, tokens.begin() + 4);
  tokens.clear();
  EXPECT_EQ(kept[0].value(), "alpha");
  EXPECT_EQ(kept[2].value(), "beta");
  EXPECT_EQ(kept[0].value().data() + 8, kept[2].value().data());
}

struct RewriteCase {
  const char* source;
  const char* rewritten;
};

class LexerPreprocessTest : public testing::TestWithParam<RewriteCase> {};

TEST_P(LexerPreprocessTest, RewritesWhitespaceControl) {
  EXPECT_EQ(Lexer::preprocess(GetParam().source), GetParam().rewritten);
}

INSTANTIATE_TEST_SUITE_P(Templates, LexerPreprocessTest,
                         testing::Values(RewriteCase{"a  {%- if x -%}  b", "a{% if x %}b"},
                                         RewriteCase{"{{- x -}}", "{{ x }}"},
                                         RewriteCase{"  {%- x %}", "{% x %}"},
                                         RewriteCase{"\n\n{%- if true %}", "{% if true %}"},
                                         RewriteCase{"{  {%- x %}", "{ {% x %}"},
                                         RewriteCase{"{%- x %}", "{% x %}"},
                                         RewriteCase{"\n\t{{- x }}\n", "{{ x }}\n"},
                                         RewriteCase{"{#- x -#}", "{# x #}"},
                                         RewriteCase{"A {#- c -#} B", "A{# c #}B"},
                                         RewriteCase{" \n {#- c #}{{ x }}", "{# c #}{{ x }}"},
                                         RewriteCase{"{  {#- c #}", "{ {# c #}"},
                                         RewriteCase{"{{ '-}}  ' }}", "{{ '}}' }}"},
                                         RewriteCase{"a\u00a0\u3000{%- x -%}\u2028b", "a{% x %}b"},
                                         RewriteCase{"a{%-b{%-", "a{%b{%"},
                                         RewriteCase{"x -%}\n\n -}} y", "x %}}}y"},
                                         // Ill-formed UTF-8 comes out as U+FFFD.
                                         RewriteCase{"a\xff  {%- x -%} \xe2\x82", "a\ufffd{% x %}\ufffd"}));

// The rewrites as the regular expressions they are defined by, run with ICU's regex engine,
// compared with our linear-time rewrites on random text over the characters that matter.
std::string regexRewrite(const std::string& source) {
  static const char* const steps[][2] = {
      {"-%\\}\\s*", "%}"},         {"-\\}\\}\\s*", "}}"},          {"-#\\}\\s*", "#}"},
      {"\\{\\s+\\{%-", "{ {%"},     {"^\\s*\\{%-", "{%"},          {"([^\\{])\\s*\\{%-", "$1{%"},
      {"\\{\\s+\\{\\{-", "{ {{"},  {"^\\s*\\{\\{-", "{{"},       {"([^\\{])\\s*\\{\\{-", "$1{{"},
      {"\\{\\s+\\{#-", "{ {#"},     {"^\\s*\\{#-", "{#"},          {"([^\\{])\\s*\\{#-", "$1{#"},
  };
  icu::UnicodeString text = icu::UnicodeString::fromUTF8(source);
  for (const auto& step : steps) {
    UErrorCode status = U_ZERO_ERROR;
    icu::RegexMatcher matcher(icu::UnicodeString::fromUTF8(step[0]), text, 0, status);
    EXPECT_TRUE(U_SUCCESS(status));
    text = matcher.replaceAll(icu::UnicodeString::fromUTF8(step[1]), status);
  }
  std::string out;
  text.toUTF8String(out);
  return out;
}

TEST(LexerPreprocessTest, AgreesWithTheRegularExpressionsOnRandomText) {
  const std::vector<std::string> alphabet = {"{", "{", "%", "-", "-", "}", "#", "#", " ", "\n", "\t", "\v",
                                             "\u0085", "\u00a0", "\u2028", "a", "\u00e9", "e\u0301"};
  std::mt19937 random(1234);
  for (int round = 0; round < 3000; ++round) {
    std::string source;
    int length = static_cast<int>(random() % 24);
    for (int i = 0; i < length; ++i) source += alphabet[random() % alphabet.size()];
    ASSERT_EQ(Lexer::preprocess(source), regexRewrite(source)) << "source: " << source;
  }
}

TEST(LexerTest, KeywordAndOperatorTables) {
  EXPECT_EQ(Lexer::keywords().size(), 30u);
  EXPECT_EQ(Lexer::operators().size(), 16u);
  EXPECT_EQ(Lexer::keywords().count("Null"), 0u);
  EXPECT_EQ(Lexer::keywords().at("endgeneration"), Token::Kind::endgeneration);
}

}  // namespace
}  // namespace jinja

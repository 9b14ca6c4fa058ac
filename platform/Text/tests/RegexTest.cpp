#include "platform/Text/Regex.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/Text/Unicode.h"

namespace platform::text {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using Pieces = std::vector<std::string>;

Pieces strings(const std::vector<std::string_view>& views) { return Pieces(views.begin(), views.end()); }

// The pre-tokenizer patterns of tokenizer files, exactly as they are written there.
constexpr const char* kByteLevel = R"('s|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+)";
constexpr const char* kBert =
    R"([^\s\p{P}\u0021-\u002F\u003A-\u0040\u005B-\u0060\u007B-\u007E]+|[\p{P}\u0021-\u002F\u003A-\u0040\u005B-\u0060\u007B-\u007E])";
constexpr const char* kPunctuation =
    R"([^\p{P}\u0021-\u002F\u003A-\u0040\u005B-\u0060\u007B-\u007E]+|[\p{P}\u0021-\u002F\u003A-\u0040\u005B-\u0060\u007B-\u007E]+)";

struct RangeSearchCase {
  const char* name;
  const char* pattern;
  std::string text;
  Pieces expected;
};

class RegexRangeSearchTest : public ::testing::TestWithParam<RangeSearchCase> {};

TEST_P(RegexRangeSearchTest, FindsTheMatchedTexts) {
  const auto& c = GetParam();
  EXPECT_EQ(strings(Regex(c.pattern).matchedTexts(c.text)), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, RegexRangeSearchTest,
    ::testing::Values(
        RangeSearchCase{"ByteLevelWords", kByteLevel, "Hello world", {"Hello", " world"}},
        RangeSearchCase{"ByteLevelContraction", kByteLevel, "don't", {"don", "'t"}},
        RangeSearchCase{"ByteLevelLookahead", kByteLevel, "  a", {" ", " a"}},
        RangeSearchCase{"ByteLevelNonAsciiLetters", kByteLevel, "h\xC3\xA9llo w\xC3\xB6rld 42!",
                        {"h\xC3\xA9llo", " w\xC3\xB6rld", " 42", "!"}},
        RangeSearchCase{"ByteLevelEmpty", kByteLevel, "", {}},
        RangeSearchCase{"BertSplitsPunctuationSingly", kBert, "Hello, world!", {"Hello", ",", "world", "!"}},
        RangeSearchCase{"BertDoublePunctuation", kBert, "!!", {"!", "!"}},
        RangeSearchCase{"PunctuationKeepsSpace", kPunctuation, "Hello, world!", {"Hello", ",", " world", "!"}},
        RangeSearchCase{"Whitespace", R"(\S+)", "a, b", {"a,", "b"}},
        RangeSearchCase{"DigitsRuns", R"([^\d]+|\d+)", "abc123", {"abc", "123"}},
        RangeSearchCase{"DigitsIndividual", R"([^\d]+|\d)", "abc123", {"abc", "1", "2", "3"}},
        RangeSearchCase{"UnicodeEscapeRange", R"([\u0021-\u002F]+)", "a!/b", {"!/"}},
        RangeSearchCase{"MetaspaceCharacter", "\xE2\x96\x81", "\xE2\x96\x81" "a\xE2\x96\x81" "b",
                        {"\xE2\x96\x81", "\xE2\x96\x81"}},
        RangeSearchCase{"NothingMatches", "z", "abc", {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RegexRangesTest, OffsetsAreUtf8Bytes) {
  // "é" is two bytes, the emoji four (a surrogate pair in UTF-16).
  EXPECT_THAT(Regex("b").ranges("\xC3\xA9" "b\xF0\x9F\x98\x80" "b"),
              ElementsAre(ByteRange{2, 3}, ByteRange{7, 8}));
}

TEST(RegexRangesTest, EmptyMatchStepsOneCharacterAndStopsAtTheEnd) {
  // "e" + combining acute is one character of three bytes: the search steps over it whole.
  auto found = Regex("x*").ranges("e\xCC\x81" "a");
  EXPECT_THAT(found, ElementsAre(ByteRange{0, 0}, ByteRange{3, 3}, ByteRange{4, 4}));
  EXPECT_THAT(Regex("x*").ranges(""), ElementsAre(ByteRange{0, 0}));
}

TEST(RegexRangesTest, RejectsMalformedUtf8) {
  EXPECT_THROW(Regex("a").ranges("a\xFF"), InvalidUtf8Error);
}

TEST(RegexSplitTest, SeparatorSplitIncludesOrDropsSeparators) {
  Regex dash("-");
  EXPECT_EQ(strings(dash.split("a-b", true)), (Pieces{"a", "-", "b"}));
  EXPECT_EQ(strings(dash.split("a-b", false)), (Pieces{"a", "b"}));
  EXPECT_EQ(strings(dash.split("--a--", false)), (Pieces{"a"}));
  EXPECT_EQ(strings(dash.split("", true)), Pieces{});
}

TEST(RegexSplitTest, SeparatorMatchingEmptyTextTerminates) {
  EXPECT_EQ(strings(Regex("x*").split("ab", true)), (Pieces{"a", "b"}));
  EXPECT_EQ(strings(Regex("x*").split("axb", true)), (Pieces{"a", "x", "b"}));
}

struct BehaviourCase {
  const char* name;
  const char* pattern;
  std::string text;
  SplitBehavior behavior;
  Pieces expected;
};

class RegexBehaviourSplitTest : public ::testing::TestWithParam<BehaviourCase> {};

TEST_P(RegexBehaviourSplitTest, JoinsSeparatorsAsAsked) {
  const auto& c = GetParam();
  EXPECT_EQ(strings(Regex(c.pattern).split(c.text, c.behavior)), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Behaviours, RegexBehaviourSplitTest,
    ::testing::Values(
        BehaviourCase{"Removed", "-", "a-b-", SplitBehavior::removed, {"a", "b"}},
        BehaviourCase{"Isolated", "-", "a-b-", SplitBehavior::isolated, {"a", "-", "b", "-"}},
        BehaviourCase{"MergedWithPrevious", "-", "a-b-c", SplitBehavior::mergedWithPrevious, {"a-", "b-", "c"}},
        BehaviourCase{"MergedWithNext", "-", "a-b-c", SplitBehavior::mergedWithNext, {"a", "-b", "-c"}},
        BehaviourCase{"MergedWithNextLeadingSeparator", "\xE2\x96\x81", "\xE2\x96\x81\xE2\x96\x81" "a",
                      SplitBehavior::mergedWithNext, {"\xE2\x96\x81", "\xE2\x96\x81" "a"}},
        BehaviourCase{"MergedWithNextEmpty", "\xE2\x96\x81", "", SplitBehavior::mergedWithNext, {}},
        BehaviourCase{"MergedWithNextNoMatch", "-", "ab", SplitBehavior::mergedWithNext, {"ab"}}),
    [](const auto& info) { return std::string(info.param.name); });

struct CaptureSplitCase {
  const char* name;
  std::string pattern;
  std::string text;
  Pieces expected;
};

class RegexCaptureGroupSplitTest : public ::testing::TestWithParam<CaptureSplitCase> {};

TEST_P(RegexCaptureGroupSplitTest, KeepsTheHighestParticipatingGroup) {
  const auto& c = GetParam();
  EXPECT_EQ(strings(Regex(c.pattern).splitKeepingCaptureGroups(c.text)), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, RegexCaptureGroupSplitTest,
    ::testing::Values(
        CaptureSplitCase{"AbsorbsWhitespace", R"(\s*(<tok>)\s*)", "a <tok> b", {"a", "<tok>", "b"}},
        CaptureSplitCase{"SecondAlternative", R"((<s>)|\s*(</s>))", "x </s>y<s>", {"x", "</s>", "y", "<s>"}},
        CaptureSplitCase{"NoGroupKeepsWholeMatch", R"(\d+)", "a12b", {"a", "12", "b"}},
        CaptureSplitCase{"NoMatchIsWholeText", R"((<s>))", "plain", {"plain"}},
        CaptureSplitCase{"EmptyTextNoMatch", R"((<s>))", "", {""}},
        CaptureSplitCase{"AdjacentTokens", R"((<s>)|(</s>))", "<s></s>", {"<s>", "</s>"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RegexCaptureGroupSplitTest, AlternationOfThousandsOfEscapedLiterals) {
  // Added tokens full of metacharacters, as a tokenizer builds its added-token pattern.
  std::vector<std::string> tokens;
  for (int i = 0; i < 3000; ++i) tokens.push_back("<|t." + std::to_string(i) + "*(x)[" + std::to_string(i % 7) + "]|>");
  std::string pattern;
  for (const auto& t : tokens) {
    if (!pattern.empty()) pattern += '|';
    pattern += "(" + Regex::escapedPattern(t) + ")";
  }
  Regex regex(pattern);
  EXPECT_EQ(regex.captureGroupCount(), 3000u);
  const std::string text = "say " + tokens[2999] + " then" + tokens[0] + tokens[1500] + "<|t.1*(x)[2]|>";
  EXPECT_EQ(strings(regex.splitKeepingCaptureGroups(text)),
            (Pieces{"say ", tokens[2999], " then", tokens[0], tokens[1500], "<|t.1*(x)[2]|>"}));
  // The escaped "." and "*" stay literal: a near miss is not a token.
  EXPECT_EQ(strings(regex.splitKeepingCaptureGroups("<|tX1*(x)[1]|>")), (Pieces{"<|tX1*(x)[1]|>"}));
}

TEST(RegexCaptureGroupSplitTest, ManyGroupsWithClassesEscapesAndLookaround) {
  // Enough groups for the faster search without groups; parentheses in sets, escaped parentheses
  // and lookahead must keep their meaning there.
  std::string pattern = R"((x[(]y)|(\(z\))|(q(?=r))|([[:digit:]]+(?:k)))";
  for (int i = 1; i <= 14; ++i) pattern += "|(g" + std::to_string(i) + ")";
  Regex regex(pattern);
  ASSERT_EQ(regex.captureGroupCount(), 18u);
  EXPECT_EQ(strings(regex.splitKeepingCaptureGroups("x(y (z) qr qs 12k g9")),
            (Pieces{"x(y", " ", "(z)", " ", "q", "r qs ", "12k", " ", "g9"}));
  EXPECT_EQ(strings(regex.matchedTexts("x(y (z) qr qs 12k g9")), (Pieces{"x(y", "(z)", "q", "12k", "g9"}));
  auto m = regex.firstMatch("..g9");
  ASSERT_TRUE(m.has_value());
  EXPECT_EQ(m->groups[13], (ByteRange{2, 4}));
  EXPECT_FALSE(m->groups[1].has_value());

  // A back reference needs its group.
  std::string backReference = R"((['"])x\1)";
  for (int i = 1; i <= 15; ++i) backReference += "|(a" + std::to_string(i) + ")";
  EXPECT_EQ(strings(Regex(backReference).splitKeepingCaptureGroups("'x' \"x'")), (Pieces{"'", " \"x'"}));
}

TEST(RegexMatchesTest, ReportsGroupsThatDidNotTakePart) {
  auto m = Regex("(a)|(b)").firstMatch("xb");
  ASSERT_TRUE(m.has_value());
  EXPECT_EQ(m->range, (ByteRange{1, 2}));
  ASSERT_EQ(m->groups.size(), 3u);
  EXPECT_FALSE(m->groups[1].has_value());
  EXPECT_EQ(m->groups[2], (ByteRange{1, 2}));
  EXPECT_FALSE(Regex("z").firstMatch("abc").has_value());
}

TEST(RegexMatchesTest, ContainsMatchFindsHashShapes) {
  Regex sha("^[0-9a-f]{64}$");
  EXPECT_TRUE(sha.containsMatch(std::string(64, 'a')));
  EXPECT_FALSE(sha.containsMatch(std::string(63, 'a')));
  EXPECT_FALSE(sha.containsMatch(std::string(64, 'A')));
}

TEST(RegexMatchesTest, OptionsChangeMatching) {
  Regex::Options insensitive;
  insensitive.caseInsensitive = true;
  EXPECT_TRUE(Regex("abc", insensitive).containsMatch("xABCx"));
  EXPECT_FALSE(Regex("abc").containsMatch("xABCx"));
  // A tag may span lines: "[^>]" takes line breaks.
  EXPECT_EQ(Regex("<[^>]+>", insensitive).replace("<B>bold</B>\n<a\nhref=x>", ""), "bold\n");
  Regex::Options literal;
  literal.ignoreMetacharacters = true;
  EXPECT_EQ(strings(Regex("a.b", literal).matchedTexts("axb a.b")), Pieces{"a.b"});
}

struct ReplaceCase {
  const char* name;
  const char* pattern;
  const char* replacement;
  std::string text;
  std::string expected;
};

class RegexReplaceTest : public ::testing::TestWithParam<ReplaceCase> {};

TEST_P(RegexReplaceTest, ExpandsTheTemplate) {
  const auto& c = GetParam();
  EXPECT_EQ(Regex(c.pattern).replace(c.text, c.replacement), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Templates, RegexReplaceTest,
    ::testing::Values(
        ReplaceCase{"GroupReference", R"((\d+))", "<$1>", "a12", "a<12>"},
        ReplaceCase{"WholeMatch", R"(\d)", "[$0]", "a1b2", "a[1]b[2]"},
        ReplaceCase{"EscapedDollar", R"((\d))", R"(\$1)", "a1", "a$1"},
        ReplaceCase{"EscapedBackslash", "b", R"(\\)", "abc", R"(a\c)"},
        ReplaceCase{"DollarWithoutDigitIsLiteral", "b", "$x", "abc", "a$xc"},
        ReplaceCase{"MissingGroupIsEmpty", "(a)|(b)", "[$1$2]", "ab", "[a][b]"},
        ReplaceCase{"ExtraDigitsAreLiteral", "(a)", "$10", "a", "a0"},
        ReplaceCase{"NineGroupsTakeOneDigit", "(a)(b)(c)(d)(e)(f)(g)(h)(i)", "$91", "abcdefghi", "i1"},
        // With ten or more groups "$" takes two digits, whether or not that group exists.
        ReplaceCase{"TenGroupsTakeTwoDigits", "(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)", "$10|$1|$01|$11", "abcdefghij", "j|a|a|"},
        ReplaceCase{"GroupBeyondCountIsEmpty", "(a)", "[$2]", "a", "[]"},
        ReplaceCase{"WordPieceCleanUp", R"(\s(\.|\?|\!|\,|'\s|n't|'m|'s|'ve|'re))", "$1", "do n't stop , he 's .",
                    "don't stop, he's."},
        ReplaceCase{"NoMatchKeepsText", "z", "y", "abc", "abc"}),
    [](const auto& info) { return std::string(info.param.name); });

// The bounded replacement gives nothing once the result passes the bound, on either side of it
// and however the growth comes: from the template's text, from its groups, or with no match.
TEST(RegexReplaceBoundTest, GivesNothingPastTheBound) {
  const struct {
    const char* pattern;
    const char* replacement;
    std::string text;
    std::size_t maxBytes;
    std::optional<std::string> expected;
  } cases[] = {
      {"b", "xyz", "abc", 5, "axyzc"},
      {"b", "xyz", "abc", 4, std::nullopt},
      {"(a+)", "$1$1$1", "aaaa", 12, "aaaaaaaaaaaa"},
      {"(a+)", "$1$1$1", "aaaa", 11, std::nullopt},
      {"z", "y", "abc", 3, "abc"},
      {"z", "y", "abc", 2, std::nullopt},
      {"b", "", "abbb", 1, "a"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Regex(c.pattern).replace(c.text, c.replacement, c.maxBytes), c.expected) << c.pattern << " " << c.maxBytes;
}

TEST(RegexCompileTest, BadPatternsAreErrorsNamingThePattern) {
  for (const char* bad : {"(", "[a-", R"(\p{NoSuchProperty})", "a{2,1}", "*"}) {
    try {
      Regex r(bad);
      ADD_FAILURE() << "compiled: " << bad;
    } catch (const RegexError& e) {
      EXPECT_EQ(e.pattern, bad);
      EXPECT_NE(std::string(e.what()).find(bad), std::string::npos) << e.what();
    }
  }
  EXPECT_THROW(Regex("a\xC3"), RegexError);
}

TEST(RegexCompileTest, CatastrophicBacktrackingRunsOutOfTime) {
  Regex::Options limited;
  limited.timeLimit = 20;
  Regex nested("(a+)+$", limited);
  EXPECT_THROW(nested.ranges(std::string(40, 'a') + "!"), RegexTimeout);
  EXPECT_EQ(strings(nested.matchedTexts("aaa")), Pieces{"aaa"});  // the matcher is usable afterwards
}

// Text on which every search of "(a+)+b|!" backtracks through a run of a's before it finds a "!":
// each search stays far below the per-search limit, but together they take many seconds.
std::string backtrackingRuns(std::size_t bytes) {
  std::string text;
  while (text.size() < bytes) text += std::string(20, 'a') + "!";
  return text;
}

TEST(RegexTimeBudgetTest, BoundsEverySearchOfTheCallTogether) {
  using namespace std::chrono_literals;
  const std::string text = backtrackingRuns(1500);
  Regex many("(a+)+b|!");
  Regex::Options unlimited;
  unlimited.timeLimit = 0;
  Regex one("(a+)+$", unlimited);
  const struct {
    const char* name;
    std::function<void()> search;
  } cases[] = {
      {"many short searches", [&] { many.ranges(text); }},
      {"captures", [&] { many.matches(text); }},
      {"replace", [&] { many.replace(text, "x"); }},
      {"split", [&] { many.split(text, true); }},
      {"one endless search", [&] { one.ranges(std::string(64, 'a') + "!"); }},
  };
  for (const auto& c : cases) {
    RegexTimeBudget budget(50ms);
    try {
      c.search();
      ADD_FAILURE() << c.name << ": finished within the budget";
    } catch (const RegexTimeout& e) {
      EXPECT_NE(std::string(e.what()).find("time budget"), std::string::npos) << e.what();
    }
  }
  // Outside the budget the same matcher works again.
  EXPECT_EQ(strings(many.matchedTexts("aab!")), (Pieces{"aab", "!"}));
}

TEST(RegexTimeBudgetTest, InnerBudgetNeverExtendsTheOuterOne) {
  using namespace std::chrono_literals;
  Regex many("(a+)+b|!");
  const std::string text = backtrackingRuns(1500);
  RegexTimeBudget outer(50ms);
  {
    RegexTimeBudget inner(1h);
    EXPECT_THROW(many.ranges(text), RegexTimeout);
  }
  // A budget belongs to its thread: another thread searches without it.
  std::thread other([&] { EXPECT_EQ(strings(many.matchedTexts("ab!")), (Pieces{"ab", "!"})); });
  other.join();
}

TEST(RegexEscapeTest, EscapedPatternMatchesOnlyTheLiteral) {
  const std::string literal = R"(a.b*c+d?(e)[f]{g}^h$i|j\k/l-m#)";
  Regex regex(Regex::escapedPattern(literal));
  EXPECT_EQ(strings(regex.matchedTexts("x" + literal + "y")), Pieces{literal});
  EXPECT_TRUE(regex.matchedTexts("aXb*c+d?(e)[f]{g}^h$i|j\\k/l-m#").empty());
}

TEST(RegexThreadsTest, OneRegexServesConcurrentCallers) {
  Regex regex(kByteLevel);
  std::vector<std::thread> threads;
  std::vector<Pieces> results(4);
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) results[t] = strings(regex.matchedTexts("Hello world, it's 2024!"));
    });
  for (auto& th : threads) th.join();
  for (const auto& r : results) EXPECT_THAT(r, ElementsAreArray({"Hello", " world", ",", " it", "'s", " 2024", "!"}));
}

}  // namespace
}  // namespace platform::text

#include "Tokenizers/detail/AddedTokenSplit.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "platform/Text/Regex.h"

namespace tokenizers::detail {
namespace {

using Alternative = AddedTokenSplitter::Alternative;
using platform::text::Regex;

// The alternation the tokenizer's added tokens stand for, the reference of the split.
Regex alternationOf(const std::vector<Alternative>& alternatives) {
  std::string pattern;
  for (const auto& a : alternatives) {
    if (!pattern.empty()) pattern += '|';
    pattern += (a.lstrip ? "\\s*(" : "(") + Regex::escapedPattern(a.content) + (a.rstrip ? ")\\s*" : ")");
  }
  return Regex(pattern);
}

std::vector<std::string> strings(const std::vector<std::string_view>& views) { return {views.begin(), views.end()}; }

// Random texts of the fragments against the engine's split of the alternation.
void expectCutsLikeTheAlternation(const std::vector<Alternative>& alternatives, const std::vector<std::string>& fragments,
                                  unsigned seed) {
  const AddedTokenSplitter splitter(alternatives);
  const Regex reference = alternationOf(alternatives);
  EXPECT_EQ(splitter.pattern(), reference.pattern());
  std::mt19937 random(seed);
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    const int count = static_cast<int>(random() % 9);
    for (int i = 0; i < count; ++i) text += fragments[random() % fragments.size()];
    ASSERT_EQ(strings(splitter.split(text)), strings(reference.splitKeepingCaptureGroups(text))) << text;
  }
}

TEST(AddedTokenSplitTest, CutsLikeTheAlternation) {
  const std::vector<Alternative> alternatives = {
      {"<|endoftext|>", false, false}, {"<mask>", true, false}, {"<|end|>", false, true}, {"<sep>", true, true},
      {"<s>x", false, false},          {"a.b", false, false},   {"<s>", false, false},    {"<s>", true, true},
      {"é", false, true},              {"<", false, false},
  };
  // Fragments that make tokens, near misses, and every kind of white space around them.
  const std::vector<std::string> fragments = {
      "<|endoftext|>", "<mask>", "<|end|>", "<sep>", "<s>x", "<s>", "a.b", "axb", "é", "e\u0301", "<|end", "<ma",
      "<", "|", "x", "word", " ", "  ", "\t", "\n", "\r\n", "\u000B", "\u0085", "\u00A0", "\u3000", "\u200B", "中"};
  expectCutsLikeTheAlternation(alternatives, fragments, 7);
}

// Contents that begin with or are white space: "\s*" before an lstrip one gives back what the
// content needs, and a match may end inside a run of white space.
TEST(AddedTokenSplitTest, CutsContentsOfWhiteSpaceLikeTheAlternation) {
  const std::vector<std::vector<Alternative>> sets = {
      {{"    ", false, false}, {"  ", false, false}, {"\t", true, false}, {" <b>", false, false}, {"<a>", true, true}},
      {{" <b>", true, false}, {"\u3000x", true, false}, {"  ", true, false}, {"\n", false, true}, {"<b>", false, false}},
      {{"\n\n", true, true}, {" ", true, false}, {"x y", false, false}, {" x", true, false}, {"y", true, false}},
  };
  const std::vector<std::string> fragments = {" ", "  ", "\t", "\n", "\u3000", "\u00A0", "<a>", "<b>", " <b>",
                                              "x", "y", "x y", "\u3000x", "z", "é"};
  unsigned seed = 11;
  for (const auto& alternatives : sets) expectCutsLikeTheAlternation(alternatives, fragments, seed++);
}

TEST(AddedTokenSplitTest, EmptyContentsNeverMatch) {
  const AddedTokenSplitter onlyEmpty({{"", false, false}});
  EXPECT_TRUE(onlyEmpty.empty());
  EXPECT_EQ(strings(onlyEmpty.split("a b")), (std::vector<std::string>{"a b"}));
  const AddedTokenSplitter mixed({{"<a>", false, true}, {"", true, true}});
  EXPECT_EQ(strings(mixed.split("x<a> y")), (std::vector<std::string>{"x", "<a>", "y"}));
  EXPECT_EQ(mixed.pattern(), "(<a>)\\s*");
}

// Many contents sharing long prefixes, and one very long content: the compressed trie finds each
// exactly, and a near miss of the long one is text.
TEST(AddedTokenSplitTest, FindsManyAndLongContents) {
  std::vector<Alternative> many;
  for (int i = 0; i < 5000; ++i) many.push_back({"<|reserved_" + std::to_string(i) + "|>", false, false});
  const AddedTokenSplitter splitter(many);
  EXPECT_EQ(strings(splitter.split("a<|reserved_4999|>b<|reserved_12|><|reserved_5000|>")),
            (std::vector<std::string>{"a", "<|reserved_4999|>", "b", "<|reserved_12|>", "<|reserved_5000|>"}));
  const std::string long_(1 << 20, 'q');
  const AddedTokenSplitter one({{long_, false, false}, {"qq", false, false}});
  const std::string text = "x" + long_ + "y" + long_.substr(1) + "z";
  const auto sections = strings(one.split(text));
  ASSERT_EQ(sections.size(), 3u + (long_.size() - 2) / 2 + 1);
  EXPECT_EQ(sections[0], "x");
  EXPECT_EQ(sections[1], long_);
  EXPECT_EQ(sections[2], "y");
  EXPECT_EQ(sections[3], "qq");
  EXPECT_EQ(sections.back(), "qz");
}

// A text that keeps matching the start of a long content without finishing it makes every
// position walk far; the walk honours the call's time budget instead of running on.
TEST(AddedTokenSplitTest, LongWalksHonourTheTimeBudget) {
  const AddedTokenSplitter splitter({{std::string(1 << 19, 'q') + "x", false, false}});
  const std::string text(1 << 20, 'q');
  platform::text::RegexTimeBudget budget(std::chrono::milliseconds(50));
  EXPECT_THROW(splitter.split(text), platform::text::RegexTimeout);
}

}  // namespace
}  // namespace tokenizers::detail

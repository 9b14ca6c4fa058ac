#include "Tokenizers/detail/AddedTokenSplit.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "platform/Text/Regex.h"

namespace tokenizers::detail {
namespace {

using Alternative = AddedTokenSplitter::Alternative;
using platform::text::Regex;

// The alternation the tokenizer compiles from its added tokens, the reference of the split.
Regex alternationOf(const std::vector<Alternative>& alternatives) {
  std::string pattern;
  for (const auto& a : alternatives) {
    if (!pattern.empty()) pattern += '|';
    pattern += (a.lstrip ? "\\s*(" : "(") + Regex::escapedPattern(a.content) + (a.rstrip ? ")\\s*" : ")");
  }
  return Regex(pattern);
}

std::vector<std::string> strings(const std::vector<std::string_view>& views) { return {views.begin(), views.end()}; }

TEST(AddedTokenSplitTest, CutsLikeTheAlternation) {
  const std::vector<Alternative> alternatives = {
      {"<|endoftext|>", false, false}, {"<mask>", true, false}, {"<|end|>", false, true}, {"<sep>", true, true},
      {"<s>x", false, false},          {"a.b", false, false},   {"<s>", false, false},    {"<s>", true, true},
      {"é", false, true},              {"<", false, false},
  };
  const auto splitter = AddedTokenSplitter::make(alternatives);
  ASSERT_TRUE(splitter);
  const Regex reference = alternationOf(alternatives);
  // Fragments that make tokens, near misses, and every kind of white space around them.
  const std::vector<std::string> fragments = {
      "<|endoftext|>", "<mask>", "<|end|>", "<sep>", "<s>x", "<s>", "a.b", "axb", "é", "e\u0301", "<|end", "<ma",
      "<", "|", "x", "word", " ", "  ", "\t", "\n", "\r\n", "\u000B", "\u0085", "\u00A0", "\u3000", "\u200B", "中"};
  std::mt19937 random(7);
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    const int count = static_cast<int>(random() % 9);
    for (int i = 0; i < count; ++i) text += fragments[random() % fragments.size()];
    EXPECT_EQ(strings(splitter->split(text)), strings(reference.splitKeepingCaptureGroups(text))) << text;
  }
}

TEST(AddedTokenSplitTest, LeavesContentsThatBeginWithWhiteSpaceToTheEngine) {
  EXPECT_FALSE(AddedTokenSplitter::make({{"<a>", false, false}, {" <b>", false, false}}));
  EXPECT_FALSE(AddedTokenSplitter::make({{"\u3000x", true, false}}));
  EXPECT_FALSE(AddedTokenSplitter::make({{"", false, false}}));
  EXPECT_TRUE(AddedTokenSplitter::make({{"x ", false, true}}));
}

}  // namespace
}  // namespace tokenizers::detail

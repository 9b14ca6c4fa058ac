#include "KestrumCore/Extensions.h"

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include <gtest/gtest.h>

namespace kestrum {
namespace {

TEST(ExtensionsTest, RoundedSendsHalvesAwayFromZero) {
  struct Case {
    float value;
    int places;
    float expected;
  };
  const Case cases[] = {{2.5f, 0, 3.0f}, {-2.5f, 0, -3.0f}, {0.25f, 1, 0.3f}, {1.23456f, 2, 1.23f}, {-0.04f, 1, -0.0f}};
  for (const auto& c : cases) EXPECT_FLOAT_EQ(rounded(c.value, c.places), c.expected) << c.value << " " << c.places;
}

TEST(ExtensionsTest, ResolveAbsolutePathExpandsTildeAndJoinsRelativePaths) {
  const char* home = std::getenv("HOME");
  ASSERT_NE(home, nullptr);
  EXPECT_EQ(FileManager::resolveAbsolutePath("~/Models/tiny"), std::string(home) + "/Models/tiny");
  EXPECT_EQ(FileManager::resolveAbsolutePath("/opt/models/../x"), "/opt/models/../x");
  EXPECT_EQ(FileManager::resolveAbsolutePath("models/tiny"), (std::filesystem::current_path() / "models/tiny").string());
  // Joined as a URL path component: the result has no trailing slash.
  EXPECT_EQ(FileManager::resolveAbsolutePath("models/tiny/"), std::filesystem::current_path().string() + "/models/tiny");
  EXPECT_EQ(FileManager::resolveAbsolutePath(""), std::filesystem::current_path().string());
}

TEST(ExtensionsTest, BatchedSlicesInOrderAndRejectsSizeZero) {
  std::vector<int> seven{1, 2, 3, 4, 5, 6, 7};
  std::vector<std::vector<int>> expected{{1, 2, 3}, {4, 5, 6}, {7}};
  EXPECT_EQ(batched(seven, 3), expected);
  EXPECT_TRUE(batched(std::vector<int>{}, 2).empty());
  EXPECT_THROW(batched(seven, 0), std::invalid_argument);
}

TEST(ExtensionsTest, OrderedSetKeepsFirstOccurrences) {
  EXPECT_EQ(orderedSet(std::vector<std::string>{"a", "b", "a", "c", "b"}), (std::vector<std::string>{"a", "b", "c"}));
}

// One token per word, so counts are easy to reason about.
std::vector<int> wordTokens(const std::string& text) {
  std::istringstream in(text);
  std::vector<int> tokens;
  for (std::string word; in >> word;) tokens.push_back(static_cast<int>(tokens.size()));
  return tokens;
}

TEST(ExtensionsTest, LastNaturalBoundaryPrefersSentenceEndsThenClausesThenSpaces) {
  const std::string text = "The quick fox jumped. Then it ran away, far into the woods";
  struct Case {
    std::string text;
    int minTokens;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {text, 1, "The quick fox jumped."},
      {text, 5, "The quick fox jumped. Then it ran away,"},  // sentence too short: the comma group
      {text, 9, "The quick fox jumped. Then it ran away, far into the"},  // text before the last space
      {text, 20, std::nullopt},
      {"Unbroken", 0, std::nullopt},
      {"one two \u2013 three", 2, "one two \u2013"},
  };
  for (const auto& c : cases) EXPECT_EQ(lastNaturalBoundary(c.text, c.minTokens, wordTokens), c.expected) << c.text;
}

TEST(ExtensionsTest, TrimmingFromEndRemovesAtMostUpto) {
  EXPECT_EQ(trimmingFromEnd("Wait...", '.', 2), "Wait.");
  EXPECT_EQ(trimmingFromEnd("Wait...", '.', 5), "Wait");
  EXPECT_EQ(trimmingFromEnd("Wait...", '.', 0), "Wait...");
  EXPECT_EQ(trimmingFromEnd("Wait...", '.', -1), "Wait...");
  EXPECT_EQ(trimmingFromEnd("...", '.', 9), "");
}

TEST(ExtensionsTest, GlobMatchingFollowsFnmatchWithoutFlags) {
  const std::vector<std::string> names{"openai_whisper-tiny", "openai_whisper-base.en", "distil/whisper-tiny",
                                       ".hidden", "openai_whisper-tiny/extra"};
  struct Case {
    std::string glob;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"openai_whisper-*", {"openai_whisper-tiny", "openai_whisper-base.en", "openai_whisper-tiny/extra"}},
      {"*", names},
      {"*tiny", {"openai_whisper-tiny", "distil/whisper-tiny"}},
      {"?hidden", {".hidden"}},
      {"openai_whisper-base?en", {"openai_whisper-base.en"}},
      {"openai_whisper-\\*", {}},
      {"[od]*tiny", {"openai_whisper-tiny", "distil/whisper-tiny"}},
  };
  for (const auto& c : cases) EXPECT_EQ(matching(names, c.glob), c.expected) << c.glob;
}

TEST(ExtensionsTest, DeviceFactsComeFromTheKernel) {
  EXPECT_EQ(ProcessInfo::stringFromSysctl("kernel.ostype"), "Linux");
  EXPECT_EQ(ProcessInfo::stringFromSysctl("no.such.parameter"), "");
  EXPECT_EQ(ProcessInfo::stringFromSysctl("kernel/../../etc/hostname"), "");
  EXPECT_FALSE(ProcessInfo::hwModel().empty());
  EXPECT_EQ(&ProcessInfo::hwModel(), &ProcessInfo::hwModel());  // read once, then kept
  EXPECT_GE(std::stoi(ProcessInfo::threads()), 1);
}

}  // namespace
}  // namespace kestrum

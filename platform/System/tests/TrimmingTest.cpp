#include "platform/System/Trimming.h"

#include <string>

#include <gtest/gtest.h>

namespace {

using platform::system::shortenedForMessage;
using platform::system::trimmingWhitespace;

TEST(TrimmingTest, RemovesAsciiWhiteSpaceAtBothEndsOnly) {
  struct Case {
    std::string text;
    std::string expected;
  };
  const Case cases[] = {
      {" \t hi there\r\n", "hi there"},
      {"\v\fx\f\v", "x"},
      {"   \n", ""},
      {"", ""},
      {"a \t b", "a \t b"},
      {"\xC2\xA0x\xC2\xA0", "\xC2\xA0x\xC2\xA0"},          // no-break space is not ASCII white space
      {std::string("\0x\0", 3), std::string("\0x\0", 3)},  // nor is a zero byte
  };
  for (const auto& c : cases) EXPECT_EQ(trimmingWhitespace(c.text), c.expected) << c.text;
}

TEST(TrimmingTest, LongTextsAreCutForMessagesWithoutSplittingACharacter) {
  struct Case {
    std::string text;
    std::size_t maxBytes;
    std::string expected;
  };
  const std::string ellipsis = "\xE2\x80\xA6";
  const Case cases[] = {
      {"abcdef", 6, "abcdef"},  // at the bound: whole
      {"abcdefg", 6, "abcdef" + ellipsis},
      {"", 0, ""},
      {"ab", 0, ellipsis},
      {"ab\xC3\xA9" "cd", 3, "ab" + ellipsis},            // "é" would be split after its lead byte
      {"ab\xC3\xA9" "cd", 4, "ab\xC3\xA9" + ellipsis},  // ... and fits whole at 4
      {"\xF0\x9F\x98\x80\xF0\x9F\x98\x80", 7, "\xF0\x9F\x98\x80" + ellipsis},
  };
  for (const auto& c : cases) EXPECT_EQ(shortenedForMessage(c.text, c.maxBytes), c.expected) << c.text;
  // A server's 90 KB header shows as its first bytes.
  EXPECT_EQ(shortenedForMessage(std::string(90000, 'e')), std::string(120, 'e') + ellipsis);
}

}  // namespace

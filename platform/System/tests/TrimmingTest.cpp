#include "platform/System/Trimming.h"

#include <string>

#include <gtest/gtest.h>

namespace {

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

}  // namespace

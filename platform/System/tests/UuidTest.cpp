#include "platform/System/Uuid.h"

#include <regex>
#include <set>

#include <gtest/gtest.h>

namespace platform::system {
namespace {

TEST(UuidTest, RandomIdentifiersAreUpperCaseVersion4AndDistinct) {
  const std::regex form("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    std::string text = UUID().uuidString();
    ASSERT_TRUE(std::regex_match(text, form)) << text;
    seen.insert(text);
  }
  EXPECT_EQ(seen.size(), 1000u);
}

TEST(UuidTest, ParseReadsBothCasesAndWritesUpperCase) {
  auto id = UUID::parse("e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
  ASSERT_TRUE(id);
  EXPECT_EQ(id->uuidString(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
  EXPECT_EQ(id->bytes()[0], 0xE6);
  EXPECT_EQ(id->bytes()[15], 0x5F);
  EXPECT_EQ(UUID::parse(id->uuidString()), id);
  UUID fresh;
  EXPECT_EQ(UUID::parse(fresh.uuidString()), fresh);
}

TEST(UuidTest, ParseRejectsMalformedTexts) {
  for (const char* text : {"", "E621E1F8C36C495A93FC0C247A3E6E5F", "E621E1F8-C36C-495A-93FC-0C247A3E6E5",
                           "E621E1F8-C36C-495A-93FC-0C247A3E6E5FF", "G621E1F8-C36C-495A-93FC-0C247A3E6E5F",
                           "E621E1F-8C36C-495A-93FC-0C247A3E6E5F", "{621E1F8-C36C-495A-93FC-0C247A3E6E5}"}) {
    EXPECT_FALSE(UUID::parse(text)) << text;
  }
}

}  // namespace
}  // namespace platform::system

#include "templates/JinjaError.h"

#include <gtest/gtest.h>

namespace jinja {
namespace {

TEST(JinjaErrorTest, DescriptionIsPrefixFollowedByMessage) {
  struct Case {
    JinjaError error;
    const char* description;
  };
  const Case cases[] = {
      {JinjaError::lexer("Unclosed comment at position 12"), "Lexer error: Unclosed comment at position 12"},
      {JinjaError::runtime(""), "Runtime error: "},
      {JinjaError::parser("Parser error: x"), "Parser error: Parser error: x"},
      {JinjaError::syntax("bad"), "Syntax error: bad"},
  };
  for (const Case& c : cases) {
    EXPECT_STREQ(c.error.what(), c.description);
    EXPECT_EQ(c.error.errorDescription(), c.description);
  }
  EXPECT_EQ(JinjaError::lexer("m").message(), "m");
  EXPECT_EQ(JinjaError::parser("m").kind(), JinjaError::Kind::parser);
}

}  // namespace
}  // namespace jinja

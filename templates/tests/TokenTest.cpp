#include "templates/Token.h"

#include <gtest/gtest.h>

namespace jinja {
namespace {

namespace json = platform::json;
using Kind = Token::Kind;

TEST(TokenKindTest, AllKindsListsSixtyOneKindsInOrdinalOrder) {
  const auto& kinds = Token::allKinds();
  ASSERT_EQ(kinds.size(), 61u);
  EXPECT_EQ(kinds[0], Kind::text);
  EXPECT_EQ(kinds[9], Kind::identifier);
  EXPECT_EQ(kinds[39], Kind::notIn);
  EXPECT_EQ(kinds[59], Kind::comment);
  EXPECT_EQ(kinds[60], Kind::eof);
  EXPECT_EQ(&Token::allKinds(), &kinds);
}

TEST(TokenKindTest, TextFormIsTheCaseName) {
  EXPECT_EQ(kindName(Kind::notIn), "notIn");
  EXPECT_EQ(kindName(Kind::floorDivide), "floorDivide");
  EXPECT_EQ(kindName(Kind::if_), "if");
  EXPECT_EQ(kindName(Kind::continue_), "continue");
  EXPECT_EQ(kindName(Kind::closeParen), "closeParen");
}

TEST(TokenKindTest, EveryKindRoundTripsThroughJson) {
  for (Kind kind : Token::allKinds()) {
    json::Value encoded = kindToJson(kind);
    EXPECT_EQ(json::write(encoded), "{\"" + std::string(kindName(kind)) + "\":{}}");
    EXPECT_EQ(kindFromJson(encoded), kind);
  }
}

TEST(TokenKindTest, DecodingNeedsExactlyOneKnownMember) {
  struct Case {
    const char* json;
    bool ok;
    Kind expected;
  };
  const Case cases[] = {
      {"{}", false, Kind::eof},
      {R"({"if":{},"for":{}})", false, Kind::eof},
      {R"({"If":{}})", false, Kind::eof},
      {R"({"if":{},"extra":1})", true, Kind::if_},
      {R"({"notIn":{"ignored":true}})", true, Kind::notIn},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    if (c.ok) {
      EXPECT_EQ(kindFromJson(json::parse(c.json)), c.expected);
    } else {
      try {
        kindFromJson(json::parse(c.json));
        ADD_FAILURE() << "decoded";
      } catch (const json::DecodingError& e) {
        EXPECT_EQ(e.kind, json::DecodingError::Kind::typeMismatch);
        EXPECT_STREQ(e.what(), "Invalid number of keys found, expected one.");
      }
    }
  }
}

TEST(TokenKindTest, NonObjectPayloadFailsWithTheJsonLayersOwnError) {
  try {
    kindFromJson(json::parse(R"({"if":true})"));
    FAIL() << "decoded";
  } catch (const json::DecodingError& e) {
    EXPECT_STRNE(e.what(), "Invalid number of keys found, expected one.");
  }
}

TEST(TokenTest, JsonFormAndRoundTrip) {
  Token token(Kind::identifier, "name", 3);
  EXPECT_EQ(json::write(token.toJson()), R"({"kind":{"identifier":{}},"value":"name","position":3})");
  Token back = Token::fromJson(token.toJson());
  EXPECT_EQ(back, token);
  EXPECT_EQ(back.value(), "name");
}

TEST(TokenTest, DecodingReportsMissingAndMistypedMembers) {
  EXPECT_THROW(Token::fromJson(json::parse(R"({"kind":{"text":{}},"value":"a"})")), json::DecodingError);
  EXPECT_THROW(Token::fromJson(json::parse(R"({"kind":{"text":{}},"value":1,"position":0})")), json::DecodingError);
  EXPECT_THROW(Token::fromJson(json::parse(R"({"kind":{"text":{}},"value":null,"position":0})")), json::DecodingError);
}

TEST(TokenTest, EqualityUsesCanonicalEquivalenceAndPosition) {
  Token precomposed(Kind::text, "\u00e9", 0);
  Token decomposed(Kind::text, "e\u0301", 0);
  EXPECT_EQ(precomposed, decomposed);
  EXPECT_EQ(precomposed.hashValue(), decomposed.hashValue());
  EXPECT_FALSE(Token(Kind::text, "a", 0) == Token(Kind::text, "a", 1));
  EXPECT_FALSE(Token(Kind::text, "a", 0) == Token(Kind::identifier, "a", 0));
}

}  // namespace
}  // namespace jinja

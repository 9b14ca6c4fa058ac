#include <cmath>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Hub/Config.h"
#include "Hub/JSONParser.h"
#include "platform/System/Json.h"
#include "testsupport/Fixtures.h"

namespace hub {
namespace {

namespace json = platform::json;
using Kind = Config::Kind;

Config roundTrip(const Config& c) { return Config::fromJson(json::parse(json::write(c.toJson()))); }

TEST(ConfigEncodingTest, RoundTripsThroughJsonText) {
  const Config values[] = {
      Config("t\xC3\xA9xt \"quoted\" / slash"),
      Config(-9223372036854775807LL - 1),
      Config(true),
      Config(0.1f),
      Config(2.0f),  // comes back as the integer 2, which equals it
      Config(),
      Config(Config::Token{7, "abc"}),
      Config::arrayOf({1, "a", Config(), Config::arrayOf({})}),
      Config::dictionaryOf({{"model_type", "whisper"}, {"nested", Config::dictionaryOf({{"k", Config::arrayOf({1.5f})}})}}),
  };
  for (const Config& c : values) EXPECT_EQ(roundTrip(c), c) << c.description();
  EXPECT_EQ(roundTrip(Config(Config::Token{7, "abc"})).kind(), Kind::token);
  EXPECT_EQ(roundTrip(Config(2.0f)).kind(), Kind::integer);
}

TEST(ConfigEncodingTest, WritesTheEncodedForm) {
  EXPECT_EQ(json::write(Config(Config::Token{7, "abc"}).toJson()), R"([7,"abc"])");
  EXPECT_EQ(json::write(Config(0.1f).toJson()), "0.1");
  EXPECT_EQ(json::write(Config::arrayOf({1, true, Config(), "x"}).toJson()), R"([1,true,null,"x"])");
  EXPECT_EQ(json::write(Config::dictionaryOf({{"b", 1}, {"a", 2}}).toJson(), {.sortedKeys = true}), R"({"a":2,"b":1})");
}

TEST(ConfigEncodingTest, NonFiniteFloatFailsInTheWriter) {
  EXPECT_THROW(json::write(Config(std::numeric_limits<float>::infinity()).toJson()), json::EncodingError);
  EXPECT_THROW(json::write(Config::arrayOf({Config(std::nanf(""))}).toJson()), json::EncodingError);
}

struct DecodeCase {
  const char* name;
  const char* json;
  Kind kind;
  std::string description;
};

class ConfigDecodingTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(ConfigDecodingTest, FirstReadingThatSucceedsWins) {
  const auto& c = GetParam();
  Config value = Config::fromJson(json::parse(c.json));
  EXPECT_EQ(value.kind(), c.kind) << value.description();
  EXPECT_EQ(value.description(), c.description);
}

INSTANTIATE_TEST_SUITE_P(
    Documents, ConfigDecodingTest,
    ::testing::Values(DecodeCase{"Null", "null", Kind::null, "null"},
                      DecodeCase{"EmptyObject", "{}", Kind::dictionary, "{[:]}"},
                      DecodeCase{"EmptyArray", "[]", Kind::array, "[[]]"},
                      DecodeCase{"Whole", "2", Kind::integer, "2"},
                      DecodeCase{"WholeWrittenWithFraction", "1.0", Kind::integer, "1"},
                      DecodeCase{"Fraction", "1.5", Kind::floating, "1.5"},
                      DecodeCase{"BeyondInt64", "18446744073709551615", Kind::floating, "1.8446744e+19"},
                      DecodeCase{"BeyondFloat", "1e39", Kind::null, "null"},
                      DecodeCase{"Boolean", "true", Kind::boolean, "true"},
                      DecodeCase{"Text", R"("x")", Kind::string, R"("x")"},
                      DecodeCase{"TokenPair", R"([5, "x"])", Kind::token, "(5, x)"},
                      DecodeCase{"TextThenNumber", R"(["x", 5])", Kind::array, R"([["x", 5]])"},
                      DecodeCase{"TwoNumbers", "[5, 6]", Kind::array, "[[5, 6]]"},
                      DecodeCase{"NegativeId", R"([-1, "x"])", Kind::array, R"([[-1, "x"]])"},
                      DecodeCase{"ThreeElements", R"([5, "x", 6])", Kind::array, R"([[5, "x", 6]])"},
                      DecodeCase{"NestedObject", R"({"a": {"b": [true]}})", Kind::dictionary, "{[a: {[b: [[true]]]}]}"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ConfigFromPlainJsonTest, ConvertsElementByElement) {
  json::Value plain = json::parse(R"({"ids": [1, 2.5, "x", true, null, 1.0, 18446744073709551615], "sub": {"k": "v"}})");
  Config c = Config::convertToBinaryDistinctKeys(plain);
  ASSERT_EQ(c.kind(), Kind::dictionary);
  const auto& ids = *c["ids"].array();
  ASSERT_EQ(ids.size(), 7u);
  EXPECT_EQ(ids[0].kind(), Kind::integer);
  EXPECT_EQ(ids[1].kind(), Kind::floating);
  EXPECT_EQ(ids[1].floating(), 2.5f);
  EXPECT_EQ(ids[2].string(), "x");
  EXPECT_EQ(ids[3].kind(), Kind::boolean);
  EXPECT_TRUE(ids[4].isNull());
  EXPECT_EQ(ids[5].kind(), Kind::integer);  // a whole number, however written
  EXPECT_EQ(ids[6].kind(), Kind::floating);
  EXPECT_EQ(c["sub"]["k"].string(), "v");
}

TEST(ConfigFromPlainJsonTest, KeepsNestedConfigsAsTheyAre) {
  Config c(std::unordered_map<std::string, Config>{{"token", Config(Config::Token{3, "x"})}, {"n", 1}});
  EXPECT_EQ(c["token"].kind(), Kind::token);
  EXPECT_EQ(c["n"].integer(), 1);
}

TEST(ConfigFromPlainJsonTest, AgreesWithTheDocumentReaderOnRealFiles) {
  for (const char* name : {"whisper-tiny/tokenizer_config.json", "phi-3-mini/tokenizer_config.json", "gpt2/tokenizer.json"}) {
    const auto path = testsupport::fixturesDir() / "tokenizers" / name;
    PARLET_REQUIRE_FIXTURE(path);
    const json::Value plain = json::parseFile(path.string());
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(Config::convertToBinaryDistinctKeys(plain), JSONParser::parseToConfig(bytes)) << name;
    EXPECT_EQ(Config::fromJson(plain), JSONParser::parseToConfig(bytes)) << name;
  }
}

}  // namespace
}  // namespace hub

#include "Hub/Config.h"

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace hub {
namespace {

using Kind = Config::Kind;

TEST(ConfigLookupTest, CamelCaseKeysFindSnakeCaseEntries) {
  Config onlySnake = Config::dictionaryOf({{"model_type", "whisper"}});
  EXPECT_EQ(onlySnake["modelType"].string(), "whisper");
  EXPECT_EQ(onlySnake["model_type"].string(), "whisper");

  Config both = Config::dictionaryOf({{"modelType", "camel"}, {"model_type", "snake"}});
  EXPECT_EQ(both["modelType"].string(), "camel");
  EXPECT_EQ(both["model_type"].string(), "snake");

  EXPECT_TRUE(onlySnake["missing"].isNull());
  EXPECT_TRUE(onlySnake["a"]["b"]["c"].isNull());  // chains through null
}

TEST(ConfigLookupTest, OtherKindsGiveNull) {
  for (const Config& c : {Config::arrayOf({1, 2}), Config("text"), Config()}) {
    EXPECT_TRUE(c["modelType"].isNull()) << c.description();
    EXPECT_EQ(c.member("modelType"), nullptr);
  }
  Config d = Config::dictionaryOf({{"a", 1}});
  ASSERT_NE(d.member("missing"), nullptr);  // a present null
  EXPECT_TRUE(d.member("missing")->isNull());
  EXPECT_EQ(d.member("a")->integer(), 1);
}

TEST(ConfigLookupTest, ArrayPositionsOutsideGiveNull) {
  Config a = Config::arrayOf({"x", "y"});
  EXPECT_EQ(a[0].string(), "x");
  EXPECT_EQ(a[1].string(), "y");
  EXPECT_TRUE(a[-1].isNull());
  EXPECT_TRUE(a[2].isNull());
  EXPECT_TRUE(Config("x")[0].isNull());
}

struct UncamelCase {
  const char* key;
  const char* expected;
};

class UncamelCaseTest : public ::testing::TestWithParam<UncamelCase> {};

TEST_P(UncamelCaseTest, GivesTheSnakeCaseKey) { EXPECT_EQ(uncamelCase(GetParam().key), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(Keys, UncamelCaseTest,
                         ::testing::Values(UncamelCase{"modelType", "model_type"}, UncamelCase{"addBosToken", "add_bos_token"},
                                           UncamelCase{"ModelType", "model_type"}, UncamelCase{"ABC", "abc"},
                                           UncamelCase{"URLPath", "urlpath"}, UncamelCase{"v2Model", "v2_model"},
                                           UncamelCase{"model_Type", "model__type"}, UncamelCase{"plain", "plain"},
                                           UncamelCase{"", ""},
                                           // Non-ASCII capitals and title-case letters count too.
                                           UncamelCase{"caf\xC3\xA9\xC3\x89tat", "caf\xC3\xA9_\xC3\xA9tat"},
                                           UncamelCase{"x\xC7\x85y", "x_\xC7\x86y"}));

struct BooleanCase {
  const char* name;
  Config value;
  std::optional<bool> expected;
};

class ConfigBooleanReadTest : public ::testing::TestWithParam<BooleanCase> {};

TEST_P(ConfigBooleanReadTest, FollowsTheBooleanRule) { EXPECT_EQ(GetParam().value.boolean(), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Values, ConfigBooleanReadTest,
    ::testing::Values(BooleanCase{"True", Config(true), true}, BooleanCase{"False", Config(false), false},
                      BooleanCase{"IntegerOne", Config(1), true}, BooleanCase{"IntegerTwo", Config(2), false},
                      BooleanCase{"IntegerZero", Config(0), false}, BooleanCase{"IntegerMinusOne", Config(-1), false},
                      BooleanCase{"UpperTRUE", Config("TRUE"), true}, BooleanCase{"TextT", Config("t"), true},
                      BooleanCase{"TextOne", Config("1"), true}, BooleanCase{"TextF", Config("F"), false},
                      BooleanCase{"TextZero", Config("0"), false}, BooleanCase{"TextYes", Config("yes"), std::nullopt},
                      BooleanCase{"FloatingOne", Config(1.0f), std::nullopt}, BooleanCase{"Null", Config(), std::nullopt},
                      BooleanCase{"Array", Config::arrayOf({true}), std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ConfigTypedReadsTest, NumbersConvertOneWayOnly) {
  EXPECT_EQ(Config(16777217).floating(), 16777216.0f);  // 2^24 + 1 to the nearest float
  EXPECT_EQ(Config(3.0f).integer(), std::nullopt);
  EXPECT_EQ(Config(3.0f).integer(7), 7);
  EXPECT_EQ(Config(0.5f).floating(), 0.5f);
  EXPECT_EQ(Config("3").integer(), std::nullopt);
  EXPECT_EQ(Config().floating(2.5f), 2.5f);
  EXPECT_EQ(Config(1).string("fallback"), "fallback");
}

TEST(ConfigTypedReadsTest, ListsKeepOnlyTheirTexts) {
  Config mixed = Config::arrayOf({"a", 1, "b"});
  EXPECT_EQ(mixed.stringArray(), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(Config("a").stringArray(), std::nullopt);
  // An array without texts is an empty list, not the default.
  EXPECT_EQ(Config::arrayOf({1, 2}).stringArray({"default"}), std::vector<std::string>{});
  EXPECT_EQ(Config("a").stringArray({"default"}), std::vector<std::string>{"default"});
  EXPECT_EQ(mixed.binaryDistinctStringArray(), (std::vector<BinaryDistinctString>{"a", "b"}));
}

TEST(ConfigTypedReadsTest, IntegerDictionaryDropsOtherValues) {
  Config vocab = Config::dictionaryOf({{"a", 1}, {"b", "x"}, {"c", 3}, {"d", 4.0f}});
  auto ids = vocab.integerDictionary();
  ASSERT_TRUE(ids.has_value());
  EXPECT_EQ(*ids, (BinaryDistinctMap<std::int64_t>{{"a", 1}, {"c", 3}}));
  EXPECT_EQ(Config::arrayOf({}).integerDictionary(), std::nullopt);
}

TEST(ConfigTypedReadsTest, TokensFromTokensAndTextIntegerPairs) {
  using T = std::pair<std::uint64_t, std::string>;
  EXPECT_EQ(Config(Config::Token{7, "abc"}).token(), (T{7, "abc"}));
  EXPECT_EQ(Config::arrayOf({"x", 5}).token(), (T{5, "x"}));
  EXPECT_EQ(Config::arrayOf({5, "x"}).token(), std::nullopt);
  EXPECT_EQ(Config::arrayOf({"x", 5, 6}).token(), std::nullopt);
  EXPECT_EQ(Config::arrayOf({"x", -1}).token(), std::nullopt);
  EXPECT_EQ(Config("x").token(T{1, "d"}), (T{1, "d"}));
}

struct EqualityCase {
  const char* name;
  Config left;
  Config right;
  bool equal;
};

class ConfigEqualityTest : public ::testing::TestWithParam<EqualityCase> {};

TEST_P(ConfigEqualityTest, ComparesAcrossKindsAsSpecified) {
  const auto& c = GetParam();
  EXPECT_EQ(c.left == c.right, c.equal);
  EXPECT_EQ(c.right == c.left, c.equal);
}

const float kNaN = std::numeric_limits<float>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Pairs, ConfigEqualityTest,
    ::testing::Values(
        EqualityCase{"IntegerOneIsTrue", Config(1), Config(true), true},
        EqualityCase{"IntegerTwoIsFalse", Config(2), Config(false), true},
        EqualityCase{"IntegerOneIsFloatOne", Config(1), Config(1.0f), true},
        EqualityCase{"TextTIsTrue", Config("t"), Config(true), true},
        EqualityCase{"TextYesIsNotABoolean", Config("yes"), Config(false), false},
        EqualityCase{"TextOneIsNotIntegerOne", Config("1"), Config(1), false},
        EqualityCase{"FloatIsNotBoolean", Config(1.0f), Config(true), false},
        EqualityCase{"NaNDiffersFromItself", Config(kNaN), Config(kNaN), false},
        EqualityCase{"SignedZeros", Config(0.0f), Config(-0.0f), true},
        EqualityCase{"CodeUnitsDecide", Config("\xC3\xA9"), Config("e\xCC\x81"), false},
        EqualityCase{"NullOnlyNull", Config(), Config(0), false},
        EqualityCase{"ArraysPairwise", Config::arrayOf({1, "a"}), Config::arrayOf({true, "a"}), true},
        EqualityCase{"ArrayLength", Config::arrayOf({1}), Config::arrayOf({1, 1}), false},
        EqualityCase{"Dictionaries", Config::dictionaryOf({{"a", 1}, {"b", 2}}), Config::dictionaryOf({{"b", 2}, {"a", 1.0f}}), true},
        EqualityCase{"DictionaryKeys", Config::dictionaryOf({{"a", 1}}), Config::dictionaryOf({{"b", 1}}), false},
        EqualityCase{"Tokens", Config(Config::Token{1, "x"}), Config(Config::Token{1, "x"}), true},
        EqualityCase{"TokenIsNotArray", Config(Config::Token{1, "x"}), Config::arrayOf({1, "x"}), false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ConfigHashTest, AgreesWithEqualityWithinAKind) {
  auto h = [](const Config& c) { return c.hash(); };
  EXPECT_EQ(h(Config::dictionaryOf({{"a", 1}, {"b", "x"}})), h(Config::dictionaryOf({{"b", "x"}, {"a", 1}})));
  EXPECT_EQ(h(Config(0.0f)), h(Config(-0.0f)));
  EXPECT_NE(h(Config::arrayOf({1, 2})), h(Config::arrayOf({2, 1})));
  EXPECT_NE(h(Config(1)), h(Config(true)));  // the kind is always fed
  EXPECT_NE(h(Config("\xC3\xA9")), h(Config("e\xCC\x81")));
}

TEST(ConfigDescriptionTest, PrintsLikeThePlatform) {
  EXPECT_EQ(Config::dictionaryOf({{"a", Config::arrayOf({1, "x"})}}).description(), R"({[a: [[1, "x"]]]})");
  EXPECT_EQ(Config::dictionaryOf({}).description(), "{[:]}");
  EXPECT_EQ(Config::arrayOf({}).description(), "[[]]");
  EXPECT_EQ(Config(1.0f).description(), "1.0");
  EXPECT_EQ(Config(0.1f).description(), "0.1");
  EXPECT_EQ(Config(-2.5f).description(), "-2.5");
  EXPECT_EQ(Config(1.8446744e19f).description(), "1.8446744e+19");
  EXPECT_EQ(Config(1e-5f).description(), "1e-05");
  EXPECT_EQ(Config(1e-4f).description(), "0.0001");
  // Whole floats print in decimal up to 2^24, the last of the consecutive integers.
  EXPECT_EQ(Config(16777216.0f).description(), "16777216.0");
  EXPECT_EQ(Config(-16777216.0f).description(), "-16777216.0");
  EXPECT_EQ(Config(16777218.0f).description(), "1.6777218e+07");
  EXPECT_EQ(Config(true).description(), "true");
  EXPECT_EQ(Config(-3).description(), "-3");
  EXPECT_EQ(Config(Config::Token{7, "abc"}).description(), "(7, abc)");
  EXPECT_EQ(Config().description(), "null");
  EXPECT_EQ(Config("say \"hi\"").description(), "\"say \"hi\"\"");  // no escaping
}

TEST(ConfigConstructionTest, RepeatedLiteralKeysKeepTheLast) {
  Config d = Config::dictionaryOf({{"a", 1}, {"a", 2}});
  ASSERT_EQ(d.dictionary()->size(), 1u);
  EXPECT_EQ(d["a"].integer(), 2);
  EXPECT_EQ(Config(std::unordered_map<std::string, Config>{{"x", 1}})["x"].integer(), 1);
  EXPECT_EQ(Config(0.1).floating(), 0.1f);  // a double becomes the nearest float
  EXPECT_EQ(Config(1e39).floating(), std::numeric_limits<float>::infinity());
}

}  // namespace
}  // namespace hub

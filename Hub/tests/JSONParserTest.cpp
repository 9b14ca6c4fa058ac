#include "Hub/JSONParser.h"

#include <cmath>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testsupport/Fixtures.h"

namespace hub {
namespace {

using Kind = Config::Kind;

struct NumberCase {
  const char* name;
  std::string json;
  Kind kind;
  double expected;  // compared as the kind's own type
};

class JSONParserNumbersTest : public ::testing::TestWithParam<NumberCase> {};

TEST_P(JSONParserNumbersTest, IntegersStayIntegersOtherNumbersBecomeFloats) {
  const auto& c = GetParam();
  Config value = JSONParser::parseToConfig(c.json);
  ASSERT_EQ(value.kind(), c.kind) << value.description();
  if (c.kind == Kind::integer) {
    EXPECT_EQ(static_cast<double>(*value.integer()), c.expected);
  } else if (std::isnan(c.expected)) {
    EXPECT_TRUE(std::isnan(*value.floating()));
  } else {
    EXPECT_EQ(*value.floating(), static_cast<float>(c.expected));
  }
}

const double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Literals, JSONParserNumbersTest,
    ::testing::Values(NumberCase{"Zero", "0", Kind::integer, 0}, NumberCase{"Negative", "-42", Kind::integer, -42},
                      NumberCase{"LargestSigned", "9223372036854775807", Kind::integer, 9223372036854775807.0},
                      NumberCase{"SmallestSigned", "-9223372036854775808", Kind::integer, -9223372036854775808.0},
                      NumberCase{"LargestUnsigned", "18446744073709551615", Kind::floating, 1.8446744e19},
                      NumberCase{"JustAboveSigned", "9223372036854775808", Kind::floating, 9223372036854775808.0},
                      NumberCase{"Fraction", "0.1", Kind::floating, 0.1},
                      NumberCase{"WholeWithFraction", "1.0", Kind::floating, 1.0},
                      NumberCase{"Exponent", "2e3", Kind::floating, 2000.0},
                      NumberCase{"BeyondFloat", "1e39", Kind::floating, kInf},
                      NumberCase{"BeyondFloatNegative", "-1e39", Kind::floating, -kInf},
                      NumberCase{"BeyondDouble", "1e400", Kind::floating, kInf},
                      NumberCase{"BeyondDoubleNegative", "-1.5E+400", Kind::floating, -kInf},
                      NumberCase{"BelowDouble", "1e-400", Kind::floating, 0.0},
                      NumberCase{"Infinity", "Infinity", Kind::floating, kInf},
                      NumberCase{"NegativeInfinity", "-Infinity", Kind::floating, -kInf},
                      NumberCase{"NaN", "NaN", Kind::floating, std::numeric_limits<double>::quiet_NaN()},
                      // Just above the largest double, with an exponent the reader takes as written.
                      NumberCase{"JustBeyondDouble", "2e308", Kind::floating, kInf},
                      NumberCase{"JustBeyondDoubleNegative", "-2e308", Kind::floating, -kInf},
                      NumberCase{"BeyondDoubleWithShortExponent", "120e307", Kind::floating, kInf},
                      // Below the smallest double with many digits: zero (this once crashed the reader).
                      NumberCase{"TinyWithManyDigits", "4.3037877497003578644e-340", Kind::floating, 0.0},
                      NumberCase{"ZeroWithHugeExponent", "0e400", Kind::floating, 0.0},
                      NumberCase{"ZeroWithLargeExponent", "0e300", Kind::floating, 0.0},
                      NumberCase{"NegativeZeroWithExponent", "-0e100", Kind::floating, 0.0},
                      NumberCase{"NegativeZero", "-0", Kind::floating, -0.0},
                      NumberCase{"LongIntegerPartScaledDown", std::string(1, '1').append(400, '0').append("e-390"), Kind::floating, 1e10},
                      NumberCase{"LongIntegerWithoutExponent", std::string(1, '1').append(30, '0'), Kind::floating, 1e30},
                      // The inf and nan literals in any case.
                      NumberCase{"LowerCaseNaN", "nan", Kind::floating, std::numeric_limits<double>::quiet_NaN()},
                      NumberCase{"UpperCaseNaN", "NAN", Kind::floating, std::numeric_limits<double>::quiet_NaN()},
                      NumberCase{"ShortInf", "Inf", Kind::floating, kInf},
                      NumberCase{"LowerCaseInf", "inf", Kind::floating, kInf},
                      NumberCase{"NegativeLowerCaseInf", "-inf", Kind::floating, -kInf},
                      NumberCase{"UpperCaseInfinity", "-INFINITY", Kind::floating, -kInf}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(JSONParserTest, RootScalarsConvertToThemselves) {
  EXPECT_EQ(JSONParser::parseToConfig(R"("text")").string(), "text");
  EXPECT_EQ(JSONParser::parseToConfig("true").boolean(), true);
  EXPECT_EQ(JSONParser::parseToConfig(" false ").boolean(), false);
  EXPECT_TRUE(JSONParser::parseToConfig("null").isNull());
  EXPECT_EQ(JSONParser::parseToConfig("[]").array()->size(), 0u);
  EXPECT_EQ(JSONParser::parseToConfig("{}").dictionary()->size(), 0u);
}

TEST(JSONParserTest, NumbersBeyondDoubleReadAsInfinityOnlyOutsideTexts) {
  Config c = JSONParser::parseToConfig(R"({"text": "1e400 \" -2e999", "big": [-1e400, 2, )" + std::string(400, '9') + "]}");
  EXPECT_EQ(c["text"].string(), "1e400 \" -2e999");
  EXPECT_EQ(c["big"][0].floating(), -std::numeric_limits<float>::infinity());
  EXPECT_EQ(c["big"][1].integer(), 2);
  EXPECT_EQ(c["big"][2].floating(), std::numeric_limits<float>::infinity());
  try {
    JSONParser::parseToConfig("[1e400, x]");
    ADD_FAILURE();
  } catch (const JSONParser::ParseError& e) {
    EXPECT_EQ(e.position, 8);  // the "x" of the input as given
  }
}

TEST(JSONParserTest, RewrittenNumbersKeepTheirNeighboursAndPositions) {
  Config c = JSONParser::parseToConfig(R"({"a": [0e400, -nan, 7, "inf 0e400"], "b": -INF})");
  ASSERT_EQ(c["a"].array()->size(), 4u);
  EXPECT_EQ(c["a"][0].floating(), 0.0f);
  EXPECT_TRUE(std::isnan(*c["a"][1].floating()));
  EXPECT_EQ(c["a"][2].integer(), 7);
  EXPECT_EQ(c["a"][3].string(), "inf 0e400");
  EXPECT_EQ(c["b"].floating(), -std::numeric_limits<float>::infinity());
  try {
    JSONParser::parseToConfig("[0e4000, nan, x]");
    ADD_FAILURE();
  } catch (const JSONParser::ParseError& e) {
    EXPECT_EQ(e.position, 14);  // the "x" of the input as given
  }
}

TEST(JSONParserTest, RepeatedKeyKeepsItsLastValue) {
  Config c = JSONParser::parseToConfig(R"({"a": 1, "b": [true, null], "a": 2})");
  ASSERT_EQ(c.dictionary()->size(), 2u);
  EXPECT_EQ(c["a"].integer(), 2);
  EXPECT_EQ(c["b"][0].boolean(), true);
  EXPECT_TRUE(c["b"][1].isNull());
  EXPECT_EQ(c["b"].array()->size(), 2u);
}

TEST(JSONParserTest, KeysDifferingInNormalizationStayDistinct) {
  Config c = JSONParser::parseToConfig(R"({"\u00e9": 1, "e\u0301": 2, "\ud83d\ude00": 3})");
  ASSERT_EQ(c.dictionary()->size(), 3u);
  EXPECT_EQ(c["\xC3\xA9"].integer(), 1);
  EXPECT_EQ(c["e\xCC\x81"].integer(), 2);
  EXPECT_EQ(c["\xF0\x9F\x98\x80"].integer(), 3);
}

TEST(JSONParserTest, EscapedZeroCharactersKeepTheWholeText) {
  Config c = JSONParser::parseToConfig(R"({"a\u0000b": "x\u0000y", "a\u0000c": 2})");
  ASSERT_EQ(c.dictionary()->size(), 2u);  // not merged into one key "a"
  EXPECT_EQ(c[std::string_view("a\0b", 3)].string(), std::string("x\0y", 3));
  EXPECT_EQ(c[std::string_view("a\0c", 3)].integer(), 2);
}

TEST(JSONParserTest, CamelCaseLookupsReachDocumentKeys) {
  Config c = JSONParser::parseToConfig(R"({"pre_tokenizer": {"add_prefix_space": false, "type": "ByteLevel"}})");
  EXPECT_EQ(c["preTokenizer"]["addPrefixSpace"].boolean(), false);
  EXPECT_EQ(c["preTokenizer"]["type"].string(), "ByteLevel");
}

// The tree may take 20 times the document's bytes, at least 64 MiB: millions of tiny values are
// refused with the bound named, on both sides of the floor, while documents shaped like real
// tokenizer files (a vocabulary, merges as pairs, added-token objects) are read.
TEST(JSONParserTest, TreeMemoryIsBoundedByAMultipleOfTheDocument) {
  auto repeated = [](const std::string& element, std::size_t count) {
    std::string out = "[";
    for (std::size_t i = 0; i < count; ++i) (out += i ? "," : "") += element;
    return out + "]";
  };
  std::string vocabulary = "{";
  for (int i = 0; i < 300000; ++i) vocabulary += (i ? ",\"t" : "\"t") + std::to_string(i) + "\":" + std::to_string(i);
  vocabulary += "}";
  std::string addedTokens = "[";
  for (int i = 0; i < 50000; ++i)
    addedTokens += std::string(i ? "," : "") + R"({"id":)" + std::to_string(i) + R"(,"content":"<|t)" +
                   std::to_string(i) + R"(|>","single_word":false,"lstrip":false,"rstrip":false,"normalized":false,"special":true})";
  addedTokens += "]";
  const struct {
    const char* name;
    std::string json;
    bool fits;
  } cases[] = {
      {"empty objects", repeated("{}", 2'000'000), false},
      {"empty arrays", repeated("[]", 2'000'000), false},
      {"one-member objects", repeated(R"({"a":1})", 1'000'000), false},
      {"small integers", repeated("1", 3'000'000), false},
      {"empty objects under the floor", repeated("{}", 100'000), true},
      {"vocabulary", vocabulary, true},
      {"merges as pairs", repeated(R"(["Ġth","ere"])", 1'000'000), true},
      {"added tokens", addedTokens, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.fits) {
      EXPECT_NO_THROW(JSONParser::parseToConfig(c.json));
      continue;
    }
    try {
      JSONParser::parseToConfig(c.json);
      ADD_FAILURE() << "read " << c.json.size() << " bytes";
    } catch (const JSONParser::TreeTooLargeError& e) {
      const std::size_t limit = std::max(std::size_t(64) << 20, c.json.size() * 20);
      EXPECT_EQ(e.limitBytes, limit);
      EXPECT_EQ(std::string(e.what()), "The document would take more than " + std::to_string(limit >> 20) +
                                           " MiB of memory as a configuration tree (the bound is 20 times its size, "
                                           "and at least 64 MiB); it is not read");
    }
  }
}

struct MalformedCase {
  const char* name;
  std::string json;
  std::string what;  // expected message, or empty to check only the shape
};

class JSONParserMalformedInputTest : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(JSONParserMalformedInputTest, FailsWithAReadError) {
  const auto& c = GetParam();
  try {
    JSONParser::parseToConfig(c.json);
    ADD_FAILURE() << "parsed";
  } catch (const JSONParser::ParseError& e) {
    EXPECT_EQ(e.kind, JSONParser::ParseError::Kind::readFailed);
    const std::string what = e.what();
    EXPECT_EQ(what, "JSON read failed (code " + std::to_string(e.code) + ") at position " + std::to_string(e.position) +
                        ": " + e.message);
    if (!c.what.empty()) {
      EXPECT_EQ(what, c.what);
    }
    EXPECT_GE(e.position, 0);
    EXPECT_LE(e.position, static_cast<std::int64_t>(c.json.size()));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, JSONParserMalformedInputTest,
    ::testing::Values(MalformedCase{"Empty", "", "JSON read failed (code 0) at position 0: empty data"},
                      MalformedCase{"BlanksOnly", "   \n", "JSON read failed (code 1) at position 4: The document is empty."},
                      MalformedCase{"TrailingComma", R"({"a": 1,})", ""}, MalformedCase{"ArrayTrailingComma", "[1,]", ""},
                      MalformedCase{"Comment", "// note\n{}", ""}, MalformedCase{"SecondValue", "{} {}", ""},
                      MalformedCase{"Truncated", R"({"a": [1, 2)", ""}, MalformedCase{"UnquotedKey", "{a: 1}", ""},
                      MalformedCase{"ZeroByteThenMore", std::string("{}\0{}", 5), ""},
                      MalformedCase{"RawInvalidUtf8", "[\"a\xFF\"]", ""},
                      MalformedCase{"EncodedSurrogate", "[\"\xED\xA0\x80\"]", ""},
                      MalformedCase{"LoneLowSurrogateEscape", R"(["\udc00"])", ""},
                      MalformedCase{"LoneHighSurrogateEscape", R"(["\ud800x"])", ""},
                      MalformedCase{"LoneLowSurrogateInKey", R"({"a\udfff": 1})", ""},
                      MalformedCase{"LoneLowSurrogateAfterEscape", R"(["\u00e9\udc00"])", ""},
                      MalformedCase{"OverlongEncoding", "[\"\xC0\xAF\"]", ""},
                      MalformedCase{"AboveUnicodeRange", "[\"\xF4\x90\x80\x80\"]", ""},
                      MalformedCase{"TooDeep", std::string(JSONParser::kMaxDepth + 1, '['), ""},
                      // Text after a number or a literal that no JSON number allows.
                      MalformedCase{"HugeNumberThenFraction", "1e400.5", ""},
                      MalformedCase{"HugeNumberThenMinus", "[1e400-3]", ""},
                      MalformedCase{"HugeNumberWithLeadingZero", "01e400", ""},
                      MalformedCase{"InfinityThenFraction", "Inf.5", ""},
                      MalformedCase{"NaNThenExponent", "[NaNe5]", ""},
                      MalformedCase{"InfinityCutShort", "infinit", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(JSONParserTest, DeepButAllowedNestingParses) {
  std::string json = std::string(1000, '[') + std::string(1000, ']');
  Config c = JSONParser::parseToConfig(json);
  const Config* cur = &c;
  int depth = 0;
  while (cur->array() && !cur->array()->empty()) {
    cur = &(*cur)[0];
    ++depth;
  }
  EXPECT_EQ(depth, 999);
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

TEST(JSONParserTest, ReadsTheWhisperTokenizerFile) {
  const auto path = testsupport::fixturesDir() / "tokenizers" / "whisper-tiny" / "tokenizer.json";
  PARLET_REQUIRE_FIXTURE(path);
  Config c = JSONParser::parseToConfig(readFile(path));
  const Config& model = c["model"];
  EXPECT_EQ(model["type"].string(), "BPE");
  ASSERT_NE(model["vocab"].dictionary(), nullptr);
  EXPECT_EQ(model["vocab"].dictionary()->size(), 50258u);
  EXPECT_EQ(model["vocab"]["<|endoftext|>"].integer(), 50257);
  EXPECT_EQ(model["vocab"]["Hello"].integer(), 15947);
  EXPECT_EQ(model["vocab"]["\xC4\xA0world"].integer(), 1002);  // "Ġworld"
  EXPECT_EQ(model["merges"].array()->size(), 50000u);
  EXPECT_EQ(model["merges"][0].string(), "\xC4\xA0 t");
  EXPECT_TRUE(model["dropout"].isNull());
  EXPECT_EQ(model["byteFallback"].boolean(), false);
  EXPECT_EQ(c["addedTokens"].array()->size(), 1608u);
  EXPECT_EQ(c["addedTokens"][0]["content"].string(), "<|endoftext|>");
  EXPECT_EQ(c["preTokenizer"]["useRegex"].boolean(), true);
}

}  // namespace
}  // namespace hub

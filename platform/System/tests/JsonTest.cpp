#include "platform/System/Json.h"

#include <cmath>
#include <fstream>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "testsupport/Fixtures.h"

namespace json = platform::json;
using json::Array;
using json::Object;
using json::Value;

namespace {

struct NumberCase {
  Value value;
  const char* expected;
};

std::vector<NumberCase> writtenNumbers() {
  return {
      {Value(1.0), "1"},
      {Value(100000.0), "100000"},
      {Value(0.0001), "0.0001"},
      {Value(0.1), "0.1"},
      {Value(1e16), "1e+16"},
      {Value(1e15), "1000000000000000"},
      {Value(1e-05), "1e-05"},
      {Value(1.5e-07), "1.5e-07"},
      {Value(-0.0), "-0"},
      {Value(0.0), "0"},
      {Value(-2.5), "-2.5"},
      {Value(123.456), "123.456"},
      {Value(1.2345e20), "1.2345e+20"},
      {Value(1e100), "1e+100"},
      {Value(5e-324), "5e-324"},
      {Value(0.1f), "0.1"},
      {Value(0.2f), "0.2"},
      {Value(1e-5f), "1e-05"},
      {Value(3.4028235e38f), "3.4028235e+38"},
      // Decimal notation ends where the type's integers stop being exact: 2^24 for Float, 2^53 for Double.
      {Value(16777215.0f), "16777215"},
      {Value(16777216.0f), "1.6777216e+07"},
      {Value(123456789.0f), "1.2345679e+08"},
      {Value(-3e7f), "-3e+07"},
      {Value(1e10f), "1e+10"},
      {Value(9007199254740991.0), "9007199254740991"},
      {Value(9007199254740992.0), "9.007199254740992e+15"},
      {Value(-9.5e15), "-9.5e+15"},
      {Value(42), "42"},
      {Value(-7), "-7"},
      {Value(std::numeric_limits<long long>::min()), "-9223372036854775808"},
      {Value(std::numeric_limits<unsigned long long>::max()), "18446744073709551615"},
  };
}

TEST(JsonWriteTest, NumbersUseShortestRoundTripDigits) {
  for (const auto& c : writtenNumbers()) EXPECT_EQ(json::write(c.value), c.expected) << c.expected;
}

TEST(JsonParseTest, WrittenNumbersReadBackExactly) {
  for (const auto& c : writtenNumbers()) {
    // A float's text names the float, not the double it widens to.
    Value back = json::parse(c.expected);
    if (c.value.isSinglePrecision()) {
      EXPECT_EQ(back.asFloat(), c.value.asFloat()) << c.expected;
    } else {
      EXPECT_EQ(back, c.value) << c.expected;
    }
  }
}

TEST(JsonWriteTest, NonFiniteNumbersCannotBeEncoded) {
  struct Case {
    Value value;
    const char* message;
  };
  const Case cases[] = {
      {Value(std::nan("")), "Unable to encode Double.nan directly in JSON."},
      {Value(HUGE_VAL), "Unable to encode Double.infinity directly in JSON."},
      {Value(-HUGE_VAL), "Unable to encode -Double.infinity directly in JSON."},
      {Value(std::numeric_limits<float>::quiet_NaN()), "Unable to encode Float.nan directly in JSON."},
      {Value(-std::numeric_limits<float>::infinity()), "Unable to encode -Float.infinity directly in JSON."},
  };
  for (const auto& c : cases) {
    // Nested, so that the error surfaces from inside a document too.
    Value doc(Object{{"a", Array{c.value}}});
    try {
      json::write(doc);
      ADD_FAILURE() << "no error for " << c.message;
    } catch (const json::EncodingError& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
}

TEST(JsonWriteTest, StringsEscapeQuotesBackslashesSlashesAndControls) {
  std::string s = "q\"b\\s/\b\f\n\r\t";
  s.push_back('\0');
  s += "\x01\x1f\x7f é😀";
  EXPECT_EQ(json::write(Value(s)), "\"q\\\"b\\\\s\\/\\b\\f\\n\\r\\t\\u0000\\u0001\\u001f\x7f é😀\"");
  EXPECT_EQ(json::write(Value("a/b"), {.escapeSlashes = false}), "\"a/b\"");
}

// Text that would not read back is refused, and the error says where it sits.
TEST(JsonWriteTest, IllFormedUtf8IsRefusedNotWritten) {
  const std::string bad[] = {"\xFF", "ab\xC3", "\xED\xB0\x80", "\xC0\x80", "\xF4\x90\x80\x80", "x\xE2\x82"};
  for (const auto& text : bad) {
    const Value inString(Object{{"entries", Array{Object{{"id", "x"}, {"text", text}}}}});
    const Value inKey(Object{{"ok", Array{1, Object{{text, 1}}}}});
    for (bool pretty : {false, true}) {
      try {
        json::write(inString, {.pretty = pretty, .sortedKeys = true});
        ADD_FAILURE() << "wrote a string with ill-formed UTF-8";
      } catch (const json::EncodingError& e) {
        EXPECT_NE(std::string(e.what()).find("of the string at $.entries[0].text."), std::string::npos) << e.what();
      }
      try {
        json::write(inKey, {.pretty = pretty});
        ADD_FAILURE() << "wrote a key with ill-formed UTF-8";
      } catch (const json::EncodingError& e) {
        EXPECT_NE(std::string(e.what()).find("of the key of a member of $.ok[1]."), std::string::npos) << e.what();
      }
    }
  }
  try {
    json::write(Value("ab\xC3"));
    ADD_FAILURE();
  } catch (const json::EncodingError& e) {
    EXPECT_STREQ(e.what(), "Unable to encode invalid UTF-8 in JSON: byte 2 of the string at $.");
  }
  // The ends of the ranges are well-formed: U+10FFFF, U+FFFF, U+D7FF, U+E000, U+0080.
  const std::string edges = "\xF4\x8F\xBF\xBF\xEF\xBF\xBF\xED\x9F\xBF\xEE\x80\x80\xC2\x80";
  EXPECT_EQ(json::parse(json::write(Value(Object{{edges, edges}}))).at(edges).asString(), edges);
}

TEST(JsonWriteTest, CompactLayoutHasNoSpaces) {
  Value doc(Object{{"a", 1}, {"b", Array{1, 2}}, {"c", Object{}}, {"d", Array{}}, {"e", nullptr}, {"f", true}});
  EXPECT_EQ(json::write(doc), R"({"a":1,"b":[1,2],"c":{},"d":[],"e":null,"f":true})");
}

TEST(JsonWriteTest, PrettyLayoutIndentsByTwoWithSpacedColons) {
  Value doc(Object{{"name", "x"}, {"list", Array{1, Object{{"k", false}}, Array{}}}, {"empty", Object{}}});
  const char* expected =
      "{\n"
      "  \"name\" : \"x\",\n"
      "  \"list\" : [\n"
      "    1,\n"
      "    {\n"
      "      \"k\" : false\n"
      "    },\n"
      "    []\n"
      "  ],\n"
      "  \"empty\" : {}\n"
      "}";
  EXPECT_EQ(json::write(doc, {.pretty = true}), expected);
  EXPECT_EQ(json::write(Value(Array{}), {.pretty = true}), "[]");
  EXPECT_EQ(json::write(Value(Object{{"a", 1}}), {.pretty = true}), "{\n  \"a\" : 1\n}");
}

TEST(JsonWriteTest, SortedKeysOrderByBytesAtEveryLevel) {
  Value doc(Object{{"b", 1}, {"a", Object{{"z", 1}, {"Z", 2}, {"é", 3}, {"e", 4}}}, {"B", 2}, {"aa", 3}});
  EXPECT_EQ(json::write(doc, {.sortedKeys = true}),
            R"({"B":2,"a":{"Z":2,"e":4,"z":1,"é":3},"aa":3,"b":1})");
  EXPECT_EQ(json::write(doc, {.pretty = true, .sortedKeys = true}),
            "{\n  \"B\" : 2,\n  \"a\" : {\n    \"Z\" : 2,\n    \"e\" : 4,\n    \"z\" : 1,\n    \"é\" : 3\n  },\n"
            "  \"aa\" : 3,\n  \"b\" : 1\n}");
}

TEST(JsonParseTest, NestedDocumentRoundTrips) {
  std::string embeddedNul("a\0b", 3);
  Value doc(Object{{"text", "héllo \"/\n"},
                   {"nul", embeddedNul},
                   {"nums", Array{0, -1, 1.5, 1e-05, 1e300, std::numeric_limits<long long>::max()}},
                   {"big", std::numeric_limits<unsigned long long>::max()},
                   {"nested", Object{{"a", Array{Array{}, Object{}, nullptr, false}}}}});
  for (bool pretty : {false, true}) {
    Value back = json::parse(json::write(doc, {.pretty = pretty}));
    EXPECT_EQ(back, doc);
    EXPECT_EQ(back.at("nul").asString().size(), 3u);
    EXPECT_EQ(back.at("big").kind(), Value::Kind::unsignedInteger);
    EXPECT_EQ(back.at("nums").asArray()[5].kind(), Value::Kind::integer);
    EXPECT_EQ(json::write(back), json::write(doc));
  }
}

TEST(JsonParseTest, NumbersTakeTheNarrowestKind) {
  Value v = json::parse(R"([9223372036854775807, 9223372036854775808, 18446744073709551616, -9223372036854775808,
                           1.0, 0.30000000000000004, 2.2250738585072014e-308])");
  const Array& a = v.asArray();
  EXPECT_EQ(a[0].kind(), Value::Kind::integer);
  EXPECT_EQ(a[1].kind(), Value::Kind::unsignedInteger);
  EXPECT_EQ(a[1].asUInt(), 9223372036854775808ull);
  EXPECT_EQ(a[2].kind(), Value::Kind::floating);
  EXPECT_EQ(a[3].asInt(), std::numeric_limits<long long>::min());
  EXPECT_EQ(a[4].asInt(), 1);
  EXPECT_EQ(a[5].asDouble(), 0.1 + 0.2);  // full precision
  EXPECT_EQ(a[6].asDouble(), 2.2250738585072014e-308);
  EXPECT_THROW(a[1].asInt(), json::DecodingError);
  EXPECT_THROW(a[2].asUInt(), json::DecodingError);
  EXPECT_THROW(Value(1.5).asInt(), json::DecodingError);
  EXPECT_THROW(Value(1e300).asFloat(), json::DecodingError);
  EXPECT_THROW(json::parse("3.4028236e+38").asFloat(), json::DecodingError);  // rounds to infinity
  EXPECT_EQ(json::parse(json::write(Value(std::numeric_limits<float>::max()))).asFloat(),
            std::numeric_limits<float>::max());
  EXPECT_EQ(json::parse("-3.40282356e+38").asFloat(), -std::numeric_limits<float>::max());
}

// Each number's value from its own text, whatever its exponent; beyond the double range it is
// infinity or zero, as Hub's configuration reader has it.
TEST(JsonParseTest, NumbersAreReadFromTheirOwnText) {
  struct Case {
    std::string text;
    double expected;
  };
  const Case cases[] = {
      {"0e100", 0.0},
      {"0e300", 0.0},
      {"-0e300", -0.0},
      {"-0", -0.0},  // the writer spells negative zero so; an integer would lose the sign
      {"0.000e308", 0.0},
      {"0e400", 0.0},
      {"4.3037877497003578644e-340", 0.0},
      {"1e-400", 0.0},
      {"-1e-400", -0.0},
      {"2e308", HUGE_VAL},
      {"-2e308", -HUGE_VAL},
      {"120e307", HUGE_VAL},
      {"1e400", HUGE_VAL},
      {"1e9223372036854775807", HUGE_VAL},  // the largest exponent the reader takes whole
      {"0.01e9223372036854775807", HUGE_VAL},
      {"1e-9223372036854775808", 0.0},
      {"1.7976931348623157e308", std::numeric_limits<double>::max()},
      {"4.9406564584124654e-324", std::numeric_limits<double>::denorm_min()},
      {"2.2250738585072011e-308", std::nextafter(std::numeric_limits<double>::min(), 0.0)},
      {"1" + std::string(400, '0') + "e-390", 1e10},
  };
  for (const auto& c : cases) {
    Value v = json::parse(c.text);
    EXPECT_EQ(v.kind(), Value::Kind::floating) << c.text;
    EXPECT_EQ(v.asDouble(), c.expected) << c.text;
    EXPECT_EQ(std::signbit(v.asDouble()), std::signbit(c.expected)) << c.text;
  }
}

TEST(JsonParseTest, ReadsNanAndInfinityLiterals) {
  Value v = json::parse("[NaN, Infinity, -Infinity, Inf, -Inf]");
  const Array& a = v.asArray();
  EXPECT_TRUE(std::isnan(a[0].asDouble()));
  EXPECT_EQ(a[1].asDouble(), HUGE_VAL);
  EXPECT_EQ(a[2].asDouble(), -HUGE_VAL);
  EXPECT_EQ(a[3].asDouble(), HUGE_VAL);
  EXPECT_EQ(a[4].asDouble(), -HUGE_VAL);
}

TEST(JsonParseTest, MalformedDocumentsGiveParseErrorsWithOffsets) {
  struct Case {
    std::string text;
    std::size_t offset;
  };
  const Case cases[] = {
      {R"({"a": [1, 2)", 11},           // truncated
      {"", 0},                          // empty
      {"[1] x", 4},                     // trailing garbage
      {"\"\xC3\x28\"", 1},              // invalid UTF-8 continuation
      {"\"\xFF\"", 1},                  // invalid UTF-8 lead byte
      {"{\"a\" 1}", 5},                 // missing colon
      {"[01]", 2},                      // leading zero
      {"\"\\ud800\"", 1},               // lone surrogate, at its escape
      {"\"\\ud800\\u0041\"", 1},        // high surrogate without its low half
      {"\"\\udc00\"", 1},               // lone low surrogate
      {"\"a\\udfff\"", 2},
      {"{\"\\udc00\":1}", 2},            // in a key
      {"[\"\\u00e9\\udc00\"]", 8},      // after another escape
      {"\"\xED\xA0\x80\"", 1},           // an encoded surrogate
      {"\"\xC0\xAF\"", 1},               // overlong form
      {"\"\xE0\x80\xAF\"", 1},           // overlong form
      {"\"\xF4\x90\x80\x80\"", 1},       // above U+10FFFF
      {"\"\xE2\x82\"", 1},               // cut short
      {"\"\\u00e9\xFF\"", 7},            // raw byte after an escape: its own offset
      {std::string("[1]\0[2]", 7), 3},  // a zero byte does not end the document
      {"1e400.5", 0},                   // no number has a fraction after its exponent
      {"[1e400-3]", 6},
  };
  for (const auto& c : cases) {
    try {
      json::parse(c.text);
      ADD_FAILURE() << "parsed: " << c.text;
    } catch (const json::ParseError& e) {
      EXPECT_EQ(e.offset, c.offset) << c.text << ": " << e.what();
      EXPECT_NE(std::string(e.what()).find("offset"), std::string::npos);
    }
  }
  EXPECT_NO_THROW(json::parse(" {} \n\t"));
  // A surrogate pair is one character: U+1F600.
  EXPECT_EQ(json::parse(R"("\ud83d\ude00\u00e9")").asString(), "\xF0\x9F\x98\x80\xC3\xA9");
}

TEST(JsonParseTest, DeepNestingIsAnErrorNotACrash) {
  std::string deep(100000, '[');
  deep += std::string(100000, ']');
  EXPECT_THROW(json::parse(deep), json::ParseError);
  std::string deepObjects;
  for (int i = 0; i < 100000; ++i) deepObjects += "{\"a\":";
  EXPECT_THROW(json::parse(deepObjects), json::ParseError);

  // 512 levels are allowed, 513 are not.
  std::string ok = std::string(511, '[') + "{\"a\":1}" + std::string(511, ']');
  const Value* v = nullptr;
  Value parsed = json::parse(ok);
  v = &parsed;
  for (int i = 0; i < 511; ++i) v = &v->asArray().front();
  EXPECT_EQ(v->at("a").asInt(), 1);
  EXPECT_THROW(json::parse("[" + ok + "]"), json::ParseError);
}

TEST(JsonParseTest, RepeatedKeysKeepTheLastValue) {
  Value v = json::parse(R"({"a":1,"b":2,"a":3})");
  EXPECT_EQ(json::write(v), R"({"a":3,"b":2})");
  std::string many = "{";
  for (int i = 0; i < 40; ++i) many += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
  many += "\"k7\":\"x\"}";
  Value w = json::parse(many);
  EXPECT_EQ(w.asObject().size(), 40u);
  EXPECT_EQ(w.at("k7").asString(), "x");
}

TEST(JsonValueTest, TypedReadsReportMismatchesAndMissingKeys) {
  Value v = json::parse(R"({"s":"x","n":null})");
  try {
    v.at("s").asInt();
    ADD_FAILURE();
  } catch (const json::DecodingError& e) {
    EXPECT_EQ(e.kind, json::DecodingError::Kind::typeMismatch);
  }
  try {
    v.at("n").asString();
    ADD_FAILURE();
  } catch (const json::DecodingError& e) {
    EXPECT_EQ(e.kind, json::DecodingError::Kind::valueNotFound);
  }
  try {
    v.at("missing");
    ADD_FAILURE();
  } catch (const json::DecodingError& e) {
    EXPECT_EQ(e.kind, json::DecodingError::Kind::keyNotFound);
    EXPECT_NE(std::string(e.what()).find("missing"), std::string::npos);
  }
  EXPECT_EQ(v.find("missing"), nullptr);
  Value o;
  o.set("a", 1);
  o.set("b", 2);
  o.set("a", 3);
  EXPECT_EQ(json::write(o), R"({"a":3,"b":2})");
}

TEST(JsonParseTest, ParseFileNamesTheFile) {
  testsupport::TempDir dir;
  auto bad = (dir.path() / "bad.json").string();
  std::ofstream(bad) << "{\"a\":";
  try {
    json::parseFile(bad);
    ADD_FAILURE();
  } catch (const json::ParseError& e) {
    EXPECT_NE(std::string(e.what()).find("bad.json"), std::string::npos);
  }
  auto missing = (dir.path() / "missing.json").string();
  try {
    json::parseFile(missing);
    ADD_FAILURE();
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("missing.json"), std::string::npos);
  }
  auto good = (dir.path() / "good.json").string();
  std::ofstream(good) << "\xEF\xBB\xBF{\"a\":[1]}";
  EXPECT_EQ(json::write(json::parseFile(good)), R"({"a":[1]})");
}

// A bound on the size is checked before the file is parsed, on both sides of it, and across the
// pieces the file is read in.
TEST(JsonParseTest, ParseFileRefusesAFileOverItsBound) {
  testsupport::TempDir dir;
  for (const std::size_t size : {std::size_t{10}, std::size_t{200000}}) {
    const auto path = (dir.path() / "array.json").string();
    std::ofstream(path) << "[" << std::string(size - 2, ' ') << "]";
    EXPECT_EQ(json::parseFile(path, size).asArray().size(), 0u) << size;
    try {
      json::parseFile(path, size - 1);
      ADD_FAILURE() << size;
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find("larger than " + std::to_string(size - 1) + " bytes"), std::string::npos)
          << e.what();
      EXPECT_NE(std::string(e.what()).find("array.json"), std::string::npos) << e.what();
    }
  }
}

}  // namespace

#include "platform/Text/Unicode.h"

#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

namespace platform::text {
namespace {

using ::testing::ElementsAre;

const std::string kPrecomposedE = "\xC3\xA9";     // U+00E9
const std::string kDecomposedE = "e\xCC\x81";     // U+0065 U+0301

struct Utf8Case {
  const char* name;
  std::string text;
  std::size_t invalidAt;  // npos when well-formed
};

class Utf8ValidationTest : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8ValidationTest, FindsTheFirstMalformedSequence) {
  const auto& c = GetParam();
  EXPECT_EQ(findInvalidUtf8(c.text), c.invalidAt);
  if (c.invalidAt == std::string_view::npos) {
    EXPECT_NO_THROW(requireValidUtf8(c.text));
  } else {
    try {
      requireValidUtf8(c.text);
      ADD_FAILURE() << "accepted";
    } catch (const InvalidUtf8Error& e) {
      EXPECT_EQ(e.offset, c.invalidAt);
    }
  }
}

constexpr auto npos = std::string_view::npos;

INSTANTIATE_TEST_SUITE_P(
    Texts, Utf8ValidationTest,
    ::testing::Values(
        Utf8Case{"Empty", "", npos}, Utf8Case{"Ascii", "plain ascii text, long enough", npos},
        Utf8Case{"AllLengths", "a\xC3\xA9\xE2\x96\x81\xF0\x9F\x98\x80", npos},
        Utf8Case{"LargestScalar", "\xF4\x8F\xBF\xBF", npos},
        Utf8Case{"LoneContinuation", "abcdefghij\x80", 10}, Utf8Case{"OverlongTwoByte", "a\xC0\x80", 1},
        Utf8Case{"OverlongThreeByte", "\xE0\x80\x80", 0}, Utf8Case{"Surrogate", "ab\xED\xA0\x80", 2},
        Utf8Case{"AboveLargestScalar", "\xF4\x90\x80\x80", 0}, Utf8Case{"Truncated", "ok\xE2\x96", 2},
        Utf8Case{"InvalidByte", "x\xFF", 1}),
    [](const auto& info) { return std::string(info.param.name); });

const std::string kFffd = "\xEF\xBF\xBD";  // U+FFFD

struct RepairCase {
  const char* name;
  std::string text;
  std::string repaired;
};

class Utf8RepairTest : public ::testing::TestWithParam<RepairCase> {};

TEST_P(Utf8RepairTest, ReplacesEachMaximalIllFormedSubpart) {
  const auto& c = GetParam();
  std::string repaired = repairUtf8(c.text);
  EXPECT_EQ(repaired, c.repaired);
  EXPECT_TRUE(isValidUtf8(repaired));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Utf8RepairTest,
    ::testing::Values(
        RepairCase{"Empty", "", ""},
        RepairCase{"WellFormedUnchanged", "a\xC3\xA9\xF0\x9F\x98\x80", "a\xC3\xA9\xF0\x9F\x98\x80"},
        RepairCase{"ReplacementCharacterKept", kFffd, kFffd},
        RepairCase{"InvalidByte", "x\xFFy", "x" + kFffd + "y"},
        RepairCase{"LoneContinuations", "\x80\xBF", kFffd + kFffd},
        RepairCase{"TruncatedAtEnd", "ok\xE2\x96", "ok" + kFffd},
        RepairCase{"TruncatedBeforeAscii", "\xF0\x9F\x98!", kFffd + "!"},
        // A byte that cannot continue the sequence begun before it is a subpart of its own.
        RepairCase{"Overlong", "\xC0\xAF\xE0\x80\xAF", kFffd + kFffd + kFffd + kFffd + kFffd},
        RepairCase{"Surrogate", "\xED\xA0\x80", kFffd + kFffd + kFffd},
        RepairCase{"AboveLargestScalar", "\xF4\x90\x80\x80", kFffd + kFffd + kFffd + kFffd},
        // The example of the Unicode Standard, chapter 3, "U+FFFD Substitution of Maximal Subparts".
        RepairCase{"StandardExample", "\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64",
                   "a" + kFffd + kFffd + kFffd + "b" + kFffd + "c" + kFffd + kFffd + "d"}),
    [](const auto& info) { return std::string(info.param.name); });

// ICU's U8_NEXT follows the same practice: each ill-formed subpart it reads becomes one U+FFFD.
TEST(Utf8RepairTest, AgreesWithIcuDecodingOnRandomBytes) {
  const std::vector<unsigned char> bytes = {'a', 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC2, 0xDF,
                                            0xE0, 0xE1, 0xED, 0xEF, 0xF0, 0xF1, 0xF4, 0xF5, 0xFF};
  std::mt19937 random(99);
  for (int round = 0; round < 5000; ++round) {
    std::string text;
    for (int i = static_cast<int>(random() % 12); i > 0; --i) text += static_cast<char>(bytes[random() % bytes.size()]);
    std::string expected;
    const auto* s = reinterpret_cast<const uint8_t*>(text.data());
    for (int32_t i = 0, n = static_cast<int32_t>(text.size()); i < n;) {
      UChar32 c;
      U8_NEXT(s, i, n, c);
      appendUtf8(expected, c < 0 ? U'\uFFFD' : static_cast<char32_t>(c));
    }
    ASSERT_EQ(repairUtf8(text), expected) << ::testing::PrintToString(text);
  }
}

TEST(ScalarStepsTest, StepForwardAndBackOverEveryLength) {
  const std::string text = "a\xC3\xA9\xE2\x96\x81\xF0\x9F\x98\x80";  // a, U+00E9, U+2581, U+1F600
  const std::vector<char32_t> expected = {U'a', U'\u00E9', U'\u2581', U'\U0001F600'};
  const std::vector<std::size_t> starts = {0, 1, 3, 6};
  EXPECT_EQ(scalars(text), expected);
  std::size_t offset = text.size();
  for (std::size_t k = expected.size(); k-- > 0;) {
    EXPECT_EQ(previousScalar(text, offset), expected[k]);
    EXPECT_EQ(offset, starts[k]);
    std::size_t forward = offset;
    EXPECT_EQ(nextScalar(text, forward), expected[k]);
    EXPECT_EQ(forward, k + 1 < starts.size() ? starts[k + 1] : text.size());
  }
}

TEST(Utf16ConversionTest, ConvertsBothWaysAndReplacesLoneSurrogates) {
  EXPECT_EQ(toUtf16("a\xC3\xA9\xF0\x9F\x98\x80"), (std::u16string{u'a', 0x00E9, 0xD83D, 0xDE00}));
  EXPECT_EQ(toUtf8(std::u16string{u'a', 0x00E9, 0xD83D, 0xDE00}), "a\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_EQ(toUtf8(std::u16string{0xD800, u'x', 0xDC00}), "\xEF\xBF\xBDx\xEF\xBF\xBD");
  EXPECT_THROW(toUtf16("\xFF"), InvalidUtf8Error);
}

struct NormalizationCase {
  const char* name;
  std::string text;
  NormalizationForm form;
  std::string expected;
};

class NormalizationTest : public ::testing::TestWithParam<NormalizationCase> {};

TEST_P(NormalizationTest, GivesTheStandardForm) {
  const auto& c = GetParam();
  EXPECT_EQ(normalize(c.text, c.form), c.expected);
}

TEST_P(NormalizationTest, IsNormalizedOnlyWhenNormalizingChangesNothing) {
  const auto& c = GetParam();
  EXPECT_EQ(isNormalized(c.text, c.form), c.text == c.expected);
  EXPECT_TRUE(isNormalized(c.expected, c.form));
}

INSTANTIATE_TEST_SUITE_P(
    Forms, NormalizationTest,
    ::testing::Values(
        NormalizationCase{"NfdDecomposes", "caf" + kPrecomposedE, NormalizationForm::nfd, "cafe\xCC\x81"},
        NormalizationCase{"NfcComposes", "cafe\xCC\x81", NormalizationForm::nfc, "caf" + kPrecomposedE},
        NormalizationCase{"NfcKeepsLigature", "\xEF\xAC\x81", NormalizationForm::nfc, "\xEF\xAC\x81"},
        NormalizationCase{"NfkcExpandsLigature", "\xEF\xAC\x81", NormalizationForm::nfkc, "fi"},
        NormalizationCase{"NfkdCircledDigit", "\xE2\x91\xA0", NormalizationForm::nfkd, "1"},
        NormalizationCase{"NfkcFullwidth", "\xEF\xBC\xA1", NormalizationForm::nfkc, "A"},
        NormalizationCase{"NfdHangul", "\xEA\xB0\x80", NormalizationForm::nfd, "\xE1\x84\x80\xE1\x85\xA1"},
        NormalizationCase{"AsciiUnchanged", "plain", NormalizationForm::nfkd, "plain"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CanonicalEquivalenceTest, EquivalentSpellingsCompareAndHashAlike) {
  EXPECT_TRUE(canonicallyEquivalent(kPrecomposedE, kDecomposedE));
  EXPECT_EQ(canonicalHash(kPrecomposedE), canonicalHash(kDecomposedE));
  EXPECT_EQ(canonicalCompare(kPrecomposedE, kDecomposedE), 0);
  // Compatibility forms are not canonical: the ligature differs from "fi".
  EXPECT_FALSE(canonicallyEquivalent("\xEF\xAC\x81", "fi"));
  EXPECT_LT(canonicalCompare("a", "b"), 0);
  EXPECT_GT(canonicalCompare(kDecomposedE, "z"), 0);  // U+00E9 after U+007A

  std::unordered_set<std::string, CanonicalHash, CanonicalEqual> set{kPrecomposedE};
  EXPECT_TRUE(set.contains(kDecomposedE));
}

TEST(CaseMappingTest, UsesFullMappingsWithoutLocale) {
  EXPECT_EQ(lowercased("\xC3\x80\xC3\x89\xC3\x8E ABC"), "\xC3\xA0\xC3\xA9\xC3\xAE abc");
  EXPECT_EQ(lowercased("\xC4\xB0"), "i\xCC\x87");  // dotted capital I: full mapping, not Turkish
  EXPECT_EQ(uppercased("stra\xC3\x9F" "e"), "STRASSE");
  EXPECT_EQ(capitalized("hello wORLD"), "Hello World");
  EXPECT_EQ(capitalized("whisper"), "Whisper");
  EXPECT_EQ(removingDiacritics("Cr\xC3\xA8me Br\xC3\xBBl\xC3\xA9" "e"), "Creme Brulee");
  EXPECT_EQ(removingDiacritics(kDecomposedE), "e");
}

struct GraphemeCase {
  const char* name;
  std::string text;
  std::vector<std::size_t> boundaries;
};

class GraphemesTest : public ::testing::TestWithParam<GraphemeCase> {};

TEST_P(GraphemesTest, FollowExtendedClusterRules) {
  const auto& c = GetParam();
  EXPECT_EQ(graphemeBoundaries(c.text), c.boundaries);
  EXPECT_EQ(graphemeCount(c.text), c.boundaries.size() - 1);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, GraphemesTest,
    ::testing::Values(
        GraphemeCase{"Empty", "", {0}}, GraphemeCase{"Ascii", "abc", {0, 1, 2, 3}},
        GraphemeCase{"CombiningMark", "x" + kDecomposedE + "y", {0, 1, 4, 5}},
        GraphemeCase{"CarriageReturnLineFeed", "a\r\nb", {0, 1, 3, 4}},
        GraphemeCase{"CarriageReturnsAndLineFeedsApart", "\r\r\n\n\r", {0, 1, 3, 4, 5}},
        GraphemeCase{"CarriageReturnLineFeedBesideMark", "\r\n" + kDecomposedE + "\r\n", {0, 2, 5, 7}},
        GraphemeCase{"SkinToneModifier", "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD", {0, 8}},
        GraphemeCase{"RegionalIndicatorPair", "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA", {0, 8}},
        GraphemeCase{"HangulSyllableJamo", "\xE1\x84\x80\xE1\x85\xA1", {0, 6}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(GraphemesTest, ViewsPointIntoTheText) {
  std::string text = "a" + kDecomposedE;
  EXPECT_THAT(graphemes(text), ElementsAre("a", kDecomposedE));
  EXPECT_THROW(graphemes("a\xC3"), InvalidUtf8Error);
}

TEST(CharacterPropertiesTest, FollowTheUnicodeDatabase) {
  EXPECT_TRUE(isWhitespace(U' '));
  EXPECT_TRUE(isWhitespace(U'\u00A0'));
  EXPECT_TRUE(isWhitespace(U'\u2029'));
  EXPECT_FALSE(isWhitespace(U'\u200B'));  // zero-width space is not White_Space
  EXPECT_TRUE(isPunctuation(U'!'));
  EXPECT_TRUE(isPunctuation(U'\u00BF'));
  EXPECT_FALSE(isPunctuation(U'$'));  // a currency symbol, Sc
  EXPECT_EQ(generalCategory(U'$'), GeneralCategory::Sc);
  EXPECT_EQ(generalCategory(U'\u01C5'), GeneralCategory::Lt);
  EXPECT_TRUE(isUppercase(U'\u01C5'));
  EXPECT_FALSE(isUppercase(U'a'));
  EXPECT_TRUE(isLetter(U'\u4E2D'));
  EXPECT_TRUE(isAlphabetic(U'\u2160'));  // Roman numeral one: Alphabetic but not a letter
  EXPECT_FALSE(isLetter(U'\u2160'));
  EXPECT_TRUE(isNumeric(U'\u2160'));
  EXPECT_TRUE(isNumeric(U'\u00BD'));
  EXPECT_FALSE(isDecimalDigit(U'\u00BD'));
  EXPECT_TRUE(isDecimalDigit(U'\u0663'));  // Arabic-Indic three
  EXPECT_TRUE(isMark(U'\u0301'));
  EXPECT_TRUE(isControl(U'\t'));
  EXPECT_EQ(generalCategory(U'\u200B'), GeneralCategory::Cf);
}

TEST(NormalizationTest, IsNormalizedRejectsIllFormedText) {
  EXPECT_THROW(isNormalized("e\xCC", NormalizationForm::nfc), InvalidUtf8Error);
}

// The ASCII shortcuts of the property tests agree with ICU's property data.
TEST(CharacterPropertiesTest, AsciiAnswersMatchThePropertyData) {
  for (char32_t c = 0; c < 0x80; ++c) {
    SCOPED_TRACE(static_cast<unsigned>(c));
    auto u = static_cast<UChar32>(c);
    EXPECT_EQ(isWhitespace(c), static_cast<bool>(u_hasBinaryProperty(u, UCHAR_WHITE_SPACE)));
    EXPECT_EQ(isAlphabetic(c), static_cast<bool>(u_hasBinaryProperty(u, UCHAR_ALPHABETIC)));
    EXPECT_EQ(isNumeric(c), u_getIntPropertyValue(u, UCHAR_NUMERIC_TYPE) != U_NT_NONE);
  }
  EXPECT_TRUE(isWhitespace(U'\u0085'));
  EXPECT_TRUE(isAlphabetic(U'\u00E9'));
  EXPECT_TRUE(isNumeric(U'\u0662'));
}

}  // namespace
}  // namespace platform::text

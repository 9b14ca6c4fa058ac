#include "Hub/BinaryDistinct.h"

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/Text/Unicode.h"

namespace hub {
namespace {

const BinaryDistinctString kPrecomposed("\xC3\xA9");  // U+00E9
const BinaryDistinctString kDecomposed("e\xCC\x81");  // U+0065 U+0301

TEST(BinaryDistinctStringTest, CanonicallyEquivalentSpellingsStayDistinct) {
  EXPECT_NE(kPrecomposed, kDecomposed);
  EXPECT_NE(BinaryDistinctString::Hash{}(kPrecomposed), BinaryDistinctString::Hash{}(kDecomposed));
  EXPECT_LT(kDecomposed, kPrecomposed);  // 0x0065 before 0x00E9
  EXPECT_EQ(kPrecomposed.value(), std::u16string(1, 0x00E9));
  EXPECT_EQ(kDecomposed.value(), (std::u16string{0x0065, 0x0301}));

  BinaryDistinctMap<int> vocab{{kPrecomposed, 1}, {kDecomposed, 2}};
  EXPECT_EQ(vocab.size(), 2u);
  EXPECT_EQ(vocab.find(std::string_view("e\xCC\x81"))->second, 2);  // UTF-8 lookup, no conversion
}

struct OrderCase {
  std::string smaller;
  std::string larger;
};

class BinaryDistinctOrderTest : public ::testing::TestWithParam<OrderCase> {};

TEST_P(BinaryDistinctOrderTest, FollowsUtf16CodeUnits) {
  BinaryDistinctString a(GetParam().smaller), b(GetParam().larger);
  EXPECT_LT(a, b);
  EXPECT_GT(b, a);
  EXPECT_FALSE(a < a);
  EXPECT_LE(a, a);
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, BinaryDistinctOrderTest,
    ::testing::Values(OrderCase{"", "a"}, OrderCase{"ab", "abc"}, OrderCase{"B", "a"}, OrderCase{"e\xCC\x81", "\xC3\xA9"},
                      // A supplementary scalar (lead unit 0xD83D) sorts before U+FFFD, unlike in UTF-8.
                      OrderCase{"\xF0\x9F\x98\x80", "\xEF\xBF\xBD"}, OrderCase{"x\xF0\x9F\x98\x80", "x\xEE\x80\x80"},
                      OrderCase{"\xED\x9F\xBF", "\xF0\x9F\x98\x80"}));

TEST(BinaryDistinctStringTest, UnitsAreTakenAsGiven) {
  BinaryDistinctString lone(std::u16string{u'a', 0xD800});
  EXPECT_EQ(lone.value(), (std::u16string{u'a', 0xD800}));
  EXPECT_EQ(lone.string(), "a\xEF\xBF\xBD");  // as text, U+FFFD
  EXPECT_NE(lone, BinaryDistinctString("a\xEF\xBF\xBD"));
  EXPECT_LT(lone, BinaryDistinctString(std::u16string{u'a', 0xD800, 0xDC00}));
  // A lone lead and a lone trail joined are a pair, as units are.
  auto joined = lone + BinaryDistinctString(std::u16string{0xDC00});
  EXPECT_EQ(joined.string(), "a\xF0\x90\x80\x80");
  const BinaryDistinctString fromCharacters(std::vector<BinaryDistinctCharacter>{
      BinaryDistinctCharacter(std::u16string{u'a', 0xD800}), BinaryDistinctCharacter(std::u16string{0xDC00})});
  EXPECT_EQ(fromCharacters, joined);
  EXPECT_EQ(BinaryDistinctString::Hash{}(fromCharacters), BinaryDistinctString::Hash{}(joined));
  EXPECT_THROW(BinaryDistinctString("a\xC3"), platform::text::InvalidUtf8Error);
}

TEST(BinaryDistinctStringTest, CountsCharactersNotUnits) {
  EXPECT_EQ(kDecomposed.count(), 1u);
  EXPECT_EQ(kDecomposed.value().size(), 2u);
  BinaryDistinctString emoji("\xF0\x9F\x98\x80");
  EXPECT_EQ(emoji.count(), 1u);
  EXPECT_EQ(emoji.value().size(), 2u);

  auto chars = BinaryDistinctString("h\xC3\xA9llo").characters();
  ASSERT_EQ(chars.size(), 5u);
  EXPECT_EQ(chars[1], BinaryDistinctCharacter("\xC3\xA9"));
  EXPECT_TRUE(BinaryDistinctString("").characters().empty());
  EXPECT_EQ(BinaryDistinctString(chars), BinaryDistinctString("h\xC3\xA9llo"));
}

TEST(BinaryDistinctStringTest, TextOperations) {
  BinaryDistinctString s("Hello");
  EXPECT_EQ(s + BinaryDistinctString(" World"), BinaryDistinctString("Hello World"));
  EXPECT_TRUE(s.hasPrefix(""));
  EXPECT_TRUE(s.hasPrefix("He"));
  EXPECT_FALSE(s.hasPrefix("Hello!"));
  EXPECT_TRUE(s.hasSuffix("llo"));
  EXPECT_FALSE(s.hasSuffix("xHello"));
  EXPECT_EQ(BinaryDistinctString("\xC3\x89T\xC3\x89").lowercased(), BinaryDistinctString("\xC3\xA9t\xC3\xA9"));
  // The replacement search matches canonically equivalent spellings.
  EXPECT_EQ(BinaryDistinctString("caf\xC3\xA9 cafe\xCC\x81").replacingOccurrences(kDecomposed, "E"),
            BinaryDistinctString("cafE cafE"));
  EXPECT_EQ(BinaryDistinctString("a-b-c").replacingOccurrences("-", "+"), BinaryDistinctString("a+b+c"));
  EXPECT_EQ(BinaryDistinctString("abc").replacingOccurrences("", "x"), BinaryDistinctString("abc"));
}

TEST(BinaryDistinctStringTest, PositionsCountCharactersAndCheckBounds) {
  BinaryDistinctString s("hello");
  EXPECT_EQ(s.index(1, 3), 4u);
  EXPECT_EQ(s.index(0, 5), 5u);
  EXPECT_FALSE(s.index(1, 3, 3).has_value());
  EXPECT_EQ(s.index(1, 2, 3), 3u);
  EXPECT_EQ(s.slice(1, 3), BinaryDistinctString("el"));
  EXPECT_EQ(s.slice(3), BinaryDistinctString("lo"));
  EXPECT_EQ(BinaryDistinctString("x\xC3\xA9y").slice(1, 2), kPrecomposed);
  EXPECT_EQ(BinaryDistinctString("").slice(0, 0), BinaryDistinctString(""));
  try {
    s.index(4, 2);
    ADD_FAILURE();
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ(e.what(), "Index out of bounds");
  }
  EXPECT_THROW(s.slice(2, 6), std::out_of_range);
  EXPECT_THROW(s.slice(3, 2), std::out_of_range);
}

TEST(BinaryDistinctCharacterTest, DescribesItsUnits) {
  EXPECT_EQ(BinaryDistinctCharacter("A").description(), "BinaryDistinctCharacter('A', bytes: [\"0x41\"])");
  EXPECT_EQ(BinaryDistinctCharacter("\xC3\xA9").description(), "BinaryDistinctCharacter('\xC3\xA9', bytes: [\"0xE9\"])");
  EXPECT_EQ(BinaryDistinctCharacter("\xF0\x9F\x98\x80").bytes(), (std::u16string{0xD83D, 0xDE00}));
}

TEST(BinaryDistinctMergeTest, StrategyDecidesConflicts) {
  const BinaryDistinctMap<int> base{{"a", 1}};
  const BinaryDistinctMap<int> other{{"a", 2}, {"b", 3}};
  auto keepIncoming = merging(base, other, [](int, int incoming) { return incoming; });
  EXPECT_EQ(keepIncoming, (BinaryDistinctMap<int>{{"a", 2}, {"b", 3}}));
  auto keepExisting = merging(base, other, [](int existing, int) { return existing; });
  EXPECT_EQ(keepExisting, (BinaryDistinctMap<int>{{"a", 1}, {"b", 3}}));
  EXPECT_EQ(base, (BinaryDistinctMap<int>{{"a", 1}}));  // merging leaves the receiver alone

  BinaryDistinctMap<int> target{{"a", 1}};
  merge(target, std::map<std::string, int>{{"a", 10}, {"c", 4}}, [](int x, int y) { return x + y; });
  EXPECT_EQ(target, (BinaryDistinctMap<int>{{"a", 11}, {"c", 4}}));

  EXPECT_THROW(merge(target, other, [](int, int) -> int { throw std::runtime_error("conflict"); }), std::runtime_error);
}

}  // namespace
}  // namespace hub

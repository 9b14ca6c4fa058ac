// Hash, equality and order of text by canonical equivalence, for well-formed and ill-formed UTF-8.
#include "templates/Hasher.h"

#include <string>
#include <unordered_map>

#include <gtest/gtest.h>

namespace jinja {
namespace {

struct TextPair {
  std::string a, b;
  bool equivalent;
};

class HasherTest : public testing::TestWithParam<TextPair> {};

TEST_P(HasherTest, EqualityHashAndOrderAgree) {
  const TextPair& c = GetParam();
  EXPECT_EQ(TextEqual{}(c.a, c.b), c.equivalent);
  EXPECT_EQ(TextEqual{}(c.b, c.a), c.equivalent);
  // Exactly one of a < b, b < a holds unless the two are equivalent.
  EXPECT_EQ(!TextLess{}(c.a, c.b) && !TextLess{}(c.b, c.a), c.equivalent);
  if (c.equivalent) {
    EXPECT_EQ(TextHash{}(c.a), TextHash{}(c.b));
    Hasher ha, hb;
    ha.combineText(c.a);
    hb.combineText(c.b);
    EXPECT_EQ(ha.finalize(), hb.finalize());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, HasherTest,
    testing::Values(TextPair{"\u00e9", "e\u0301", true},                  // composed and decomposed
                    TextPair{"caf\u00e9s", "cafe\u0301s", true},
                    TextPair{"\ufb01", "fi", false},                      // compatibility, not canonical
                    TextPair{"abc", "abd", false},
                    TextPair{"", "", true},
                    // Ill-formed text is accepted; it keeps its bytes where U+FFFD leaves nothing to
                    // normalize, and is normalized as if repaired where it does.
                    TextPair{"a\xff", "a\xff", true},
                    TextPair{"a\xff", "a\xfe", false},
                    TextPair{"a\xff", "a\ufffd", false},
                    TextPair{"\xe2\x82x", "\xe2\x82x", true},
                    TextPair{"\xff" "e\u0301", "\ufffd\u00e9", true},
                    // An ASCII key and a non-ASCII one that is canonically the same (the Kelvin sign
                    // is "K"), on both sides of the eight bytes hashed as one word.
                    TextPair{"K", "\u212a", true},
                    TextPair{"abcdefgK", "abcdefg\u212a", true},
                    TextPair{"abcdefghK", "abcdefgh\u212a", true},
                    TextPair{"abcdefghijklmnoK", "abcdefghijklmno\u212a", true},
                    // Keys that part at an ASCII character on both sides, or where one ends.
                    TextPair{"role", "content", false},
                    TextPair{"abc", "abcd", false},
                    TextPair{"abc", "abc\u0301", false},
                    TextPair{"ae\u0301x", "a\u00e9x", true}));

TEST(HasherTest, OrdersByScalarValuesOfTheComposedForm) {
  EXPECT_TRUE(TextLess{}("z", "e\u0301"));  // U+00E9 after U+007A, though "e" < "z"
  EXPECT_FALSE(TextLess{}("e\u0301", "z"));
  EXPECT_TRUE(TextLess{}("a", "b"));
  EXPECT_TRUE(TextLess{}("a", "a\xff"));
  EXPECT_TRUE(TextLess{}("\u00e9", "\xff"));  // byte order: 0xC3 before 0xFF
}

TEST(HasherTest, MapsFindEquivalentKeys) {
  std::unordered_map<std::string, int, TextHash, TextEqual> map{{"\u00e9", 1}, {"\xff", 2}};
  EXPECT_EQ(map.at("e\u0301"), 1);
  EXPECT_EQ(map.at("\xff"), 2);
  EXPECT_EQ(map.count("\xfe"), 0u);
}

}  // namespace
}  // namespace jinja

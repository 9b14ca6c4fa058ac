#include <ostream>

#include <gtest/gtest.h>

#include "Parlet/core/Pipeline.h"
#include "Parlet/core/detail/Text.h"

namespace parlet {
namespace {

struct HallucinationCase {
  const char* text;
  double duration;
  bool dropped;
};

void PrintTo(const HallucinationCase& c, std::ostream* os) {
  *os << '"' << c.text << "\" at " << c.duration << " s";
}

class HallucinationTest : public ::testing::TestWithParam<HallucinationCase> {};

TEST_P(HallucinationTest, JudgesTextAndDuration) {
  const auto& c = GetParam();
  EXPECT_EQ(Pipeline::isHallucination(c.text, c.duration), c.dropped) << '"' << c.text << "\" at " << c.duration;
}

INSTANTIATE_TEST_SUITE_P(
    Table, HallucinationTest,
    ::testing::Values(
        // Filler phrases count only for clips under 1.5 s.
        HallucinationCase{"Thank you.", 1.2, true}, HallucinationCase{"Thank you.", 1.5, false},
        HallucinationCase{"  you ", 0.5, true}, HallucinationCase{"Thanks for watching!", 1.49, true},
        HallucinationCase{"Bye-bye.", 1.0, true}, HallucinationCase{"bye bye", 1.0, true},
        HallucinationCase{"OK", 0.8, true}, HallucinationCase{"Okay?", 0.8, true},
        HallucinationCase{"Hmm...", 0.8, true}, HallucinationCase{"Mm", 0.8, true},
        HallucinationCase{"Uh", 0.8, true}, HallucinationCase{"Um", 0.8, true}, HallucinationCase{"thanks", 1.0, true},
        HallucinationCase{"Thank you very much.", 1.0, false}, HallucinationCase{"Hello there.", 0.5, false},
        // Markers at any duration, also where trimming would eat their brackets.
        HallucinationCase{"[BLANK_AUDIO]", 3.0, true}, HallucinationCase{"  [BLANK_AUDIO]\n", 0.5, true},
        HallucinationCase{"[BLANK_AUDIO] hello", 5.0, true}, HallucinationCase{"one [silence] two", 5.0, true},
        HallucinationCase{"[SILENCE]", 5.0, true}, HallucinationCase{"Silence.", 10.0, true},
        HallucinationCase{"Silence is golden.", 10.0, false},
        // Nothing but white space and punctuation.
        HallucinationCase{"", 5.0, true}, HallucinationCase{" \n\t ", 5.0, true}, HallucinationCase{"...?!", 5.0, true},
        HallucinationCase{"\u201C\u2026\u201D", 5.0, true}));

TEST(TextHelpersTest, TrimsAndCountsUnicode) {
  EXPECT_EQ(detail::trimmingWhitespaceAndNewlines("\u00A0\u2028 hi there \t\n"), "hi there");
  EXPECT_EQ(detail::trimmingWhitespaceNewlinesAndPunctuation(" \u00AB[Thank you.]\u00BB "), "Thank you");
  EXPECT_EQ(detail::lowercased("\u00C0B SILENCE"), "\u00E0b silence");
  EXPECT_EQ(detail::characterCount("e\u0301!"), 2u);        // combining accent joins its letter
  EXPECT_EQ(detail::characterCount("\U0001F44D\U0001F3FD"), 1u);  // emoji with skin tone
  EXPECT_EQ(detail::characterCount(""), 0u);
}

}  // namespace
}  // namespace parlet

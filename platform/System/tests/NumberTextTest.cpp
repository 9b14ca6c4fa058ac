#include "platform/System/NumberText.h"

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

#include <gtest/gtest.h>

namespace platform::system {
namespace {

constexpr auto exact = PlainLimit::exactIntegers;
constexpr auto python = PlainLimit::belowTenToTheSixteen;

TEST(NumberTextTest, PrintsTheShortestDigitsInTheFormOfTheLimit) {
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    std::string got, expected;
  } cases[] = {
      // Forms every limit shares.
      {shortestText(1.0), "1.0"},
      {shortestText(-0.0), "-0.0"},
      {shortestText(0.1), "0.1"},
      {shortestText(0.0001), "0.0001"},
      {shortestText(0.00001), "1e-05"},
      {shortestText(2.5e-07, python), "2.5e-07"},
      {shortestText(1e300), "1e+300"},
      {shortestText(100000.0), "100000.0"},
      {shortestText(123.456), "123.456"},
      {shortestText(inf), "inf"},
      {shortestText(-inf, python), "-inf"},
      {shortestText(std::nan("")), "nan"},
      // A float prints its own digits.
      {shortestText(0.1f), "0.1"},
      {shortestText(1e-5f), "1e-05"},
      {shortestText(-12.34567f), "-12.34567"},
      // Where the limits differ: the exactly held integers end at 2^24 (float) and 2^53 (double) ...
      {shortestText(16777216.0f), "16777216.0"},
      {shortestText(-16777216.0f), "-16777216.0"},
      {shortestText(16777218.0f), "1.6777218e+07"},
      {shortestText(1e8f), "1e+08"},
      {shortestText(9007199254740992.0), "9007199254740992.0"},
      {shortestText(9.5e15), "9.5e+15"},
      {shortestText(1.8446744e19f), "1.8446744e+19"},
      // ... while Python's form stays plain below 1e16 for either type.
      {shortestText(1e8f, python), "100000000.0"},
      {shortestText(9.5e15, python), "9500000000000000.0"},
      {shortestText(1e16, python), "1e+16"},
      {shortestText(1.2345678901234568e+17, python), "1.2345678901234568e+17"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.expected);
}

TEST(NumberTextTest, EveryTextReadsBackAsTheSameValue) {
  for (double v : {0.1, 1.0 / 3, 2.0 / 3e-9, 6.02214076e23, 9007199254740993.0, 4.9e-324, 1.7976931348623157e308}) {
    for (PlainLimit limit : {exact, python}) EXPECT_EQ(std::strtod(shortestText(v, limit).c_str(), nullptr), v) << v;
  }
  for (float v : {0.1f, 1.0f / 3, 16777217.0f, 3.4028235e38f, 1e-45f})
    EXPECT_EQ(std::strtof(shortestText(v).c_str(), nullptr), v) << v;
}

// Error texts name the very value (a float just above 1 is not "1"), in printf's "%g" form.
TEST(NumberTextTest, ErrorTextsNameTheValueItself) {
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    std::string got, expected;
  } cases[] = {
      {numberText(1.0000001f), "1.0000001"},
      {numberText(1.0), "1"},
      {numberText(0.5), "0.5"},
      {numberText(1.5e300), "1.5e+300"},
      {numberText(9223372036854775808.0), "9.223372036854776e+18"},
      {numberText(1e-5), "1e-05"},
      {numberText(0.0001), "0.0001"},
      {numberText(123456789.0), "123456789"},
      {numberText(-100000.0f), "-100000"},
      {numberText(1e6f), "1e+06"},
      {numberText(-1e6f), "-1e+06"},
      {numberText(70000.0f), "70000"},
      {numberText(65520.0f), "65520"},
      {numberText(0.1f), "0.1"},
      {numberText(inf), "inf"},
      {numberText(std::nanf("")), "nan"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.expected);
  for (float v : {1.0000001f, 0.1f, 16777217.0f, 3.4028235e38f, 1e-45f})
    EXPECT_EQ(std::strtof(numberText(v).c_str(), nullptr), v) << v;
}

TEST(NumberTextTest, FixedDecimalsRoundAsPrintfDoes) {
  struct Case {
    std::string got, expected;
  } cases[] = {
      {fixedText(2.456, 2), "2.46"},
      {fixedText(0.0, 2), "0.00"},
      {fixedText(-0.004, 2), "-0.00"},
      {fixedText(0.125, 2), "0.12"},  // exactly half: to even
      {fixedText(1234.5678, 3), "1234.568"},
      {fixedText(2.5, 0), "2"},
      {fixedText(2.5, -3), "2"},
      {fixedText(1e300, 2).substr(0, 4), "1000"},
      {fixedText(std::numeric_limits<double>::infinity(), 2), "inf"},
      {fixedText(-std::numeric_limits<double>::quiet_NaN(), 2), "nan"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.expected);
  EXPECT_EQ(fixedText(-1.7976931348623157e308, 64).size(), 1 + 309 + 1 + 64u);
}

}  // namespace
}  // namespace platform::system

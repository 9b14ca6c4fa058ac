// How the system's texts print a floating-point number. shortestText: the shortest digits that read
// back as the same value; plain notation with a point ("2.0", "0.5", "-0.0", "0.0001") from 0.0001
// up to a limit, exponent notation with at least two exponent digits outside ("1e-05",
// "1.6777218e+07"); "inf", "-inf" and "nan". numberText: the value an error text names, also
// the shortest digits that read back as it, in printf's "%g" form ("1", "1.0000001", "-100000",
// "1e+06"). fixedText: a fixed number of decimals, as log lines show
// seconds ("2.46"). A float prints its own digits, not those of the widened double.
// Pure functions, thread-safe, never throw (but std::bad_alloc).
//   shortestText(0.1f) == "0.1";  shortestText(16777216.0f) == "16777216.0"
//   shortestText(9.5e15, PlainLimit::belowTenToTheSixteen) == "9500000000000000.0"
//   numberText(1.0000001f) == "1.0000001";  fixedText(2.456, 2) == "2.46"
#pragma once

#include <string>

namespace platform::system {

enum class PlainLimit {
  // Plain up to and including 2^24 for float and 2^53 for double, the integers every value
  // of the type holds exactly: how the platform prints numbers (logs, descriptions).
  exactIntegers,
  // Plain below 1e16 for either type: how Python's repr prints a float, which templates follow.
  belowTenToTheSixteen,
};

std::string shortestText(double value, PlainLimit limit = PlainLimit::exactIntegers);
std::string shortestText(float value, PlainLimit limit = PlainLimit::exactIntegers);

// The shortest digits that read back as `value`, as "%.*g" prints them with that many significant
// digits, at least six: plain from 1e-4 up to below 10^max(6, digits), else with an exponent.
//   "1", "0.5", "1e-05", "123456789", "-100000", "1e+06", "1e+20", "inf", "nan"
std::string numberText(double value);
std::string numberText(float value);

// `decimals` digits after the point, rounded as printf's "%.*f" rounds: fixedText(0.0, 2) == "0.00".
// The count is clamped to 0 ... 64; a NaN prints "nan" whatever its sign bit.
std::string fixedText(double value, int decimals);

}  // namespace platform::system

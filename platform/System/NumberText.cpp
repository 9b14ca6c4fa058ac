#include "platform/System/NumberText.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string_view>
#include <system_error>

namespace platform::system {
namespace {

template <class F>
bool plainAtMagnitude(F magnitude, PlainLimit limit) {
  switch (limit) {
    case PlainLimit::exactIntegers: return magnitude <= std::ldexp(F(1), std::numeric_limits<F>::digits);
    case PlainLimit::belowTenToTheSixteen: return static_cast<double>(magnitude) < 1e16;
  }
  return true;
}

template <class F>
std::string shortest(F value, PlainLimit limit) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  char buffer[64];
  const auto written = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  std::string_view scientific(buffer, static_cast<std::size_t>(written.ptr - buffer));  // "-1.2345e+17"
  std::string out;
  if (scientific.front() == '-') {
    out += '-';
    scientific.remove_prefix(1);
  }
  const std::size_t e = scientific.find('e');
  std::string digits;
  for (char c : scientific.substr(0, e))
    if (c != '.') digits += c;
  int exponent = 0;
  std::from_chars(scientific.data() + e + (scientific[e + 1] == '+' ? 2 : 1), scientific.data() + scientific.size(),
                  exponent);

  if (value == 0 || (exponent >= -4 && plainAtMagnitude(std::fabs(value), limit))) {
    if (exponent < 0) {  // 0.000123
      out += "0.";
      out.append(static_cast<std::size_t>(-exponent - 1), '0');
      out += digits;
    } else if (static_cast<std::size_t>(exponent) + 1 >= digits.size()) {  // 1200.0
      out += digits;
      out.append(static_cast<std::size_t>(exponent) + 1 - digits.size(), '0');
      out += ".0";
    } else {  // 12.5
      out += digits.substr(0, static_cast<std::size_t>(exponent) + 1);
      out += '.';
      out += digits.substr(static_cast<std::size_t>(exponent) + 1);
    }
    return out;
  }
  out += scientific.substr(0, e);  // to_chars writes at least two exponent digits already
  out += scientific.substr(e);
  return out;
}

// The shortest round-trip digits, printed by "%g" with that many significant digits (at least six),
// so that the form is printf's: plain from 1e-4 up to below 10^precision, else with an exponent.
template <class F>
std::string roundTrip(F value) {
  char buffer[64];
  const auto written = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  int digits = 0;
  for (const char* c = buffer; c < written.ptr && *c != 'e'; ++c) digits += *c >= '0' && *c <= '9';
  std::snprintf(buffer, sizeof buffer, "%.*g", std::max(6, digits), static_cast<double>(value));
  return buffer;
}

}  // namespace

std::string shortestText(double value, PlainLimit limit) { return shortest(value, limit); }
std::string shortestText(float value, PlainLimit limit) { return shortest(value, limit); }

std::string numberText(double value) { return roundTrip(value); }
std::string numberText(float value) { return roundTrip(value); }

std::string fixedText(double value, int decimals) {
  if (std::isnan(value)) return "nan";  // glibc would print "-nan" for 0/0
  const int places = std::max(0, std::min(decimals, 64));
  // The widest finite double holds 309 digits before the point.
  char text[400];
  std::snprintf(text, sizeof text, "%.*f", places, value);
  return text;
}

}  // namespace platform::system

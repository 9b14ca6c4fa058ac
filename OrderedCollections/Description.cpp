#include "OrderedCollections/Description.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace collections {

// "it's \"x\"\n" => "\"it\\'s \\\"x\\\"\\n\"" ; other control characters as \u{hex}.
std::string debugDescription(std::string_view s) {
  std::string out = "\"";
  for (char ch : s) {
    unsigned char c = static_cast<unsigned char>(ch);
    switch (c) {
      case '\0': out += "\\0"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '"': out += "\\\""; break;
      case '\'': out += "\\'"; break;
      case '\\': out += "\\\\"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char buf[16];
          std::snprintf(buf, sizeof buf, "\\u{%x}", c);
          out += buf;
        } else {
          out += ch;
        }
    }
  }
  return out + "\"";
}

std::string debugDescription(bool b) { return b ? "true" : "false"; }

namespace {
// Shortest text that reads back as the same value of F; exponent form outside [1e-4, 1e16).
template <class F>
std::string floatingText(F d) {
  if (std::isnan(d)) return "nan";
  if (std::isinf(d)) return d < 0 ? "-inf" : "inf";
  char buf[64];
  F magnitude = std::fabs(d);
  if (magnitude != 0 && (magnitude >= F(1e16) || magnitude < F(1e-4))) {
    auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
    std::string text(buf, r.ptr);
    // Two-digit exponent at least, as printf writes it.
    auto e = text.find('e');
    std::string mantissa = text.substr(0, e);
    char sign = text[e + 1];
    std::string digits = text.substr(e + 2);
    if (digits.size() < 2) digits = "0" + digits;
    return mantissa + "e" + sign + digits;
  }
  auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::fixed);
  std::string text(buf, r.ptr);
  if (text.find('.') == std::string::npos) text += ".0";
  return text;
}
}  // namespace

// 1 => "1.0", 0.1 => "0.1", 1e16 => "1e+16", 1e-5 => "1e-05"
std::string debugDescription(double d) { return floatingText(d); }
// 0.1f => "0.1" (float digits, not those of the widened double)
std::string debugDescription(float f) { return floatingText(f); }

}  // namespace collections

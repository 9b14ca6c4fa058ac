#include "templates/detail/Text.h"

#include <charconv>
#include <cmath>

#include "platform/Text/Unicode.h"
#include "templates/Value.h"

namespace jinja::detail {
namespace text = platform::text;

std::string_view wellFormed(std::string_view text, std::string& storage) {
  if (text::isValidUtf8(text)) return text;
  storage = text::repairUtf8(text);
  return storage;
}

std::vector<std::string_view> characters(std::string_view text, std::string& storage) {
  return text::graphemes(wellFormed(text, storage));
}

std::string formatDouble(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  std::string_view sci(buffer, result.ptr - buffer);  // "-1.2345e+17"
  bool negative = sci.front() == '-';
  if (negative) sci.remove_prefix(1);
  std::size_t e = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e))
    if (c != '.') digits += c;
  int exponent = 0;
  std::from_chars(sci.data() + e + (sci[e + 1] == '+' ? 2 : 1), sci.data() + sci.size(), exponent);
  std::string out = negative ? "-" : "";
  if (value == 0 || (exponent >= -4 && exponent < 16)) {
    if (exponent < 0) {
      out += "0.";
      out.append(static_cast<std::size_t>(-exponent - 1), '0');
      out += digits;
    } else if (static_cast<std::size_t>(exponent) + 1 >= digits.size()) {
      out += digits;
      out.append(static_cast<std::size_t>(exponent) + 1 - digits.size(), '0');
      out += ".0";
    } else {
      out += digits.substr(0, exponent + 1);
      out += '.';
      out += digits.substr(exponent + 1);
    }
    return out;
  }
  out += digits[0];
  if (digits.size() > 1) {
    out += '.';
    out += digits.substr(1);
  }
  out += exponent < 0 ? "e-" : "e+";
  std::string exp = std::to_string(exponent < 0 ? -exponent : exponent);
  if (exp.size() < 2) out += '0';
  out += exp;
  return out;
}

std::string replaceForward(std::string_view text, std::string_view old, std::string_view replacement,
                           long long limit) {
  std::string out;
  std::size_t from = 0;
  long long done = 0;
  while (limit < 0 || done < limit) {
    std::size_t at = text.find(old, from);
    if (at == std::string_view::npos) break;
    out.append(text, from, at - from);
    out += replacement;
    checkStringSize(out.size());
    from = at + old.size();
    ++done;
  }
  out.append(text.substr(from));
  return out;
}

}  // namespace jinja::detail

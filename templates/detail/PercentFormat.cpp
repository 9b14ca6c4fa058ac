#include "templates/detail/PercentFormat.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>
#include <string>

#include "templates/JinjaError.h"
#include "templates/detail/RenderClock.h"

namespace jinja::detail {

namespace {

struct Conversion {
  bool left = false, plus = false, space = false, zero = false, alternate = false;
  std::size_t width = 0;
  std::optional<std::size_t> precision;
  char type = 's';
};

std::size_t codePoints(std::string_view s) {
  std::size_t n = 0;
  for (char c : s) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
  return n;
}

// Pads `body` (with its sign and prefix already in front) to the width; zeros go after `lead`
// characters (the sign and prefix) when the zero flag asks for them.
std::string padded(std::string body, const Conversion& conversion, std::size_t lead, bool zerosAllowed) {
  const std::size_t length = codePoints(body);
  if (length >= conversion.width) return body;
  const std::size_t fill = conversion.width - length;
  checkStringSize(body.size() + fill);
  if (conversion.left) return body + std::string(fill, ' ');
  if (conversion.zero && zerosAllowed) return body.insert(lead, fill, '0');
  return std::string(fill, ' ') + body;
}

std::string kindName(const Value& v) {
  switch (v.kind()) {
    case Value::Kind::string: return "str";
    case Value::Kind::double_: return "float";
    case Value::Kind::array: return "list";
    case Value::Kind::object: return "dict";
    case Value::Kind::null:
    case Value::Kind::undefined: return "NoneType";
    default: return "value";
  }
}

std::string formatInteger(const Value& v, const Conversion& conversion) {
  std::int64_t n;
  if (v.isInt()) n = v.asInt();
  else if (v.isBoolean()) n = v.asBool() ? 1 : 0;
  else if (v.isDouble() && (conversion.type == 'd' || conversion.type == 'i' || conversion.type == 'u')) {
    const double d = std::trunc(v.asDouble());
    if (!std::isfinite(d) || d < -9.2e18 || d > 9.2e18)
      throw JinjaError::runtime("%" + std::string(1, conversion.type) + " format of " + v.description() + " is out of range");
    n = static_cast<std::int64_t>(d);
  } else {
    const bool real = conversion.type == 'd' || conversion.type == 'i' || conversion.type == 'u';
    throw JinjaError::runtime("%" + std::string(1, conversion.type) + " format: " + (real ? "a real number" : "an integer") +
                              " is required, not " + kindName(v));
  }
  const unsigned base = conversion.type == 'x' || conversion.type == 'X' ? 16 : conversion.type == 'o' ? 8 : 10;
  const char* digitsOf = conversion.type == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
  std::uint64_t magnitude = n < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(n) : static_cast<std::uint64_t>(n);
  std::string digits;
  do {
    digits.insert(digits.begin(), digitsOf[magnitude % base]);
    magnitude /= base;
  } while (magnitude > 0);
  if (conversion.precision && digits.size() < *conversion.precision) {
    checkStringSize(*conversion.precision);
    digits.insert(0, *conversion.precision - digits.size(), '0');
  }
  std::string lead = n < 0 ? "-" : conversion.plus ? "+" : conversion.space ? " " : "";
  if (conversion.alternate && base == 16) lead += conversion.type == 'X' ? "0X" : "0x";
  if (conversion.alternate && base == 8) lead += "0o";
  return padded(lead + digits, conversion, lead.size(), true);
}

std::string formatFloat(const Value& v, const Conversion& conversion) {
  if (!v.isNumeric() && !v.isBoolean())
    throw JinjaError::runtime("must be real number, not " + kindName(v));
  const double d = v.isBoolean() ? (v.asBool() ? 1.0 : 0.0) : v.toDouble();
  if (conversion.precision && *conversion.precision > 1000) throw JinjaError::runtime("Format precision too large");
  std::string pattern = "%";
  if (conversion.plus) pattern += '+';
  if (conversion.space) pattern += ' ';
  if (conversion.alternate) pattern += '#';
  pattern += '.';
  pattern += std::to_string(conversion.precision.value_or(6));
  pattern += conversion.type;
  char buffer[1100];
  std::snprintf(buffer, sizeof buffer, pattern.c_str(), d);
  std::string body = buffer;
  const std::size_t lead = !body.empty() && (body[0] == '-' || body[0] == '+' || body[0] == ' ') ? 1 : 0;
  return padded(std::move(body), conversion, lead, std::isfinite(d));
}

std::string formatText(const Value& v, const Conversion& conversion) {
  std::string body;
  if (conversion.type == 'r' && v.isString()) body = "'" + v.asString() + "'";
  else if (conversion.type == 'c') {
    if (v.isString() && codePoints(v.asString()) == 1) {
      body = v.asString();
    } else if (v.isInt() && v.asInt() >= 0 && v.asInt() <= 0x10FFFF) {
      const auto c = static_cast<char32_t>(v.asInt());
      if (c < 0x80) body += static_cast<char>(c);
      else if (c < 0x800) body += {static_cast<char>(0xC0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3F))};
      else if (c < 0x10000)
        body += {static_cast<char>(0xE0 | (c >> 12)), static_cast<char>(0x80 | ((c >> 6) & 0x3F)), static_cast<char>(0x80 | (c & 0x3F))};
      else
        body += {static_cast<char>(0xF0 | (c >> 18)), static_cast<char>(0x80 | ((c >> 12) & 0x3F)),
                 static_cast<char>(0x80 | ((c >> 6) & 0x3F)), static_cast<char>(0x80 | (c & 0x3F))};
    } else {
      throw JinjaError::runtime("%c requires an int or a single character, not " + v.description());
    }
  } else {
    body = v.description();
  }
  if (conversion.precision && conversion.type != 'c') {
    // The first `precision` code points.
    std::size_t taken = 0, at = 0;
    while (at < body.size() && taken < *conversion.precision) {
      ++at;
      while (at < body.size() && (static_cast<unsigned char>(body[at]) & 0xC0) == 0x80) ++at;
      ++taken;
    }
    body.resize(at);
  }
  return padded(std::move(body), conversion, 0, false);
}

}  // namespace

std::string percentFormat(const std::string& format, const Value& arguments) {
  const bool isList = arguments.isArray();
  const std::size_t count = isList ? arguments.asArray().size() : 1;
  std::size_t used = 0;
  bool mapped = false;
  std::string out;
  out.reserve(format.size());
  countWork(format.size());
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%') {
      out.push_back(format[i]);
      continue;
    }
    if (++i >= format.size()) throw JinjaError::runtime("incomplete format");
    if (format[i] == '%') {
      out.push_back('%');
      continue;
    }
    const Value* argument = nullptr;
    if (format[i] == '(') {
      const std::size_t close = format.find(')', i);
      if (close == std::string::npos) throw JinjaError::runtime("incomplete format key");
      if (!arguments.isObject()) throw JinjaError::runtime("format requires a mapping");
      const std::string key = format.substr(i + 1, close - i - 1);
      argument = arguments.asObject().get(key);
      if (!argument) throw JinjaError::runtime("Format key '" + key + "' is missing");
      mapped = true;
      i = close + 1;
    }
    Conversion conversion;
    for (; i < format.size(); ++i) {
      const char c = format[i];
      if (c == '-') conversion.left = true;
      else if (c == '+') conversion.plus = true;
      else if (c == ' ') conversion.space = true;
      else if (c == '0') conversion.zero = true;
      else if (c == '#') conversion.alternate = true;
      else break;
    }
    auto number = [&](std::size_t& into) {
      while (i < format.size() && format[i] >= '0' && format[i] <= '9') {
        into = into * 10 + static_cast<std::size_t>(format[i++] - '0');
        if (into > Value::maxStringBytes) throw JinjaError::runtime("Format width too large");
      }
    };
    if (i < format.size() && format[i] == '*') throw JinjaError::runtime("'*' widths in formats are not supported");
    number(conversion.width);
    if (i < format.size() && format[i] == '.') {
      ++i;
      std::size_t precision = 0;
      number(precision);
      conversion.precision = precision;
    }
    while (i < format.size() && (format[i] == 'h' || format[i] == 'l' || format[i] == 'L')) ++i;
    if (i >= format.size()) throw JinjaError::runtime("incomplete format");
    conversion.type = format[i];
    if (!argument) {
      if (used >= count) throw JinjaError::runtime("not enough arguments for format string");
      argument = isList ? &arguments.asArray()[used] : &arguments;
      ++used;
    }
    switch (conversion.type) {
      case 's':
      case 'r':
      case 'a':
      case 'c': out += formatText(*argument, conversion); break;
      case 'd':
      case 'i':
      case 'u':
      case 'x':
      case 'X':
      case 'o': out += formatInteger(*argument, conversion); break;
      case 'f':
      case 'F':
      case 'e':
      case 'E':
      case 'g':
      case 'G': out += formatFloat(*argument, conversion); break;
      default:
        throw JinjaError::runtime("unsupported format character '" + std::string(1, conversion.type) + "'");
    }
    checkStringSize(out.size());
  }
  if (!mapped && !arguments.isObject() && used < count)
    throw JinjaError::runtime("not all arguments converted during string formatting");
  return out;
}

}  // namespace jinja::detail

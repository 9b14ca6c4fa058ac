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

struct Spec {
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
std::string padded(std::string body, const Spec& spec, std::size_t lead, bool zerosAllowed) {
  const std::size_t length = codePoints(body);
  if (length >= spec.width) return body;
  const std::size_t fill = spec.width - length;
  checkStringSize(body.size() + fill);
  if (spec.left) return body + std::string(fill, ' ');
  if (spec.zero && zerosAllowed) return body.insert(lead, fill, '0');
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

std::string formatInteger(const Value& v, const Spec& spec) {
  std::int64_t n;
  if (v.isInt()) n = v.asInt();
  else if (v.isBoolean()) n = v.asBool() ? 1 : 0;
  else if (v.isDouble() && (spec.type == 'd' || spec.type == 'i' || spec.type == 'u')) {
    const double d = std::trunc(v.asDouble());
    if (!std::isfinite(d) || d < -9.2e18 || d > 9.2e18)
      throw JinjaError::runtime("%" + std::string(1, spec.type) + " format of " + v.description() + " is out of range");
    n = static_cast<std::int64_t>(d);
  } else {
    const bool real = spec.type == 'd' || spec.type == 'i' || spec.type == 'u';
    throw JinjaError::runtime("%" + std::string(1, spec.type) + " format: " + (real ? "a real number" : "an integer") +
                              " is required, not " + kindName(v));
  }
  const unsigned base = spec.type == 'x' || spec.type == 'X' ? 16 : spec.type == 'o' ? 8 : 10;
  const char* digitsOf = spec.type == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
  std::uint64_t magnitude = n < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(n) : static_cast<std::uint64_t>(n);
  std::string digits;
  do {
    digits.insert(digits.begin(), digitsOf[magnitude % base]);
    magnitude /= base;
  } while (magnitude > 0);
  if (spec.precision && digits.size() < *spec.precision) {
    checkStringSize(*spec.precision);
    digits.insert(0, *spec.precision - digits.size(), '0');
  }
  std::string lead = n < 0 ? "-" : spec.plus ? "+" : spec.space ? " " : "";
  if (spec.alternate && base == 16) lead += spec.type == 'X' ? "0X" : "0x";
  if (spec.alternate && base == 8) lead += "0o";
  return padded(lead + digits, spec, lead.size(), true);
}

std::string formatFloat(const Value& v, const Spec& spec) {
  if (!v.isNumeric() && !v.isBoolean())
    throw JinjaError::runtime("must be real number, not " + kindName(v));
  const double d = v.isBoolean() ? (v.asBool() ? 1.0 : 0.0) : v.toDouble();
  if (spec.precision && *spec.precision > 1000) throw JinjaError::runtime("Format precision too large");
  std::string pattern = "%";
  if (spec.plus) pattern += '+';
  if (spec.space) pattern += ' ';
  if (spec.alternate) pattern += '#';
  pattern += '.';
  pattern += std::to_string(spec.precision.value_or(6));
  pattern += spec.type;
  char buffer[1100];
  std::snprintf(buffer, sizeof buffer, pattern.c_str(), d);
  std::string body = buffer;
  const std::size_t lead = !body.empty() && (body[0] == '-' || body[0] == '+' || body[0] == ' ') ? 1 : 0;
  return padded(std::move(body), spec, lead, std::isfinite(d));
}

std::string formatText(const Value& v, const Spec& spec) {
  std::string body;
  if (spec.type == 'r' && v.isString()) body = "'" + v.asString() + "'";
  else if (spec.type == 'c') {
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
  if (spec.precision && spec.type != 'c') {
    // The first `precision` code points.
    std::size_t taken = 0, at = 0;
    while (at < body.size() && taken < *spec.precision) {
      ++at;
      while (at < body.size() && (static_cast<unsigned char>(body[at]) & 0xC0) == 0x80) ++at;
      ++taken;
    }
    body.resize(at);
  }
  return padded(std::move(body), spec, 0, false);
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
    Spec spec;
    for (; i < format.size(); ++i) {
      const char c = format[i];
      if (c == '-') spec.left = true;
      else if (c == '+') spec.plus = true;
      else if (c == ' ') spec.space = true;
      else if (c == '0') spec.zero = true;
      else if (c == '#') spec.alternate = true;
      else break;
    }
    auto number = [&](std::size_t& into) {
      while (i < format.size() && format[i] >= '0' && format[i] <= '9') {
        into = into * 10 + static_cast<std::size_t>(format[i++] - '0');
        if (into > Value::maxStringBytes) throw JinjaError::runtime("Format width too large");
      }
    };
    if (i < format.size() && format[i] == '*') throw JinjaError::runtime("'*' widths in formats are not supported");
    number(spec.width);
    if (i < format.size() && format[i] == '.') {
      ++i;
      std::size_t precision = 0;
      number(precision);
      spec.precision = precision;
    }
    while (i < format.size() && (format[i] == 'h' || format[i] == 'l' || format[i] == 'L')) ++i;
    if (i >= format.size()) throw JinjaError::runtime("incomplete format");
    spec.type = format[i];
    if (!argument) {
      if (used >= count) throw JinjaError::runtime("not enough arguments for format string");
      argument = isList ? &arguments.asArray()[used] : &arguments;
      ++used;
    }
    switch (spec.type) {
      case 's':
      case 'r':
      case 'a':
      case 'c': out += formatText(*argument, spec); break;
      case 'd':
      case 'i':
      case 'u':
      case 'x':
      case 'X':
      case 'o': out += formatInteger(*argument, spec); break;
      case 'f':
      case 'F':
      case 'e':
      case 'E':
      case 'g':
      case 'G': out += formatFloat(*argument, spec); break;
      default:
        throw JinjaError::runtime("unsupported format character '" + std::string(1, spec.type) + "'");
    }
    checkStringSize(out.size());
  }
  if (!mapped && !arguments.isObject() && used < count)
    throw JinjaError::runtime("not all arguments converted during string formatting");
  return out;
}

}  // namespace jinja::detail

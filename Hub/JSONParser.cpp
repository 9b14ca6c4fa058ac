#include "Hub/JSONParser.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>
#include <rapidjson/stream.h>

#include "platform/Text/Unicode.h"

namespace hub {

JSONParser::ParseError::ParseError(std::uint32_t code, std::string message, std::int64_t position)
    : std::runtime_error("JSON read failed (code " + std::to_string(code) + ") at position " + std::to_string(position) +
                         ": " + message),
      kind(Kind::readFailed),
      code(code),
      message(std::move(message)),
      position(position) {}

JSONParser::ParseError::ParseError()
    : std::runtime_error("JSON reader returned null document"), kind(Kind::nullDocument) {}

namespace {

// Length of the JSON number that starts `in` (-?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?), or 0.
std::size_t numberLength(std::string_view in) {
  auto digit = [&](std::size_t k) { return k < in.size() && in[k] >= '0' && in[k] <= '9'; };
  std::size_t i = (!in.empty() && in[0] == '-') ? 1 : 0;
  if (!digit(i)) return 0;
  if (in[i] == '0') {
    ++i;
  } else {
    while (digit(i)) ++i;
  }
  if (i < in.size() && in[i] == '.' && digit(i + 1)) {
    i += 2;
    while (digit(i)) ++i;
  }
  if (i < in.size() && (in[i] == 'e' || in[i] == 'E')) {
    std::size_t j = i + 1;
    if (j < in.size() && (in[j] == '+' || in[j] == '-')) ++j;
    if (digit(j)) {
      i = j + 1;
      while (digit(i)) ++i;
    }
  }
  return i;
}

// For a number whose value lies outside the double range: whether above it rather than below,
// that is whether the decimal exponent of its first non-zero digit is positive.
bool aboveDoubleRange(std::string_view literal) {
  std::size_t i = literal[0] == '-' ? 1 : 0;
  long long leading = 0;  // decimal exponent of the first non-zero digit, plus one
  bool seenNonZero = false, afterPoint = false;
  for (; i < literal.size() && literal[i] != 'e' && literal[i] != 'E'; ++i) {
    char c = literal[i];
    if (c == '.') {
      afterPoint = true;
    } else if (!seenNonZero && c == '0') {
      if (afterPoint) --leading;
    } else if (!seenNonZero) {
      seenNonZero = true;
      if (!afterPoint) leading = 1;
    } else if (!afterPoint) {
      ++leading;
    }
  }
  long long exponent = 0;
  if (i < literal.size()) {
    std::string_view e = literal.substr(i + 1);
    if (!e.empty() && e[0] == '+') e.remove_prefix(1);
    auto r = std::from_chars(e.data(), e.data() + e.size(), exponent);
    if (r.ec == std::errc::result_out_of_range) exponent = (e[0] == '-') ? -(1LL << 40) : (1LL << 40);
  }
  return leading + exponent > 0;
}

// A number as the reader hands it over ("-12", "0.1", "1e400", "NaN", "-Infinity"): integers
// within 64 signed bits stay integers; every other number becomes the nearest 32-bit float,
// a value beyond the double range infinity or zero. No value for what is no number.
std::optional<Config> numberValue(std::string_view text) {
  constexpr float kInfinity = std::numeric_limits<float>::infinity();
  const bool minus = !text.empty() && text[0] == '-';
  const std::string_view body = text.substr(minus ? 1 : 0);
  if (body.empty() || body[0] < '0' || body[0] > '9') {
    if (body == "NaN") return Config(minus ? -std::numeric_limits<float>::quiet_NaN() : std::numeric_limits<float>::quiet_NaN());
    if (body == "Inf" || body == "Infinity") return Config(minus ? -kInfinity : kInfinity);
    // The reader has checked the digits, but lets a fraction or an exponent follow those literals
    // ("Inf.5"); no number reads so.
    return std::nullopt;
  }
  if (body.size() <= 18) {  // the common case: an integer that cannot overflow
    std::int64_t v = 0;
    std::size_t k = 0;
    for (; k < body.size() && body[k] >= '0' && body[k] <= '9'; ++k) v = v * 10 + (body[k] - '0');
    if (k == body.size()) return Config(minus ? -v : v);
  }
  const char* first = text.data();
  const char* last = first + text.size();
  if (body.find_first_of(".eE") == std::string_view::npos) {
    if (minus) {
      std::int64_t i = 0;
      if (std::from_chars(first, last, i).ec == std::errc()) return Config(i);
    } else {
      std::uint64_t u = 0;
      if (std::from_chars(first, last, u).ec == std::errc()) {
        if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return Config(static_cast<std::int64_t>(u));
        return Config(static_cast<float>(u));
      }
    }
    // Beyond 64 bits: read as a real.
  }
  double d = 0;
  if (std::from_chars(first, last, d).ec == std::errc::result_out_of_range) {
    const float f = aboveDoubleRange(text) ? kInfinity : 0.0f;
    return Config(minus ? -f : f);
  }
  return Config(nearestFloat(d));
}

// Builds the tree bottom-up from the reader's events: finished values wait on one stack, keys on
// another, and a container takes its members off the stacks when it closes.
class TreeBuilder {
 public:
  struct Failure {
    rapidjson::ParseErrorCode code;
    std::string message;
  };

  bool Null() { return push(Config()); }
  bool Bool(bool b) { return push(Config(b)); }
  bool Int(int i) { return push(Config(static_cast<std::int64_t>(i))); }
  bool Uint(unsigned u) { return push(Config(static_cast<std::int64_t>(u))); }
  bool Int64(std::int64_t i) { return push(Config(i)); }
  bool Uint64(std::uint64_t u) {
    if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
      return push(Config(static_cast<std::int64_t>(u)));
    return push(Config(static_cast<float>(u)));
  }
  bool Double(double d) { return push(Config(nearestFloat(d))); }
  // Every number arrives here as its text (see parseOnce).
  bool RawNumber(const char* s, rapidjson::SizeType length, bool) {
    auto value = numberValue(std::string_view(s, length));
    if (!value) {
      failure_ = Failure{rapidjson::kParseErrorValueInvalid, rapidjson::GetParseError_En(rapidjson::kParseErrorValueInvalid)};
      return false;
    }
    return push(std::move(*value));
  }

  bool String(const char* s, rapidjson::SizeType length, bool) {
    auto text = checkedText(s, length);
    return text && push(Config(std::move(*text)));
  }
  bool Key(const char* s, rapidjson::SizeType length, bool) {
    auto text = checkedText(s, length);
    if (!text) return false;
    keys_.push_back(std::move(*text));
    return true;
  }

  bool StartObject() { return open(); }
  bool StartArray() { return open(); }

  bool EndObject(rapidjson::SizeType count) {
    --depth_;
    Config::Dictionary dictionary;
    dictionary.reserve(count);
    const std::size_t firstValue = values_.size() - count;
    const std::size_t firstKey = keys_.size() - count;
    // Document order, so that the last of repeated keys wins.
    for (std::size_t i = 0; i < count; ++i)
      dictionary.insert_or_assign(std::move(keys_[firstKey + i]), std::move(values_[firstValue + i]));
    values_.resize(firstValue);
    keys_.resize(firstKey);
    return push(Config(std::move(dictionary)));
  }

  bool EndArray(rapidjson::SizeType count) {
    --depth_;
    const std::size_t first = values_.size() - count;
    Config::Array array(std::make_move_iterator(values_.begin() + static_cast<std::ptrdiff_t>(first)),
                        std::make_move_iterator(values_.end()));
    values_.resize(first);
    return push(Config(std::move(array)));
  }

  Config takeRoot() { return std::move(values_.back()); }
  bool hasRoot() const { return values_.size() == 1; }
  const std::optional<Failure>& failure() const { return failure_; }

 private:
  bool push(Config value) {
    values_.push_back(std::move(value));
    return true;
  }

  bool open() {
    if (++depth_ > JSONParser::kMaxDepth) {
      failure_ = Failure{rapidjson::kParseErrorTermination, "Nesting too deep."};
      return false;
    }
    return true;
  }

  // The reader has decoded escapes; what it hands over must still be well-formed UTF-8 (it passes
  // raw bytes through unchecked and an escaped lone low surrogate as its 3-byte form).
  std::optional<BinaryDistinctString> checkedText(const char* s, rapidjson::SizeType length) {
    std::string_view view(s, length);
    if (!platform::text::isValidUtf8(view)) {
      failure_ = Failure{rapidjson::kParseErrorStringInvalidEncoding, rapidjson::GetParseError_En(rapidjson::kParseErrorStringInvalidEncoding)};
      return std::nullopt;
    }
    return BinaryDistinctString::fromValidUtf8(std::string(view));
  }

  std::vector<Config> values_;
  std::vector<BinaryDistinctString> keys_;
  std::size_t depth_ = 0;
  std::optional<Failure> failure_;
};

// The reader refuses some valid numbers: a very long integer part or a large exponent, even when
// the value is finite ("0e400") or too large for a double (which reads as infinity). It also takes
// the inf and nan literals only as "Inf", "Infinity" and "NaN", where any case is allowed ("inf",
// "-INFINITY", "nan"). Such literals outside texts are rewritten into forms the reader takes, and
// the shifts recorded so that positions in the rewritten text map back to the input.
struct Rewrite {
  std::size_t originalEnd;  // where the literal ended in the input
  std::ptrdiff_t delta;     // rewritten length minus original length
};

// The literal in a form the reader takes, or no value when it takes the literal as written.
std::optional<std::string> readableNumber(std::string_view literal) {
  const bool minus = literal[0] == '-';
  const std::size_t exponentAt = literal.find_first_of("eE");
  const std::size_t integerDigits = std::min(literal.find('.'), std::min(exponentAt, literal.size())) - (minus ? 1 : 0);
  long long exponent = 0;
  if (exponentAt != std::string_view::npos) {
    std::string_view e = literal.substr(exponentAt + 1);
    const bool negative = e[0] == '-';
    if (e[0] == '+' || e[0] == '-') e.remove_prefix(1);
    for (char c : e) exponent = std::min(exponent * 10 + (c - '0'), 1LL << 40);
    if (negative) exponent = -exponent;
  }
  if (integerDigits < 300 && exponent < 300) return std::nullopt;
  double d = 0;
  if (std::from_chars(literal.data(), literal.data() + literal.size(), d).ec == std::errc::result_out_of_range)
    return std::string(aboveDoubleRange(literal) ? (minus ? "-Infinity" : "Infinity") : (minus ? "-0.0" : "0.0"));
  char buffer[40];
  auto end = std::to_chars(buffer, buffer + sizeof buffer, d, std::chars_format::scientific).ptr;  // "1e+100", "0e+00"
  return std::string(buffer, end);
}

// "infinity", "inf" or "nan" in any case at the start of `in`, spelled as the reader takes it.
std::string_view infOrNanLiteral(std::string_view in) {
  auto startsWith = [&](std::string_view lowerWord) {
    if (in.size() < lowerWord.size()) return false;
    for (std::size_t k = 0; k < lowerWord.size(); ++k)
      if ((in[k] | 0x20) != lowerWord[k]) return false;
    return true;
  };
  if (startsWith("infinity")) return "Infinity";
  if (startsWith("inf")) return "Inf";
  if (startsWith("nan")) return "NaN";
  return {};
}

std::string rewriteForReader(std::string_view in, std::vector<Rewrite>& rewrites) {
  std::string out;
  out.reserve(in.size() + 16);
  std::size_t i = 0;
  while (i < in.size()) {
    char c = in[i];
    if (c == '"') {
      std::size_t j = i + 1;
      while (j < in.size() && in[j] != '"') j += (in[j] == '\\') ? 2 : 1;
      j = std::min(j + 1, in.size());
      out.append(in.substr(i, j - i));
      i = j;
    } else if (std::size_t n = (c == '-' || (c >= '0' && c <= '9')) ? numberLength(in.substr(i)) : 0; n > 0) {
      std::string_view literal = in.substr(i, n);
      if (auto replacement = readableNumber(literal)) {
        out.append(*replacement);
        rewrites.push_back({i + n, static_cast<std::ptrdiff_t>(replacement->size()) - static_cast<std::ptrdiff_t>(n)});
      } else {
        out.append(literal);
      }
      i += n;
    } else if (std::string_view word = infOrNanLiteral(in.substr(i)); !word.empty()) {
      out.append(word);  // same length: no shift
      i += word.size();
    } else {
      out.push_back(c);
      ++i;
    }
  }
  return out;
}

std::size_t originalPosition(std::size_t rewritten, const std::vector<Rewrite>& rewrites) {
  std::ptrdiff_t shift = 0;
  for (const auto& r : rewrites) {
    if (static_cast<std::ptrdiff_t>(r.originalEnd) + shift + r.delta > static_cast<std::ptrdiff_t>(rewritten)) break;
    shift += r.delta;
  }
  return static_cast<std::size_t>(static_cast<std::ptrdiff_t>(rewritten) - shift);
}

}  // namespace

namespace {

Config parseOnce(std::string_view bytes, const std::vector<Rewrite>* rewrites) {
  // Numbers come as text and are converted by numberValue: the reader's own conversion of reals
  // misrounds or crashes on some extreme exponents. Reading in place (texts decoded and numbers
  // handed over inside a copy of the input) saves copying every text and number once more.
  constexpr unsigned kFlags = rapidjson::kParseIterativeFlag | rapidjson::kParseNanAndInfFlag |
                              rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseInsituFlag;
  auto position = [&](std::size_t offset) {
    return static_cast<std::int64_t>(rewrites ? originalPosition(offset, *rewrites) : offset);
  };
  std::string buffer(bytes);  // zero-terminated, as the in-place stream needs
  rapidjson::InsituStringStream stream(buffer.data());
  rapidjson::Reader reader;
  TreeBuilder builder;
  rapidjson::ParseResult result = reader.Parse<kFlags>(stream, builder);
  if (result.IsError()) {
    if (result.Code() == rapidjson::kParseErrorTermination && builder.failure()) {
      const auto& f = *builder.failure();
      throw JSONParser::ParseError(static_cast<std::uint32_t>(f.code), f.message, position(result.Offset()));
    }
    throw JSONParser::ParseError(static_cast<std::uint32_t>(result.Code()), rapidjson::GetParseError_En(result.Code()),
                                 position(result.Offset()));
  }
  // The reader stops at a zero byte as if the input ended there; whatever follows is extra content.
  if (stream.Tell() < bytes.size()) {
    throw JSONParser::ParseError(static_cast<std::uint32_t>(rapidjson::kParseErrorDocumentRootNotSingular),
                                 rapidjson::GetParseError_En(rapidjson::kParseErrorDocumentRootNotSingular),
                                 position(stream.Tell()));
  }
  if (!builder.hasRoot()) throw JSONParser::ParseError();
  return builder.takeRoot();
}

}  // namespace

Config JSONParser::parseToConfig(std::string_view bytes) {
  if (bytes.empty()) throw ParseError(0, "empty data", 0);
  try {
    return parseOnce(bytes, nullptr);
  } catch (const ParseError& e) {
    if (e.code != static_cast<std::uint32_t>(rapidjson::kParseErrorNumberTooBig) &&
        e.code != static_cast<std::uint32_t>(rapidjson::kParseErrorValueInvalid))
      throw;
    std::vector<Rewrite> rewrites;
    const std::string rewritten = rewriteForReader(bytes, rewrites);
    if (rewritten == bytes) throw;
    return parseOnce(rewritten, &rewrites);
  }
}

}  // namespace hub

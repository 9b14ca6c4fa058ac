#include "platform/System/JsonReader.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <vector>

#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>
#include <rapidjson/stream.h>

#include "platform/System/detail/Utf8.h"

namespace platform::json {

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

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
    // Far beyond any double either way; the clamp keeps the sum below from overflowing.
    exponent = std::clamp(exponent, -(1LL << 40), 1LL << 40);
  }
  return leading + exponent > 0;
}

// A number as the reader hands it over ("-12", "0.1", "1e400", "NaN", "-Infinity"); no value for
// what is no number: the reader lets a fraction or an exponent follow the inf and nan literals
// ("Inf.5", "NaNe5").
std::optional<Number> numberFromText(std::string_view text) {
  const bool minus = !text.empty() && text[0] == '-';
  const std::string_view body = text.substr(minus ? 1 : 0);
  auto real = [](double d) {
    Number n;
    n.kind = Number::Kind::real;
    n.real = d;
    return n;
  };
  auto integer = [](std::int64_t i) {
    Number n;
    n.integer = i;
    return n;
  };
  if (body.empty() || body[0] < '0' || body[0] > '9') {
    if (body == "NaN") return real(std::numeric_limits<double>::quiet_NaN());
    if (body == "Inf" || body == "Infinity") return real(minus ? -kInfinity : kInfinity);
    return std::nullopt;
  }
  if (body.size() <= 18) {  // the common case: an integer that cannot overflow
    std::int64_t v = 0;
    std::size_t k = 0;
    for (; k < body.size() && body[k] >= '0' && body[k] <= '9'; ++k) v = v * 10 + (body[k] - '0');
    // "-0" is negative zero, which only a real keeps: written back it spells "-0" again.
    if (k == body.size()) return minus && v == 0 ? real(-0.0) : integer(minus ? -v : v);
  }
  const char* first = text.data();
  const char* last = first + text.size();
  if (body.find_first_of(".eE") == std::string_view::npos) {
    if (minus) {
      std::int64_t i = 0;
      if (std::from_chars(first, last, i).ec == std::errc()) return integer(i);
    } else {
      std::uint64_t u = 0;
      if (std::from_chars(first, last, u).ec == std::errc()) {
        if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
          return integer(static_cast<std::int64_t>(u));
        Number n;
        n.kind = Number::Kind::unsignedInteger;
        n.unsignedInteger = u;
        return n;
      }
    }
    // Beyond 64 bits: read as a real.
  }
  double d = 0;
  if (std::from_chars(first, last, d).ec == std::errc::result_out_of_range) {
    const double beyond = aboveDoubleRange(text) ? kInfinity : 0.0;
    return real(minus ? -beyond : beyond);
  }
  return real(d);
}

// ---- Rewriting what the reader refuses --------------------------------------------------------

// The reader refuses some valid numbers: a very long integer part or a large exponent, even when
// the value is finite ("0e400") or beyond the double range (which reads as infinity). It also takes
// the inf and nan literals only as "Inf", "Infinity" and "NaN". When asked, such literals outside
// texts are rewritten into forms the reader takes, and the shifts recorded so that positions in
// the rewritten text map back to the input.
struct Rewrite {
  std::size_t originalEnd;  // where the literal ended in the input
  std::ptrdiff_t delta;     // rewritten length minus original length
};

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

// The literal in a form the reader takes, or no value when it takes the literal as written.
//   "1e400" => "Infinity", "0e400" => "0.0", "1(400 zeros)e-390" => "1e+10"
std::optional<std::string> readableNumber(std::string_view literal) {
  const bool minus = literal[0] == '-';
  const std::size_t exponentAt = literal.find_first_of("eE");
  const std::size_t integerDigits =
      std::min(literal.find('.'), std::min(exponentAt, literal.size())) - (minus ? 1 : 0);
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
  auto end = std::to_chars(buffer, buffer + sizeof buffer, d, std::chars_format::scientific).ptr;  // "1e+100"
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

std::string rewriteForReader(std::string_view in, bool anyCaseLiterals, std::vector<Rewrite>& rewrites) {
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
    } else if (std::string_view word = anyCaseLiterals ? infOrNanLiteral(in.substr(i)) : std::string_view();
               !word.empty()) {
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

// ---- Reading ----------------------------------------------------------------------------------

unsigned hex4(std::string_view s, std::size_t at) {
  unsigned value = 0;
  for (std::size_t k = at; k < at + 4 && k < s.size(); ++k) {
    char c = s[k];
    value = value * 16 + static_cast<unsigned>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
  }
  return value;
}

// Where in the source the text's byte `decoded` came from; the text starts at `start` (after its
// opening quote) and has been accepted by the reader, so every escape in it is complete.
std::size_t sourceOffset(std::string_view source, std::size_t start, std::size_t decoded) {
  std::size_t at = start, produced = 0;
  while (produced < decoded && at < source.size()) {
    if (source[at] != '\\') {
      ++at;
      ++produced;
    } else if (at + 1 < source.size() && source[at + 1] != 'u') {
      at += 2;
      ++produced;
    } else {
      unsigned unit = hex4(source, at + 2);
      if (unit >= 0xD800 && unit <= 0xDBFF) {  // a pair: four bytes
        at += 12;
        produced += 4;
      } else {
        at += 6;
        produced += unit < 0x80 ? 1 : unit < 0x800 ? 2 : 3;
      }
    }
  }
  return at;
}

// Passes the reader's events on, converting numbers and checking texts and depth.
class Relay {
 public:
  static constexpr std::size_t kUnknownOffset = std::numeric_limits<std::size_t>::max();

  Relay(ReadEvents& events, std::string_view source, const char* buffer, std::size_t maxDepth)
      : events_(events), source_(source), buffer_(buffer), maxDepth_(maxDepth) {}

  bool Null() { return (events_.null(), true); }
  bool Bool(bool b) { return (events_.boolean(b), true); }
  // Every number arrives as its text (kParseNumbersAsStringsFlag); the reader's own conversions
  // are never asked for.
  bool Int(int) { return false; }
  bool Uint(unsigned) { return false; }
  bool Int64(std::int64_t) { return false; }
  bool Uint64(std::uint64_t) { return false; }
  bool Double(double) { return false; }
  bool RawNumber(const char* s, rapidjson::SizeType length, bool) {
    auto number = numberFromText(std::string_view(s, length));
    if (!number) return fail(rapidjson::kParseErrorValueInvalid, offsetOf(s));
    events_.number(*number);
    return true;
  }
  bool String(const char* s, rapidjson::SizeType length, bool) {
    std::string_view text(s, length);
    if (!checkText(text)) return false;
    events_.string(text);
    return true;
  }
  bool Key(const char* s, rapidjson::SizeType length, bool) {
    std::string_view text(s, length);
    if (!checkText(text)) return false;
    events_.key(text);
    return true;
  }
  bool StartObject() {
    if (!open()) return false;
    events_.startObject();
    return true;
  }
  bool StartArray() {
    if (!open()) return false;
    events_.startArray();
    return true;
  }
  bool EndObject(rapidjson::SizeType count) {
    --depth_;
    events_.endObject(count);
    return true;
  }
  bool EndArray(rapidjson::SizeType count) {
    --depth_;
    events_.endArray(count);
    return true;
  }

  const std::optional<ReadFailure>& failure() const { return failure_; }

 private:
  std::size_t offsetOf(const char* s) const { return static_cast<std::size_t>(s - buffer_); }

  bool fail(rapidjson::ParseErrorCode code, std::size_t offset, std::string message = {}) {
    if (message.empty()) message = rapidjson::GetParseError_En(code);
    failure_ = ReadFailure{static_cast<unsigned>(code), std::move(message), offset};
    return false;
  }

  bool open() {
    if (++depth_ <= maxDepth_) return true;
    return fail(rapidjson::kParseErrorTermination, kUnknownOffset,
                "Nesting deeper than " + std::to_string(maxDepth_) + " arrays or objects.");
  }

  // The reader checks escapes but neither raw bytes nor an escaped lone low surrogate, which it
  // encodes as three bytes ("\udc00" => ED B0 80).
  bool checkText(std::string_view text) {
    const std::size_t bad = detail::invalidUtf8Offset(text);
    if (bad == std::string_view::npos) return true;
    const std::size_t at = sourceOffset(source_, offsetOf(text.data()), bad);
    if (at < source_.size() && source_[at] == '\\') return fail(rapidjson::kParseErrorStringUnicodeSurrogateInvalid, at);
    return fail(rapidjson::kParseErrorStringInvalidEncoding, at);
  }

  ReadEvents& events_;
  std::string_view source_;  // the text as given to the reader, before it decodes in place
  const char* buffer_;       // the copy it decodes in place; offsets are the same
  std::size_t maxDepth_;
  std::size_t depth_ = 0;
  std::optional<ReadFailure> failure_;
};

std::optional<ReadFailure> readOnce(std::string_view text, ReadEvents& events, const ReadOptions& options) {
  // In place: texts are decoded and numbers handed over inside one copy of the input.
  constexpr unsigned kFlags = rapidjson::kParseIterativeFlag | rapidjson::kParseNanAndInfFlag |
                              rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseInsituFlag;
  std::string buffer(text);  // zero-terminated, as the in-place stream needs
  rapidjson::InsituStringStream stream(buffer.data());
  Relay relay(events, text, buffer.data(), options.maxDepth);
  rapidjson::Reader reader;
  rapidjson::ParseResult result = reader.Parse<kFlags>(stream, relay);
  if (result.IsError()) {
    if (result.Code() == rapidjson::kParseErrorTermination && relay.failure()) {
      ReadFailure failure = *relay.failure();
      // Depth: the bracket just taken.
      if (failure.offset == Relay::kUnknownOffset) failure.offset = result.Offset() > 0 ? result.Offset() - 1 : 0;
      return failure;
    }
    return ReadFailure{static_cast<unsigned>(result.Code()), rapidjson::GetParseError_En(result.Code()),
                       result.Offset()};
  }
  // The reader stops at a zero byte as if the input ended there; whatever follows is extra content.
  if (stream.Tell() < text.size())
    return ReadFailure{static_cast<unsigned>(rapidjson::kParseErrorDocumentRootNotSingular),
                       rapidjson::GetParseError_En(rapidjson::kParseErrorDocumentRootNotSingular), stream.Tell()};
  return std::nullopt;
}

}  // namespace

std::optional<ReadFailure> readJson(std::string_view text, ReadEvents& events, const ReadOptions& options) {
  auto failure = readOnce(text, events, options);
  if (!failure || (failure->code != rapidjson::kParseErrorNumberTooBig && failure->code != rapidjson::kParseErrorValueInvalid))
    return failure;
  std::vector<Rewrite> rewrites;
  const std::string rewritten = rewriteForReader(text, options.anyCaseLiterals, rewrites);
  if (rewritten == text) return failure;
  events.restart();
  failure = readOnce(rewritten, events, options);
  if (failure) failure->offset = originalPosition(failure->offset, rewrites);
  return failure;
}

}  // namespace platform::json

#include "Hub/JSONParser.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

#include <rapidjson/error/en.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

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
  bool RawNumber(const char*, rapidjson::SizeType, bool) { return false; }  // not requested

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

// A number literal too large for a double reads as infinity (the reader itself rejects it).
// Rewrites every such literal as "Infinity" or "-Infinity" and records the shifts, so that
// positions in the rewritten text map back to the input.
struct Rewrite {
  std::size_t originalEnd;  // where the literal ended in the input
  std::ptrdiff_t delta;     // rewritten length minus original length
};

bool overflowsDouble(std::string_view literal) {
  double ignored = 0;
  auto [ptr, ec] = std::from_chars(literal.data(), literal.data() + literal.size(), ignored);
  if (ec != std::errc::result_out_of_range) return false;
  // Out of range either way: overflow when the decimal exponent of the leading digit is positive.
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

std::string rewriteHugeNumbers(std::string_view in, std::vector<Rewrite>& rewrites) {
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
    } else if (c == '-' || (c >= '0' && c <= '9')) {
      std::size_t j = i + 1;
      while (j < in.size() && std::strchr("0123456789.eE+-", in[j]) && in[j] != '\0') ++j;
      std::string_view literal = in.substr(i, j - i);
      if (overflowsDouble(literal)) {
        std::string_view replacement = literal[0] == '-' ? "-Infinity" : "Infinity";
        out.append(replacement);
        rewrites.push_back({j, static_cast<std::ptrdiff_t>(replacement.size()) - static_cast<std::ptrdiff_t>(literal.size())});
      } else {
        out.append(literal);
      }
      i = j;
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
  constexpr unsigned kFlags =
      rapidjson::kParseIterativeFlag | rapidjson::kParseNanAndInfFlag | rapidjson::kParseFullPrecisionFlag;
  auto position = [&](std::size_t offset) {
    return static_cast<std::int64_t>(rewrites ? originalPosition(offset, *rewrites) : offset);
  };
  rapidjson::MemoryStream stream(bytes.data(), bytes.size());
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
    if (e.code != static_cast<std::uint32_t>(rapidjson::kParseErrorNumberTooBig)) throw;
  }
  std::vector<Rewrite> rewrites;
  const std::string rewritten = rewriteHugeNumbers(bytes, rewrites);
  return parseOnce(rewritten, &rewrites);
}

}  // namespace hub

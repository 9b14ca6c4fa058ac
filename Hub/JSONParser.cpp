#include "Hub/JSONParser.h"

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

}  // namespace

Config JSONParser::parseToConfig(std::string_view bytes) {
  if (bytes.empty()) throw ParseError(0, "empty data", 0);
  constexpr unsigned kFlags =
      rapidjson::kParseIterativeFlag | rapidjson::kParseNanAndInfFlag | rapidjson::kParseFullPrecisionFlag;
  rapidjson::MemoryStream stream(bytes.data(), bytes.size());
  rapidjson::Reader reader;
  TreeBuilder builder;
  rapidjson::ParseResult result = reader.Parse<kFlags>(stream, builder);
  if (result.IsError()) {
    if (result.Code() == rapidjson::kParseErrorTermination && builder.failure()) {
      const auto& f = *builder.failure();
      throw ParseError(static_cast<std::uint32_t>(f.code), f.message, static_cast<std::int64_t>(result.Offset()));
    }
    throw ParseError(static_cast<std::uint32_t>(result.Code()), rapidjson::GetParseError_En(result.Code()),
                     static_cast<std::int64_t>(result.Offset()));
  }
  // The reader stops at a zero byte as if the input ended there; whatever follows is extra content.
  if (stream.Tell() < bytes.size()) {
    throw ParseError(static_cast<std::uint32_t>(rapidjson::kParseErrorDocumentRootNotSingular),
                     rapidjson::GetParseError_En(rapidjson::kParseErrorDocumentRootNotSingular),
                     static_cast<std::int64_t>(stream.Tell()));
  }
  if (!builder.hasRoot()) throw ParseError();
  return builder.takeRoot();
}

}  // namespace hub

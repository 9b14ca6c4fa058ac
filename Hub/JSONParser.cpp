#include "Hub/JSONParser.h"

#include <iterator>
#include <vector>

#include "platform/System/JsonReader.h"

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
// another, and a container takes its members off the stacks when it closes. Integers within 64
// signed bits stay integers; every other number becomes the nearest 32-bit float.
class TreeBuilder : public platform::json::ReadEvents {
 public:
  void restart() override {
    values_.clear();
    keys_.clear();
  }
  void null() override { values_.emplace_back(); }
  void boolean(bool b) override { values_.emplace_back(b); }
  void number(const platform::json::Number& n) override {
    using Kind = platform::json::Number::Kind;
    switch (n.kind) {
      case Kind::integer: values_.emplace_back(n.integer); break;
      case Kind::unsignedInteger: values_.emplace_back(static_cast<float>(n.unsignedInteger)); break;
      case Kind::real: values_.emplace_back(nearestFloat(n.real)); break;
    }
  }
  // The reader hands over well-formed UTF-8 only.
  void string(std::string_view s) override { values_.emplace_back(BinaryDistinctString::fromValidUtf8(std::string(s))); }
  void key(std::string_view s) override { keys_.push_back(BinaryDistinctString::fromValidUtf8(std::string(s))); }
  void startObject() override {}
  void startArray() override {}

  void endObject(std::size_t count) override {
    Config::Dictionary dictionary;
    dictionary.reserve(count);
    const std::size_t firstValue = values_.size() - count;
    const std::size_t firstKey = keys_.size() - count;
    // Document order, so that the last of repeated keys wins.
    for (std::size_t i = 0; i < count; ++i)
      dictionary.insert_or_assign(std::move(keys_[firstKey + i]), std::move(values_[firstValue + i]));
    values_.resize(firstValue);
    keys_.resize(firstKey);
    values_.emplace_back(std::move(dictionary));
  }

  void endArray(std::size_t count) override {
    const std::size_t first = values_.size() - count;
    Config::Array array(std::make_move_iterator(values_.begin() + static_cast<std::ptrdiff_t>(first)),
                        std::make_move_iterator(values_.end()));
    values_.resize(first);
    values_.emplace_back(std::move(array));
  }

  Config takeRoot() { return std::move(values_.back()); }
  bool hasRoot() const { return values_.size() == 1; }

 private:
  std::vector<Config> values_;
  std::vector<BinaryDistinctString> keys_;
};

}  // namespace

Config JSONParser::parseToConfig(std::string_view bytes) {
  if (bytes.empty()) throw ParseError(0, "empty data", 0);
  TreeBuilder builder;
  if (auto failure = platform::json::readJson(bytes, builder, {.maxDepth = kMaxDepth, .anyCaseLiterals = true}))
    throw ParseError(failure->code, failure->message, static_cast<std::int64_t>(failure->offset));
  if (!builder.hasRoot()) throw ParseError();
  return builder.takeRoot();
}

}  // namespace hub

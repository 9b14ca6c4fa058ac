#include "Hub/JSONParser.h"

#include <algorithm>
#include <cstdint>
#include <optional>
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

JSONParser::TreeTooLargeError::TreeTooLargeError(std::size_t limitBytes)
    : std::runtime_error("The document would take more than " + std::to_string(limitBytes >> 20) +
                         " MiB of memory as a configuration tree (the bound is " +
                         std::to_string(kTreeBytesPerDocumentByte) + " times its size, and at least " +
                         std::to_string(kMinTreeBytes >> 20) + " MiB); it is not read"),
      limitBytes(limitBytes) {}

namespace {

// What the tree holds in memory, in bytes, as the standard containers lay it out: a text's heap
// block beyond the in-place buffer, a dictionary's nodes and buckets, an array's element buffer
// (its capacity) and the blocks that share them. An estimate, close enough to keep a bound honest.
std::size_t heapBytesOfText(std::size_t length) { return length < 16 ? 0 : length + 1 + 16; }
constexpr std::size_t kBlock = 16;        // a heap block's own bookkeeping
constexpr std::size_t kSharedBlock = 32;  // the control block of a shared container
constexpr std::size_t kDictionaryNode = sizeof(BinaryDistinctString) + sizeof(Config) + 2 * sizeof(void*) + kBlock;
constexpr std::size_t kDictionary = sizeof(Config::Dictionary) + kSharedBlock + kBlock;
constexpr std::size_t kArray = sizeof(Config::Array) + kSharedBlock + 2 * kBlock;

// Builds the tree from the reader's events: an open array is filled in place as its elements
// finish; the members of open objects wait on two stacks and the dictionary is built with its
// final size when the object closes (a dictionary grown member by member lays its nodes out in an
// order that makes later lookups slower). Integers within 64 signed bits stay integers; every
// other number becomes the nearest 32-bit float. What the tree and the stacks take is charged as
// it grows; past the limit, TreeTooLargeError.
class TreeBuilder : public platform::json::ReadEvents {
 public:
  explicit TreeBuilder(std::size_t limitBytes) : limit_(limitBytes) {}

  void restart() override {
    open_.clear();
    keys_.clear();
    values_.clear();
    root_.reset();
    charged_ = 0;
  }
  void null() override { add(Config()); }
  void boolean(bool b) override { add(Config(b)); }
  void number(const platform::json::Number& n) override {
    using Kind = platform::json::Number::Kind;
    switch (n.kind) {
      case Kind::integer: add(Config(n.integer)); break;
      case Kind::unsignedInteger: add(Config(static_cast<float>(n.unsignedInteger))); break;
      case Kind::real: add(Config(nearestFloat(n.real))); break;
    }
  }
  // The reader hands over well-formed UTF-8 only.
  void string(std::string_view s) override {
    charge(heapBytesOfText(s.size()));
    add(Config(BinaryDistinctString::fromValidUtf8(std::string(s))));
  }
  void key(std::string_view s) override {
    charge(heapBytesOfText(s.size()));
    const std::size_t capacity = keys_.capacity();
    keys_.push_back(BinaryDistinctString::fromValidUtf8(std::string(s)));
    charge((keys_.capacity() - capacity) * sizeof(BinaryDistinctString));
  }
  void startObject() override { open_.emplace_back().isObject = true; }
  void startArray() override { open_.emplace_back(); }

  void endObject(std::size_t count) override {
    charge(kDictionary + count * (kDictionaryNode + sizeof(void*)));
    Config::Dictionary dictionary;
    dictionary.reserve(count);
    const std::size_t firstValue = values_.size() - count;
    const std::size_t firstKey = keys_.size() - count;
    // Document order, so that the last of repeated keys wins.
    for (std::size_t i = 0; i < count; ++i)
      dictionary.insert_or_assign(std::move(keys_[firstKey + i]), std::move(values_[firstValue + i]));
    values_.resize(firstValue);
    keys_.resize(firstKey);
    open_.pop_back();
    add(Config(std::move(dictionary)));
  }
  void endArray(std::size_t) override {
    charge(kArray);
    Config::Array array = std::move(open_.back().array);
    open_.pop_back();
    add(Config(std::move(array)));
  }

  Config takeRoot() { return std::move(*root_); }
  bool hasRoot() const { return root_.has_value() && open_.empty(); }

 private:
  struct Open {
    bool isObject = false;
    Config::Array array;  // of an open array
  };

  void charge(std::size_t bytes) {
    charged_ += bytes;
    if (charged_ > limit_) throw JSONParser::TreeTooLargeError(limit_);
  }

  // Into the innermost open array, or onto the stack of an open object's members. The stacks keep
  // their largest size until the end, so only their growth is charged.
  void add(Config value) {
    if (open_.empty()) {
      root_ = std::move(value);
      return;
    }
    std::vector<Config>& into = open_.back().isObject ? values_ : open_.back().array;
    const std::size_t capacity = into.capacity();
    into.push_back(std::move(value));
    charge((into.capacity() - capacity) * sizeof(Config));
  }

  std::vector<Open> open_;
  std::vector<BinaryDistinctString> keys_;  // of the members of open objects
  std::vector<Config> values_;
  std::optional<Config> root_;
  std::size_t limit_;
  std::size_t charged_ = 0;
};

}  // namespace

Config JSONParser::parseToConfig(std::string_view bytes) {
  if (bytes.empty()) throw ParseError(0, "empty data", 0);
  const std::size_t limit = bytes.size() > (SIZE_MAX - 1) / kTreeBytesPerDocumentByte
                                ? SIZE_MAX
                                : std::max(kMinTreeBytes, bytes.size() * kTreeBytesPerDocumentByte);
  TreeBuilder builder(limit);
  if (auto failure = platform::json::readJson(bytes, builder, {.maxDepth = kMaxDepth, .anyCaseLiterals = true}))
    throw ParseError(failure->code, failure->message, static_cast<std::int64_t>(failure->offset));
  if (!builder.hasRoot()) throw ParseError();
  return builder.takeRoot();
}

}  // namespace hub

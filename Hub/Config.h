// The configuration tree read from repository JSON files ("config.json", "tokenizer.json"):
// texts, integers, booleans, 32-bit floats, unordered dictionaries, arrays, (id, text) tokens and
// null. Reads never fail: a missing key or a value of another kind gives null, no value or the
// caller's default. Keys are asked for in camelCase and also found in snake_case ("modelType"
// finds "model_type"). Values are immutable; copies share dictionaries and arrays, so copying is
// cheap and a Config may be read from several threads.
//   config["model"]["vocab"].dictionary()->find("hello")
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "Hub/BinaryDistinct.h"

namespace platform::json {
class Value;
}
namespace jinja {
class Value;
}

namespace hub {

// Part of the library's error surface; no Config read raises it.
class ConfigError : public std::runtime_error {
 public:
  enum class Kind { typeMismatch, typeConversionFailed };
  ConfigError(Kind kind, const std::string& message) : std::runtime_error(message), kind(kind) {}
  Kind kind;
};

class Config {
 public:
  // In tag order.
  enum class Kind : std::uint8_t { string, integer, boolean, floating, dictionary, array, token, null };
  using Dictionary = BinaryDistinctMap<Config>;
  using Array = std::vector<Config>;
  struct Token {
    std::uint64_t id = 0;
    BinaryDistinctString text;
  };

  Config() = default;  // null
  Config(std::nullptr_t) {}
  Config(const char* text) : data_(BinaryDistinctString(text)) {}
  Config(std::string_view text) : data_(BinaryDistinctString(text)) {}
  Config(const std::string& text) : data_(BinaryDistinctString(text)) {}
  Config(BinaryDistinctString text) : data_(std::move(text)) {}
  Config(bool value) : data_(value) {}
  Config(int value) : data_(static_cast<std::int64_t>(value)) {}
  Config(long value) : data_(static_cast<std::int64_t>(value)) {}
  Config(long long value) : data_(static_cast<std::int64_t>(value)) {}
  Config(float value) : data_(value) {}
  Config(double value);  // the nearest 32-bit float
  Config(Dictionary dictionary);
  Config(Array array);
  Config(Token token) : data_(std::move(token)) {}
  // From texts to values; the keys are distinct already.
  explicit Config(const std::unordered_map<std::string, Config>& dictionary);

  // Pairs inserted in order; a repeated key replaces the earlier value.
  static Config dictionaryOf(std::initializer_list<std::pair<BinaryDistinctString, Config>> entries);
  static Config arrayOf(std::initializer_list<Config> elements);

  Kind kind() const { return static_cast<Kind>(data_.index()); }
  bool isNull() const { return kind() == Kind::null; }

  // The payload when the kind matches (BinaryDistinctString, std::int64_t, bool, float,
  // Dictionary, Array, Token), else nullptr.
  template <class T>
  const T* getIf() const;

  // ---- Lookups -------------------------------------------------------------------------------
  // On a dictionary: the entry under the key, else under uncamelCase(key), else null.
  // On any other kind: null. The result lives as long as this Config (or forever, for null).
  const Config& operator[](std::string_view key) const;
  const Config& operator[](const char* key) const { return (*this)[std::string_view(key)]; }
  const Config& operator[](const BinaryDistinctString& key) const { return (*this)[std::string_view(key.utf8())]; }
  // On an array: the element at a valid position, else null.
  const Config& operator[](int index) const { return element(index); }
  const Config& element(std::int64_t index) const;
  // The optional member lookup: nullptr when this is not a dictionary; otherwise the entry as
  // operator[] finds it (a present null when the key is missing).
  const Config* member(std::string_view key) const;

  // ---- Typed reads ---------------------------------------------------------------------------
  std::optional<std::string> string() const;
  std::string string(std::string defaultValue) const;
  std::optional<BinaryDistinctString> binaryDistinctString() const;
  BinaryDistinctString binaryDistinctString(BinaryDistinctString defaultValue) const;
  // An integer only; a floating value is not truncated.
  std::optional<std::int64_t> integer() const;
  std::int64_t integer(std::int64_t defaultValue) const;
  // A floating value, or an integer converted to the nearest float.
  std::optional<float> floating() const;
  float floating(float defaultValue) const;
  // boolean; integer 1 is true and every other integer false; the texts "true", "t", "1" and
  // "false", "f", "0" in any case; nothing else.
  std::optional<bool> boolean() const;
  bool boolean(bool defaultValue) const;
  const Dictionary* dictionary() const { return getIf<Dictionary>(); }
  Dictionary dictionary(Dictionary defaultValue) const;
  // The entries whose value is an integer.
  std::optional<BinaryDistinctMap<std::int64_t>> integerDictionary() const;
  const Array* array() const { return getIf<Array>(); }
  Array array(Array defaultValue) const;
  // An array's text elements in order, other elements skipped.
  std::optional<std::vector<std::string>> stringArray() const;
  std::vector<std::string> stringArray(std::vector<std::string> defaultValue) const;
  std::optional<std::vector<BinaryDistinctString>> binaryDistinctStringArray() const;
  std::vector<BinaryDistinctString> binaryDistinctStringArray(std::vector<BinaryDistinctString> defaultValue) const;
  // A token, or an array of exactly [text, non-negative integer] read as (integer, text).
  std::optional<std::pair<std::uint64_t, std::string>> token() const;
  std::pair<std::uint64_t, std::string> token(std::pair<std::uint64_t, std::string> defaultValue) const;

  // ---- Printing, equality, hashing -----------------------------------------------------------
  // "text" in quotes, 1, true, 0.1, {[key: value, ...]}, [[a, b]], (7, text), null.
  std::string description() const;
  // Loose across kinds: integer 1 equals true and 1.0; the text "t" equals true. Not an
  // equivalence (integer 2 equals false, false equals 0, 2 differs from 0), so hashes of values
  // equal across kinds differ; do not mix kinds in hashed containers.
  friend bool operator==(const Config& a, const Config& b);
  std::size_t hash() const;
  struct Hash {
    std::size_t operator()(const Config& c) const { return c.hash(); }
  };

  // ---- JSON ----------------------------------------------------------------------------------
  // The encoded form: scalars as themselves, dictionaries as objects, a token as [id, text].
  // Writing a non-finite float fails in the JSON writer (EncodingError).
  platform::json::Value toJson() const;
  // Decoding never fails: integer, float, boolean, text, then [id, text] token, array, object;
  // what cannot be read becomes null.
  static Config fromJson(const platform::json::Value& value);
  // The conversion of plain JSON data (as a JSON reader gives it): objects to dictionaries,
  // arrays, texts, whole numbers to integers, other numbers to floats, booleans, null.
  static Config convertToBinaryDistinctKeys(const platform::json::Value& value);

  // The template value of the tree: a float becomes the double of its shortest decimal text (0.1f
  // gives 0.1), a token {"<id>": text}; dictionary keys as texts, canonically equivalent ones
  // folded (the later wins). Never fails.
  jinja::Value jinjaValue() const;

 private:
  using Data = std::variant<BinaryDistinctString, std::int64_t, bool, float, std::shared_ptr<const Dictionary>,
                            std::shared_ptr<const Array>, Token, std::monostate>;
  Data data_{std::monostate{}};
};

// The snake_case form tried after a key as written: "modelType" => "model_type",
// "URLPath" => "urlpath", "v2Model" => "v2_model".
std::string uncamelCase(std::string_view key);

// The nearest 32-bit float to a double; out of range gives infinity.
float nearestFloat(double value);

template <class T>
const T* Config::getIf() const {
  if constexpr (std::is_same_v<T, Dictionary>) {
    auto* p = std::get_if<std::shared_ptr<const Dictionary>>(&data_);
    return p ? p->get() : nullptr;
  } else if constexpr (std::is_same_v<T, Array>) {
    auto* p = std::get_if<std::shared_ptr<const Array>>(&data_);
    return p ? p->get() : nullptr;
  } else {
    return std::get_if<T>(&data_);
  }
}

}  // namespace hub

template <>
struct std::hash<hub::Config> : hub::Config::Hash {};

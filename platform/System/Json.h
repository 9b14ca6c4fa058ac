// JSON values, reading and writing: the file formats of the engine, the archive and the containers.
// A `Value` is a plain tree that owns its children; objects keep their members in insertion order.
// `parse` (over JsonReader) reads with inf and nan literals and correctly rounded doubles, and rejects
// ill-formed UTF-8 and lone surrogates (ParseError). `write` reproduces the platform encoder's text
// byte for byte: compact or pretty (two-space indent, `"key" : value`), keys sorted when asked, "/" as
// "\/", non-ASCII raw, shortest round-trip numbers; a non-finite number or ill-formed UTF-8 throws
// EncodingError. Not thread-safe per value; distinct values are independent.
//   write(Value(Object{{"a", 1}}), {.pretty = true}) == "{\n  \"a\" : 1\n}"
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace platform::json {

class Value;
using Array = std::vector<Value>;
using Member = std::pair<std::string, Value>;
using Object = std::vector<Member>;

// A malformed document; `offset` is the byte position where reading stopped.
class ParseError : public std::runtime_error {
 public:
  ParseError(const std::string& message, std::size_t offset)
      : std::runtime_error(message), offset(offset) {}
  std::size_t offset;
};

// A value that has no JSON form (a non-finite number, a text that is not well-formed UTF-8).
class EncodingError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A well-formed document that does not have the shape a type expects.
// `what()` is the debug description ("Duplicate key at offset 2").
class DecodingError : public std::runtime_error {
 public:
  enum class Kind { typeMismatch, valueNotFound, keyNotFound, dataCorrupted };
  DecodingError(Kind kind, const std::string& message) : std::runtime_error(message), kind(kind) {}
  Kind kind;
};

class Value {
 public:
  enum class Kind { null, boolean, integer, unsignedInteger, floating, string, array, object };

  Value() = default;
  Value(std::nullptr_t) {}
  Value(bool b) : data_(b) {}
  Value(int i) : data_(static_cast<std::int64_t>(i)) {}
  Value(long i) : data_(static_cast<std::int64_t>(i)) {}
  Value(long long i) : data_(static_cast<std::int64_t>(i)) {}
  Value(unsigned i) : data_(static_cast<std::int64_t>(i)) {}
  Value(unsigned long i) : data_(static_cast<std::uint64_t>(i)) {}
  Value(unsigned long long i) : data_(static_cast<std::uint64_t>(i)) {}
  Value(double d) : data_(Floating{d, false}) {}
  // Written with the shortest text that round-trips through single precision ("0.1", not "0.10000000149011612").
  Value(float f) : data_(Floating{f, true}) {}
  Value(std::string s) : data_(std::move(s)) {}
  Value(std::string_view s) : data_(std::string(s)) {}
  Value(const char* s) : data_(std::string(s)) {}
  Value(Array a) : data_(std::move(a)) {}
  Value(Object o) : data_(std::move(o)) {}

  Kind kind() const;
  bool isNull() const { return kind() == Kind::null; }
  bool isNumber() const;

  // Typed reads; a value of another kind throws DecodingError(typeMismatch). Numbers convert between
  // kinds when the value is exactly representable (1.0 reads as the integer 1; 2^63 is no int64).
  bool asBool() const;
  std::int64_t asInt() const;
  std::uint64_t asUInt() const;
  double asDouble() const;
  float asFloat() const;
  const std::string& asString() const;
  const Array& asArray() const;
  Array& asArray();
  const Object& asObject() const;
  Object& asObject();
  bool isSinglePrecision() const;  // a floating value made from a float

  // Object members. `find` gives nullptr when absent; `at` throws DecodingError(keyNotFound)
  // "No value associated with key <key>". `set` replaces a member in place or appends it.
  const Value* find(std::string_view key) const;
  const Value& at(std::string_view key) const;
  Value& set(std::string key, Value value);

  friend bool operator==(const Value& a, const Value& b);

 private:
  struct Floating {
    double value;
    bool single;
  };
  std::variant<std::monostate, bool, std::int64_t, std::uint64_t, Floating, std::string, Array, Object> data_;
};

struct WriteOptions {
  bool pretty = false;         // newlines, two-space indent, "key" : value
  bool sortedKeys = false;     // object members in ascending byte order of their keys
  bool escapeSlashes = true;   // "/" written as "\/", as the platform encoder does by default
};

// Throws EncodingError for a non-finite number or a string or key that is not well-formed UTF-8.
std::string write(const Value& value, const WriteOptions& options = {});

// One document (a leading byte order mark skipped); trailing white space allowed, anything else
// after it is an error. At most 512 nested arrays and objects.
Value parse(std::string_view text);

// Reads and parses a whole file; an unreadable file, or one larger than `maxBytes` (refused before
// it is read), throws std::runtime_error naming it, a malformed one ParseError whose message names it.
Value parseFile(const std::string& path, std::size_t maxBytes = SIZE_MAX);

}  // namespace platform::json

// The runtime value of the template engine: one of ten cases (boolean, int, double, string, array,
// object, function, macro, null, undefined). A value type: copies share array, object, function and
// macro storage until one copy writes (copy on write), so a value may be read from several threads.
// Operators throw JinjaError (runtime case) naming both operands' printed forms; toJson throws
// platform::json::EncodingError for functions, fromJson platform::json::DecodingError.
//   Value::array({1, "a"}).description() == "[1, 'a']";  Value(7).floorDivide(Value(2)) == Value(3)
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "OrderedCollections/OrderedDictionary.h"
#include "platform/System/Json.h"
#include "templates/Hasher.h"
#include "templates/Macro.h"
#include "templates/detail/RenderMemory.h"

namespace jinja {

class Environment;
class Value;

using EnvironmentRef = std::shared_ptr<Environment>;
using Arguments = std::vector<Value>;
using KeywordArguments = std::unordered_map<std::string, Value, TextHash, TextEqual>;
// The calling form of every built-in, method and loop helper: positional, keyword, calling scope.
using Function = std::function<Value(const Arguments&, const KeywordArguments&, const EnvironmentRef&)>;

class Value {
 public:
  enum class Kind : std::uint8_t { boolean, int_, double_, string, array, object, function, macro, null, undefined };
  using Array = std::vector<Value>;
  using Object = collections::OrderedDictionary<std::string, Value, TextHash, TextEqual>;

  Value() : data_(Null{}) {}  // null
  Value(std::nullptr_t) : data_(Null{}) {}
  Value(bool b) : data_(b) {}
  Value(int i) : data_(static_cast<std::int64_t>(i)) {}
  Value(std::int64_t i) : data_(i) {}
  Value(double d) : data_(d) {}
  Value(std::string s) : data_(std::move(s)) {}
  Value(std::string_view s) : data_(std::string(s)) {}
  Value(const char* s) : data_(std::string(s)) {}
  Value(Array elements);
  Value(Object entries);
  Value(Function function);
  Value(Macro macro);
  explicit Value(std::shared_ptr<const Macro> macro);  // shares it; not null
  // A copy that runs out of memory throws std::bad_alloc and leaves both values as they were.
  Value(const Value& other) : data_(copied(other.data_)) {}
  Value(Value&&) noexcept = default;
  Value& operator=(const Value& other) {
    if (this != &other) data_ = copied(other.data_);
    return *this;
  }
  Value& operator=(Value&&) noexcept = default;
  ~Value() = default;

  static Value undefined() { Value v; v.data_ = Undefined{}; return v; }
  static Value array(std::initializer_list<Value> elements) { return Value(Array(elements)); }
  // Pairs in order; a repeated key replaces the earlier value at the first position.
  static Value object(std::initializer_list<std::pair<std::string, Value>> pairs);
  // Host data: JSON null, booleans, numbers, strings, arrays; objects get their keys in ascending
  // order. An unsigned number beyond the 64-bit signed range throws the conversion error.
  static Value fromAny(const platform::json::Value& host);

  Kind kind() const { return static_cast<Kind>(data_.index()); }
  bool isBoolean() const { return kind() == Kind::boolean; }
  bool isInt() const { return kind() == Kind::int_; }
  bool isDouble() const { return kind() == Kind::double_; }
  bool isString() const { return kind() == Kind::string; }
  bool isArray() const { return kind() == Kind::array; }
  bool isObject() const { return kind() == Kind::object; }
  bool isFunction() const { return kind() == Kind::function; }
  bool isMacro() const { return kind() == Kind::macro; }
  bool isNull() const { return kind() == Kind::null; }
  bool isUndefined() const { return kind() == Kind::undefined; }
  bool isIterable() const { return isString() || isArray() || isObject(); }
  bool isNumeric() const { return isInt() || isDouble(); }

  // Payload access; std::bad_variant_access for another case.
  bool asBool() const { return std::get<bool>(data_); }
  std::int64_t asInt() const { return std::get<std::int64_t>(data_); }
  double asDouble() const { return std::get<double>(data_); }
  const std::string& asString() const { return std::get<std::string>(data_); }
  const Array& asArray() const { return std::get<ArrayRef>(data_)->elements; }
  const Object& asObject() const { return std::get<ObjectRef>(data_)->entries; }
  const Function& asFunction() const { return *std::get<FunctionRef>(data_); }
  const Macro& asMacro() const { return *std::get<MacroRef>(data_); }
  // Writes into this array or object (unshared first); throws as the constructors do when the
  // value would nest too deeply.
  void append(Value element);
  void setMember(const std::string& key, Value value);
  // The stored member of this object, unshared first so that it can be written in place, or nullptr
  // without such a member. A write must keep the value's nesting (as a string's does).
  Value* memberForWriting(const std::string& key);
  // Levels of arrays and objects: 0 for a scalar, 1 for [1], 2 for [[1]].
  std::uint32_t depth() const;
  // int or double as a double.
  double toDouble() const;

  // What an output tag writes: "1.0", "[1, 'a']", "{k: v}", "" for null and undefined.
  std::string description() const;
  void appendDescription(std::string& out) const;
  bool isTruthy() const;
  // Strict equality: no cross-kind matches; strings by canonical equivalence.
  friend bool operator==(const Value& a, const Value& b);
  // Loose equality (the "==" operator): int and double compare as doubles, also inside containers.
  bool isEquivalent(const Value& other) const;
  void hash(Hasher& hasher) const;
  std::size_t hashValue() const;

  Value add(const Value& right) const;
  Value subtract(const Value& right) const;
  Value multiply(const Value& right) const;
  Value divide(const Value& right) const;
  Value floorDivide(const Value& right) const;
  Value power(const Value& right) const;
  Value modulo(const Value& right) const;
  Value concatenate(const Value& right) const;
  // For a string: appends what add and concatenate append to it (`right`'s text, or its printed
  // form), in place, with their size check; false, unchanged, for any other case.
  bool appendToString(const Value& right);
  // -1, 0 or 1; ints, doubles and strings only.
  int compare(const Value& right) const;
  bool isContained(const Value& container) const;

  // The JSON form: objects with their keys in ascending order, null and undefined as null.
  platform::json::Value toJson() const;
  static Value fromJson(const platform::json::Value& json);

  // The longest string that repetition, concatenation and joins may build (64 MiB), and the most
  // elements an array built by one operation may hold.
  static constexpr std::size_t maxStringBytes = std::size_t{64} << 20;
  static constexpr std::size_t maxArrayElements = std::size_t{1} << 22;
  // The deepest nesting of arrays and objects a value may have (JSON documents reach 512), so
  // printing, comparing and releasing values never recurse without bound.
  static constexpr std::uint32_t maxDepth = 512;

 private:
  struct Null {};
  struct Undefined {};
  // Each box charges the render's memory budget for its slots, keys and the strings it holds.
  struct ArrayBox {
    Array elements;
    std::uint32_t depth;
    detail::MemoryCharge charge;
  };
  struct ObjectBox {
    Object entries;
    std::uint32_t depth;
    detail::MemoryCharge charge;
  };
  using ArrayRef = std::shared_ptr<ArrayBox>;
  using ObjectRef = std::shared_ptr<ObjectBox>;
  using FunctionRef = std::shared_ptr<const Function>;
  using MacroRef = std::shared_ptr<const Macro>;
  using Data =
      std::variant<bool, std::int64_t, double, std::string, ArrayRef, ObjectRef, FunctionRef, MacroRef, Null, Undefined>;
  // The string is copied before the variant is made: the library's variant, counting this one as
  // never valueless, would destroy an alternative it never built when the copy throws.
  static Data copied(const Data& data) {
    if (const auto* text = std::get_if<std::string>(&data)) return Data(std::in_place_type<std::string>, std::string(*text));
    return data;  // the other alternatives copy without throwing
  }
  Data data_;
};

// Throws the runtime error for a string or array that would grow past the caps above, or for a
// container nested deeper than Value::maxDepth. checkStringSize is for a string about to be built,
// so it also requires room for it in the render's memory budget; checkStringCap only checks the cap
// (for a text whose bytes are charged already).
void checkStringSize(std::size_t bytes);
void checkStringCap(std::size_t bytes);
void checkArraySize(std::size_t elements);
void checkDepth(std::uint32_t depth);

}  // namespace jinja

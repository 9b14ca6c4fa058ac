// Dotted names on values and argument binding. Strings and objects answer a fixed set of methods
// as function values that hold a copy of their receiver; objects also expose their entries by key
// (the method names hide keys of the same name). Lookups never throw; calling a method binds its
// arguments with resolveCallArguments, whose errors (JinjaError, runtime case) are the argument
// errors of every built-in. Stateless and thread-safe.
//   PropertyMembers::evaluate("ab", "upper").asFunction()({}, {}, env) == Value("AB")
#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "templates/Value.h"
#include "templates/detail/SmallVector.h"

namespace jinja {

struct PropertyMembers {
  static Value evaluate(const Value& receiver, const std::string& name);
  static Value evaluateStringProperty(const std::string& receiver, const std::string& name);
  static Value evaluateObjectProperty(const Value::Object& receiver, const std::string& name);
  // The method names that hide an object's keys of the same name: items, get, keys, values.
  static bool isObjectMethod(std::string_view name);
  // Calls the string or object method `name` of `receiver` into `result` without making it a
  // function value; false, with nothing called, when the receiver has no such method.
  static bool callMethod(const Value& receiver, std::string_view name, const Arguments& args,
                         const KeywordArguments& kwargs, Value& result);
};

// No separator: split at spaces (U+0020) and drop empty pieces, ignoring the limit.
// "a,b,c" with "," and limit 1 => ["a", "b,c"]
std::vector<std::string> split(std::string_view text, const std::optional<std::string>& separator,
                               std::optional<std::int64_t> limit);

// Arguments by parameter name, keys by canonical equivalence. A flat list: calls bind a handful.
class BoundArguments {
 public:
  BoundArguments() = default;
  BoundArguments(std::initializer_list<std::pair<std::string, Value>> entries);
  // std::out_of_range when absent.
  const Value& at(std::string_view name) const;
  const Value* find(std::string_view name) const;
  std::size_t count(std::string_view name) const { return find(name) ? 1 : 0; }
  std::size_t size() const { return entries_.size(); }
  // Binds or rebinds `name`.
  void set(std::string_view name, Value value);
  void reserve(std::size_t entries) { entries_.reserve(entries); }

 private:
  detail::SmallVector<std::pair<std::string, Value>, 4> entries_;
};
// Binds positional arguments from `firstArgument` on to parameters in order (surplus ones dropped),
// then keywords, then defaults; every parameter ends up bound or the call throws.
BoundArguments resolveCallArguments(const Arguments& args, const KeywordArguments& kwargs,
                                    const std::vector<std::string>& parameters, const BoundArguments& defaults,
                                    std::size_t firstArgument = 0);

}  // namespace jinja

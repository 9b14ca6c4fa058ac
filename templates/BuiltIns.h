// The three process-wide tables of built-ins that templates reach by name: filters, tests and
// global functions. Each is built on first access under a thread-safe one-time initialisation and
// only read afterwards. Names are exact and case-sensitive. A table holds only the rows of the
// built-ins implemented so far; an absent name fails as any unknown name does. The scopes and the
// interpreter call through this header; the rows are defined in builtins/, above the interpreter.
//   if (const Function* upper = Filters::find("upper")) result = (*upper)({text}, {}, env);
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

#include "templates/Value.h"

namespace jinja {

using TestFunction = std::function<bool(const Arguments&, const KeywordArguments&, const EnvironmentRef&)>;

struct Filters {
  using Table = std::unordered_map<std::string, Function, TextHash, TextEqual>;
  static const Table& builtIn();
  static const Function* find(std::string_view name) { return find(HashedText(name)); }
  static const Function* find(const HashedText& name);
};

struct Tests {
  using Table = std::unordered_map<std::string, TestFunction, TextHash, TextEqual>;
  static const Table& builtIn();
  static const TestFunction* find(std::string_view name) { return find(HashedText(name)); }
  static const TestFunction* find(const HashedText& name);
};

struct Globals {
  using Table = std::unordered_map<std::string, Value, TextHash, TextEqual>;
  static const Table& builtIn();
  static const Value* find(const HashedText& name);
};

}  // namespace jinja

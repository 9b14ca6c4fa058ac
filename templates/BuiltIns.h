// The three process-wide tables of built-ins that templates reach by name: filters, tests and
// global functions. Each is built on first access under a thread-safe one-time initialisation and
// only read afterwards. Names are exact and case-sensitive. A table holds only the rows of the
// built-ins implemented so far; an absent name fails as any unknown name does.
//   if (const Function* upper = Filters::find("upper")) result = (*upper)({text}, {}, env);
#pragma once

#include <string>
#include <unordered_map>

#include "templates/Value.h"

namespace jinja {

using TestFunction = std::function<bool(const Arguments&, const KeywordArguments&, const EnvironmentRef&)>;

struct Filters {
  using Table = std::unordered_map<std::string, Function, TextHash, TextEqual>;
  static const Table& builtIn();
  static const Function* find(const std::string& name);
};

struct Tests {
  using Table = std::unordered_map<std::string, TestFunction, TextHash, TextEqual>;
  static const Table& builtIn();
  static const TestFunction* find(const std::string& name);
};

struct Globals {
  using Table = std::unordered_map<std::string, Value, TextHash, TextEqual>;
  static const Table& builtIn();
};

}  // namespace jinja

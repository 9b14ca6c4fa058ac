// A scope of template variables with an optional parent: lookup walks outwards, writing goes into
// this scope (or, with setInChain, the nearest scope holding the name, else the root). A root scope
// starts with every built-in global function. Shared by reference (EnvironmentRef); a child keeps
// its parent alive. No lock: one render's thread uses it. Never throws on lookup.
//   auto root = Environment::make();  auto loop = Environment::make(root);  (*loop)["x"]  // undefined
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

#include "templates/Value.h"

namespace jinja {

class Environment {
 public:
  using Variables = std::unordered_map<std::string, Value, TextHash, TextEqual>;

  explicit Environment(EnvironmentRef parent = nullptr, Variables initial = {});
  ~Environment();
  Environment(const Environment&) = delete;
  Environment& operator=(const Environment&) = delete;
  static EnvironmentRef make(EnvironmentRef parent = nullptr, Variables initial = {}) {
    return std::make_shared<Environment>(std::move(parent), std::move(initial));
  }

  // The nearest binding of `name`, or undefined.
  Value operator[](const std::string& name) const;
  // The nearest binding, or nullptr; no copy.
  const Value* find(const std::string& name) const;
  // Writes this scope's own variable.
  void set(const std::string& name, Value value) { variables[name] = std::move(value); }
  void setInChain(const std::string& name, Value value);
  const EnvironmentRef& parent() const { return parent_; }

  Variables variables;
  bool lstripBlocks = false;  // stored only; the line options act when compiling
  bool trimBlocks = false;

 private:
  EnvironmentRef parent_;
};

}  // namespace jinja

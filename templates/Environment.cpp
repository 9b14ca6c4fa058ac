#include "templates/Environment.h"

#include "templates/BuiltIns.h"

namespace jinja {

Environment::Environment(EnvironmentRef parent, Variables initial)
    : variables(std::move(initial)), parent_(std::move(parent)) {
  if (!parent_)
    for (const auto& [name, value] : Globals::builtIn()) variables[name] = value;
}

Environment::~Environment() {
  // Release a long chain of parents held only by us in a loop, not by nested destructors.
  EnvironmentRef next = std::move(parent_);
  while (next && next.use_count() == 1) {
    EnvironmentRef after = std::move(next->parent_);
    next.reset();
    next = std::move(after);
  }
}

const Value* Environment::find(const std::string& name) const {
  for (const Environment* scope = this; scope; scope = scope->parent_.get()) {
    auto it = scope->variables.find(name);
    if (it != scope->variables.end()) return &it->second;
  }
  return nullptr;
}

Value Environment::operator[](const std::string& name) const {
  const Value* value = find(name);
  return value ? *value : Value::undefined();
}

void Environment::setInChain(const std::string& name, Value value) {
  Environment* scope = this;
  while (true) {
    auto it = scope->variables.find(name);
    if (it != scope->variables.end()) {
      it->second = std::move(value);
      return;
    }
    if (!scope->parent_) break;
    scope = scope->parent_.get();
  }
  scope->variables[name] = std::move(value);
}

}  // namespace jinja

#include "templates/Environment.h"

#include "templates/BuiltIns.h"

namespace jinja {

Environment::Environment(EnvironmentRef parent, Variables initial)
    : variables(std::move(initial)), parent_(std::move(parent)) {
  if (!parent_ && !variables.empty())
    for (const auto& [name, value] : Globals::builtIn()) variables.erase(name);
}

EnvironmentRef Environment::over(const Variables& context) {
  EnvironmentRef root = make();
  root->context_ = &context;
  return root;
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

const Value* Environment::find(const HashedText& name) const {
  const Environment* scope = this;
  while (true) {
    auto it = scope->variables.find(name);
    if (it != scope->variables.end()) return &it->second;
    if (!scope->parent_) break;
    scope = scope->parent_.get();
  }
  if (const Value* global = Globals::find(name)) return global;
  if (scope->context_) {
    auto it = scope->context_->find(name);
    if (it != scope->context_->end()) return &it->second;
  }
  return nullptr;
}

Value Environment::operator[](std::string_view name) const {
  const Value* value = find(name);
  return value ? *value : Value::undefined();
}

void Environment::set(const HashedText& name, Value value) {
  auto it = variables.find(name);
  if (it != variables.end()) {
    it->second = std::move(value);
  } else {
    variables.emplace(std::string(name.text), std::move(value));
  }
}

void Environment::setInChain(const std::string& name, Value value) {
  const HashedText key(name);
  Environment* scope = this;
  while (true) {
    auto it = scope->variables.find(key);
    if (it != scope->variables.end()) {
      it->second = std::move(value);
      return;
    }
    if (!scope->parent_) break;
    scope = scope->parent_.get();
  }
  scope->set(key, std::move(value));
}

}  // namespace jinja

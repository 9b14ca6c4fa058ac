#include "templates/Environment.h"

#include "templates/BuiltIns.h"

namespace jinja {

const Value* Environment::Bindings::findPresent(const HashedText& name) const {
  for (const Entry& entry : entries_)
    if (entry.hash == name.hash && TextEqual{}(entry.name, name.text)) return &entry.value;
  return nullptr;
}

void Environment::Bindings::set(const HashedText& name, Value value) {
  const std::size_t text = value.isString() ? value.asString().size() : 0;
  if (Value* bound = find(name)) {
    const std::size_t old = bound->isString() ? bound->asString().size() : 0;
    charge_.grow(text);
    *bound = std::move(value);
    charge_.shrink(old);
    return;
  }
  charge_.grow(text);
  entries_.push_back(Entry{std::string(name.text), name.hash, std::move(value)});
  present_ |= bit(name.hash);
}

Environment::Environment(EnvironmentRef parent, const Variables& initial) : parent_(std::move(parent)) {
  for (const auto& [name, value] : initial) {
    const HashedText key(name);
    if (!parent_ && Globals::find(key)) continue;  // the globals shadow a root's initial variables
    variables.set(key, value);
  }
}

EnvironmentRef Environment::over(const Variables& context) {
  EnvironmentRef root = make();
  root->context_ = &context;
  return root;
}

EnvironmentRef Environment::rootFrom(const Environment& scope) {
  EnvironmentRef root = make();
  for (const Bindings::Entry& entry : scope.variables) {
    const HashedText key(entry.name, entry.hash);
    if (!Globals::find(key)) root->variables.set(key, entry.value);
  }
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
    if (const Value* bound = scope->variables.find(name)) return bound;
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
  if (value) return *value;
  return Value::undefined();
}

Value* Environment::findInScopes(const HashedText& name) {
  for (Environment* scope = this; scope; scope = scope->parent_.get())
    if (Value* bound = scope->variables.find(name)) return bound;
  return nullptr;
}

void Environment::setInChain(const std::string& name, Value value) {
  const HashedText key(name);
  Environment* scope = this;
  while (true) {
    if (Value* bound = scope->variables.find(key)) {
      *bound = std::move(value);
      return;
    }
    if (!scope->parent_) break;
    scope = scope->parent_.get();
  }
  scope->variables.set(key, std::move(value));
}

}  // namespace jinja

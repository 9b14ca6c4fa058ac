// A scope of template variables with an optional parent: lookup walks outwards, writing goes into
// this scope (or, with setInChain, the nearest scope holding the name, else the root). A root scope
// sees every built-in global function beneath its own variables (they shadow its initial ones) and,
// when made `over` a context, that context beneath the globals. Shared by reference
// (EnvironmentRef); a child keeps its parent alive. No lock: one render's thread uses it. Never
// throws on lookup. A pointer from find stays valid until the next write to that scope.
//   auto root = Environment::make();  auto loop = Environment::make(root);  (*loop)["x"]  // undefined
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "templates/Value.h"
#include "templates/detail/RenderMemory.h"
#include "templates/detail/SmallVector.h"

namespace jinja {

class Environment {
 public:
  using Variables = std::unordered_map<std::string, Value, TextHash, TextEqual>;

  // One scope's own variables in binding order, found by hash: a scope holds a handful.
  class Bindings {
   public:
    struct Entry {
      std::string name;
      std::size_t hash;  // TextHash of name
      Value value;
    };
    const Value* find(const HashedText& name) const {
      return present_ & bit(name.hash) ? findPresent(name) : nullptr;
    }
    Value* find(const HashedText& name) {
      return present_ & bit(name.hash) ? const_cast<Value*>(findPresent(name)) : nullptr;
    }
    std::size_t count(std::string_view name) const { return find(HashedText(name)) ? 1 : 0; }
    void set(const HashedText& name, Value value);
    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    const Entry* begin() const { return entries_.begin(); }
    const Entry* end() const { return entries_.end(); }

   private:
    static std::uint64_t bit(std::size_t hash) { return std::uint64_t{1} << (hash % 64); }
    const Value* findPresent(const HashedText& name) const;
    std::uint64_t present_ = 0;  // bit(hash) of every entry: most lookups miss without a scan
    detail::SmallVector<Entry, 4> entries_;
    detail::MemoryCharge charge_;  // the strings bound here, towards the render's memory budget
  };

  explicit Environment(EnvironmentRef parent = nullptr, const Variables& initial = {});
  ~Environment();
  Environment(const Environment&) = delete;
  Environment& operator=(const Environment&) = delete;
  static EnvironmentRef make(EnvironmentRef parent = nullptr, const Variables& initial = {}) {
    return std::make_shared<Environment>(std::move(parent), initial);
  }
  // A root scope that reads `context` in place (no copy) beneath the globals; writes go into the
  // scope's own variables. `context` must outlive the scope.
  static EnvironmentRef over(const Variables& context);
  // A new root scope holding copies of `scope`'s own variables (beneath the globals as ever).
  static EnvironmentRef rootFrom(const Environment& scope);

  // The nearest binding of `name`, or undefined.
  Value operator[](std::string_view name) const;
  // The nearest binding, or nullptr; no copy. The name is hashed once for the whole chain.
  const Value* find(std::string_view name) const { return find(HashedText(name)); }
  const Value* find(const HashedText& name) const;
  // Writes this scope's own variable.
  void set(std::string_view name, Value value) { variables.set(HashedText(name), std::move(value)); }
  void set(const HashedText& name, Value value) { variables.set(name, std::move(value)); }
  void setInChain(const std::string& name, Value value);
  // The nearest binding in this scope or a parent (not a global or a context entry), for writing
  // in place; nullptr when none.
  Value* findInScopes(const HashedText& name);
  const EnvironmentRef& parent() const { return parent_; }

  Bindings variables;  // this scope's own, without the globals and the context of a root
  bool lstripBlocks = false;  // stored only; the line options act when compiling
  bool trimBlocks = false;

 private:
  EnvironmentRef parent_;
  const Variables* context_ = nullptr;
};

}  // namespace jinja

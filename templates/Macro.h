// A macro value: what executing a `macro` statement binds (name, parameters, default expressions,
// body). Immutable; shares its body with the tree it came from. JSON decoding throws
// platform::json::DecodingError and puts the defaults in ascending key order.
//   {"name":"m","parameters":["x","y"],"defaults":{"y":{"integer":{"_0":2}}},"body":[...]}
#pragma once

#include <string>
#include <vector>

#include "templates/Ast.h"

namespace jinja {

class Macro {
 public:
  Macro(std::string name, std::vector<std::string> parameters, Expression::Map defaults, Nodes body);

  const std::string& name() const { return name_; }
  std::size_t nameHash() const { return nameHash_; }  // TextHash of name
  const std::vector<std::string>& parameters() const { return parameters_; }
  // TextHash of each parameter, in order.
  const std::vector<std::size_t>& parameterHashes() const { return parameterHashes_; }
  const Expression::Map& defaults() const { return defaults_; }
  const Nodes& body() const { return body_; }
  // Whether the body reads `varargs` (then a call's surplus positional arguments go there) or
  // `kwargs` (then its keywords that name no parameter); otherwise such arguments are an error.
  bool readsVarargs() const { return readsVarargs_; }
  bool readsKwargs() const { return readsKwargs_; }

  friend bool operator==(const Macro& a, const Macro& b);
  void hash(Hasher& hasher) const;
  std::size_t hashValue() const;
  platform::json::Value toJson() const;
  static Macro fromJson(const platform::json::Value& json);

 private:
  std::string name_;
  std::size_t nameHash_;
  std::vector<std::string> parameters_;
  std::vector<std::size_t> parameterHashes_;
  Expression::Map defaults_;
  Nodes body_;
  bool readsVarargs_ = false;
  bool readsKwargs_ = false;
};

}  // namespace jinja

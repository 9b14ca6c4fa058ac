#include "templates/Macro.h"

#include <algorithm>

namespace jinja {
namespace json = platform::json;

Macro::Macro(std::string name, std::vector<std::string> parameters, Expression::Map defaults, Nodes body)
    : name_(std::move(name)),
      nameHash_(TextHash{}(name_)),
      parameters_(std::move(parameters)),
      defaults_(std::move(defaults)),
      body_(std::move(body)) {
  parameterHashes_.reserve(parameters_.size());
  for (const std::string& p : parameters_) parameterHashes_.push_back(TextHash{}(p));
}

bool operator==(const Macro& a, const Macro& b) {
  // The statement of the same payload has the same structural equality.
  return Statement::macro(a.name_, a.parameters_, a.defaults_, a.body_) ==
         Statement::macro(b.name_, b.parameters_, b.defaults_, b.body_);
}

void Macro::hash(Hasher& hasher) const {
  hasher.combineText(name_);
  hasher.combine(parameters_.size());
  for (const std::string& p : parameters_) hasher.combineText(p);
  hasher.combine(defaults_.count());
  for (std::size_t i = 0; i < defaults_.count(); ++i) {
    hasher.combineText(defaults_.keys()[i]);
    defaults_.values()[i].hash(hasher);
  }
  hasher.combine(body_.size());
  for (const Node& node : body_) node.hash(hasher);
}

std::size_t Macro::hashValue() const {
  Hasher hasher;
  hash(hasher);
  return hasher.finalize();
}

json::Value Macro::toJson() const {
  json::Array parameters;
  for (const std::string& p : parameters_) parameters.emplace_back(p);
  // The defaults go through a keyword map, so the written order is not the definition's.
  Expression::KeywordMap keyword;
  for (std::size_t i = 0; i < defaults_.count(); ++i) keyword.insert_or_assign(defaults_.keys()[i], defaults_.values()[i]);
  json::Object defaults;
  for (const auto& [key, value] : keyword) defaults.emplace_back(key, value.toJson());
  json::Array body;
  for (const Node& node : body_) body.push_back(node.toJson());
  json::Object object;
  object.emplace_back("name", json::Value(name_));
  object.emplace_back("parameters", json::Value(std::move(parameters)));
  object.emplace_back("defaults", json::Value(std::move(defaults)));
  object.emplace_back("body", json::Value(std::move(body)));
  return json::Value(std::move(object));
}

Macro Macro::fromJson(const json::Value& json) {
  std::string name = json.at("name").asString();
  std::vector<std::string> parameters;
  for (const json::Value& p : json.at("parameters").asArray()) parameters.push_back(p.asString());
  Expression::KeywordMap keyword;
  for (const auto& [key, value] : json.at("defaults").asObject()) keyword.insert_or_assign(key, Expression::fromJson(value));
  std::vector<std::string> keys;
  for (const auto& entry : keyword) keys.push_back(entry.first);
  std::sort(keys.begin(), keys.end(), TextLess{});
  Expression::Map defaults;
  for (const std::string& key : keys) defaults.set(key, keyword.at(key));
  Nodes body;
  for (const json::Value& node : json.at("body").asArray()) body.push_back(Node::fromJson(node));
  return Macro(std::move(name), std::move(parameters), std::move(defaults), std::move(body));
}

}  // namespace jinja

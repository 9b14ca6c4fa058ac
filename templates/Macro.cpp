#include "templates/Macro.h"

#include <algorithm>

namespace jinja {
namespace json = platform::json;

namespace {

// Sets `varargs` and `kwargs` when a name of that spelling is read anywhere in the tree. Recursion
// depth is the tree's height, which the parser bounds.
struct NameReads {
  bool varargs = false;
  bool kwargs = false;

  void expressions(const std::vector<Expression>& list) {
    for (const Expression& e : list) expression(e);
  }
  void keywords(const Expression::KeywordMap& map) {
    for (const auto& [name, e] : map) expression(e);
  }
  void optional(const std::optional<Expression>& e) {
    if (e) expression(*e);
  }
  void expression(const Expression& e) {
    switch (e.kind()) {
      case Expression::Kind::identifier: {
        const std::string& name = e.as<Expression::Identifier>().name;
        varargs = varargs || name == "varargs";
        kwargs = kwargs || name == "kwargs";
        return;
      }
      case Expression::Kind::array: expressions(e.as<Expression::Array>().elements); return;
      case Expression::Kind::tuple: expressions(e.as<Expression::Tuple>().elements); return;
      case Expression::Kind::object:
        for (const Expression& value : e.as<Expression::Object>().entries.values()) expression(value);
        return;
      case Expression::Kind::unary: expression(e.as<Expression::Unary>().operand); return;
      case Expression::Kind::binary:
        expression(e.as<Expression::Binary>().left);
        expression(e.as<Expression::Binary>().right);
        return;
      case Expression::Kind::ternary: {
        const auto& t = e.as<Expression::Ternary>();
        expression(t.value);
        expression(t.test);
        optional(t.alternate);
        return;
      }
      case Expression::Kind::call: {
        const auto& c = e.as<Expression::Call>();
        expression(c.callee);
        expressions(c.args);
        keywords(c.kwargs);
        return;
      }
      case Expression::Kind::member: {
        const auto& m = e.as<Expression::Member>();
        expression(m.object);
        if (m.computed) expression(m.property);
        return;
      }
      case Expression::Kind::slice: {
        const auto& s = e.as<Expression::Slice>();
        expression(s.object);
        optional(s.start);
        optional(s.stop);
        optional(s.step);
        return;
      }
      case Expression::Kind::filter: {
        const auto& f = e.as<Expression::Filter>();
        expression(f.operand);
        expressions(f.args);
        keywords(f.kwargs);
        return;
      }
      case Expression::Kind::test:
        expression(e.as<Expression::Test>().operand);
        expressions(e.as<Expression::Test>().args);
        return;
      default: return;
    }
  }
  void nodes(const Nodes& list) {
    for (const Node& node : list) {
      if (node.kind() == Node::Kind::expression) expression(node.expression());
      if (node.kind() == Node::Kind::statement) statement(node.statement());
    }
  }
  void statement(const Statement& s) {
    switch (s.kind()) {
      case Statement::Kind::program: nodes(s.as<Statement::Program>().body); return;
      case Statement::Kind::set: {
        const auto& set = s.as<Statement::Set>();
        expression(set.target);
        optional(set.value);
        nodes(set.body);
        return;
      }
      case Statement::Kind::if_: {
        const auto& branch = s.as<Statement::If>();
        expression(branch.test);
        nodes(branch.body);
        nodes(branch.alternate);
        return;
      }
      case Statement::Kind::for_: {
        const auto& loop = s.as<Statement::For>();
        expression(loop.iterable);
        nodes(loop.body);
        nodes(loop.elseBody);
        optional(loop.test);
        return;
      }
      case Statement::Kind::macro: {
        const auto& m = s.as<Statement::Macro>();
        for (const Expression& value : m.defaults.values()) expression(value);
        nodes(m.body);
        return;
      }
      case Statement::Kind::call: {
        const auto& c = s.as<Statement::Call>();
        expression(c.callable);
        nodes(c.body);
        return;
      }
      case Statement::Kind::filter:
        expression(s.as<Statement::Filter>().filterExpr);
        nodes(s.as<Statement::Filter>().body);
        return;
      case Statement::Kind::generation: nodes(s.as<Statement::Generation>().body); return;
      default: return;
    }
  }
};

}  // namespace

Macro::Macro(std::string name, std::vector<std::string> parameters, Expression::Map defaults, Nodes body)
    : name_(std::move(name)),
      nameHash_(TextHash{}(name_)),
      parameters_(std::move(parameters)),
      defaults_(std::move(defaults)),
      body_(std::move(body)) {
  parameterHashes_.reserve(parameters_.size());
  for (const std::string& p : parameters_) parameterHashes_.push_back(TextHash{}(p));
  NameReads reads;
  reads.nodes(body_);
  readsVarargs_ = reads.varargs;
  readsKwargs_ = reads.kwargs;
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

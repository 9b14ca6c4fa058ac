#include "templates/Ast.h"

#include <algorithm>
#include <bit>
#include <initializer_list>
#include <ostream>

#include "templates/Macro.h"
#include "templates/Value.h"

namespace jinja {
namespace json = platform::json;

namespace {

constexpr std::array<std::string_view, 4> kUnaryRaw = {"not", "-", "+", "*"};
constexpr std::array<std::string_view, 18> kBinaryRaw = {"+",  "-",  "*", "/",  "//",  "**",  "%",   "~",  "==",
                                                         "!=", "<",  "<=", ">", ">=", "and", "or", "in", "not in"};
constexpr std::array<std::string_view, 17> kExpressionNames = {
    "string", "number", "integer", "boolean", "null",   "array",  "tuple", "object", "identifier",
    "unary",  "binary", "ternary", "call",    "member", "slice", "filter", "test"};
constexpr std::array<std::string_view, 10> kStatementNames = {"program", "set",      "if",   "for",    "macro",
                                                              "break",   "continue", "call", "filter", "generation"};
constexpr std::array<std::string_view, 4> kNodeNames = {"text", "expression", "statement", "comment"};
constexpr std::array<std::string_view, 2> kLoopVarNames = {"single", "tuple"};

template <class... Parts>
std::uint32_t heightOf(const Parts&... parts) {
  std::uint32_t height = 0;
  [[maybe_unused]] auto visit = [&height](const auto& part) {
    using T = std::decay_t<decltype(part)>;
    if constexpr (std::is_same_v<T, Expression>) {
      height = std::max(height, part.depth());
    } else if constexpr (std::is_same_v<T, std::optional<Expression>>) {
      if (part) height = std::max(height, part->depth());
    } else if constexpr (std::is_same_v<T, std::vector<Expression>>) {
      for (const Expression& e : part) height = std::max(height, e.depth());
    } else if constexpr (std::is_same_v<T, Expression::KeywordMap>) {
      for (const auto& entry : part) height = std::max(height, entry.second.depth());
    } else if constexpr (std::is_same_v<T, Expression::Map>) {
      for (const Expression& e : part.values()) height = std::max(height, e.depth());
    }
  };
  (visit(parts), ...);
  return height + 1;
}

// ---- equality ----------------------------------------------------------------------------------

bool same(const std::string& a, const std::string& b) { return TextEqual{}(a, b); }
bool same(double a, double b) { return a == b; }
bool same(std::int64_t a, std::int64_t b) { return a == b; }
bool same(bool a, bool b) { return a == b; }
bool same(Expression::UnaryOp a, Expression::UnaryOp b) { return a == b; }
bool same(Expression::BinaryOp a, Expression::BinaryOp b) { return a == b; }
bool same(const Expression& a, const Expression& b) { return a == b; }
bool same(const Node& a, const Node& b) { return a == b; }
bool same(const Statement::LoopVar& a, const Statement::LoopVar& b) { return a == b; }

template <class T>
bool same(const std::vector<T>& a, const std::vector<T>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (!same(a[i], b[i])) return false;
  return true;
}

template <class T>
bool same(const std::optional<T>& a, const std::optional<T>& b) {
  if (a.has_value() != b.has_value()) return false;
  return !a || same(*a, *b);
}

bool same(const Expression::Map& a, const Expression::Map& b) {
  if (a.count() != b.count()) return false;
  for (std::size_t i = 0; i < a.count(); ++i)
    if (!same(a.keys()[i], b.keys()[i]) || !same(a.values()[i], b.values()[i])) return false;
  return true;
}

bool same(const Expression::KeywordMap& a, const Expression::KeywordMap& b) {
  if (a.size() != b.size()) return false;
  for (const auto& [key, value] : a) {
    auto found = b.find(key);
    if (found == b.end() || !same(value, found->second)) return false;
  }
  return true;
}

// ---- hashing -----------------------------------------------------------------------------------

void feed(Hasher& h, const std::string& text) { h.combineText(text); }
void feed(Hasher& h, double value) { h.combine(std::bit_cast<std::uint64_t>(value == 0.0 ? 0.0 : value)); }
void feed(Hasher& h, std::int64_t value) { h.combine(static_cast<std::uint64_t>(value)); }
void feed(Hasher& h, bool flag) { h.combineByte(flag ? 1 : 0); }
void feed(Hasher& h, Expression::UnaryOp op) { h.combineText(rawValue(op)); }
void feed(Hasher& h, Expression::BinaryOp op) { h.combineText(rawValue(op)); }
void feed(Hasher& h, const Expression& e) { e.hash(h); }
void feed(Hasher& h, const Node& n) { n.hash(h); }
void feed(Hasher& h, const Statement::LoopVar& v) { v.hash(h); }

template <class T>
void feed(Hasher& h, const std::vector<T>& list) {
  h.combine(list.size());
  for (const T& element : list) feed(h, element);
}

template <class T>
void feed(Hasher& h, const std::optional<T>& value) {
  h.combineByte(value ? 1 : 0);
  if (value) feed(h, *value);
}

void feed(Hasher& h, const Expression::Map& map) {
  h.combine(map.count());
  for (std::size_t i = 0; i < map.count(); ++i) {
    feed(h, map.keys()[i]);
    feed(h, map.values()[i]);
  }
}

// Order-independent: each entry hashed by a copy of the current state, combined by xor.
void feed(Hasher& h, const Expression::KeywordMap& map) {
  std::uint64_t combined = 0;
  for (const auto& [key, value] : map) {
    Hasher entry = h;
    feed(entry, key);
    feed(entry, value);
    combined ^= entry.finalize();
  }
  h.combine(combined);
}

// ---- JSON --------------------------------------------------------------------------------------

json::Value encode(const std::string& text) { return json::Value(text); }
json::Value encode(double value) { return json::Value(value); }
json::Value encode(std::int64_t value) { return json::Value(static_cast<long long>(value)); }
json::Value encode(bool flag) { return json::Value(flag); }
json::Value encode(Expression::UnaryOp op) { return json::Value(rawValue(op)); }
json::Value encode(Expression::BinaryOp op) { return json::Value(rawValue(op)); }
json::Value encode(const Expression& e) { return e.toJson(); }
json::Value encode(const Node& n) { return n.toJson(); }
json::Value encode(const Statement::LoopVar& v) { return v.toJson(); }
json::Value encode(const Statement& s) { return s.toJson(); }

template <class T>
json::Value encode(const std::vector<T>& list) {
  json::Array array;
  array.reserve(list.size());
  for (const T& element : list) array.push_back(encode(element));
  return json::Value(std::move(array));
}

json::Value encode(const Expression::Map& map) {
  json::Array array;
  for (std::size_t i = 0; i < map.count(); ++i) {
    array.push_back(encode(map.keys()[i]));
    array.push_back(encode(map.values()[i]));
  }
  return json::Value(std::move(array));
}

json::Value encode(const Expression::KeywordMap& map) {
  json::Object object;
  for (const auto& [key, value] : map) object.emplace_back(key, encode(value));
  return json::Value(std::move(object));
}

// Members of a case payload in write order; absent optionals are left out.
class Payload {
 public:
  template <class T>
  Payload& add(std::string key, const T& value) {
    object_.emplace_back(std::move(key), encode(value));
    return *this;
  }
  template <class T>
  Payload& add(std::string key, const std::optional<T>& value) {
    if (value) object_.emplace_back(std::move(key), encode(*value));
    return *this;
  }
  json::Value wrap(std::string_view caseName) && {
    json::Object outer;
    outer.emplace_back(std::string(caseName), json::Value(std::move(object_)));
    return json::Value(std::move(outer));
  }

 private:
  json::Object object_;
};

// A variant's JSON form: exactly one member named after a case, whose value is an object.
struct VariantMember {
  std::size_t index;
  const json::Value& payload;
};

template <std::size_t N>
VariantMember readVariant(const json::Value& json, const std::array<std::string_view, N>& names) {
  const json::Value* payload = nullptr;
  std::size_t index = 0;
  int count = 0;
  for (const auto& [key, value] : json.asObject()) {
    for (std::size_t i = 0; i < N; ++i) {
      if (names[i] == key) {
        ++count;
        index = i;
        payload = &value;
      }
    }
  }
  if (count != 1)
    throw json::DecodingError(json::DecodingError::Kind::typeMismatch, "Invalid number of keys found, expected one.");
  payload->asObject();
  return {index, *payload};
}

template <class T, class Decode>
std::vector<T> decodeList(const json::Value& json, Decode decodeOne) {
  std::vector<T> out;
  const json::Array& array = json.asArray();
  out.reserve(array.size());
  for (const json::Value& element : array) out.push_back(decodeOne(element));
  return out;
}

template <class T> T decode(const json::Value& json);
template <> std::string decode(const json::Value& json) { return json.asString(); }
template <> double decode(const json::Value& json) { return json.asDouble(); }
template <> std::int64_t decode(const json::Value& json) { return json.asInt(); }
template <> bool decode(const json::Value& json) { return json.asBool(); }
template <> Expression decode(const json::Value& json) { return Expression::fromJson(json); }
template <> Node decode(const json::Value& json) { return Node::fromJson(json); }
template <> Statement::LoopVar decode(const json::Value& json) { return Statement::LoopVar::fromJson(json); }
template <> std::vector<Expression> decode(const json::Value& json) { return decodeList<Expression>(json, decode<Expression>); }
template <> std::vector<Node> decode(const json::Value& json) { return decodeList<Node>(json, decode<Node>); }
template <> std::vector<std::string> decode(const json::Value& json) { return decodeList<std::string>(json, decode<std::string>); }

template <> Expression::UnaryOp decode(const json::Value& json) {
  const std::string& text = json.asString();
  if (auto op = unaryOpFromRawValue(text)) return *op;
  throw json::DecodingError(json::DecodingError::Kind::dataCorrupted,
                            "Cannot initialize UnaryOp from invalid String value " + text);
}
template <> Expression::BinaryOp decode(const json::Value& json) {
  const std::string& text = json.asString();
  if (auto op = binaryOpFromRawValue(text)) return *op;
  throw json::DecodingError(json::DecodingError::Kind::dataCorrupted,
                            "Cannot initialize BinaryOp from invalid String value " + text);
}

// The ordered dictionary's own decoder, so a malformed pair list fails as it does everywhere.
template <> Expression::Map decode(const json::Value& json) { return Expression::Map::fromJsonValue(json); }

template <> Expression::KeywordMap decode(const json::Value& json) {
  Expression::KeywordMap map;
  for (const auto& [key, value] : json.asObject()) map.insert_or_assign(key, Expression::fromJson(value));
  return map;
}

template <class T>
T requiredField(const json::Value& payload, std::string_view key) {
  return decode<T>(payload.at(key));
}

template <class T>
std::optional<T> optionalField(const json::Value& payload, std::string_view key) {
  const json::Value* member = payload.find(key);
  if (member == nullptr || member->isNull()) return std::nullopt;
  return decode<T>(*member);
}

}  // namespace

// ---- operators ---------------------------------------------------------------------------------

std::string_view rawValue(Expression::UnaryOp op) { return kUnaryRaw[static_cast<std::size_t>(op)]; }
std::string_view rawValue(Expression::BinaryOp op) { return kBinaryRaw[static_cast<std::size_t>(op)]; }

std::optional<Expression::UnaryOp> unaryOpFromRawValue(std::string_view text) {
  for (std::size_t i = 0; i < kUnaryRaw.size(); ++i)
    if (kUnaryRaw[i] == text) return static_cast<Expression::UnaryOp>(i);
  return std::nullopt;
}

std::optional<Expression::BinaryOp> binaryOpFromRawValue(std::string_view text) {
  for (std::size_t i = 0; i < kBinaryRaw.size(); ++i)
    if (kBinaryRaw[i] == text) return static_cast<Expression::BinaryOp>(i);
  return std::nullopt;
}

const std::array<Expression::UnaryOp, 4>& allUnaryOps() {
  using Op = Expression::UnaryOp;
  static constexpr std::array<Op, 4> ops = {Op::not_, Op::minus, Op::plus, Op::splat};
  return ops;
}

const std::array<Expression::BinaryOp, 18>& allBinaryOps() {
  static const std::array<Expression::BinaryOp, 18> ops = [] {
    std::array<Expression::BinaryOp, 18> all{};
    for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<Expression::BinaryOp>(i);
    return all;
  }();
  return ops;
}

// ---- Expression --------------------------------------------------------------------------------

namespace {
template <class T, class... Parts>
std::shared_ptr<const Expression::Data> makeExpression(T payload, const Parts&... parts) {
  std::uint32_t depth = heightOf(parts...);
  return std::make_shared<const Expression::Data>(Expression::Data{std::move(payload), depth});
}
}  // namespace

Expression::Expression() : Expression(null()) {}

Expression Expression::string(std::string value) {
  auto constant = std::make_shared<const Value>(value);
  return Expression(makeExpression(String{std::move(value), std::move(constant)}));
}
Expression Expression::number(double value) { return Expression(makeExpression(Number{value})); }
Expression Expression::integer(std::int64_t value) { return Expression(makeExpression(Integer{value})); }
Expression Expression::boolean(bool value) { return Expression(makeExpression(Boolean{value})); }
Expression Expression::null() {
  static const std::shared_ptr<const Data> shared = makeExpression(Null{});
  return Expression(shared);
}
Expression Expression::array(std::vector<Expression> elements) {
  std::uint32_t depth = heightOf(elements);
  return Expression(std::make_shared<const Data>(Data{Array{std::move(elements)}, depth}));
}
Expression Expression::tuple(std::vector<Expression> elements) {
  std::uint32_t depth = heightOf(elements);
  return Expression(std::make_shared<const Data>(Data{Tuple{std::move(elements)}, depth}));
}
Expression Expression::object(Map entries) {
  std::uint32_t depth = heightOf(entries);
  return Expression(std::make_shared<const Data>(Data{Object{std::move(entries)}, depth}));
}
Expression Expression::identifier(std::string name) {
  std::size_t hash = TextHash{}(name);
  return Expression(makeExpression(Identifier{std::move(name), hash}));
}
Expression Expression::unary(UnaryOp op, Expression operand) {
  std::uint32_t depth = heightOf(operand);
  return Expression(std::make_shared<const Data>(Data{Unary{op, std::move(operand)}, depth}));
}
Expression Expression::binary(BinaryOp op, Expression left, Expression right) {
  std::uint32_t depth = heightOf(left, right);
  return Expression(std::make_shared<const Data>(Data{Binary{op, std::move(left), std::move(right)}, depth}));
}
Expression Expression::ternary(Expression value, Expression test, std::optional<Expression> alternate) {
  std::uint32_t depth = heightOf(value, test, alternate);
  return Expression(
      std::make_shared<const Data>(Data{Ternary{std::move(value), std::move(test), std::move(alternate)}, depth}));
}
Expression Expression::call(Expression callee, std::vector<Expression> args, KeywordMap kwargs) {
  std::uint32_t depth = heightOf(callee, args, kwargs);
  return Expression(
      std::make_shared<const Data>(Data{Call{std::move(callee), std::move(args), std::move(kwargs)}, depth}));
}
Expression Expression::member(Expression object, Expression property, bool computed) {
  std::uint32_t depth = heightOf(object, property);
  return Expression(std::make_shared<const Data>(Data{Member{std::move(object), std::move(property), computed}, depth}));
}
Expression Expression::slice(Expression object, std::optional<Expression> start, std::optional<Expression> stop,
                             std::optional<Expression> step) {
  std::uint32_t depth = heightOf(object, start, stop, step);
  return Expression(std::make_shared<const Data>(
      Data{Slice{std::move(object), std::move(start), std::move(stop), std::move(step)}, depth}));
}
Expression Expression::filter(Expression operand, std::string name, std::vector<Expression> args, KeywordMap kwargs) {
  std::uint32_t depth = heightOf(operand, args, kwargs);
  std::size_t hash = TextHash{}(name);
  return Expression(std::make_shared<const Data>(
      Data{Filter{std::move(operand), std::move(name), std::move(args), std::move(kwargs), hash}, depth}));
}
Expression Expression::test(Expression operand, std::string name, std::vector<Expression> args, bool negated) {
  std::uint32_t depth = heightOf(operand, args);
  std::size_t hash = TextHash{}(name);
  return Expression(std::make_shared<const Data>(
      Data{Test{std::move(operand), std::move(name), std::move(args), negated, hash}, depth}));
}

std::uint32_t Expression::depth() const { return data_->depth; }

bool operator==(const Expression& a, const Expression& b) {
  if (a.data_->value.index() != b.data_->value.index()) return false;
  return std::visit(
      [&b](const auto& x) -> bool {
        using T = std::decay_t<decltype(x)>;
        const T& y = std::get<T>(b.data_->value);
        if constexpr (std::is_same_v<T, Expression::String> || std::is_same_v<T, Expression::Number> ||
                      std::is_same_v<T, Expression::Integer> || std::is_same_v<T, Expression::Boolean>) {
          return same(x.value, y.value);
        } else if constexpr (std::is_same_v<T, Expression::Null>) {
          return true;
        } else if constexpr (std::is_same_v<T, Expression::Array> || std::is_same_v<T, Expression::Tuple>) {
          return same(x.elements, y.elements);
        } else if constexpr (std::is_same_v<T, Expression::Object>) {
          return same(x.entries, y.entries);
        } else if constexpr (std::is_same_v<T, Expression::Identifier>) {
          return same(x.name, y.name);
        } else if constexpr (std::is_same_v<T, Expression::Unary>) {
          return same(x.op, y.op) && same(x.operand, y.operand);
        } else if constexpr (std::is_same_v<T, Expression::Binary>) {
          return same(x.op, y.op) && same(x.left, y.left) && same(x.right, y.right);
        } else if constexpr (std::is_same_v<T, Expression::Ternary>) {
          return same(x.value, y.value) && same(x.test, y.test) && same(x.alternate, y.alternate);
        } else if constexpr (std::is_same_v<T, Expression::Call>) {
          return same(x.callee, y.callee) && same(x.args, y.args) && same(x.kwargs, y.kwargs);
        } else if constexpr (std::is_same_v<T, Expression::Member>) {
          return same(x.object, y.object) && same(x.property, y.property) && same(x.computed, y.computed);
        } else if constexpr (std::is_same_v<T, Expression::Slice>) {
          return same(x.object, y.object) && same(x.start, y.start) && same(x.stop, y.stop) && same(x.step, y.step);
        } else if constexpr (std::is_same_v<T, Expression::Filter>) {
          return same(x.operand, y.operand) && same(x.name, y.name) && same(x.args, y.args) && same(x.kwargs, y.kwargs);
        } else {
          return same(x.operand, y.operand) && same(x.name, y.name) && same(x.args, y.args) &&
                 same(x.negated, y.negated);
        }
      },
      a.data_->value);
}

void Expression::hash(Hasher& h) const {
  h.combine(data_->value.index());
  std::visit(
      [&h](const auto& x) {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, String> || std::is_same_v<T, Number> || std::is_same_v<T, Integer> ||
                      std::is_same_v<T, Boolean>) {
          feed(h, x.value);
        } else if constexpr (std::is_same_v<T, Null>) {
        } else if constexpr (std::is_same_v<T, Array> || std::is_same_v<T, Tuple>) {
          feed(h, x.elements);
        } else if constexpr (std::is_same_v<T, Object>) {
          feed(h, x.entries);
        } else if constexpr (std::is_same_v<T, Identifier>) {
          feed(h, x.name);
        } else if constexpr (std::is_same_v<T, Unary>) {
          feed(h, x.op), feed(h, x.operand);
        } else if constexpr (std::is_same_v<T, Binary>) {
          feed(h, x.op), feed(h, x.left), feed(h, x.right);
        } else if constexpr (std::is_same_v<T, Ternary>) {
          feed(h, x.value), feed(h, x.test), feed(h, x.alternate);
        } else if constexpr (std::is_same_v<T, Call>) {
          feed(h, x.callee), feed(h, x.args), feed(h, x.kwargs);
        } else if constexpr (std::is_same_v<T, Member>) {
          feed(h, x.object), feed(h, x.property), feed(h, x.computed);
        } else if constexpr (std::is_same_v<T, Slice>) {
          feed(h, x.object), feed(h, x.start), feed(h, x.stop), feed(h, x.step);
        } else if constexpr (std::is_same_v<T, Filter>) {
          feed(h, x.operand), feed(h, x.name), feed(h, x.args), feed(h, x.kwargs);
        } else {
          feed(h, x.operand), feed(h, x.name), feed(h, x.args), feed(h, x.negated);
        }
      },
      data_->value);
}

std::size_t Expression::hashValue() const {
  Hasher h;
  hash(h);
  return h.finalize();
}

json::Value Expression::toJson() const {
  std::string_view name = kExpressionNames[data_->value.index()];
  return std::visit(
      [name](const auto& x) -> json::Value {
        using T = std::decay_t<decltype(x)>;
        Payload p;
        if constexpr (std::is_same_v<T, String> || std::is_same_v<T, Number> || std::is_same_v<T, Integer> ||
                      std::is_same_v<T, Boolean>) {
          p.add("_0", x.value);
        } else if constexpr (std::is_same_v<T, Null>) {
        } else if constexpr (std::is_same_v<T, Array> || std::is_same_v<T, Tuple>) {
          p.add("_0", x.elements);
        } else if constexpr (std::is_same_v<T, Object>) {
          p.add("_0", x.entries);
        } else if constexpr (std::is_same_v<T, Identifier>) {
          p.add("_0", x.name);
        } else if constexpr (std::is_same_v<T, Unary>) {
          p.add("_0", x.op).add("_1", x.operand);
        } else if constexpr (std::is_same_v<T, Binary>) {
          p.add("_0", x.op).add("_1", x.left).add("_2", x.right);
        } else if constexpr (std::is_same_v<T, Ternary>) {
          p.add("_0", x.value).add("test", x.test).add("alternate", x.alternate);
        } else if constexpr (std::is_same_v<T, Call>) {
          p.add("_0", x.callee).add("_1", x.args).add("_2", x.kwargs);
        } else if constexpr (std::is_same_v<T, Member>) {
          p.add("_0", x.object).add("_1", x.property).add("computed", x.computed);
        } else if constexpr (std::is_same_v<T, Slice>) {
          p.add("_0", x.object).add("start", x.start).add("stop", x.stop).add("step", x.step);
        } else if constexpr (std::is_same_v<T, Filter>) {
          p.add("_0", x.operand).add("_1", x.name).add("_2", x.args).add("_3", x.kwargs);
        } else {
          p.add("_0", x.operand).add("_1", x.name).add("_2", x.args).add("negated", x.negated);
        }
        return std::move(p).wrap(name);
      },
      data_->value);
}

Expression Expression::fromJson(const json::Value& json) {
  auto [index, p] = readVariant(json, kExpressionNames);
  switch (static_cast<Kind>(index)) {
    case Kind::string: return string(requiredField<std::string>(p, "_0"));
    case Kind::number: return number(requiredField<double>(p, "_0"));
    case Kind::integer: return integer(requiredField<std::int64_t>(p, "_0"));
    case Kind::boolean: return boolean(requiredField<bool>(p, "_0"));
    case Kind::null: return null();
    case Kind::array: return array(requiredField<std::vector<Expression>>(p, "_0"));
    case Kind::tuple: return tuple(requiredField<std::vector<Expression>>(p, "_0"));
    case Kind::object: return object(requiredField<Map>(p, "_0"));
    case Kind::identifier: return identifier(requiredField<std::string>(p, "_0"));
    case Kind::unary: {
      auto op = requiredField<UnaryOp>(p, "_0");
      return unary(op, requiredField<Expression>(p, "_1"));
    }
    case Kind::binary: {
      auto op = requiredField<BinaryOp>(p, "_0");
      auto left = requiredField<Expression>(p, "_1");
      return binary(op, std::move(left), requiredField<Expression>(p, "_2"));
    }
    case Kind::ternary: {
      auto value = requiredField<Expression>(p, "_0");
      auto test = requiredField<Expression>(p, "test");
      return ternary(std::move(value), std::move(test), optionalField<Expression>(p, "alternate"));
    }
    case Kind::call: {
      auto callee = requiredField<Expression>(p, "_0");
      auto args = requiredField<std::vector<Expression>>(p, "_1");
      return call(std::move(callee), std::move(args), requiredField<KeywordMap>(p, "_2"));
    }
    case Kind::member: {
      auto object = requiredField<Expression>(p, "_0");
      auto property = requiredField<Expression>(p, "_1");
      return member(std::move(object), std::move(property), requiredField<bool>(p, "computed"));
    }
    case Kind::slice: {
      auto object = requiredField<Expression>(p, "_0");
      auto start = optionalField<Expression>(p, "start");
      auto stop = optionalField<Expression>(p, "stop");
      return slice(std::move(object), std::move(start), std::move(stop), optionalField<Expression>(p, "step"));
    }
    case Kind::filter: {
      auto operand = requiredField<Expression>(p, "_0");
      auto name = requiredField<std::string>(p, "_1");
      auto args = requiredField<std::vector<Expression>>(p, "_2");
      return filter(std::move(operand), std::move(name), std::move(args), requiredField<KeywordMap>(p, "_3"));
    }
    case Kind::test: {
      auto operand = requiredField<Expression>(p, "_0");
      auto name = requiredField<std::string>(p, "_1");
      auto args = requiredField<std::vector<Expression>>(p, "_2");
      return test(std::move(operand), std::move(name), std::move(args), requiredField<bool>(p, "negated"));
    }
  }
  return null();
}

// ---- Statement::LoopVar -----------------------------------------------------------------------

Statement::LoopVar::LoopVar(Kind kind, std::vector<std::string> names) : kind_(kind), names_(std::move(names)) {
  nameHashes_.reserve(names_.size());
  for (const std::string& name : names_) nameHashes_.push_back(TextHash{}(name));
}

bool operator==(const Statement::LoopVar& a, const Statement::LoopVar& b) {
  return a.kind_ == b.kind_ && same(a.names_, b.names_);
}

void Statement::LoopVar::hash(Hasher& h) const {
  h.combine(static_cast<std::uint64_t>(kind_));
  if (kind_ == Kind::single) feed(h, names_.front());
  else feed(h, names_);
}

json::Value Statement::LoopVar::toJson() const {
  Payload p;
  if (kind_ == Kind::single) p.add("_0", names_.front());
  else p.add("_0", names_);
  return std::move(p).wrap(kLoopVarNames[static_cast<std::size_t>(kind_)]);
}

Statement::LoopVar Statement::LoopVar::fromJson(const json::Value& json) {
  auto [index, p] = readVariant(json, kLoopVarNames);
  if (index == 0) return single(requiredField<std::string>(p, "_0"));
  return tuple(requiredField<std::vector<std::string>>(p, "_0"));
}

// ---- Statement ---------------------------------------------------------------------------------

namespace {
template <class T>
Statement::Data statementData(T payload) {
  return Statement::Data{std::move(payload)};
}
}  // namespace

Statement Statement::program(Nodes body) { return Statement(std::make_shared<const Data>(statementData(Program{std::move(body)}))); }
Statement Statement::set(Expression target, std::optional<Expression> value, Nodes body) {
  return Statement(std::make_shared<const Data>(statementData(Set{std::move(target), std::move(value), std::move(body)})));
}
Statement Statement::if_(Expression test, Nodes body, Nodes alternate) {
  return Statement(std::make_shared<const Data>(statementData(If{std::move(test), std::move(body), std::move(alternate)})));
}
Statement Statement::for_(LoopVar loopVar, Expression iterable, Nodes body, Nodes elseBody,
                          std::optional<Expression> test) {
  return Statement(std::make_shared<const Data>(statementData(
      For{std::move(loopVar), std::move(iterable), std::move(body), std::move(elseBody), std::move(test)})));
}
Statement Statement::macro(std::string name, std::vector<std::string> parameters, Expression::Map defaults, Nodes body) {
  auto value = std::make_shared<const jinja::Macro>(name, parameters, defaults, body);
  return Statement(std::make_shared<const Data>(statementData(
      Macro{std::move(name), std::move(parameters), std::move(defaults), std::move(body), std::move(value)})));
}
Statement Statement::break_() {
  static const std::shared_ptr<const Data> shared = std::make_shared<const Data>(statementData(Break{}));
  return Statement(shared);
}
Statement Statement::continue_() {
  static const std::shared_ptr<const Data> shared = std::make_shared<const Data>(statementData(Continue{}));
  return Statement(shared);
}
Statement Statement::call(Expression callable, std::optional<std::vector<Expression>> callerArgs, Nodes body) {
  return Statement(
      std::make_shared<const Data>(statementData(Call{std::move(callable), std::move(callerArgs), std::move(body)})));
}
Statement Statement::filter(Expression filterExpr, Nodes body) {
  return Statement(std::make_shared<const Data>(statementData(Filter{std::move(filterExpr), std::move(body)})));
}
Statement Statement::generation(Nodes body) {
  return Statement(std::make_shared<const Data>(statementData(Generation{std::move(body)})));
}

bool operator==(const Statement& a, const Statement& b) {
  if (a.data_->value.index() != b.data_->value.index()) return false;
  return std::visit(
      [&b](const auto& x) -> bool {
        using T = std::decay_t<decltype(x)>;
        const T& y = std::get<T>(b.data_->value);
        if constexpr (std::is_same_v<T, Statement::Program> || std::is_same_v<T, Statement::Generation>) {
          return same(x.body, y.body);
        } else if constexpr (std::is_same_v<T, Statement::Set>) {
          return same(x.target, y.target) && same(x.value, y.value) && same(x.body, y.body);
        } else if constexpr (std::is_same_v<T, Statement::If>) {
          return same(x.test, y.test) && same(x.body, y.body) && same(x.alternate, y.alternate);
        } else if constexpr (std::is_same_v<T, Statement::For>) {
          return same(x.loopVar, y.loopVar) && same(x.iterable, y.iterable) && same(x.body, y.body) &&
                 same(x.elseBody, y.elseBody) && same(x.test, y.test);
        } else if constexpr (std::is_same_v<T, Statement::Macro>) {
          return same(x.name, y.name) && same(x.parameters, y.parameters) && same(x.defaults, y.defaults) &&
                 same(x.body, y.body);
        } else if constexpr (std::is_same_v<T, Statement::Break> || std::is_same_v<T, Statement::Continue>) {
          return true;
        } else if constexpr (std::is_same_v<T, Statement::Call>) {
          return same(x.callable, y.callable) && same(x.callerArgs, y.callerArgs) && same(x.body, y.body);
        } else {
          return same(x.filterExpr, y.filterExpr) && same(x.body, y.body);
        }
      },
      a.data_->value);
}

void Statement::hash(Hasher& h) const {
  h.combine(data_->value.index());
  std::visit(
      [&h](const auto& x) {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, Program> || std::is_same_v<T, Generation>) {
          feed(h, x.body);
        } else if constexpr (std::is_same_v<T, Set>) {
          feed(h, x.target), feed(h, x.value), feed(h, x.body);
        } else if constexpr (std::is_same_v<T, If>) {
          feed(h, x.test), feed(h, x.body), feed(h, x.alternate);
        } else if constexpr (std::is_same_v<T, For>) {
          feed(h, x.loopVar), feed(h, x.iterable), feed(h, x.body), feed(h, x.elseBody), feed(h, x.test);
        } else if constexpr (std::is_same_v<T, Macro>) {
          feed(h, x.name), feed(h, x.parameters), feed(h, x.defaults), feed(h, x.body);
        } else if constexpr (std::is_same_v<T, Break> || std::is_same_v<T, Continue>) {
        } else if constexpr (std::is_same_v<T, Call>) {
          feed(h, x.callable), feed(h, x.callerArgs), feed(h, x.body);
        } else {
          feed(h, x.filterExpr), feed(h, x.body);
        }
      },
      data_->value);
}

std::size_t Statement::hashValue() const {
  Hasher h;
  hash(h);
  return h.finalize();
}

json::Value Statement::toJson() const {
  std::string_view name = kStatementNames[data_->value.index()];
  return std::visit(
      [name](const auto& x) -> json::Value {
        using T = std::decay_t<decltype(x)>;
        Payload p;
        if constexpr (std::is_same_v<T, Program> || std::is_same_v<T, Generation>) {
          p.add("_0", x.body);
        } else if constexpr (std::is_same_v<T, Set>) {
          p.add("target", x.target).add("value", x.value).add("body", x.body);
        } else if constexpr (std::is_same_v<T, If>) {
          p.add("_0", x.test).add("_1", x.body).add("_2", x.alternate);
        } else if constexpr (std::is_same_v<T, For>) {
          p.add("_0", x.loopVar).add("_1", x.iterable).add("_2", x.body).add("_3", x.elseBody).add("test", x.test);
        } else if constexpr (std::is_same_v<T, Macro>) {
          p.add("_0", x.name).add("_1", x.parameters).add("_2", x.defaults).add("_3", x.body);
        } else if constexpr (std::is_same_v<T, Break> || std::is_same_v<T, Continue>) {
        } else if constexpr (std::is_same_v<T, Call>) {
          p.add("callable", x.callable).add("callerArgs", x.callerArgs).add("body", x.body);
        } else {
          p.add("filterExpr", x.filterExpr).add("body", x.body);
        }
        return std::move(p).wrap(name);
      },
      data_->value);
}

Statement Statement::fromJson(const json::Value& json) {
  auto [index, p] = readVariant(json, kStatementNames);
  switch (static_cast<Kind>(index)) {
    case Kind::program: return program(requiredField<Nodes>(p, "_0"));
    case Kind::set: {
      auto target = requiredField<Expression>(p, "target");
      auto value = optionalField<Expression>(p, "value");
      return set(std::move(target), std::move(value), requiredField<Nodes>(p, "body"));
    }
    case Kind::if_: {
      auto test = requiredField<Expression>(p, "_0");
      auto body = requiredField<Nodes>(p, "_1");
      return if_(std::move(test), std::move(body), requiredField<Nodes>(p, "_2"));
    }
    case Kind::for_: {
      auto loopVar = requiredField<LoopVar>(p, "_0");
      auto iterable = requiredField<Expression>(p, "_1");
      auto body = requiredField<Nodes>(p, "_2");
      auto elseBody = requiredField<Nodes>(p, "_3");
      return for_(std::move(loopVar), std::move(iterable), std::move(body), std::move(elseBody),
                  optionalField<Expression>(p, "test"));
    }
    case Kind::macro: {
      auto name = requiredField<std::string>(p, "_0");
      auto parameters = requiredField<std::vector<std::string>>(p, "_1");
      auto defaults = requiredField<Expression::Map>(p, "_2");
      return macro(std::move(name), std::move(parameters), std::move(defaults), requiredField<Nodes>(p, "_3"));
    }
    case Kind::break_: return break_();
    case Kind::continue_: return continue_();
    case Kind::call: {
      auto callable = requiredField<Expression>(p, "callable");
      auto callerArgs = optionalField<std::vector<Expression>>(p, "callerArgs");
      return call(std::move(callable), std::move(callerArgs), requiredField<Nodes>(p, "body"));
    }
    case Kind::filter: {
      auto filterExpr = requiredField<Expression>(p, "filterExpr");
      return filter(std::move(filterExpr), requiredField<Nodes>(p, "body"));
    }
    case Kind::generation: return generation(requiredField<Nodes>(p, "_0"));
  }
  return break_();
}

// ---- Node --------------------------------------------------------------------------------------

Node Node::text(std::string text) { return Node(std::make_shared<const Data>(Data{Data::Text{std::move(text)}})); }
Node Node::expression(Expression expression) { return Node(std::make_shared<const Data>(Data{std::move(expression)})); }
Node Node::statement(Statement statement) { return Node(std::make_shared<const Data>(Data{std::move(statement)})); }
Node Node::comment(std::string text) { return Node(std::make_shared<const Data>(Data{Data::Comment{std::move(text)}})); }


bool operator==(const Node& a, const Node& b) {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case Node::Kind::text:
    case Node::Kind::comment: return same(a.text(), b.text());
    case Node::Kind::expression: return a.expression() == b.expression();
    case Node::Kind::statement: return a.statement() == b.statement();
  }
  return false;
}

void Node::hash(Hasher& h) const {
  h.combine(static_cast<std::uint64_t>(kind()));
  switch (kind()) {
    case Kind::text:
    case Kind::comment: feed(h, text()); break;
    case Kind::expression: expression().hash(h); break;
    case Kind::statement: statement().hash(h); break;
  }
}

std::size_t Node::hashValue() const {
  Hasher h;
  hash(h);
  return h.finalize();
}

json::Value Node::toJson() const {
  Payload p;
  switch (kind()) {
    case Kind::text:
    case Kind::comment: p.add("_0", text()); break;
    case Kind::expression: p.add("_0", expression()); break;
    case Kind::statement: p.add("_0", statement()); break;
  }
  return std::move(p).wrap(kNodeNames[static_cast<std::size_t>(kind())]);
}

Node Node::fromJson(const json::Value& json) {
  auto [index, p] = readVariant(json, kNodeNames);
  switch (static_cast<Kind>(index)) {
    case Kind::text: return text(requiredField<std::string>(p, "_0"));
    case Kind::expression: return expression(requiredField<Expression>(p, "_0"));
    case Kind::statement: return statement(Statement::fromJson(p.at("_0")));
    case Kind::comment: return comment(requiredField<std::string>(p, "_0"));
  }
  return text("");
}

std::ostream& operator<<(std::ostream& out, const Expression& expression) {
  return out << json::write(expression.toJson(), {.escapeSlashes = false});
}

std::ostream& operator<<(std::ostream& out, const Node& node) {
  return out << json::write(node.toJson(), {.escapeSlashes = false});
}

}  // namespace jinja

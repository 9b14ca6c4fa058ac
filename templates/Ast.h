// The syntax tree of a template: `Node`, `Expression`, `Statement` (with `Statement::LoopVar`).
// Each is an immutable handle to a shared, reference-counted payload: copying copies a reference,
// never a subtree, and any number of threads may read, compare, hash or encode one tree.
// Case payloads are plain structs read with `as<T>()` / `getIf<T>()` after asking `kind()`.
// Cases whose names are C++ keywords carry a trailing underscore (`Statement::Kind::if_`); their
// JSON names are the plain words. JSON decoding throws platform::json::DecodingError.
//   Expression::binary(BinaryOp::add, Expression::integer(1), Expression::identifier("x"))
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "OrderedCollections/OrderedDictionary.h"
#include "platform/System/Json.h"
#include "templates/Hasher.h"

namespace jinja {

class Node;
class Value;
class Macro;
using Nodes = std::vector<Node>;

class Expression {
 public:
  enum class Kind : std::uint8_t {
    string, number, integer, boolean, null, array, tuple, object, identifier,
    unary, binary, ternary, call, member, slice, filter, test,
  };
  enum class UnaryOp : std::uint8_t { not_, minus, plus, splat };
  enum class BinaryOp : std::uint8_t {
    add, subtract, multiply, divide, floorDivide, power, modulo, concat,
    equal, notEqual, less, lessEqual, greater, greaterEqual, and_, or_, in, notIn,
  };
  // Object literals and macro defaults: insertion-ordered, keys by canonical equivalence.
  using Map = collections::OrderedDictionary<std::string, Expression, TextHash, TextEqual>;
  // Keyword arguments of calls and filters: no order.
  using KeywordMap = std::unordered_map<std::string, Expression, TextHash, TextEqual>;

  struct String; struct Number; struct Integer; struct Boolean; struct Null; struct Array; struct Tuple;
  struct Object; struct Identifier; struct Unary; struct Binary; struct Ternary; struct Call; struct Member;
  struct Slice; struct Filter; struct Test;

  Expression();  // the null literal
  static Expression string(std::string value);
  static Expression number(double value);
  static Expression integer(std::int64_t value);
  static Expression boolean(bool value);
  static Expression null();
  static Expression array(std::vector<Expression> elements);
  static Expression tuple(std::vector<Expression> elements);
  static Expression object(Map entries);
  static Expression identifier(std::string name);
  static Expression unary(UnaryOp op, Expression operand);
  static Expression binary(BinaryOp op, Expression left, Expression right);
  static Expression ternary(Expression value, Expression test, std::optional<Expression> alternate);
  static Expression call(Expression callee, std::vector<Expression> args, KeywordMap kwargs);
  static Expression member(Expression object, Expression property, bool computed);
  static Expression slice(Expression object, std::optional<Expression> start, std::optional<Expression> stop,
                          std::optional<Expression> step);
  static Expression filter(Expression operand, std::string name, std::vector<Expression> args, KeywordMap kwargs);
  static Expression test(Expression operand, std::string name, std::vector<Expression> args, bool negated);

  Kind kind() const;
  template <class T> const T& as() const;     // std::bad_variant_access for another case
  template <class T> const T* getIf() const;  // nullptr for another case
  // Height of the tree: 1 for a leaf.
  std::uint32_t depth() const;

  friend bool operator==(const Expression& a, const Expression& b);
  void hash(Hasher& hasher) const;
  std::size_t hashValue() const;
  platform::json::Value toJson() const;
  static Expression fromJson(const platform::json::Value& json);

  struct Data;

 private:
  explicit Expression(std::shared_ptr<const Data> data) : data_(std::move(data)) {}
  std::shared_ptr<const Data> data_;
};

// "not", "-", "+", "*"; "+", "-", ..., "not in".
std::string_view rawValue(Expression::UnaryOp op);
std::string_view rawValue(Expression::BinaryOp op);
std::optional<Expression::UnaryOp> unaryOpFromRawValue(std::string_view text);
std::optional<Expression::BinaryOp> binaryOpFromRawValue(std::string_view text);
const std::array<Expression::UnaryOp, 4>& allUnaryOps();
const std::array<Expression::BinaryOp, 18>& allBinaryOps();

class Statement {
 public:
  enum class Kind : std::uint8_t { program, set, if_, for_, macro, break_, continue_, call, filter, generation };

  class LoopVar {
   public:
    enum class Kind : std::uint8_t { single, tuple };
    static LoopVar single(std::string name) { return LoopVar(Kind::single, {std::move(name)}); }
    static LoopVar tuple(std::vector<std::string> names) { return LoopVar(Kind::tuple, std::move(names)); }
    Kind kind() const { return kind_; }
    // One name for `single`, all of them for `tuple`.
    const std::vector<std::string>& names() const { return names_; }
    // TextHash of each name, in order.
    const std::vector<std::size_t>& nameHashes() const { return nameHashes_; }
    friend bool operator==(const LoopVar& a, const LoopVar& b);
    void hash(Hasher& hasher) const;
    platform::json::Value toJson() const;
    static LoopVar fromJson(const platform::json::Value& json);

   private:
    LoopVar(Kind kind, std::vector<std::string> names);
    Kind kind_;
    std::vector<std::string> names_;
    std::vector<std::size_t> nameHashes_;
  };

  struct Program; struct Set; struct If; struct For; struct Macro; struct Break; struct Continue;
  struct Call; struct Filter; struct Generation;

  static Statement program(Nodes body);
  static Statement set(Expression target, std::optional<Expression> value, Nodes body);
  static Statement if_(Expression test, Nodes body, Nodes alternate);
  static Statement for_(LoopVar loopVar, Expression iterable, Nodes body, Nodes elseBody,
                        std::optional<Expression> test);
  static Statement macro(std::string name, std::vector<std::string> parameters, Expression::Map defaults, Nodes body);
  static Statement break_();
  static Statement continue_();
  static Statement call(Expression callable, std::optional<std::vector<Expression>> callerArgs, Nodes body);
  static Statement filter(Expression filterExpr, Nodes body);
  static Statement generation(Nodes body);

  Kind kind() const;
  template <class T> const T& as() const;
  template <class T> const T* getIf() const;

  friend bool operator==(const Statement& a, const Statement& b);
  void hash(Hasher& hasher) const;
  std::size_t hashValue() const;
  platform::json::Value toJson() const;
  static Statement fromJson(const platform::json::Value& json);

  struct Data;

 private:
  explicit Statement(std::shared_ptr<const Data> data) : data_(std::move(data)) {}
  std::shared_ptr<const Data> data_;
};

class Node {
 public:
  enum class Kind : std::uint8_t { text, expression, statement, comment };

  static Node text(std::string text);
  static Node expression(Expression expression);
  static Node statement(Statement statement);
  static Node comment(std::string text);

  Kind kind() const;
  const std::string& text() const;            // of `text` and `comment`; std::bad_variant_access otherwise
  const Expression& expression() const;       // std::bad_variant_access for another case
  const Statement& statement() const;

  friend bool operator==(const Node& a, const Node& b);
  void hash(Hasher& hasher) const;
  std::size_t hashValue() const;
  platform::json::Value toJson() const;
  static Node fromJson(const platform::json::Value& json);

  struct Data;

 private:
  explicit Node(std::shared_ptr<const Data> data) : data_(std::move(data)) {}
  std::shared_ptr<const Data> data_;
};

// ---- payloads ----------------------------------------------------------------------------------

struct Expression::String {
  std::string value;
  std::shared_ptr<const Value> constant;  // `value` as a runtime value, made once for the renders
};
struct Expression::Number { double value; };
struct Expression::Integer { std::int64_t value; };
struct Expression::Boolean { bool value; };
struct Expression::Null {};
struct Expression::Array { std::vector<Expression> elements; };
struct Expression::Tuple { std::vector<Expression> elements; };
struct Expression::Object { Map entries; };
struct Expression::Identifier {
  std::string name;
  std::size_t nameHash;  // TextHash of name, for scope lookups
};
struct Expression::Unary { UnaryOp op; Expression operand; };
struct Expression::Binary { BinaryOp op; Expression left; Expression right; };
struct Expression::Ternary { Expression value; Expression test; std::optional<Expression> alternate; };
struct Expression::Call { Expression callee; std::vector<Expression> args; KeywordMap kwargs; };
struct Expression::Member { Expression object; Expression property; bool computed; };
struct Expression::Slice {
  Expression object;
  std::optional<Expression> start, stop, step;
};
struct Expression::Filter {
  Expression operand;
  std::string name;
  std::vector<Expression> args;
  KeywordMap kwargs;
  std::size_t nameHash;  // TextHash of name
};
struct Expression::Test {
  Expression operand;
  std::string name;
  std::vector<Expression> args;
  bool negated;
  std::size_t nameHash;  // TextHash of name
};

// Each Data keeps its case in front of the payload (the variant's own index sits after its largest
// case): evaluation reads the case of every node first, and the fields it reads next are near it.
struct Expression::Data {
  using Payload = std::variant<String, Number, Integer, Boolean, Null, Array, Tuple, Object, Identifier, Unary,
                               Binary, Ternary, Call, Member, Slice, Filter, Test>;
  Data(Payload payload, std::uint32_t depth)
      : kind(static_cast<Kind>(payload.index())), depth(depth), value(std::move(payload)) {}
  Kind kind;
  std::uint32_t depth;
  Payload value;
};

struct Statement::Program { Nodes body; };
struct Statement::Set { Expression target; std::optional<Expression> value; Nodes body; };
struct Statement::If { Expression test; Nodes body; Nodes alternate; };
struct Statement::For {
  LoopVar loopVar;
  Expression iterable;
  Nodes body;
  Nodes elseBody;
  std::optional<Expression> test;
};
struct Statement::Macro {
  std::string name;
  std::vector<std::string> parameters;
  Expression::Map defaults;  // only parameters written with a default, in source order
  Nodes body;
  // The macro value that executing the statement binds, built once with the tree (not part of its
  // equality, hash or JSON form).
  std::shared_ptr<const jinja::Macro> value;
};
struct Statement::Break {};
struct Statement::Continue {};
struct Statement::Call { Expression callable; std::optional<std::vector<Expression>> callerArgs; Nodes body; };
struct Statement::Filter { Expression filterExpr; Nodes body; };
struct Statement::Generation { Nodes body; };

struct Statement::Data {
  using Payload = std::variant<Program, Set, If, For, Macro, Break, Continue, Call, Filter, Generation>;
  explicit Data(Payload payload) : kind(static_cast<Kind>(payload.index())), value(std::move(payload)) {}
  Kind kind;
  Payload value;
};

struct Node::Data {
  struct Text { std::string value; };
  struct Comment { std::string value; };
  using Payload = std::variant<Text, Expression, Statement, Comment>;
  explicit Data(Payload payload) : kind(static_cast<Kind>(payload.index())), value(std::move(payload)) {}
  Kind kind;
  Payload value;
};

inline Expression::Kind Expression::kind() const { return data_->kind; }
inline Statement::Kind Statement::kind() const { return data_->kind; }
inline Node::Kind Node::kind() const { return data_->kind; }
inline const std::string& Node::text() const {
  if (const auto* comment = std::get_if<Data::Comment>(&data_->value)) return comment->value;
  return std::get<Data::Text>(data_->value).value;
}
inline const Expression& Node::expression() const { return std::get<Expression>(data_->value); }
inline const Statement& Node::statement() const { return std::get<Statement>(data_->value); }

template <class T> const T& Expression::as() const { return std::get<T>(data_->value); }
template <class T> const T* Expression::getIf() const { return std::get_if<T>(&data_->value); }
template <class T> const T& Statement::as() const { return std::get<T>(data_->value); }
template <class T> const T* Statement::getIf() const { return std::get_if<T>(&data_->value); }

std::ostream& operator<<(std::ostream& out, const Expression& expression);  // compact JSON form
std::ostream& operator<<(std::ostream& out, const Node& node);

}  // namespace jinja

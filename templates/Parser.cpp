#include "templates/Parser.h"

#include <bitset>
#include <charconv>
#include <cmath>
#include <initializer_list>
#include <string>
#include <utility>

#include "templates/JinjaError.h"

namespace jinja {
namespace {

using Kind = Token::Kind;
using BinaryOp = Expression::BinaryOp;
using UnaryOp = Expression::UnaryOp;

class KindSet {
 public:
  KindSet(std::initializer_list<Kind> kinds) {
    for (Kind k : kinds) bits_.set(static_cast<std::size_t>(k));
  }
  bool contains(Kind k) const { return bits_.test(static_cast<std::size_t>(k)); }

 private:
  std::bitset<Token::kindCount> bits_;
};

const KindSet& allowedAsIdentifier() {
  static const KindSet set = {Kind::identifier, Kind::if_,      Kind::for_,       Kind::in,        Kind::and_,
                              Kind::or_,        Kind::not_,     Kind::is,         Kind::else_,     Kind::set,
                              Kind::break_,     Kind::continue_, Kind::elif,      Kind::endif,     Kind::endfor,
                              Kind::endset,     Kind::macro,    Kind::endmacro,   Kind::call,      Kind::endcall,
                              Kind::filter,     Kind::endfilter, Kind::generation, Kind::endgeneration};
  return set;
}

const KindSet& primaryExpressionStarters() {
  static const KindSet set = {Kind::string,      Kind::identifier,  Kind::number,   Kind::boolean,
                              Kind::openParen,   Kind::openBracket, Kind::openBrace};
  return set;
}

// Kinds at which an expression parse takes at least one token; at any other it fails at once,
// having read nothing.
const KindSet& expressionStarters() {
  static const KindSet set = {Kind::string,    Kind::number,    Kind::boolean,   Kind::null,      Kind::identifier,
                              Kind::and_,      Kind::or_,       Kind::not_,      Kind::in,        Kind::is,
                              Kind::if_,       Kind::else_,     Kind::for_,      Kind::set,       Kind::break_,
                              Kind::continue_, Kind::multiply,  Kind::minus,     Kind::plus,      Kind::openParen,
                              Kind::openBracket, Kind::openBrace, Kind::elif,    Kind::endif,     Kind::endfor,
                              Kind::endset,    Kind::macro,     Kind::endmacro,  Kind::call,      Kind::endcall,
                              Kind::filter,    Kind::endfilter, Kind::generation, Kind::endgeneration};
  return set;
}

std::string recursiveMessage() { return "Recursive loops (for ... recursive) are not supported"; }

std::string nestingMessage() {
  return "Template nested too deeply (more than " + std::to_string(Parser::maxNesting) + " levels)";
}

// "42" => integer 42, "1.5" => number 1.5, "1." => number 1.0, "1e3" => number 1000.0. Literals that do not fit, or whose
// digits are not ASCII, are errors rather than zero.
Expression numberLiteral(std::string_view text) {
  const char* begin = text.data();
  const char* end = begin + text.size();
  if (text.find_first_of(".eE") != std::string_view::npos) {
    double value = 0;
    auto [ptr, ec] = std::from_chars(begin, end, value, std::chars_format::general);
    if (ec == std::errc::result_out_of_range && ptr == end) {
      // Too small to represent reads as zero; too large is an error.
      std::string_view whole = text.substr(0, text.find_first_of(".eE"));
      if (whole.find_first_not_of('0') == std::string_view::npos) return Expression::number(0.0);
      throw JinjaError::parser("Number literal out of range: " + std::string(text));
    }
    if (ec != std::errc() || ptr != end) throw JinjaError::parser("Invalid number literal: " + std::string(text));
    if (!std::isfinite(value)) throw JinjaError::parser("Number literal out of range: " + std::string(text));
    return Expression::number(value);
  }
  std::int64_t value = 0;
  auto [ptr, ec] = std::from_chars(begin, end, value, 10);
  if (ec == std::errc::result_out_of_range) throw JinjaError::parser("Integer literal out of range: " + std::string(text));
  if (ec != std::errc() || ptr != end) throw JinjaError::parser("Invalid number literal: " + std::string(text));
  return Expression::integer(value);
}

}  // namespace

class Parser::Impl {
 public:
  explicit Impl(std::vector<Token> tokens) : tokens_(std::move(tokens)) {}

  Nodes parseTemplate() {
    Nodes nodes;
    nodes.reserve(tokens_.size() / 3);
    while (current_ < tokens_.size() && peekKind() != Kind::eof) {
      Node node = parseNode();
      if (!appendMergingText(nodes, node) && !(node.kind() == Node::Kind::text && node.text().empty()))
        nodes.push_back(std::move(node));
    }
    return nodes;
  }

 private:
  // Counts one level of recursion for as long as it lives.
  class Level {
   public:
    explicit Level(Impl& parser) : parser_(parser) {
      if (++parser_.nesting_ > maxNesting) throw JinjaError::parser(nestingMessage());
    }
    ~Level() { --parser_.nesting_; }
    Level(const Level&) = delete;
    Level& operator=(const Level&) = delete;

   private:
    Impl& parser_;
  };

  // ---- cursor ----

  const Token& peek(std::size_t ahead = 0) const {
    static const Token end(Kind::eof, std::string_view(), 0);
    return current_ + ahead < tokens_.size() ? tokens_[current_ + ahead] : end;
  }
  Kind peekKind(std::size_t ahead = 0) const { return peek(ahead).kind(); }
  bool at(Kind kind) const { return peekKind() == kind; }
  void advance() { ++current_; }

  Token consume(Kind kind, const char* message) {
    const Token& next = peek();
    if (next.kind() != Kind::eof && next.kind() == kind) {
      ++current_;
      return next;
    }
    throw JinjaError::parser(std::string(message) + ". Got " + std::string(kindName(next.kind())) + " instead");
  }

  std::string consumeIdentifier() {
    const Token& next = peek();
    if (!allowedAsIdentifier().contains(next.kind()))
      throw JinjaError::parser("Expected identifier but found " + std::string(kindName(next.kind())) + ".");
    ++current_;
    return std::string(next.value());
  }

  // Expressions deeper than the limit would make every later walk over the tree recurse as deep.
  static Expression checked(Expression expression) {
    if (expression.depth() > maxNesting) throw JinjaError::parser(nestingMessage());
    return expression;
  }

  // ---- nodes and statements ----

  static bool appendMergingText(Nodes& nodes, const Node& node) {
    if (node.kind() != Node::Kind::text || nodes.empty() || nodes.back().kind() != Node::Kind::text) return false;
    nodes.back() = Node::text(nodes.back().text() + node.text());
    return true;
  }

  Node parseNode() {
    const Token& next = peek();
    switch (next.kind()) {
      case Kind::text: advance(); return Node::text(std::string(next.value()));
      case Kind::openExpression: {
        advance();
        Expression expression = parseTernary();
        consume(Kind::closeExpression, "Expected '}}' after expression.");
        return Node::expression(std::move(expression));
      }
      case Kind::openStatement: advance(); return Node::statement(parseStatement());
      case Kind::comment: advance(); return Node::comment(std::string(next.value()));
      case Kind::eof: return Node::text("");
      default: throw JinjaError::parser("Unexpected token type: " + std::string(kindName(next.kind())));
    }
  }

  Statement parseStatement() {
    Level level(*this);
    const Token& next = peek();
    switch (next.kind()) {
      case Kind::if_: advance(); return parseIfStatement();
      case Kind::for_: advance(); return parseForStatement();
      case Kind::set: advance(); return parseSetStatement();
      case Kind::macro: advance(); return parseMacroStatement();
      case Kind::call: advance(); return parseCallStatement();
      case Kind::filter: advance(); return parseFilterStatement();
      case Kind::generation: advance(); return parseGenerationStatement();
      case Kind::break_:
        advance();
        consume(Kind::closeStatement, "Expected '%}' after break.");
        return Statement::break_();
      case Kind::continue_:
        advance();
        consume(Kind::closeStatement, "Expected '%}' after continue.");
        return Statement::continue_();
      default: throw JinjaError::parser("Unknown statement: " + std::string(next.value()));
    }
  }

  Nodes parseNodesUntil(const KindSet& end) {
    Nodes nodes;
    while (current_ < tokens_.size()) {
      if (at(Kind::openStatement) && end.contains(peekKind(1))) break;
      if (at(Kind::eof)) break;
      Node node = parseNode();
      if (!appendMergingText(nodes, node)) nodes.push_back(std::move(node));
    }
    return nodes;
  }

  void closeBlock(Kind endKind, const char* openMessage, const char* endMessage, const char* closeMessage) {
    consume(Kind::openStatement, openMessage);
    consume(endKind, endMessage);
    consume(Kind::closeStatement, closeMessage);
  }

  Statement parseIfStatement() {
    static const KindSet bodyEnd = {Kind::elif, Kind::else_, Kind::endif};
    static const KindSet elseEnd = {Kind::endif};
    Expression test = parseTernary();
    consume(Kind::closeStatement, "Expected '%}' after if condition.");
    Nodes body = parseNodesUntil(bodyEnd);
    if (!at(Kind::openStatement)) throw JinjaError::parser("Unclosed if statement");
    advance();
    if (at(Kind::elif)) {
      advance();
      Level level(*this);  // each elif nests one level deeper
      Statement nested = parseIfStatement();
      return Statement::if_(std::move(test), std::move(body), {Node::statement(std::move(nested))});
    }
    Nodes alternate;
    if (at(Kind::else_)) {
      advance();
      consume(Kind::closeStatement, "Expected '%}' after else.");
      alternate = parseNodesUntil(elseEnd);
      consume(Kind::openStatement, "Expected '{%' for endif.");
    }
    consume(Kind::endif, "Expected 'endif'.");
    consume(Kind::closeStatement, "Expected '%}' after endif.");
    return Statement::if_(std::move(test), std::move(body), std::move(alternate));
  }

  void refuseRecursive() {
    if (at(Kind::identifier) && peek().value() == "recursive") throw JinjaError::parser(recursiveMessage());
  }

  Statement parseForStatement() {
    static const KindSet bodyEnd = {Kind::else_, Kind::endfor};
    static const KindSet elseEnd = {Kind::endfor};
    std::vector<std::string> names = {consumeIdentifier()};
    while (at(Kind::comma)) {
      advance();
      names.push_back(consumeIdentifier());
    }
    auto loopVar = names.size() == 1 ? Statement::LoopVar::single(std::move(names.front()))
                                     : Statement::LoopVar::tuple(std::move(names));
    consume(Kind::in, "Expected 'in' in for loop.");
    Expression iterable = parseFilter();
    refuseRecursive();
    std::optional<Expression> test;
    if (at(Kind::if_)) {
      advance();
      test = parseTernary();
      // `if x recursive` reads as the concatenation x ~ recursive.
      const auto* tail = test->getIf<Expression::Binary>();
      const auto* name = tail && tail->op == Expression::BinaryOp::concat ? tail->right.getIf<Expression::Identifier>() : nullptr;
      if (name && name->name == "recursive") throw JinjaError::parser(recursiveMessage());
    }
    consume(Kind::closeStatement, "Expected '%}' after for loop.");
    Nodes body = parseNodesUntil(bodyEnd);
    if (!at(Kind::openStatement)) throw JinjaError::parser("Unclosed for loop");
    advance();
    Nodes elseBody;
    if (at(Kind::else_)) {
      advance();
      consume(Kind::closeStatement, "Expected '%}' after else.");
      elseBody = parseNodesUntil(elseEnd);
      consume(Kind::openStatement, "Expected '{%' for endfor.");
    }
    consume(Kind::endfor, "Expected 'endfor'.");
    consume(Kind::closeStatement, "Expected '%}' after endfor.");
    return Statement::for_(std::move(loopVar), std::move(iterable), std::move(body), std::move(elseBody),
                           std::move(test));
  }

  Statement parseSetStatement() {
    static const KindSet end = {Kind::endset};
    Expression target = parseExpressionSequence();
    if (at(Kind::equals)) {
      advance();
      Expression value = parseExpressionSequence();
      consume(Kind::closeStatement, "Expected '%}' after set statement.");
      return Statement::set(std::move(target), std::move(value), {});
    }
    consume(Kind::closeStatement, "Expected '%}' after set statement.");
    Nodes body = parseNodesUntil(end);
    closeBlock(Kind::endset, "Expected '{%' for endset.", "Expected 'endset'.", "Expected '%}' after endset.");
    return Statement::set(std::move(target), std::nullopt, std::move(body));
  }

  Statement parseMacroStatement() {
    static const KindSet end = {Kind::endmacro};
    std::string name = consumeIdentifier();
    consume(Kind::openParen, "Expected '(' after macro name.");
    std::vector<std::string> parameters;
    Expression::Map defaults;
    if (!at(Kind::closeParen)) {
      while (true) {
        std::string parameter = consumeIdentifier();
        parameters.push_back(parameter);
        if (at(Kind::equals)) {
          advance();
          defaults.set(parameter, parseTernary());
        }
        if (!at(Kind::comma)) break;
        advance();
      }
    }
    consume(Kind::closeParen, "Expected ')' after macro parameters.");
    consume(Kind::closeStatement, "Expected '%}' after macro definition.");
    Nodes body = parseNodesUntil(end);
    closeBlock(Kind::endmacro, "Expected '{%' for endmacro.", "Expected 'endmacro'.", "Expected '%}' after endmacro.");
    return Statement::macro(std::move(name), std::move(parameters), std::move(defaults), std::move(body));
  }

  Statement parseCallStatement() {
    static const KindSet end = {Kind::endcall};
    std::optional<std::vector<Expression>> callerArgs;
    if (at(Kind::openParen)) {
      advance();
      callerArgs = parseArguments().first;
      consume(Kind::closeParen, "Expected ')' after caller arguments.");
    }
    Expression callable = parseTernary();
    consume(Kind::closeStatement, "Expected '%}' after call statement.");
    Nodes body = parseNodesUntil(end);
    closeBlock(Kind::endcall, "Expected '{%' for endcall.", "Expected 'endcall'.", "Expected '%}' after endcall.");
    return Statement::call(std::move(callable), std::move(callerArgs), std::move(body));
  }

  Statement parseFilterStatement() {
    static const KindSet end = {Kind::endfilter};
    Expression filterExpr = parseTernary();
    // "truncate(10)" => filter(null, "truncate", [10], {}), which the interpreter runs like "x | truncate(10)".
    if (const auto* call = filterExpr.getIf<Expression::Call>()) {
      if (const auto* name = call->callee.getIf<Expression::Identifier>())
        filterExpr = Expression::filter(Expression::null(), name->name, call->args, call->kwargs);
    }
    consume(Kind::closeStatement, "Expected '%}' after filter statement.");
    Nodes body = parseNodesUntil(end);
    closeBlock(Kind::endfilter, "Expected '{%' for endfilter.", "Expected 'endfilter'.",
               "Expected '%}' after endfilter.");
    return Statement::filter(std::move(filterExpr), std::move(body));
  }

  Statement parseGenerationStatement() {
    static const KindSet end = {Kind::endgeneration};
    consume(Kind::closeStatement, "Expected '%}' after generation statement.");
    Nodes body = parseNodesUntil(end);
    closeBlock(Kind::endgeneration, "Expected '{%' for endgeneration.", "Expected 'endgeneration'.",
               "Expected '%}' after endgeneration.");
    return Statement::generation(std::move(body));
  }

  // ---- expressions, loosest first ----

  Expression parseTernary() {
    Level level(*this);
    Expression value = parseOr();
    if (!at(Kind::if_)) return value;
    advance();
    Expression condition = parseOr();
    std::optional<Expression> alternate;
    if (at(Kind::else_)) {
      advance();
      alternate = parseTernary();
    }
    return checked(Expression::ternary(std::move(value), std::move(condition), std::move(alternate)));
  }

  Expression parseOr() {
    Expression left = parseAnd();
    while (at(Kind::or_)) {
      advance();
      left = checked(Expression::binary(BinaryOp::or_, std::move(left), parseAnd()));
    }
    return left;
  }

  Expression parseAnd() {
    Expression left = parseNot();
    while (at(Kind::and_)) {
      advance();
      left = checked(Expression::binary(BinaryOp::and_, std::move(left), parseNot()));
    }
    return left;
  }

  Expression parseNot() {
    if (!at(Kind::not_)) return parseComparison();
    Level level(*this);
    advance();
    return checked(Expression::unary(UnaryOp::not_, parseNot()));
  }

  Expression parseComparison() {
    Expression left = parseTerm();
    while (true) {
      std::optional<BinaryOp> op;
      switch (peekKind()) {
        case Kind::equal: op = BinaryOp::equal; break;
        case Kind::notEqual: op = BinaryOp::notEqual; break;
        case Kind::less: op = BinaryOp::less; break;
        case Kind::lessEqual: op = BinaryOp::lessEqual; break;
        case Kind::greater: op = BinaryOp::greater; break;
        case Kind::greaterEqual: op = BinaryOp::greaterEqual; break;
        case Kind::in: op = BinaryOp::in; break;
        default: break;
      }
      if (op) {
        advance();
        left = checked(Expression::binary(*op, std::move(left), parseTerm()));
      } else if (at(Kind::not_) && peekKind(1) == Kind::in) {
        advance();
        advance();
        left = checked(Expression::binary(BinaryOp::notIn, std::move(left), parseTerm()));
      } else if (at(Kind::is)) {
        advance();
        left = checked(parseTest(std::move(left)));
      } else {
        return left;
      }
    }
  }

  // After "is": [not] name [argument | (arguments)].
  Expression parseTest(Expression operand) {
    bool negated = false;
    if (at(Kind::not_)) {
      advance();
      negated = true;
    }
    std::string name;
    const Token& next = peek();
    if (next.kind() == Kind::boolean || next.kind() == Kind::null) {
      name = std::string(next.value());
      advance();
    } else if (next.kind() == Kind::identifier) {
      name = consumeIdentifier();
    } else {
      throw JinjaError::parser("Expected test name but found " + std::string(kindName(next.kind())) + ".");
    }
    std::vector<Expression> args;
    switch (peekKind()) {
      case Kind::string:
      case Kind::number:
      case Kind::boolean:
      case Kind::null:
      case Kind::identifier: args.push_back(parseConcat()); break;
      case Kind::openParen:
        advance();
        args = parseArguments().first;
        consume(Kind::closeParen, "Expected ')' after test arguments.");
        break;
      default: break;
    }
    return Expression::test(std::move(operand), std::move(name), std::move(args), negated);
  }

  Expression parseTerm() {
    Expression left = parseConcat();
    while (at(Kind::plus) || at(Kind::minus)) {
      BinaryOp op = at(Kind::plus) ? BinaryOp::add : BinaryOp::subtract;
      advance();
      left = checked(Expression::binary(op, std::move(left), parseConcat()));
    }
    return left;
  }

  // "'Hi ' name" concatenates as "'Hi ' ~ name" does.
  Expression parseConcat() {
    Expression left = parseFilter();
    while (true) {
      if (at(Kind::concat)) {
        advance();
      } else if (!primaryExpressionStarters().contains(peekKind())) {
        return left;
      }
      left = checked(Expression::binary(BinaryOp::concat, std::move(left), parseFilter()));
    }
  }

  Expression parseFilter() {
    Expression expression = parseFactor();
    while (at(Kind::pipe)) {
      advance();
      std::string name = consumeIdentifier();
      std::vector<Expression> args;
      Expression::KeywordMap kwargs;
      if (at(Kind::openParen)) {
        advance();
        std::tie(args, kwargs) = parseArguments();
        consume(Kind::closeParen, "Expected ')' after filter arguments.");
      }
      expression = checked(Expression::filter(std::move(expression), std::move(name), std::move(args), std::move(kwargs)));
    }
    return expression;
  }

  Expression parseFactor() {
    Expression left = parseExponent();
    while (true) {
      BinaryOp op;
      switch (peekKind()) {
        case Kind::multiply: op = BinaryOp::multiply; break;
        case Kind::divide: op = BinaryOp::divide; break;
        case Kind::floorDivide: op = BinaryOp::floorDivide; break;
        case Kind::modulo: op = BinaryOp::modulo; break;
        default: return left;
      }
      advance();
      left = checked(Expression::binary(op, std::move(left), parseExponent()));
    }
  }

  // Left-associative: "2 ** 3 ** 2" is (2 ** 3) ** 2.
  Expression parseExponent() {
    Expression left = parseUnary();
    while (at(Kind::power)) {
      advance();
      left = checked(Expression::binary(BinaryOp::power, std::move(left), parseUnary()));
    }
    return left;
  }

  Expression parseUnary() {
    if (!at(Kind::minus) && !at(Kind::plus)) return parseAccess();
    Level level(*this);
    UnaryOp op = at(Kind::minus) ? UnaryOp::minus : UnaryOp::plus;
    advance();
    return checked(Expression::unary(op, parseUnary()));
  }

  Expression parseAccess() {
    Expression expression = parsePrimary();
    while (true) {
      if (at(Kind::openParen)) {
        advance();
        auto [args, kwargs] = parseArguments();
        consume(Kind::closeParen, "Expected ')' after arguments.");
        expression = checked(Expression::call(std::move(expression), std::move(args), std::move(kwargs)));
      } else if (at(Kind::dot)) {
        advance();
        std::string name = consumeIdentifier();
        expression = checked(Expression::member(std::move(expression), Expression::identifier(std::move(name)), false));
      } else if (at(Kind::openBracket)) {
        advance();
        expression = checked(parseSubscript(std::move(expression)));
      } else {
        return expression;
      }
    }
  }

  // After "[": an index, or a slice with optional start, stop and step. A bound is absent when
  // no expression can begin at its place ("x[)]" is "Invalid subscript"); a bound that has begun
  // must parse, so "x[1 + :2]" is an error, not x[:2].
  Expression parseSubscript(Expression object) {
    std::optional<Expression> start;
    if (expressionStarters().contains(peekKind())) start = parseTernary();
    Expression result;
    if (at(Kind::colon)) {
      advance();
      std::optional<Expression> stop, step;
      if (expressionStarters().contains(peekKind())) stop = parseTernary();
      if (at(Kind::colon)) {
        advance();
        step = parseTernary();
      }
      result = Expression::slice(std::move(object), std::move(start), std::move(stop), std::move(step));
    } else {
      if (!start) throw JinjaError::parser("Invalid subscript");
      result = Expression::member(std::move(object), std::move(*start), true);
    }
    consume(Kind::closeBracket, "Expected ']' after index.");
    return result;
  }

  Expression parsePrimary() {
    const Token& next = peek();
    switch (next.kind()) {
      case Kind::string: advance(); return Expression::string(std::string(next.value()));
      case Kind::number: advance(); return numberLiteral(next.value());
      case Kind::boolean: advance(); return Expression::boolean(next.value() == "true" || next.value() == "True");
      case Kind::null: advance(); return Expression::null();
      case Kind::identifier:
      case Kind::and_:
      case Kind::or_:
      case Kind::not_:
      case Kind::in:
      case Kind::is:
      case Kind::if_:
      case Kind::else_:
      case Kind::for_:
      case Kind::set:
      case Kind::break_:
      case Kind::continue_:
      case Kind::elif:
      case Kind::endif:
      case Kind::endfor:
      case Kind::endset:
      case Kind::macro:
      case Kind::endmacro:
      case Kind::call:
      case Kind::endcall:
      case Kind::filter:
      case Kind::endfilter:
      case Kind::generation:
      case Kind::endgeneration: advance(); return Expression::identifier(std::string(next.value()));
      case Kind::multiply: {
        Level level(*this);
        advance();
        return checked(Expression::unary(UnaryOp::splat, parsePrimary()));
      }
      case Kind::openParen: advance(); return parseParenthesised();
      case Kind::openBracket: advance(); return parseArrayLiteral();
      case Kind::openBrace: advance(); return parseObjectLiteral();
      default: throw JinjaError::parser("Unexpected token for primary expression: " + std::string(kindName(next.kind())));
    }
  }

  // "()" empty tuple, "(a)" a itself, "(a,)" and "(a, b,)" tuples.
  Expression parseParenthesised() {
    if (at(Kind::closeParen)) {
      advance();
      return Expression::tuple({});
    }
    Expression first = parseTernary();
    if (!at(Kind::comma)) {
      consume(Kind::closeParen, "Expected ')' after expression.");
      return first;
    }
    advance();
    std::vector<Expression> elements = {std::move(first)};
    while (!at(Kind::closeParen)) {
      elements.push_back(parseTernary());
      if (!at(Kind::comma)) break;
      advance();
    }
    consume(Kind::closeParen, "Expected ')' after tuple.");
    return checked(Expression::tuple(std::move(elements)));
  }

  Expression parseArrayLiteral() {
    std::vector<Expression> elements;
    while (!at(Kind::closeBracket)) {
      elements.push_back(parseTernary());
      if (!at(Kind::comma)) break;
      advance();
    }
    consume(Kind::closeBracket, "Expected ']' after array literal.");
    return checked(Expression::array(std::move(elements)));
  }

  // {'a': 1, "b": 2}: a literal of string keys. A key written as any other expression ({k: 1},
  // {('a' ~ b): 2}) is evaluated, as the name's value rather than the name, and the literal is the
  // call dict([[k1, v1], [k2, v2]]), which requires string keys.
  Expression parseObjectLiteral() {
    Expression::Map entries;
    std::vector<Expression> pairs;
    bool computed = false;
    if (!at(Kind::closeBrace)) {
      while (true) {
        if (at(Kind::eof))
          throw JinjaError::parser("Expected string literal or identifier for object key. Got eof instead");
        const bool literal = at(Kind::string) && peekKind(1) == Kind::colon;
        Expression key = literal ? Expression::string(std::string(peek().value())) : parseTernary();
        if (literal) advance();
        else computed = true;
        consume(Kind::colon, "Expected ':' after object key.");
        Expression value = parseTernary();
        if (!computed) entries.set(key.as<Expression::String>().value, value);
        pairs.push_back(Expression::array({std::move(key), std::move(value)}));
        if (at(Kind::comma)) {
          advance();
          if (at(Kind::closeBrace)) break;
          continue;
        }
        break;
      }
    }
    consume(Kind::closeBrace, "Expected '}' after object literal.");
    if (computed) return checked(Expression::call(Expression::identifier("dict"), {checked(Expression::array(std::move(pairs)))}, {}));
    return checked(Expression::object(std::move(entries)));
  }

  // Just after "(": positional and keyword arguments; the ")" is left for the caller.
  std::pair<std::vector<Expression>, Expression::KeywordMap> parseArguments() {
    std::vector<Expression> positional;
    Expression::KeywordMap keyword;
    if (at(Kind::closeParen)) return {};
    while (true) {
      if (allowedAsIdentifier().contains(peekKind()) && peekKind(1) == Kind::equals) {
        std::string name(peek().value());
        advance();
        advance();
        keyword.insert_or_assign(std::move(name), parseTernary());
      } else {
        positional.push_back(parseTernary());
      }
      if (!at(Kind::comma)) break;
      advance();
    }
    return {std::move(positional), std::move(keyword)};
  }

  // "a, b" => tuple [a, b]; "a" => a.
  Expression parseExpressionSequence() {
    Expression first = parseTernary();
    if (!at(Kind::comma)) return first;
    std::vector<Expression> elements = {std::move(first)};
    while (at(Kind::comma)) {
      advance();
      elements.push_back(parseTernary());
    }
    return checked(Expression::tuple(std::move(elements)));
  }

  std::vector<Token> tokens_;
  std::size_t current_ = 0;
  std::uint32_t nesting_ = 0;
};

Nodes Parser::parse(std::vector<Token> tokens) { return Impl(std::move(tokens)).parseTemplate(); }

}  // namespace jinja

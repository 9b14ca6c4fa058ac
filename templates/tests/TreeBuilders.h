// Short builders for expected syntax trees in tests.
#pragma once

#include <string>
#include <vector>

#include "templates/Ast.h"

namespace jinja::testing_trees {

using E = Expression;
using B = Expression::BinaryOp;
using U = Expression::UnaryOp;

inline E I(std::int64_t v) { return E::integer(v); }
inline E D(double v) { return E::number(v); }
inline E S(std::string v) { return E::string(std::move(v)); }
inline E Id(std::string v) { return E::identifier(std::move(v)); }
inline E Bin(B op, E l, E r) { return E::binary(op, std::move(l), std::move(r)); }
inline E Un(U op, E x) { return E::unary(op, std::move(x)); }
inline E Dot(E o, std::string name) { return E::member(std::move(o), Id(std::move(name)), false); }
inline E Index(E o, E key) { return E::member(std::move(o), std::move(key), true); }
inline E Call(E f, std::vector<E> args = {}, E::KeywordMap kw = {}) { return E::call(std::move(f), std::move(args), std::move(kw)); }
inline E Filt(E x, std::string name, std::vector<E> args = {}, E::KeywordMap kw = {}) {
  return E::filter(std::move(x), std::move(name), std::move(args), std::move(kw));
}
inline E Is(E x, std::string name, std::vector<E> args = {}, bool negated = false) {
  return E::test(std::move(x), std::move(name), std::move(args), negated);
}
inline E::Map Obj(std::vector<std::pair<std::string, E>> entries) {
  E::Map map;
  for (auto& [k, v] : entries) map.set(k, v);
  return map;
}
inline Node Text(std::string t) { return Node::text(std::move(t)); }
inline Node Out(E e) { return Node::expression(std::move(e)); }
inline Node Stmt(Statement s) { return Node::statement(std::move(s)); }

}  // namespace jinja::testing_trees

// Tokens to the syntax tree: a recursive-descent parser with one token of lookahead (two after
// "{%"). Stateless between calls; safe on any thread. Throws JinjaError (parser case).
// Nesting, of statements and of expressions alike, is limited to `maxNesting` levels, so hostile
// input cannot exhaust the stack here or in the code that walks the tree: the deepest accepted
// template parses in under 200 KiB of stack, and its JSON form (five levels per nested block)
// stays within the JSON reader's 512 levels.
// The call form of a filter block, `{% filter truncate(10) %}`, is stored in the pipe form's shape,
// filter(null, "truncate", [10], {}): the operand is a placeholder for the block's text.
//   Parser::parse(Lexer::tokenize("Hi {{ name }}")) => [text "Hi ", expression identifier "name"]
#pragma once

#include <cstdint>
#include <vector>

#include "templates/Ast.h"
#include "templates/Token.h"

namespace jinja {

class Parser {
 public:
  static constexpr std::uint32_t maxNesting = 100;

  static Nodes parse(std::vector<Token> tokens);

 private:
  class Impl;
};

}  // namespace jinja

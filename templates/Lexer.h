// Template source text to tokens. Stateless; safe on any thread. Throws JinjaError (lexer case).
// The "-" whitespace-control markers are rewritten first (`preprocess`); positions count
// user-perceived characters (grapheme clusters) of that rewritten text. Ill-formed UTF-8 in the
// source is read as U+FFFD.
//   Lexer::tokenize("{{ x }}") => openExpression "{{"@0, identifier "x"@3, closeExpression "}}"@5, eof@7
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "templates/Token.h"

namespace jinja {

class Lexer {
 public:
  using Table = std::unordered_map<std::string_view, Token::Kind>;

  // The token list, always ending with one `eof` token.
  static std::vector<Token> tokenize(std::string_view source);

  // The whitespace-control rewrites of the source with ill-formed UTF-8 read as U+FFFD:
  //   "a  {%- if x -%}  b" => "a{% if x %}b";  "{{- x -}}" => "{{ x }}";  "  {#- c #}" => "{# c #}"
  static std::string preprocess(std::string_view source);

  // Word to kind (30 entries, case-sensitive) and operator text to kind (16 entries).
  static const Table& keywords();
  static const Table& operators();
};

}  // namespace jinja

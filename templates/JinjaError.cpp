#include "templates/JinjaError.h"

#include <utility>

namespace jinja {

const char* JinjaError::prefix(Kind kind) {
  switch (kind) {
    case Kind::lexer: return "Lexer error: ";
    case Kind::parser: return "Parser error: ";
    case Kind::runtime: return "Runtime error: ";
    case Kind::syntax: return "Syntax error: ";
  }
  return "";
}

JinjaError::JinjaError(Kind kind, std::string message)
    : std::runtime_error(prefix(kind) + message), kind_(kind), message_(std::move(message)) {}

}  // namespace jinja

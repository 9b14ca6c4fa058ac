// The template engine's one error type: the stage that failed and a message.
// `what()` is the stage prefix followed directly by the message ("Parser error: Invalid subscript");
// `message()` is the message as the raiser built it. Immutable, safe to share between threads.
//   throw JinjaError::lexer("Unclosed comment at position 12");
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace jinja {

class JinjaError : public std::runtime_error {
 public:
  enum class Kind : std::uint8_t { lexer, parser, runtime, syntax };

  JinjaError(Kind kind, std::string message);

  static JinjaError lexer(std::string message) { return {Kind::lexer, std::move(message)}; }
  static JinjaError parser(std::string message) { return {Kind::parser, std::move(message)}; }
  static JinjaError runtime(std::string message) { return {Kind::runtime, std::move(message)}; }
  static JinjaError syntax(std::string message) { return {Kind::syntax, std::move(message)}; }

  Kind kind() const { return kind_; }
  const std::string& message() const { return message_; }
  // The same text as what(): prefix and message.
  std::string errorDescription() const { return what(); }

  // "Lexer error: ", "Parser error: ", "Runtime error: ", "Syntax error: ".
  static const char* prefix(Kind kind);

 private:
  Kind kind_;
  std::string message_;
};

}  // namespace jinja

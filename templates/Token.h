// The lexer's output: one token (kind, text, position) and the 61 token kinds.
// A token's text is a view into a shared, reference-counted buffer that the token keeps alive;
// copying a token copies the view. Tokens are immutable values, safe to share between threads.
// Kinds whose names are C++ keywords carry a trailing underscore (`Kind::if_`); their text form
// (`kindName`) and JSON member name are the plain words ("if").
//   Token t(Token::Kind::identifier, "name", 3);  t.toJson() => {"kind":{"identifier":{}},"value":"name","position":3}
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/System/Json.h"
#include "templates/Hasher.h"

namespace jinja {

class Token {
 public:
  enum class Kind : std::uint8_t {
    text, openExpression, closeExpression, openStatement, closeStatement,
    string, number, boolean, null, identifier,
    openParen, closeParen, openBracket, closeBracket, openBrace, closeBrace,
    comma, dot, colon, pipe, equals,
    plus, minus, multiply, divide, floorDivide, power, modulo, concat,
    equal, notEqual, less, lessEqual, greater, greaterEqual,
    and_, or_, not_, in, notIn, is,
    if_, else_, elif, endif, for_, endfor, set, endset, macro, endmacro,
    break_, continue_, call, endcall, filter, endfilter, generation, endgeneration,
    comment, eof,
  };
  static constexpr std::size_t kindCount = 61;

  // Owns a copy of `value` in a buffer of its own.
  Token(Kind kind, std::string_view value, std::int64_t position);
  // A view into `buffer`, which `value` must lie in (or be empty).
  Token(Kind kind, std::shared_ptr<const std::string> buffer, std::string_view value, std::int64_t position);

  Kind kind() const { return kind_; }
  std::string_view value() const { return value_; }
  std::int64_t position() const { return position_; }

  // Kind, then text by canonical equivalence, then position.
  friend bool operator==(const Token& a, const Token& b);
  void hash(Hasher& hasher) const;
  std::size_t hashValue() const;

  platform::json::Value toJson() const;
  // Throws platform::json::DecodingError.
  static Token fromJson(const platform::json::Value& json);

  // Every kind in ordinal order, `text` first and `eof` last.
  static const std::array<Kind, kindCount>& allKinds();

 private:
  Kind kind_;
  std::shared_ptr<const std::string> buffer_;
  std::string_view value_;
  std::int64_t position_;
};

// The kind's case name: "closeParen", "notIn", "if".
std::string_view kindName(Token::Kind kind);
std::optional<Token::Kind> kindFromName(std::string_view name);
std::ostream& operator<<(std::ostream& out, Token::Kind kind);
std::ostream& operator<<(std::ostream& out, const Token& token);

// {"notIn":{}}; reading needs exactly one member named after a kind
// (else DecodingError typeMismatch "Invalid number of keys found, expected one.").
platform::json::Value kindToJson(Token::Kind kind);
Token::Kind kindFromJson(const platform::json::Value& json);

}  // namespace jinja

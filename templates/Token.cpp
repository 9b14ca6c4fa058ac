#include "templates/Token.h"

#include <ostream>

namespace jinja {
namespace json = platform::json;

namespace {

constexpr std::array<std::string_view, Token::kindCount> kKindNames = {
    "text", "openExpression", "closeExpression", "openStatement", "closeStatement",
    "string", "number", "boolean", "null", "identifier",
    "openParen", "closeParen", "openBracket", "closeBracket", "openBrace", "closeBrace",
    "comma", "dot", "colon", "pipe", "equals",
    "plus", "minus", "multiply", "divide", "floorDivide", "power", "modulo", "concat",
    "equal", "notEqual", "less", "lessEqual", "greater", "greaterEqual",
    "and", "or", "not", "in", "notIn", "is",
    "if", "else", "elif", "endif", "for", "endfor", "set", "endset", "macro", "endmacro",
    "break", "continue", "call", "endcall", "filter", "endfilter", "generation", "endgeneration",
    "comment", "eof",
};
static_assert(static_cast<std::size_t>(Token::Kind::eof) + 1 == Token::kindCount);

constexpr std::array<Token::Kind, Token::kindCount> makeAllKinds() {
  std::array<Token::Kind, Token::kindCount> kinds{};
  for (std::size_t i = 0; i < kinds.size(); ++i) kinds[i] = static_cast<Token::Kind>(i);
  return kinds;
}
constexpr std::array<Token::Kind, Token::kindCount> kAllKinds = makeAllKinds();

}  // namespace

Token::Token(Kind kind, std::string_view value, std::int64_t position)
    : kind_(kind), buffer_(std::make_shared<const std::string>(value)), value_(*buffer_), position_(position) {}

Token::Token(Kind kind, std::shared_ptr<const std::string> buffer, std::string_view value, std::int64_t position)
    : kind_(kind), buffer_(std::move(buffer)), value_(value), position_(position) {}

bool operator==(const Token& a, const Token& b) {
  return a.kind_ == b.kind_ && TextEqual{}(a.value_, b.value_) && a.position_ == b.position_;
}

void Token::hash(Hasher& hasher) const {
  hasher.combine(static_cast<std::uint64_t>(kind_));
  hasher.combineText(value_);
  hasher.combine(static_cast<std::uint64_t>(position_));
}

std::size_t Token::hashValue() const {
  Hasher hasher;
  hash(hasher);
  return hasher.finalize();
}

json::Value Token::toJson() const {
  json::Object object;
  object.emplace_back("kind", kindToJson(kind_));
  object.emplace_back("value", json::Value(value_));
  object.emplace_back("position", json::Value(static_cast<long long>(position_)));
  return json::Value(std::move(object));
}

Token Token::fromJson(const json::Value& json) {
  Kind kind = kindFromJson(json.at("kind"));
  const std::string& value = json.at("value").asString();
  std::int64_t position = json.at("position").asInt();
  return Token(kind, value, position);
}

const std::array<Token::Kind, Token::kindCount>& Token::allKinds() { return kAllKinds; }

std::string_view kindName(Token::Kind kind) {
  auto index = static_cast<std::size_t>(kind);
  return index < kKindNames.size() ? kKindNames[index] : std::string_view("?");
}

std::optional<Token::Kind> kindFromName(std::string_view name) {
  for (std::size_t i = 0; i < kKindNames.size(); ++i)
    if (kKindNames[i] == name) return static_cast<Token::Kind>(i);
  return std::nullopt;
}

std::ostream& operator<<(std::ostream& out, Token::Kind kind) { return out << kindName(kind); }

std::ostream& operator<<(std::ostream& out, const Token& token) {
  return out << kindName(token.kind()) << " \"" << token.value() << "\" @" << token.position();
}

json::Value kindToJson(Token::Kind kind) {
  json::Object object;
  object.emplace_back(std::string(kindName(kind)), json::Value(json::Object{}));
  return json::Value(std::move(object));
}

Token::Kind kindFromJson(const json::Value& json) {
  const json::Object& object = json.asObject();
  std::optional<Token::Kind> found;
  const json::Value* payload = nullptr;
  int count = 0;
  for (const auto& [name, value] : object) {
    if (auto kind = kindFromName(name)) {
      ++count;
      found = kind;
      payload = &value;
    }
  }
  if (count != 1)
    throw json::DecodingError(json::DecodingError::Kind::typeMismatch, "Invalid number of keys found, expected one.");
  payload->asObject();  // the payload must be an object; its members are ignored
  return *found;
}

}  // namespace jinja

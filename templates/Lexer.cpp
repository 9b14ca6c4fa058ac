#include "templates/Lexer.h"

#include <memory>
#include <utility>

#include "platform/Text/Unicode.h"
#include "templates/JinjaError.h"

namespace jinja {
namespace {

using Kind = Token::Kind;
using platform::text::isAlphabetic;
using platform::text::isNumeric;
using platform::text::isWhitespace;
using platform::text::nextScalar;
using platform::text::previousScalar;

// ---- whitespace-control rewrites ---------------------------------------------------------------
// Hand-written equivalents of the rewrites' regular expressions ("\s" is White_Space, "^" the start
// of the text) over well-formed UTF-8. Each runs in linear time: the end of a whitespace run is
// remembered, so a long run is not rescanned from every one of its characters.

class WhitespaceRuns {
 public:
  explicit WhitespaceRuns(const std::string& text) : text_(text) {}
  // The byte offset after the whitespace run that starts at `from`.
  std::size_t skip(std::size_t from) {
    if (from >= runFrom_ && from <= runTo_) return runTo_;
    std::size_t end = from;
    while (end < text_.size()) {
      std::size_t next = end;
      if (!isWhitespace(nextScalar(text_, next))) break;
      end = next;
    }
    runFrom_ = from;
    runTo_ = end;
    return end;
  }

 private:
  const std::string& text_;
  std::size_t runFrom_ = 1, runTo_ = 0;  // empty: nothing remembered yet
};

bool startsAt(const std::string& text, std::size_t at, std::string_view what) {
  return at + what.size() <= text.size() && text.compare(at, what.size(), what) == 0;
}

// "<marker>\s*" => replacement
std::string dropMarkerAndFollowingSpace(const std::string& text, std::string_view marker, std::string_view replacement) {
  std::string out;
  out.reserve(text.size());
  WhitespaceRuns runs(text);
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t found = text.find(marker, i);
    if (found == std::string::npos) break;
    out.append(text, i, found - i);
    out += replacement;
    i = runs.skip(found + marker.size());
  }
  out.append(text, i, std::string::npos);
  return out;
}

// "\{\s+<opener>" => "{ " + bare opener
std::string spaceAfterLiteralBrace(const std::string& text, std::string_view opener, std::string_view replacement) {
  std::string out;
  out.reserve(text.size());
  WhitespaceRuns runs(text);
  std::size_t copied = 0, i = 0;
  while ((i = text.find('{', i)) != std::string::npos) {
    std::size_t end = runs.skip(i + 1);
    if (end > i + 1 && startsAt(text, end, opener)) {
      out.append(text, copied, i - copied);
      out += replacement;
      i = copied = end + opener.size();
    } else {
      ++i;
    }
  }
  out.append(text, copied, std::string::npos);
  return out;
}

// "([^\{])\s*<opener>" => captured character + bare opener
// For each occurrence of the opener, the match starts at the character before the whitespace run
// that precedes it, or, when that character is "{", at the run's first character.
std::string joinOpenerToPreviousCharacter(const std::string& text, std::string_view opener, std::string_view bare) {
  std::string out;
  out.reserve(text.size());
  std::size_t copied = 0, searchFrom = 0, found;
  while ((found = text.find(opener, searchFrom)) != std::string::npos) {
    std::size_t runStart = found;
    while (runStart > searchFrom) {
      std::size_t previous = runStart;
      if (!isWhitespace(previousScalar(text, previous))) break;
      runStart = previous;
    }
    std::size_t matchStart = std::string::npos;
    std::size_t beforeRun = runStart;
    if (runStart > searchFrom && previousScalar(text, beforeRun) != U'{')
      matchStart = beforeRun;
    else if (runStart < found)
      matchStart = runStart;
    if (matchStart == std::string::npos) {
      searchFrom = found + 1;
      continue;
    }
    std::size_t afterCharacter = matchStart;
    nextScalar(text, afterCharacter);
    out.append(text, copied, afterCharacter - copied);
    out += bare;
    copied = searchFrom = found + opener.size();
  }
  out.append(text, copied, std::string::npos);
  return out;
}

// "^\s*<opener>" => bare opener
std::string stripLeadingOpener(const std::string& text, std::string_view opener, std::string_view bare) {
  WhitespaceRuns runs(text);
  std::size_t end = runs.skip(0);
  if (!startsAt(text, end, opener)) return text;
  return std::string(bare) + text.substr(end + opener.size());
}

// ---- scanning ----------------------------------------------------------------------------------

class Scanner {
 public:
  explicit Scanner(std::string source)
      : buffer_(std::make_shared<const std::string>(std::move(source))),
        text_(*buffer_),
        bounds_(platform::text::graphemeBoundaries(text_)),
        count_(bounds_.size() - 1) {}

  std::vector<Token> run();

 private:
  std::string_view character(std::size_t k) const { return text_.substr(bounds_[k], bounds_[k + 1] - bounds_[k]); }
  bool is(std::size_t k, char c) const {
    return k < count_ && bounds_[k + 1] - bounds_[k] == 1 && text_[bounds_[k]] == c;
  }
  bool pairIs(std::size_t k, char a, char b) const { return is(k, a) && is(k + 1, b); }
  // The first scalar of grapheme k.
  char32_t codePoint(std::size_t k) const {
    std::size_t at = bounds_[k];
    return nextScalar(text_, at);
  }
  Token slice(Kind kind, std::size_t from, std::size_t to) const {
    return Token(kind, buffer_, text_.substr(bounds_[from], bounds_[to] - bounds_[from]), static_cast<std::int64_t>(from));
  }

  std::size_t skipWhitespace(std::size_t k) const {
    while (k < count_ && isWhitespace(codePoint(k))) ++k;
    return k;
  }
  std::pair<Token, std::size_t> extractToken(std::size_t k, bool inTag, int curlyBracketDepth) const;
  std::pair<Token, std::size_t> extractCommentToken(std::size_t k) const;
  std::pair<Token, std::size_t> extractTextToken(std::size_t k) const;
  std::pair<Token, std::size_t> extractStringToken(std::size_t k) const;
  std::pair<Token, std::size_t> extractNumberToken(std::size_t k) const;
  std::pair<Token, std::size_t> extractIdentifierToken(std::size_t k) const;

  std::shared_ptr<const std::string> buffer_;
  std::string_view text_;
  std::vector<std::size_t> bounds_;  // grapheme k spans bytes [bounds_[k], bounds_[k + 1])
  std::size_t count_;                // number of graphemes
};

std::vector<Token> Scanner::run() {
  std::vector<Token> tokens;
  tokens.reserve(count_ / 4);
  std::size_t index = 0;
  bool inTag = false;
  int depth = 0;
  while (index < count_) {
    if (inTag) {
      index = skipWhitespace(index);
      if (index >= count_) break;
    }
    auto [token, next] = extractToken(index, inTag, depth);
    index = next;
    switch (token.kind()) {
      case Kind::text:
        if (token.value().empty()) continue;
        break;
      case Kind::openExpression:
      case Kind::openStatement:
        inTag = true;
        depth = 0;
        break;
      case Kind::closeExpression:
      case Kind::closeStatement: inTag = false; break;
      case Kind::openBrace: ++depth; break;
      case Kind::closeBrace: --depth; break;
      default: break;
    }
    bool done = token.kind() == Kind::eof;
    tokens.push_back(std::move(token));
    if (done) break;
  }
  if (tokens.empty() || tokens.back().kind() != Kind::eof)
    tokens.emplace_back(Kind::eof, buffer_, std::string_view(), static_cast<std::int64_t>(count_));
  return tokens;
}

std::pair<Token, std::size_t> Scanner::extractToken(std::size_t k, bool inTag, int curlyBracketDepth) const {
  if (k >= count_) return {Token(Kind::eof, buffer_, std::string_view(), static_cast<std::int64_t>(k)), k};
  if (is(k, '{') && k + 1 < count_) {
    if (is(k + 1, '{')) return {slice(Kind::openExpression, k, k + 2), k + 2};
    if (is(k + 1, '%')) {
      if (is(k + 2, '+'))
        throw JinjaError::lexer("'{%+' (keeping the indentation before a tag) is not supported, at position " +
                                std::to_string(k));
      return {slice(Kind::openStatement, k, k + 2), k + 2};
    }
    if (is(k + 1, '#')) return extractCommentToken(k);
  }
  if (!inTag) return extractTextToken(k);
  if (pairIs(k, '}', '}') && curlyBracketDepth == 0) return {slice(Kind::closeExpression, k, k + 2), k + 2};
  if (pairIs(k, '%', '}')) return {slice(Kind::closeStatement, k, k + 2), k + 2};

  std::string_view c = character(k);
  if (c.size() == 1) {
    Kind kind;
    bool single = true;
    switch (c[0]) {
      case '(': kind = Kind::openParen; break;
      case ')': kind = Kind::closeParen; break;
      case '[': kind = Kind::openBracket; break;
      case ']': kind = Kind::closeBracket; break;
      case '{': kind = Kind::openBrace; break;
      case '}': kind = Kind::closeBrace; break;
      case ',': kind = Kind::comma; break;
      case '.': kind = Kind::dot; break;
      case ':': kind = Kind::colon; break;
      case '|': kind = Kind::pipe; break;
      default: single = false; kind = Kind::eof; break;
    }
    if (single) return {slice(kind, k, k + 1), k + 1};
  }
  if (is(k, '+') && pairIs(k + 1, '%', '}'))
    throw JinjaError::lexer("'+%}' (keeping the line end after a tag) is not supported, at position " + std::to_string(k));
  if (c.size() == 1 && std::string_view("+-*/%~=!<>|").find(c[0]) != std::string_view::npos) {
    for (std::size_t length : {2u, 1u}) {
      std::size_t end = std::min(k + length, count_);
      std::string_view candidate = text_.substr(bounds_[k], bounds_[end] - bounds_[k]);
      auto found = Lexer::operators().find(candidate);
      if (found != Lexer::operators().end()) return {slice(found->second, k, end), end};
    }
  }
  if (c == "'" || c == "\"") return extractStringToken(k);
  char32_t first = codePoint(k);
  if (isNumeric(first)) return extractNumberToken(k);
  if (isAlphabetic(first) || c == "_") return extractIdentifierToken(k);
  throw JinjaError::lexer("Unexpected character '" + std::string(c) + "' at position " + std::to_string(k));
}

std::pair<Token, std::size_t> Scanner::extractCommentToken(std::size_t start) const {
  std::string value;
  std::size_t k = start + 2;
  while (k < count_) {
    std::size_t here = k++;
    if (k >= count_) break;  // taking the last character leaves no room for "#}"
    if (is(here, '#') && is(k, '}'))
      return {Token(Kind::comment, value, static_cast<std::int64_t>(start)), k + 1};
    value += character(here);
  }
  throw JinjaError::lexer("Unclosed comment at position " + std::to_string(start));
}

// Outside a tag the text runs until "{{", "{%" or "{#": closers there ("}}", "%}", "#}", as in
// JSON written into a prompt) are text.
std::pair<Token, std::size_t> Scanner::extractTextToken(std::size_t start) const {
  std::size_t k = start;
  while (k < count_) {
    if (k + 1 < count_ && (pairIs(k, '{', '{') || pairIs(k, '{', '%') || pairIs(k, '{', '#'))) break;
    ++k;
  }
  return {slice(Kind::text, start, k), k};
}

std::pair<Token, std::size_t> Scanner::extractStringToken(std::size_t start) const {
  const char delimiter = text_[bounds_[start]];
  std::string value;
  std::size_t k = start + 1;
  while (k < count_) {
    if (is(k, delimiter))
      return {Token(Kind::string, value, static_cast<std::int64_t>(start)), k + 1};
    if (is(k, '\\')) {
      if (++k >= count_) break;
      std::string_view escaped = character(k);
      if (escaped == "n") value += '\n';
      else if (escaped == "t") value += '\t';
      else if (escaped == "r") value += '\r';
      else if (escaped == "b") value += '\b';
      else if (escaped == "f") value += '\f';
      else if (escaped == "v") value += '\v';
      else value += escaped;  // \\ \" \' and any other character stand for themselves
    } else {
      value += character(k);
    }
    ++k;
  }
  throw JinjaError::lexer("Unclosed string at position " + std::to_string(start));
}

// "1.2.3" => "1.2"; "1." => "1."; no sign, exponent or separators.
// "12", "1.5", "1." and, with an exponent of ASCII digits, "1e3", "2.5E-3", "1e+2".
std::pair<Token, std::size_t> Scanner::extractNumberToken(std::size_t start) const {
  std::size_t k = start;
  bool seenDot = false;
  while (k < count_) {
    if (is(k, '.')) {
      if (seenDot) break;
      seenDot = true;
    } else if (!isNumeric(codePoint(k))) {
      break;
    }
    ++k;
  }
  auto digit = [this](std::size_t at) {
    return at < count_ && bounds_[at + 1] - bounds_[at] == 1 && text_[bounds_[at]] >= '0' && text_[bounds_[at]] <= '9';
  };
  if (is(k, 'e') || is(k, 'E')) {
    std::size_t exponent = k + 1;
    if (is(exponent, '+') || is(exponent, '-')) ++exponent;
    if (digit(exponent)) {
      k = exponent;
      while (digit(k)) ++k;
    }
  }
  return {slice(Kind::number, start, k), k};
}

std::pair<Token, std::size_t> Scanner::extractIdentifierToken(std::size_t start) const {
  std::size_t k = start;
  while (k < count_) {
    char32_t c = codePoint(k);
    if (!(isAlphabetic(c) || isNumeric(c) || is(k, '_'))) break;
    ++k;
  }
  Token word = slice(Kind::identifier, start, k);
  auto found = Lexer::keywords().find(word.value());
  if (found == Lexer::keywords().end()) return {std::move(word), k};
  return {slice(found->second, start, k), k};
}

}  // namespace

// A "-" inside a marker trims all whitespace on its side, for comments as for tags:
// "a  {%- x -%}  b" => "a{% x %}b", "A {#- c -#} B" => "A{# c #}B". Per opener, the rewrite at the
// start of the text runs before the one after another character, which would otherwise keep the
// first character of a leading run as its captured character. A "{" before the run keeps one blank
// so that it does not join the opener: "{  {%- x %}" => "{ {% x %}".
std::string Lexer::preprocess(std::string_view source) {
  std::string text = platform::text::repairUtf8(source);
  text = dropMarkerAndFollowingSpace(text, "-%}", "%}");
  text = dropMarkerAndFollowingSpace(text, "-}}", "}}");
  text = dropMarkerAndFollowingSpace(text, "-#}", "#}");
  static constexpr std::string_view openers[][3] = {
      {"{%-", "{%", "{ {%"}, {"{{-", "{{", "{ {{"}, {"{#-", "{#", "{ {#"}};
  for (const auto& [marker, bare, spaced] : openers) {
    text = spaceAfterLiteralBrace(text, marker, spaced);
    text = stripLeadingOpener(text, marker, bare);
    text = joinOpenerToPreviousCharacter(text, marker, bare);
  }
  return text;
}

std::vector<Token> Lexer::tokenize(std::string_view source) {
  Scanner scanner(preprocess(source));
  return scanner.run();
}

const Lexer::Table& Lexer::keywords() {
  static const Table table = {
      {"if", Kind::if_},         {"else", Kind::else_},        {"elif", Kind::elif},
      {"endif", Kind::endif},    {"for", Kind::for_},          {"endfor", Kind::endfor},
      {"in", Kind::in},          {"not", Kind::not_},          {"and", Kind::and_},
      {"or", Kind::or_},         {"is", Kind::is},             {"set", Kind::set},
      {"endset", Kind::endset},  {"macro", Kind::macro},       {"endmacro", Kind::endmacro},
      {"true", Kind::boolean},   {"false", Kind::boolean},     {"null", Kind::null},
      {"none", Kind::null},      {"break", Kind::break_},      {"continue", Kind::continue_},
      {"call", Kind::call},      {"endcall", Kind::endcall},   {"filter", Kind::filter},
      {"endfilter", Kind::endfilter}, {"generation", Kind::generation},
      {"endgeneration", Kind::endgeneration}, {"True", Kind::boolean},
      {"False", Kind::boolean},  {"None", Kind::null},
  };
  return table;
}

const Lexer::Table& Lexer::operators() {
  static const Table table = {
      {"+", Kind::plus},      {"-", Kind::minus},         {"*", Kind::multiply},  {"/", Kind::divide},
      {"//", Kind::floorDivide}, {"**", Kind::power},     {"%", Kind::modulo},    {"~", Kind::concat},
      {"==", Kind::equal},    {"!=", Kind::notEqual},     {"<", Kind::less},      {"<=", Kind::lessEqual},
      {">", Kind::greater},   {">=", Kind::greaterEqual}, {"=", Kind::equals},    {"|", Kind::pipe},
  };
  return table;
}

}  // namespace jinja

// The text and markup filters, and (further below) the number, serialization and layout filters.
#include <algorithm>
#include <charconv>
#include <optional>
#include <cmath>
#include <cstdio>

#include "platform/Text/Unicode.h"
#include "templates/JinjaError.h"
#include "templates/builtins/BuiltInFilterKit.h"
#include "templates/detail/PercentFormat.h"
#include "templates/detail/RenderClock.h"
#include "templates/detail/Text.h"

namespace jinja::detail {
namespace text = platform::text;

char32_t scalarOf(std::string_view character) {
  std::size_t offset = 0;
  char32_t c = text::nextScalar(character, offset);
  return offset == character.size() ? c : 0xFFFFFFFF;
}

namespace {

// Tab and the space separators.
bool isBlank(char32_t c) { return c == '\t' || (c != 0xFFFFFFFF && text::generalCategory(c) == text::GeneralCategory::Zs); }
bool isNewline(char32_t c) { return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029; }
bool isBlankOrNewline(char32_t c) { return isBlank(c) || isNewline(c); }

// Splits at characters for which `separates` holds, dropping empty pieces.
template <class Separates>
std::vector<std::string> words(const std::string& s, Separates separates) {
  std::vector<std::string> out;
  std::string current;
  CharacterWalk walk(s);
  for (std::string_view ch; walk.next(ch);) {
    if (separates(scalarOf(ch))) {
      if (!current.empty()) out.push_back(std::move(current));
      current.clear();
    } else {
      current += ch;
    }
  }
  if (!current.empty()) out.push_back(std::move(current));
  return out;
}

std::string joined(const std::vector<std::string>& pieces, const std::string& separator) {
  std::string out;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    if (i) out += separator;
    out += pieces[i];
    checkStringSize(out.size());
  }
  return out;
}

std::size_t characterCount(const std::string& s) { return countCharacters(s); }

}  // namespace

// "<a href=\"x\">Tom & 'Jerry'" => "&lt;a href=&#34;x&#34;&gt;Tom &amp; &#39;Jerry&#39;"
std::string escapeHtml(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&#34;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  checkStringSize(out.size());
  return out;
}

namespace {

Value forceescape(const Arguments& args, const KeywordArguments&, const EnvironmentRef&) {
  if (args.empty() || !args[0].isString()) return Value("");
  return Value(escapeHtml(args[0].asString()));
}

Value escape(const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef& env) {
  bindFilter(args, kwargs, {}, {});
  return forceescape(args, kwargs, env);
}

Value safe(const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef&) {
  bindFilter(args, kwargs, {}, {});
  return args.empty() ? Value("") : args[0];
}

// Character references as text: "a &amp; b &#39;q&#39; &#x41;" => "a & b 'q' A". Named ones beyond
// amp, lt, gt, quot, apos and nbsp stay as written.
std::string unescapedEntities(const std::string& s) {
  if (s.find('&') == std::string::npos) return s;
  static const std::pair<std::string_view, std::string_view> named[] = {
      {"amp", "&"}, {"lt", "<"}, {"gt", ">"}, {"quot", "\""}, {"apos", "'"}, {"nbsp", "\u00A0"}};
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    const std::size_t semicolon = s[i] == '&' ? s.find(';', i + 1) : std::string::npos;
    if (semicolon == std::string::npos || semicolon - i > 10) {
      out += s[i];
      continue;
    }
    const std::string_view name(s.data() + i + 1, semicolon - i - 1);
    std::optional<std::string> replacement;
    if (name.size() > 1 && name[0] == '#') {
      const bool hex = name[1] == 'x' || name[1] == 'X';
      std::uint32_t code = 0;
      const std::string_view digits = name.substr(hex ? 2 : 1);
      auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), code, hex ? 16 : 10);
      if (!digits.empty() && ec == std::errc() && end == digits.data() + digits.size() && code > 0 && code <= 0x10FFFF &&
          (code < 0xD800 || code > 0xDFFF))
        text::appendUtf8(replacement.emplace(), static_cast<char32_t>(code));
    } else {
      for (const auto& [entity, text] : named)
        if (name == entity) replacement = std::string(text);
    }
    if (!replacement) {
      out += s[i];
      continue;
    }
    out += *replacement;
    i = semicolon;
  }
  return out;
}

// "<p>Hello <b>world</b>\n bye </p>" => "Hello world bye"
Value striptags(const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef&) {
  if (args.empty() || !args[0].isString()) return Value("");
  bindFilter(args, kwargs, {}, {});
  const std::string& s = args[0].asString();
  std::string stripped;
  std::size_t i = 0;
  std::size_t close = 0;  // the first ">" after where the last search began; npos: none further
  while (i < s.size()) {
    if (s[i] == '<' && i + 1 < s.size() && s[i + 1] != '>') {
      if (close != std::string::npos && close <= i) close = s.find('>', i + 1);  // so each byte is searched once
      if (close != std::string::npos) {
        countWork(close + 1 - i);
        i = close + 1;
        continue;
      }
    }
    stripped += s[i++];
    countWork();
  }
  return Value(unescapedEntities(joined(words(stripped, isBlankOrNewline), " ")));
}

// The "%" operator on the text: "%s-%d" | format("a", 3) => "a-3";  "%(x)s" | format(x=1) => "1"
Value format(const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef&) {
  if (args.empty()) return Value("");
  if (args.size() > 1 && !kwargs.empty())
    throw JinjaError::runtime("format cannot take positional and keyword arguments at once");
  const std::string text = args[0].isString() ? args[0].asString() : args[0].description();
  if (!kwargs.empty()) {
    std::vector<const KeywordArguments::value_type*> pairs;
    for (const auto& pair : kwargs) pairs.push_back(&pair);
    std::sort(pairs.begin(), pairs.end(), [](const auto* a, const auto* b) { return TextLess{}(a->first, b->first); });
    Value::Object mapping;
    for (const auto* pair : pairs) mapping.set(pair->first, pair->second);
    return Value(percentFormat(text, Value(std::move(mapping))));
  }
  return Value(percentFormat(text, Value(Value::Array(args.begin() + 1, args.end()))));
}

// The pieces of one word: long words are cut, at hyphens first.
std::vector<std::string> splitToken(const std::string& token, std::int64_t width, bool breakLong, bool onHyphens) {
  if (!breakLong || static_cast<std::int64_t>(characterCount(token)) <= width) return {token};
  std::vector<std::string> pieces;
  if (onHyphens && token.find('-') != std::string::npos) {
    std::size_t start = 0;
    while (true) {
      std::size_t dash = token.find('-', start);
      if (dash == std::string::npos) {
        pieces.push_back(token.substr(start));
        break;
      }
      pieces.push_back(token.substr(start, dash + 1 - start));
      start = dash + 1;
    }
  } else {
    pieces.push_back(token);
  }
  std::vector<std::string> out;
  for (const std::string& piece : pieces) {
    if (static_cast<std::int64_t>(characterCount(piece)) <= width) {
      out.push_back(piece);
      continue;
    }
    CharacterWalk walk(piece);
    std::string chunk;
    std::int64_t inChunk = 0;
    for (std::string_view c; walk.next(c);) {
      chunk += c;
      if (++inChunk == width) {
        out.push_back(std::move(chunk));
        chunk.clear();
        inChunk = 0;
      }
    }
    if (!chunk.empty()) out.push_back(std::move(chunk));
  }
  return out;
}

// "aaa bbb ccc" | wordwrap(7) => "aaa bbb\nccc"
Value wordwrap(const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef&) {
  if (args.empty() || !args[0].isString()) return Value("");
  BoundArguments bound = bindFilter(args, kwargs, {"width", "break_long_words", "wrapstring", "break_on_hyphens"},
                                    {{"width", Value(79)}, {"break_long_words", Value(true)}, {"wrapstring", Value()},
                                     {"break_on_hyphens", Value(true)}});
  std::int64_t width = bound.at("width").isInt() ? bound.at("width").asInt() : 79;
  bool breakLong = bound.at("break_long_words").isTruthy();
  // Cutting into chunks of no characters would never end: such words stay whole.
  if (width < 1) breakLong = false;
  bool onHyphens = bound.at("break_on_hyphens").isTruthy();
  std::string wrap = bound.at("wrapstring").isString() ? bound.at("wrapstring").asString() : "\n";
  std::vector<std::string> lines;
  std::string line;
  std::size_t lineLength = 0;
  for (const std::string& paragraph : words(args[0].asString(), isNewline)) {
    for (const std::string& word : words(paragraph, isBlank)) {
      for (std::string& piece : splitToken(word, width, breakLong, onHyphens)) {
        std::size_t pieceLength = characterCount(piece);
        if (line.empty()) {
          line = std::move(piece);
          lineLength = pieceLength;
        } else if (width >= static_cast<std::int64_t>(lineLength + pieceLength + 1)) {
          line += ' ';
          line += piece;
          lineLength += pieceLength + 1;
        } else {
          lines.push_back(std::move(line));
          line = std::move(piece);
          lineLength = pieceLength;
        }
      }
    }
    if (!line.empty()) lines.push_back(std::move(line));
    line.clear();
    lineLength = 0;
  }
  return Value(joined(lines, wrap));
}

// 1500000 => "1.5 MB"; 1024 | filesizeformat(true) => "1.0 KiB"
Value filesizeformat(const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef&) {
  if (args.empty()) return Value("");
  BoundArguments bound = bindFilter(args, kwargs, {"binary"}, {{"binary", Value(false)}});
  bool binary = bound.at("binary").isTruthy();
  double base = binary ? 1024 : 1000;
  if (!args[0].isNumeric()) return Value("");
  double value = args[0].toDouble();
  if (!std::isfinite(value)) return Value("");
  if (value < base) {
    if (value < -9.2e18) return Value("");
    return Value(std::to_string(static_cast<std::int64_t>(value)) + " Bytes");
  }
  int exponent = static_cast<int>(std::log(value) / std::log(base));
  int index = std::clamp(exponent, 1, 8);
  char unit = (binary ? "KMGTPEZY" : "kMGTPEZY")[index - 1];
  char buffer[400];
  std::snprintf(buffer, sizeof buffer, "%.1f %c%s", value / std::pow(base, index), unit, binary ? "iB" : "B");
  return Value(std::string(buffer));
}

// {'class': 'a"b', 'id': none, 'n': 3} => " class=\"a&quot;b\" n=\"3\""
Value xmlattr(const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef&) {
  if (args.empty() || !args[0].isObject()) return Value("");
  BoundArguments bound = bindFilter(args, kwargs, {"autospace"}, {{"autospace", Value(true)}});
  const Value::Object& object = args[0].asObject();
  std::string out;
  for (std::size_t i = 0; i < object.size(); ++i) {
    const std::string& key = object.keys()[i];
    const Value& value = object.values()[i];
    if (value.isNull() || value.isUndefined()) continue;
    if (key.find_first_of(" />=") != std::string::npos)
      throw JinjaError::runtime("Invalid character in XML attribute key: '" + key + "'");
    std::string escaped;
    for (char c : value.description()) {
      switch (c) {
        case '&': escaped += "&amp;"; break;
        case '<': escaped += "&lt;"; break;
        case '>': escaped += "&gt;"; break;
        case '"': escaped += "&quot;"; break;
        default: escaped += c;
      }
    }
    if (!out.empty()) out += ' ';
    out += key + "=\"" + escaped + "\"";
    checkStringSize(out.size());
  }
  if (bound.at("autospace").isTruthy() && !out.empty()) out = ' ' + out;
  return Value(std::move(out));
}

Value string(const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef&) {
  if (args.empty()) return Value("");
  bindFilter(args, kwargs, {}, {});
  return args[0].isString() ? args[0] : Value(args[0].description());
}

// "  hi\n" => "hi"; "xxhixx" | trim('x') => "hi"
Value trim(const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef&) {
  if (args.empty() || !args[0].isString()) return Value("");
  BoundArguments bound = bindFilter(args, kwargs, once([] { return std::vector<std::string>{"chars"}; }),
                                    once([] { return BoundArguments{{"chars", Value()}}; }));
  std::u32string set;  // sorted, without repeats
  const Value& chars = bound.at("chars");
  if (chars.isString() && !chars.asString().empty()) {
    std::string repaired = text::repairUtf8(chars.asString());
    for (std::size_t offset = 0; offset < repaired.size();) set += text::nextScalar(repaired, offset);
    std::sort(set.begin(), set.end());
    set.erase(std::unique(set.begin(), set.end()), set.end());
  }
  auto inSet = [&](char32_t c) {
    countWork();
    return set.empty() ? isBlankOrNewline(c) : std::binary_search(set.begin(), set.end(), c);
  };
  std::string storage;
  const std::string_view s = detail::wellFormed(args[0].asString(), storage);
  // Walk scalars from each end.
  std::size_t begin = 0;
  while (begin < s.size()) {
    std::size_t next = begin;
    if (!inSet(text::nextScalar(s, next))) break;
    begin = next;
  }
  std::size_t end = s.size();
  while (end > begin) {
    std::size_t start = end - 1;
    while (start > begin && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) --start;
    std::size_t probe = start;
    if (!inSet(text::nextScalar(s, probe))) break;
    end = start;
  }
  return Value(s.substr(begin, end - begin));
}

}  // namespace

void addTextFilters(Filters::Table& table) {
  table.emplace("forceescape", forceescape);
  table.emplace("safe", safe);
  table.emplace("striptags", striptags);
  table.emplace("format", format);
  table.emplace("wordwrap", wordwrap);
  table.emplace("filesizeformat", filesizeformat);
  table.emplace("xmlattr", xmlattr);
  table.emplace("string", string);
  table.emplace("trim", trim);
  table.emplace("escape", escape);
  table.emplace("e", escape);
  addNumberFilters(table);
}

}  // namespace jinja::detail

// The text layout and link filters: capitalize, title, center, wordcount, replace, truncate,
// indent, urlencode, urlize.
#include "platform/Text/Unicode.h"
#include "templates/JinjaError.h"
#include "templates/builtins/BuiltInFilterKit.h"
#include "templates/detail/Text.h"

namespace jinja::detail {
namespace text = platform::text;

namespace {

// Space, tab or a line terminator (a CR LF pair is one character).
bool isWordDelimiter(std::string_view character) {
  if (character == "\r\n") return true;
  char32_t c = scalarOf(character);
  return c == ' ' || c == '\t' || (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
}

bool isWhiteSpace(std::string_view character) {
  if (character == "\r\n") return true;
  char32_t c = scalarOf(character);
  return c != 0xFFFFFFFF && text::isWhitespace(c);
}

// "hELLO wORLD" => "Hello world"
Value capitalize(const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef&) {
  if (args.empty() || !args[0].isString()) return Value("");
  bindFilter(args, kwargs, {}, {});
  CharacterWalk walk(args[0].asString());
  std::string out;
  for (std::string_view c; walk.next(c);) out += walk.offset() == c.size() ? text::uppercased(c) : text::lowercased(c);
  return Value(std::move(out));
}

// "hello wORLD-foo" => "Hello World-foo"
Value title(const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef&) {
  if (args.empty() || !args[0].isString()) return Value("");
  bindFilter(args, kwargs, {}, {});
  std::string out;
  bool atStart = true;
  CharacterWalk walk(args[0].asString());
  for (std::string_view c; walk.next(c);) {
    if (isWordDelimiter(c)) {
      out += c;
      atStart = true;
      continue;
    }
    out += atStart ? text::uppercased(c) : text::lowercased(c);
    atStart = false;
  }
  return Value(std::move(out));
}

// "ab" | center(7) => "  ab   "
Value center(const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef&) {
  if (args.empty()) return Value("");
  if (!args[0].isString()) return args[0];
  BoundArguments bound = bindFilter(args, kwargs, {"width"}, {});
  if (!bound.at("width").isInt()) throw JinjaError::runtime("center filter requires width parameter");
  std::int64_t width = bound.at("width").asInt();
  std::int64_t length = static_cast<std::int64_t>(countCharacters(args[0].asString()));
  if (width <= length) return args[0];
  std::int64_t d = width - length;  // no overflow: length >= 0
  if (static_cast<std::uint64_t>(d) > Value::maxStringBytes - args[0].asString().size())
    throw JinjaError::runtime("center width " + std::to_string(width) + " would build a string longer than " +
                              std::to_string(Value::maxStringBytes) + " bytes");
  return Value(std::string(static_cast<std::size_t>(d / 2), ' ') + args[0].asString() +
               std::string(static_cast<std::size_t>(d - d / 2), ' '));
}

Value wordcount(const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef&) {
  if (args.empty() || !args[0].isString()) return Value(0);
  bindFilter(args, kwargs, {}, {});
  std::int64_t count = 0;
  bool inWord = false;
  CharacterWalk walk(args[0].asString());
  for (std::string_view c; walk.next(c);) {
    bool space = isWhiteSpace(c);
    if (!space && !inWord) ++count;
    inWord = !space;
  }
  return Value(count);
}

// "aaa" | replace("a", "b", 2) => "bba"; "abc" | replace("", "-") => "-a-b-c-"
Value replace(const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef&) {
  if (args.empty()) return Value("");
  if (!args[0].isString()) return args[0];
  BoundArguments bound = bindFilter(args, kwargs, {"old", "new", "count"}, {{"count", Value()}});
  const Value &old = bound.at("old"), &replacement = bound.at("new");
  if (!old.isString() || !replacement.isString())
    throw JinjaError::runtime("replace() requires 'old' and 'new' string arguments.");
  long long limit = bound.at("count").isInt() ? std::max<std::int64_t>(bound.at("count").asInt(), 0) : -1;
  const std::string& s = args[0].asString();
  if (!old.asString().empty()) {
    std::string out = replaceForward(s, old.asString(), replacement.asString(), limit);
    checkStringSize(out.size());
    return Value(std::move(out));
  }
  std::string out;
  long long made = 0;
  auto insert = [&] {
    if (limit < 0 || made < limit) {
      out += replacement.asString();
      ++made;
      checkStringSize(out.size());
    }
  };
  insert();
  CharacterWalk walk(s);
  for (std::string_view c; walk.next(c);) {
    out += c;
    insert();
  }
  return Value(std::move(out));
}

// The end counts within the length; without killwords the cut goes back to the last space:
// ("ab cd " * 10) | truncate(9) => "ab cd..."
Value truncate(const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef&) {
  if (args.empty() || !args[0].isString()) return Value("");
  BoundArguments bound = bindFilter(args, kwargs, {"length", "killwords", "end", "leeway"},
                                    {{"length", Value(255)}, {"killwords", Value(false)}, {"end", Value("...")}, {"leeway", Value(5)}});
  std::int64_t length = bound.at("length").isInt() ? std::max<std::int64_t>(bound.at("length").asInt(), 0) : 255;
  std::int64_t leeway = bound.at("leeway").isInt() ? std::max<std::int64_t>(bound.at("leeway").asInt(), 0) : 5;
  std::string end = bound.at("end").isString() ? bound.at("end").asString() : "...";
  const auto endLength = static_cast<std::int64_t>(countCharacters(end));
  if (length < endLength)
    throw JinjaError::runtime("truncate length " + std::to_string(length) + " is shorter than its end (" +
                              std::to_string(endLength) + " characters)");
  const auto count = static_cast<std::int64_t>(countCharacters(args[0].asString()));
  if (count <= length || count - length <= leeway) return args[0];
  const bool killwords = bound.at("killwords").isTruthy();
  CharacterWalk walk(args[0].asString());
  std::size_t keep = 0;
  std::optional<std::size_t> lastSpace;
  std::string_view c;
  for (std::int64_t k = 0; k < length - endLength && walk.next(c); ++k) {
    if (!killwords && c == " ") lastSpace = walk.offset() - c.size();
    keep = walk.offset();
  }
  if (lastSpace) keep = *lastSpace;
  return Value(std::string(walk.text().substr(0, keep)) + end);
}

// "a\n\nb" | indent(2) => "a\n\n  b"
Value indent(const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef&) {
  if (args.empty() || !args[0].isString()) return Value("");
  BoundArguments bound = bindFilter(args, kwargs, {"width", "first", "blank"},
                                    {{"width", Value(4)}, {"first", Value(false)}, {"blank", Value(false)}});
  const Value& width = bound.at("width");
  const std::string& s = args[0].asString();
  std::string prefix;
  if (width.isInt()) {
    if (width.asInt() > static_cast<std::int64_t>(Value::maxStringBytes))
      throw JinjaError::runtime("indent width " + std::to_string(width.asInt()) + " would build a string longer than " +
                                std::to_string(Value::maxStringBytes) + " bytes");
    prefix.assign(static_cast<std::size_t>(std::max<std::int64_t>(width.asInt(), 0)), ' ');
  } else {
    prefix = width.isString() ? width.asString() : "    ";
  }
  bool first = bound.at("first").isTruthy(), blank = bound.at("blank").isTruthy();
  // Lines split at a line feed that is not the second half of CR LF.
  std::vector<std::string> lines;
  std::string line;
  CharacterWalk walk(s);
  for (std::string_view c; walk.next(c);) {
    if (c == "\n") {
      lines.push_back(std::move(line));
      line.clear();
    } else {
      line += c;
    }
  }
  lines.push_back(std::move(line));
  std::string out;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i) out += '\n';
    if ((i > 0 || first) && (!lines[i].empty() || blank)) {
      if (out.size() + prefix.size() > Value::maxStringBytes) checkStringSize(out.size() + prefix.size());
      out += prefix;
    }
    out += lines[i];
    checkStringSize(out.size());
  }
  return Value(std::move(out));
}

// Percent-encodes every byte outside the query-safe set: "a b/é" => "a%20b/%C3%A9"
std::string percentEncode(const std::string& s, bool pairSyntax) {
  static const std::string safe = "-._~!$&'()*+,;=:@/?";
  std::string out;
  char buffer[4];
  for (unsigned char c : s) {
    bool keep = std::isalnum(c) && c < 0x80;
    if (!keep && safe.find(static_cast<char>(c)) != std::string::npos) keep = !(pairSyntax && (c == '&' || c == '=' || c == '+'));
    if (keep) {
      out += static_cast<char>(c);
    } else {
      std::snprintf(buffer, sizeof buffer, "%%%02X", c);
      out += buffer;
    }
  }
  return out;
}

Value urlencode(const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef&) {
  if (args.empty()) return Value("");
  bindFilter(args, kwargs, {}, {});
  const Value& v = args[0];
  if (v.isString()) return Value(percentEncode(text::repairUtf8(v.asString()), false));
  if (!v.isObject()) return Value("");
  std::string out;
  const Value::Object& object = v.asObject();
  for (std::size_t i = 0; i < object.size(); ++i) {
    if (i) out += '&';
    // Within a pair, & = and + are encoded too, so each pair stays name=value.
    out += percentEncode(text::repairUtf8(object.keys()[i]), true) + "=" +
           percentEncode(text::repairUtf8(object.values()[i].description()), true);
    checkStringSize(out.size());
  }
  return Value(std::move(out));
}

bool startsWith(const std::string& s, std::string_view prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

// "see www.x.org." => "see <a href=\"https://www.x.org\">www.x.org</a>."
Value urlize(const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef&) {
  if (args.empty() || !args[0].isString()) return Value("");
  BoundArguments bound = bindFilter(args, kwargs, {"trim_url_limit", "nofollow", "target", "rel", "extra_schemes"},
                                    {{"trim_url_limit", Value()}, {"nofollow", Value(false)}, {"target", Value()},
                                     {"rel", Value()}, {"extra_schemes", Value()}});
  std::optional<std::int64_t> limit;
  if (bound.at("trim_url_limit").isInt()) limit = std::max<std::int64_t>(bound.at("trim_url_limit").asInt(), 0);
  std::vector<std::string> schemes = {"http", "https", "mailto"};
  if (bound.at("extra_schemes").isArray())
    for (const Value& scheme : bound.at("extra_schemes").asArray())
      if (scheme.isString()) schemes.push_back(text::lowercased(text::repairUtf8(scheme.asString())));
  std::string attributes;
  if (bound.at("nofollow").isTruthy()) attributes += " rel=\"nofollow\"";
  if (bound.at("target").isString()) attributes += " target=\"" + escapeHtml(bound.at("target").asString()) + "\"";
  if (bound.at("rel").isString()) attributes += " rel=\"" + escapeHtml(bound.at("rel").asString()) + "\"";

  std::string s = text::repairUtf8(args[0].asString());
  std::string out;
  auto linkOf = [&](const std::string& word) -> std::string {
    std::size_t begin = 0, end = word.size();
    while (begin < end && (word[begin] == '(' || word[begin] == '[')) ++begin;
    while (end > begin && std::string_view(".,:;!?)\"]").find(word[end - 1]) != std::string_view::npos) --end;
    std::string middle = word.substr(begin, end - begin);
    if (middle.empty()) return word;
    std::string lower = text::lowercased(middle);
    std::string href;
    if (startsWith(lower, "http://") || startsWith(lower, "https://") || startsWith(lower, "mailto:")) {
      href = middle;
    } else if (startsWith(lower, "www.")) {
      href = (middle.find('@') != std::string::npos ? "mailto:" : "https://") + middle;
    } else if (middle.find('@') != std::string::npos) {
      href = "mailto:" + middle;
    } else if (middle.find(':') != std::string::npos) {
      std::string scheme;
      for (const std::string& piece : split(lower, std::string(":"), std::nullopt))
        if (!piece.empty()) {
          scheme = piece;
          break;
        }
      if (std::find(schemes.begin(), schemes.end(), scheme) == schemes.end()) return word;
      href = middle;
    } else {
      return word;
    }
    std::string display = middle;
    if (limit && static_cast<std::int64_t>(countCharacters(middle)) > *limit)
      display = sliceCharacters(middle, 0, *limit, 1) + "...";
    return word.substr(0, begin) + "<a href=\"" + escapeHtml(href) + "\"" + attributes + ">" + escapeHtml(display) +
           "</a>" + word.substr(end);
  };
  std::string word;
  CharacterWalk walk(s);
  for (std::string_view c; walk.next(c);) {
    if (isWhiteSpace(c)) {
      if (!word.empty()) out += linkOf(word);
      word.clear();
      out += c;
    } else {
      word += c;
    }
    checkStringSize(out.size());
  }
  if (!word.empty()) out += linkOf(word);
  return Value(std::move(out));
}

}  // namespace

void addLayoutFilters(Filters::Table& table) {
  table.emplace("capitalize", capitalize);
  table.emplace("center", center);
  table.emplace("title", title);
  table.emplace("wordcount", wordcount);
  table.emplace("replace", replace);
  table.emplace("urlencode", urlencode);
  table.emplace("truncate", truncate);
  table.emplace("indent", indent);
  table.emplace("urlize", urlize);
}

}  // namespace jinja::detail

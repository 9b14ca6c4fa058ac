#include "templates/PropertyMembers.h"

#include <algorithm>
#include <array>
#include <stdexcept>

#include "platform/Text/Unicode.h"
#include "templates/JinjaError.h"
#include "templates/detail/LiveMember.h"
#include "templates/detail/Once.h"
#include "templates/detail/Text.h"

namespace jinja {
namespace text = platform::text;
using namespace std::string_view_literals;
using detail::once;

namespace {

using Parameters = std::vector<std::string>;

// A method of strings (Receiver = std::string) or objects: binds its arguments against
// `parameters`, then runs `body` on the receiver and the bound map. The parameter list and defaults
// live as long as the program.
template <class Receiver>
struct Method {
  std::string_view name;
  const Parameters* parameters;
  const BoundArguments* defaults;
  Value (*body)(const Receiver& receiver, const BoundArguments& bound);

  Value call(const Receiver& receiver, const Arguments& args, const KeywordArguments& kwargs) const {
    return body(receiver, resolveCallArguments(args, kwargs, *parameters, *defaults));
  }
};

template <class Receiver, std::size_t N>
const Method<Receiver>* findMethod(const std::array<Method<Receiver>, N>& table, std::string_view name) {
  for (const Method<Receiver>& m : table)
    if (m.name == name) return &m;
  return nullptr;
}

const Parameters& noParameters() {
  static const Parameters none;
  return none;
}

const BoundArguments& noDefaults() {
  static const BoundArguments none;
  return none;
}

char32_t onlyScalar(std::string_view character) {
  std::size_t offset = 0;
  char32_t scalar = text::nextScalar(character, offset);
  return offset == character.size() ? scalar : 0xFFFFFFFF;
}

bool isStripSpace(std::string_view character) {
  char32_t c = onlyScalar(character);
  if (c == 0xFFFFFFFF) return false;
  return c == '\t' || (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029 ||
         text::generalCategory(c) == text::GeneralCategory::Zs;
}

bool isWhiteSpace(std::string_view character) {
  char32_t c = onlyScalar(character);
  return c != 0xFFFFFFFF && text::isWhitespace(c);
}

bool isWordBreak(std::string_view character) {
  char32_t c = onlyScalar(character);
  return c == ' ' || c == '\t' || (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029 ||
         character == "\r\n";
}

bool isVisibleAscii(char c) { return c > ' ' && c < 0x7F; }

template <class Pred>
std::string trimmed(const std::string& s, bool leading, bool trailing, Pred isSpace, bool spaceOnly = true) {
  // An end at a visible ASCII character is not space, whatever characters the text holds between:
  // such text comes back whole without being split into characters.
  if (spaceOnly && !s.empty() && (!leading || isVisibleAscii(s.front())) && (!trailing || isVisibleAscii(s.back())) &&
      text::isValidUtf8(s))
    return s;
  // The bytes from the first character kept to the end of the last one kept.
  detail::CharacterWalk walk(s);
  std::optional<std::size_t> begin;
  std::size_t end = 0;
  for (std::string_view c; walk.next(c);) {
    const bool space = isSpace(c);
    if (!begin) {
      if (leading && space) continue;
      begin = walk.offset() - c.size();
    }
    if (!trailing || !space) end = walk.offset();
  }
  if (!begin) return {};
  return std::string(walk.text().substr(*begin, end - *begin));
}

// "hELLO wORLD" => "Hello World"
std::string titled(const std::string& s) {
  std::string out;
  bool atWordStart = true;
  detail::CharacterWalk walk(s);
  for (std::string_view c; walk.next(c);) {
    if (isWordBreak(c)) {
      out += c;
      atWordStart = true;
    } else {
      out += atWordStart ? text::uppercased(c) : text::lowercased(c);
      atWordStart = false;
    }
  }
  return out;
}

bool startsWithCharacters(const std::string& s, const std::string& prefix) {
  if (prefix.empty()) return true;
  if (s.size() < prefix.size() || s.compare(0, prefix.size(), prefix) != 0) return false;
  if (prefix.size() == s.size()) return true;
  // Whether the prefix ends where a character does.
  detail::CharacterWalk walk(s);
  for (std::string_view c; walk.next(c);) {
    if (walk.offset() == prefix.size()) return true;
    if (walk.offset() > prefix.size()) return false;
  }
  return false;
}

bool endsWithCharacters(const std::string& s, const std::string& suffix) {
  if (suffix.empty()) return true;
  if (s.size() < suffix.size() || s.compare(s.size() - suffix.size(), suffix.size(), suffix) != 0) return false;
  // Whether the suffix starts where a character does.
  detail::CharacterWalk walk(s);
  if (walk.text().size() < suffix.size()) return false;
  const std::size_t start = walk.text().size() - suffix.size();
  if (start == 0) return true;
  for (std::string_view c; walk.next(c);) {
    if (walk.offset() == start) return true;
    if (walk.offset() > start) return false;
  }
  return false;
}

// 'ab' with '-' => '-a-b-'; at most `limit` insertions when limit >= 0.
std::string insertAround(const std::string& s, const std::string& insert, std::int64_t limit) {
  std::string out;
  std::int64_t done = 0;
  auto maybeInsert = [&] {
    if (limit < 0 || done < limit) {
      out += insert;
      ++done;
      checkStringSize(out.size());
    }
  };
  detail::CharacterWalk walk(s);
  for (std::string_view c; walk.next(c);) {
    maybeInsert();
    out += c;
  }
  maybeInsert();
  return out;
}

const Parameters& charsParameter() {
  static const Parameters chars{"chars"};
  return chars;
}

const BoundArguments& charsDefault() {
  static const BoundArguments chars{{"chars", Value()}};
  return chars;
}

// Without `chars` (or with null), white space goes; with a string, the characters it holds:
// "xxaxx".strip("x") => "a";  "abcba".strip("ab") => "c"
template <class Pred>
Value stripped(const std::string& s, const BoundArguments& bound, bool leading, bool trailing, Pred isSpace) {
  const Value& chars = bound.at("chars");
  if (chars.isNull() || chars.isUndefined()) return Value(trimmed(s, leading, trailing, isSpace));
  if (!chars.isString()) throw JinjaError::runtime("strip arguments must be strings, not " + chars.description());
  const std::string& set = chars.asString();
  return Value(trimmed(s, leading, trailing, [&set](std::string_view c) {
    std::size_t at = set.find(c);
    while (at != std::string::npos) {
      // A whole character of the set, not the start of a longer one.
      if (at + c.size() == set.size() || (static_cast<unsigned char>(set[at + c.size()]) & 0xC0) != 0x80) return true;
      at = set.find(c, at + 1);
    }
    return false;
  }, false));
}

using StringMethod = Method<std::string>;

const StringMethod* stringMethod(std::string_view name) {
  static const std::array<StringMethod, 11> table = {{
      {"upper", &noParameters(), &noDefaults(),
       [](const std::string& s, const BoundArguments&) { return Value(detail::casedInPieces(s, true)); }},
      {"lower", &noParameters(), &noDefaults(),
       [](const std::string& s, const BoundArguments&) { return Value(detail::casedInPieces(s, false)); }},
      {"title", &noParameters(), &noDefaults(),
       [](const std::string& s, const BoundArguments&) { return Value(titled(s)); }},
      {"strip", &charsParameter(), &charsDefault(),
       [](const std::string& s, const BoundArguments& bound) { return stripped(s, bound, true, true, isStripSpace); }},
      {"lstrip", &charsParameter(), &charsDefault(),
       [](const std::string& s, const BoundArguments& bound) { return stripped(s, bound, true, false, isWhiteSpace); }},
      {"rstrip", &charsParameter(), &charsDefault(),
       [](const std::string& s, const BoundArguments& bound) { return stripped(s, bound, false, true, isWhiteSpace); }},
      {"split", &once([] { return Parameters{"separator", "maxsplit"}; }),
       &once([] { return BoundArguments{{"separator", Value()}, {"maxsplit", Value(-1)}}; }),
       [](const std::string& s, const BoundArguments& bound) {
         const Value& separator = bound.at("separator");
         const Value& maxsplit = bound.at("maxsplit");
         std::optional<std::string> sep;
         if (separator.isString()) sep = separator.asString();
         std::optional<std::int64_t> limit;
         if (maxsplit.isInt() && maxsplit.asInt() >= 0) limit = maxsplit.asInt();
         Value::Array pieces;
         for (std::string& piece : split(s, sep, limit)) pieces.emplace_back(std::move(piece));
         return Value(std::move(pieces));
       }},
      {"replace", &once([] { return Parameters{"old", "new", "count"}; }),
       &once([] { return BoundArguments{{"count", Value(-1)}}; }),
       [](const std::string& s, const BoundArguments& bound) {
         const Value& old = bound.at("old");
         const Value& replacement = bound.at("new");
         const Value& count = bound.at("count");
         if (!old.isString() || !replacement.isString())
           throw JinjaError::runtime("replace() requires 'old' and 'new' string arguments");
         std::int64_t limit = count.isInt() && count.asInt() >= 0 ? count.asInt() : -1;
         if (old.asString().empty()) return Value(insertAround(s, replacement.asString(), limit));
         return Value(detail::replaceForward(s, old.asString(), replacement.asString(), limit));
       }},
      {"startswith", &once([] { return Parameters{"prefix"}; }), &noDefaults(),
       [](const std::string& s, const BoundArguments& bound) {
         const Value& prefix = bound.at("prefix");
         if (!prefix.isString()) throw JinjaError::runtime("startswith() requires a string prefix");
         return Value(startsWithCharacters(s, prefix.asString()));
       }},
      {"endswith", &once([] { return Parameters{"suffix"}; }), &noDefaults(),
       [](const std::string& s, const BoundArguments& bound) {
         const Value& suffix = bound.at("suffix");
         if (!suffix.isString()) throw JinjaError::runtime("endswith() requires a string suffix");
         return Value(endsWithCharacters(s, suffix.asString()));
       }},
  }};
  return findMethod(table, name);
}

using ObjectMethod = Method<Value::Object>;

// The methods that hide an object's keys of the same name.
const ObjectMethod* objectMethod(std::string_view name) {
  static const std::array<ObjectMethod, 4> table = {{
      {"items", &noParameters(), &noDefaults(),
       [](const Value::Object& m, const BoundArguments&) {
         Value::Array out;
         out.reserve(m.size());
         for (std::size_t i = 0; i < m.size(); ++i) out.push_back(Value::array({Value(m.keys()[i]), m.values()[i]}));
         return Value(std::move(out));
       }},
      {"get", &once([] { return Parameters{"key", "default"}; }),
       &once([] { return BoundArguments{{"default", Value()}}; }),
       [](const Value::Object& m, const BoundArguments& bound) {
         const Value& key = bound.at("key");
         const Value* found = m.get(key.isString() ? key.asString() : key.description());
         return found ? *found : bound.at("default");
       }},
      {"keys", &noParameters(), &noDefaults(),
       [](const Value::Object& m, const BoundArguments&) {
         Value::Array out;
         for (const std::string& key : m.keys()) out.emplace_back(key);
         return Value(std::move(out));
       }},
      {"values", &noParameters(), &noDefaults(),
       [](const Value::Object& m, const BoundArguments&) { return Value(Value::Array(m.values())); }},
  }};
  return findMethod(table, name);
}

// The method as a function value that holds its receiver (shared, as values are copy on write).
Value boundObjectMethod(const Value& receiver, const ObjectMethod& m) {
  return Value(Function([receiver, &m](const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef&) {
    return m.call(receiver.asObject(), args, kwargs);
  }));
}

}  // namespace

Value PropertyMembers::evaluate(const Value& receiver, const std::string& name) {
  if (receiver.isObject()) {
    if (const ObjectMethod* m = objectMethod(name)) return boundObjectMethod(receiver, *m);
    return evaluateObjectProperty(receiver.asObject(), name);
  }
  if (receiver.isString()) return evaluateStringProperty(receiver.asString(), name);
  return Value::undefined();
}

Value PropertyMembers::evaluateStringProperty(const std::string& receiver, const std::string& name) {
  const StringMethod* m = stringMethod(name);
  if (!m) return Value::undefined();
  return Value(Function([receiver, m](const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef&) {
    return m->call(receiver, args, kwargs);
  }));
}

bool PropertyMembers::isObjectMethod(std::string_view name) {
  // Asked for every member read by name: the four names differ in length.
  switch (name.size()) {
    case 3: return name == "get"sv;
    case 4: return name == "keys"sv;
    case 5: return name == "items"sv;
    case 6: return name == "values"sv;
    default: return false;
  }
}

bool PropertyMembers::callMethod(const Value& receiver, std::string_view name, const Arguments& args,
                                 const KeywordArguments& kwargs, Value& result) {
  if (receiver.isString()) {
    const StringMethod* m = stringMethod(name);
    if (!m) return false;
    result = m->call(receiver.asString(), args, kwargs);
    return true;
  }
  if (receiver.isObject()) {
    const ObjectMethod* m = objectMethod(name);
    if (!m) return false;
    result = m->call(receiver.asObject(), args, kwargs);
    return true;
  }
  return false;
}

Value PropertyMembers::evaluateObjectProperty(const Value::Object& receiver, const std::string& name) {
  if (const ObjectMethod* m = objectMethod(name)) return boundObjectMethod(Value(receiver), *m);
  const Value* stored = receiver.get(name);
  if (stored) return detail::memberValue(*stored);
  return Value::undefined();
}

// Calls `take` with each piece of the split, in order.
template <class Take>
void forEachPiece(std::string_view text, const std::optional<std::string>& separator,
                  std::optional<std::int64_t> limit, Take&& take) {
  if (!separator) {
    std::size_t from = 0;
    while (from <= text.size()) {
      std::size_t at = text.find(' ', from);
      if (at == std::string_view::npos) at = text.size();
      if (at > from) take(text.substr(from, at - from));
      from = at + 1;
    }
    return;
  }
  // The empty separator never occurs: the whole text is the one piece.
  if (separator->empty()) {
    take(text);
    return;
  }
  std::int64_t splits = 0;
  std::size_t from = 0;
  const detail::Substring needle(*separator);
  while (!limit || splits < *limit) {
    std::size_t at = needle.findIn(text, from);
    if (at == std::string_view::npos) break;
    take(text.substr(from, at - from));
    from = at + separator->size();
    ++splits;
  }
  take(text.substr(from));
}

std::vector<std::string> split(std::string_view text, const std::optional<std::string>& separator,
                               std::optional<std::int64_t> limit) {
  // Counted first, so that a split into too many pieces fails before building any.
  std::size_t count = 0;
  forEachPiece(text, separator, limit, [&count](std::string_view) { ++count; });
  checkArraySize(count);
  std::vector<std::string> pieces;
  pieces.reserve(count);
  forEachPiece(text, separator, limit, [&pieces](std::string_view piece) { pieces.emplace_back(piece); });
  return pieces;
}

BoundArguments::BoundArguments(std::initializer_list<std::pair<std::string, Value>> entries) {
  entries_.reserve(entries.size());
  for (const auto& [name, value] : entries)
    if (!find(name)) entries_.emplace_back(name, value);  // the first of repeated names, as a map keeps
}

const Value* BoundArguments::find(std::string_view name) const {
  for (const auto& entry : entries_)
    if (TextEqual{}(entry.first, name)) return &entry.second;
  return nullptr;
}

const Value& BoundArguments::at(std::string_view name) const {
  if (const Value* value = find(name)) return *value;
  throw std::out_of_range("no bound argument " + std::string(name));
}

void BoundArguments::set(std::string_view name, Value value) {
  for (auto& entry : entries_)
    if (TextEqual{}(entry.first, name)) {
      entry.second = std::move(value);
      return;
    }
  entries_.emplace_back(std::string(name), std::move(value));
}

BoundArguments resolveCallArguments(const Arguments& args, const KeywordArguments& kwargs,
                                    const std::vector<std::string>& parameters, const BoundArguments& defaults,
                                    std::size_t firstArgument) {
  BoundArguments bound;
  bound.reserve(parameters.size());
  for (std::size_t i = 0; firstArgument + i < args.size() && i < parameters.size(); ++i) {
    const std::string& p = parameters[i];
    if (!kwargs.empty() && kwargs.count(p))
      throw JinjaError::runtime("Argument '" + p + "' passed both positionally and as keyword.");
    bound.set(p, args[firstArgument + i]);
  }
  for (const auto& [name, value] : kwargs) {
    if (std::find_if(parameters.begin(), parameters.end(), [&](const std::string& p) { return TextEqual{}(p, name); }) ==
        parameters.end())
      throw JinjaError::runtime("Unexpected keyword argument '" + name + "' for filter.");
    if (bound.count(name)) throw JinjaError::runtime("Argument '" + name + "' passed both positionally and as keyword.");
    bound.set(name, value);
  }
  for (const std::string& p : parameters) {
    if (bound.count(p)) continue;
    const Value* fallback = defaults.find(p);
    if (!fallback) throw JinjaError::runtime("Missing required argument '" + p + "' for filter.");
    bound.set(p, *fallback);
  }
  return bound;
}

}  // namespace jinja

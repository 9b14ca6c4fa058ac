#include "Hub/Config.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "platform/System/Json.h"
#include "platform/System/NumberText.h"
#include "platform/Text/Unicode.h"
#include "templates/Value.h"

namespace hub {

namespace text = platform::text;
namespace json = platform::json;

namespace {

const Config& nullConfig() {
  static const Config null;
  return null;
}

bool isAscii(std::string_view s) {
  for (unsigned char c : s)
    if (c >= 0x80) return false;
  return true;
}

std::optional<bool> booleanReading(const BinaryDistinctString& s) {
  const std::string& raw = s.utf8();
  std::string lower;
  if (isAscii(raw)) {
    if (raw.size() > 5) return std::nullopt;
    lower = raw;
    for (char& c : lower)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  } else {
    lower = text::lowercased(s.string());
  }
  if (lower == "true" || lower == "t" || lower == "1") return true;
  if (lower == "false" || lower == "f" || lower == "0") return false;
  return std::nullopt;
}

// 64-bit mixing for the hash feed.
inline void feed(std::size_t& h, std::uint64_t v) {
  v ^= v >> 33;
  v *= 0xff51afd7ed558ccdull;
  v ^= v >> 33;
  h = (h ^ v) * 0x100000001b3ull + 0x9e3779b97f4a7c15ull;
}

void feedUnits(std::size_t& h, const BinaryDistinctString& s) {
  const std::string& u = s.utf8();
  feed(h, u.size());
  feed(h, std::hash<std::string_view>{}(u));
}

inline std::size_t finish(std::size_t h) {
  std::uint64_t v = h;
  v ^= v >> 31;
  v *= 0xbf58476d1ce4e5b9ull;
  v ^= v >> 29;
  return static_cast<std::size_t>(v);
}

void hashInto(const Config& c, std::size_t& h);

void hashInto(const Config& c, std::size_t& h) {
  switch (c.kind()) {
    case Config::Kind::string:
      feed(h, 1);
      feedUnits(h, *c.getIf<BinaryDistinctString>());
      break;
    case Config::Kind::integer:
      feed(h, 2);
      feed(h, static_cast<std::uint64_t>(*c.getIf<std::int64_t>()));
      break;
    case Config::Kind::boolean:
      feed(h, 3);
      feed(h, *c.getIf<bool>() ? 1 : 0);
      break;
    case Config::Kind::floating: {
      feed(h, 4);
      float f = *c.getIf<float>();
      std::uint32_t bits = 0;
      if (f != 0.0f) std::memcpy(&bits, &f, sizeof bits);  // +0 and -0 alike
      feed(h, bits);
      break;
    }
    case Config::Kind::dictionary: {
      feed(h, 5);
      std::size_t combined = 0;
      for (const auto& [key, value] : *c.dictionary()) {
        std::size_t entry = h;
        feedUnits(entry, key);
        hashInto(value, entry);
        combined ^= finish(entry);
      }
      feed(h, combined);
      break;
    }
    case Config::Kind::array:
      feed(h, 6);
      for (const auto& e : *c.array()) hashInto(e, h);
      break;
    case Config::Kind::token: {
      const auto& t = *c.getIf<Config::Token>();
      feed(h, 7);
      feed(h, t.id);
      feedUnits(h, t.text);
      break;
    }
    case Config::Kind::null:
      feed(h, 0);
      break;
  }
}

void describe(const Config& c, std::string& out) {
  switch (c.kind()) {
    case Config::Kind::string:
      out += '"';
      out += c.getIf<BinaryDistinctString>()->string();
      out += '"';
      break;
    case Config::Kind::integer: out += std::to_string(*c.getIf<std::int64_t>()); break;
    case Config::Kind::boolean: out += *c.getIf<bool>() ? "true" : "false"; break;
    case Config::Kind::floating: out += platform::system::shortestText(*c.getIf<float>()); break;
    case Config::Kind::dictionary: {
      const auto& d = *c.dictionary();
      out += "{[";
      if (d.empty()) out += ':';
      bool first = true;
      for (const auto& [key, value] : d) {
        if (!first) out += ", ";
        first = false;
        out += key.string();
        out += ": ";
        describe(value, out);
      }
      out += "]}";
      break;
    }
    case Config::Kind::array: {
      out += "[[";
      bool first = true;
      for (const auto& e : *c.array()) {
        if (!first) out += ", ";
        first = false;
        describe(e, out);
      }
      out += "]]";
      break;
    }
    case Config::Kind::token: {
      const auto& t = *c.getIf<Config::Token>();
      out += '(' + std::to_string(t.id) + ", " + t.text.string() + ')';
      break;
    }
    case Config::Kind::null: out += "null"; break;
  }
}

}  // namespace

float nearestFloat(double d) {
  constexpr double kMax = std::numeric_limits<float>::max();
  // Halfway between FLT_MAX and 2^128: below it rounds down to FLT_MAX, from it up to infinity.
  constexpr double kOverflow = 0x1.ffffffp127;
  if (std::isnan(d) || std::fabs(d) <= kMax) return static_cast<float>(d);
  if (std::fabs(d) < kOverflow) return d < 0 ? -std::numeric_limits<float>::max() : std::numeric_limits<float>::max();
  return d < 0 ? -std::numeric_limits<float>::infinity() : std::numeric_limits<float>::infinity();
}

std::string uncamelCase(std::string_view key) {
  std::string out;
  out.reserve(key.size() + 4);
  bool previousNotUpper = false;
  if (isAscii(key)) {
    for (char c : key) {
      if (c >= 'A' && c <= 'Z') {
        if (previousNotUpper) out += '_';
        out += static_cast<char>(c - 'A' + 'a');
        previousNotUpper = false;
      } else {
        out += c;
        previousNotUpper = true;
      }
    }
    return out;
  }
  for (std::size_t i = 0; i < key.size();) {
    std::size_t start = i;
    char32_t c = text::nextScalar(key, i);
    if (text::isUppercase(c)) {
      if (previousNotUpper) out += '_';
      out += text::lowercased(key.substr(start, i - start));
      previousNotUpper = false;
    } else {
      out.append(key.substr(start, i - start));
      previousNotUpper = true;
    }
  }
  return out;
}

// ---- Construction ------------------------------------------------------------------------------

Config::Config(double value) : data_(nearestFloat(value)) {}

Config::Config(Dictionary dictionary) : data_(std::make_shared<const Dictionary>(std::move(dictionary))) {}

Config::Config(Array array) : data_(std::make_shared<const Array>(std::move(array))) {}

Config::Config(const std::unordered_map<std::string, Config>& dictionary) {
  Dictionary d;
  d.reserve(dictionary.size());
  for (const auto& [key, value] : dictionary) d.insert_or_assign(BinaryDistinctString(key), value);
  data_ = std::make_shared<const Dictionary>(std::move(d));
}

Config Config::dictionaryOf(std::initializer_list<std::pair<BinaryDistinctString, Config>> entries) {
  Dictionary d;
  d.reserve(entries.size());
  for (const auto& [key, value] : entries) d.insert_or_assign(key, value);
  return Config(std::move(d));
}

Config Config::arrayOf(std::initializer_list<Config> elements) { return Config(Array(elements)); }

// ---- Lookups -----------------------------------------------------------------------------------

const Config& Config::operator[](std::string_view key) const {
  const Dictionary* d = dictionary();
  if (!d) return nullConfig();
  if (auto it = d->find(key); it != d->end()) return it->second;
  // A key that is no text cannot have a snake_case form; it is simply absent.
  if (!text::isValidUtf8(key)) return nullConfig();
  std::string snake = uncamelCase(key);
  if (snake != key) {
    if (auto it = d->find(std::string_view(snake)); it != d->end()) return it->second;
  }
  return nullConfig();
}

const Config& Config::element(std::int64_t index) const {
  const Array* a = array();
  if (!a || index < 0 || static_cast<std::uint64_t>(index) >= a->size()) return nullConfig();
  return (*a)[static_cast<std::size_t>(index)];
}

const Config* Config::member(std::string_view key) const {
  if (!dictionary()) return nullptr;
  return &(*this)[key];
}

// ---- Typed reads -------------------------------------------------------------------------------

std::optional<std::string> Config::string() const {
  if (auto* s = getIf<BinaryDistinctString>()) return s->string();
  return std::nullopt;
}
std::string Config::string(std::string defaultValue) const { return string().value_or(std::move(defaultValue)); }

std::optional<BinaryDistinctString> Config::binaryDistinctString() const {
  if (auto* s = getIf<BinaryDistinctString>()) return *s;
  return std::nullopt;
}
BinaryDistinctString Config::binaryDistinctString(BinaryDistinctString defaultValue) const {
  return binaryDistinctString().value_or(std::move(defaultValue));
}

std::optional<std::int64_t> Config::integer() const {
  if (auto* i = getIf<std::int64_t>()) return *i;
  return std::nullopt;
}
std::int64_t Config::integer(std::int64_t defaultValue) const { return integer().value_or(defaultValue); }

std::optional<float> Config::floating() const {
  if (auto* f = getIf<float>()) return *f;
  if (auto* i = getIf<std::int64_t>()) return static_cast<float>(*i);
  return std::nullopt;
}
float Config::floating(float defaultValue) const { return floating().value_or(defaultValue); }

std::optional<bool> Config::boolean() const {
  if (auto* b = getIf<bool>()) return *b;
  if (auto* i = getIf<std::int64_t>()) return *i == 1;
  if (auto* s = getIf<BinaryDistinctString>()) return booleanReading(*s);
  return std::nullopt;
}
bool Config::boolean(bool defaultValue) const { return boolean().value_or(defaultValue); }

Config::Dictionary Config::dictionary(Dictionary defaultValue) const {
  if (auto* d = dictionary()) return *d;
  return defaultValue;
}

std::optional<BinaryDistinctMap<std::int64_t>> Config::integerDictionary() const {
  const Dictionary* d = dictionary();
  if (!d) return std::nullopt;
  BinaryDistinctMap<std::int64_t> out;
  out.reserve(d->size());
  for (const auto& [key, value] : *d)
    if (auto* i = value.getIf<std::int64_t>()) out.emplace(key, *i);
  return out;
}

Config::Array Config::array(Array defaultValue) const {
  if (auto* a = array()) return *a;
  return defaultValue;
}

std::optional<std::vector<std::string>> Config::stringArray() const {
  const Array* a = array();
  if (!a) return std::nullopt;
  std::vector<std::string> out;
  for (const auto& e : *a)
    if (auto* s = e.getIf<BinaryDistinctString>()) out.push_back(s->string());
  return out;
}
std::vector<std::string> Config::stringArray(std::vector<std::string> defaultValue) const {
  auto a = stringArray();
  return a ? std::move(*a) : std::move(defaultValue);
}

std::optional<std::vector<BinaryDistinctString>> Config::binaryDistinctStringArray() const {
  const Array* a = array();
  if (!a) return std::nullopt;
  std::vector<BinaryDistinctString> out;
  for (const auto& e : *a)
    if (auto* s = e.getIf<BinaryDistinctString>()) out.push_back(*s);
  return out;
}
std::vector<BinaryDistinctString> Config::binaryDistinctStringArray(std::vector<BinaryDistinctString> defaultValue) const {
  auto a = binaryDistinctStringArray();
  return a ? std::move(*a) : std::move(defaultValue);
}

std::optional<std::pair<std::uint64_t, std::string>> Config::token() const {
  if (auto* t = getIf<Token>()) return std::make_pair(t->id, t->text.string());
  if (const Array* a = array(); a && a->size() == 2) {
    auto* text = (*a)[0].getIf<BinaryDistinctString>();
    auto* id = (*a)[1].getIf<std::int64_t>();
    // A negative id has no token reading.
    if (text && id && *id >= 0) return std::make_pair(static_cast<std::uint64_t>(*id), text->string());
  }
  return std::nullopt;
}
std::pair<std::uint64_t, std::string> Config::token(std::pair<std::uint64_t, std::string> defaultValue) const {
  auto t = token();
  return t ? std::move(*t) : std::move(defaultValue);
}

// ---- Printing, equality, hashing ---------------------------------------------------------------

std::string Config::description() const {
  std::string out;
  describe(*this, out);
  return out;
}

bool operator==(const Config& a, const Config& b) {
  using K = Config::Kind;
  const K ka = a.kind(), kb = b.kind();
  switch (ka) {
    case K::string: {
      const auto& s = *a.getIf<BinaryDistinctString>();
      if (kb == K::string) return s == *b.getIf<BinaryDistinctString>();
      if (kb == K::boolean) {
        auto reading = booleanReading(s);
        return reading && *reading == *b.getIf<bool>();
      }
      return false;
    }
    case K::integer: {
      std::int64_t i = *a.getIf<std::int64_t>();
      if (kb == K::integer) return i == *b.getIf<std::int64_t>();
      if (kb == K::boolean) return (i == 1) == *b.getIf<bool>();
      if (kb == K::floating) return static_cast<float>(i) == *b.getIf<float>();
      return false;
    }
    case K::boolean: {
      bool v = *a.getIf<bool>();
      if (kb == K::boolean) return v == *b.getIf<bool>();
      if (kb == K::integer) return (*b.getIf<std::int64_t>() == 1) == v;
      if (kb == K::string) {
        auto reading = booleanReading(*b.getIf<BinaryDistinctString>());
        return reading && *reading == v;
      }
      return false;
    }
    case K::floating: {
      float f = *a.getIf<float>();
      if (kb == K::floating) return f == *b.getIf<float>();
      if (kb == K::integer) return f == static_cast<float>(*b.getIf<std::int64_t>());
      return false;
    }
    case K::dictionary: {
      if (kb != K::dictionary) return false;
      const auto& x = *a.dictionary();
      const auto& y = *b.dictionary();
      if (&x == &y) return true;
      if (x.size() != y.size()) return false;
      for (const auto& [key, value] : x) {
        auto it = y.find(key);
        if (it == y.end() || !(value == it->second)) return false;
      }
      return true;
    }
    case K::array: {
      if (kb != K::array) return false;
      const auto& x = *a.array();
      const auto& y = *b.array();
      if (&x == &y) return true;
      if (x.size() != y.size()) return false;
      for (std::size_t i = 0; i < x.size(); ++i)
        if (!(x[i] == y[i])) return false;
      return true;
    }
    case K::token: {
      if (kb != K::token) return false;
      const auto& x = *a.getIf<Config::Token>();
      const auto& y = *b.getIf<Config::Token>();
      return x.id == y.id && x.text == y.text;
    }
    case K::null: return kb == K::null;
  }
  return false;
}

std::size_t Config::hash() const {
  std::size_t h = 0xcbf29ce484222325ull;
  hashInto(*this, h);
  return finish(h);
}

// ---- JSON --------------------------------------------------------------------------------------

json::Value Config::toJson() const {
  switch (kind()) {
    case Kind::string: return json::Value(getIf<BinaryDistinctString>()->string());
    case Kind::integer: return json::Value(static_cast<long long>(*getIf<std::int64_t>()));
    case Kind::boolean: return json::Value(*getIf<bool>());
    case Kind::floating: return json::Value(*getIf<float>());
    case Kind::dictionary: {
      json::Object object;
      object.reserve(dictionary()->size());
      for (const auto& [key, value] : *dictionary()) object.emplace_back(key.string(), value.toJson());
      return json::Value(std::move(object));
    }
    case Kind::array: {
      json::Array out;
      out.reserve(array()->size());
      for (const auto& e : *array()) out.push_back(e.toJson());
      return json::Value(std::move(out));
    }
    case Kind::token: {
      const auto& t = *getIf<Token>();
      return json::Value(json::Array{json::Value(static_cast<unsigned long long>(t.id)), json::Value(t.text.string())});
    }
    case Kind::null: return json::Value();
  }
  return json::Value();
}

Config Config::fromJson(const json::Value& value) {
  using K = json::Value::Kind;
  // 1. A single value: null, integer, float, boolean, text in that order.
  switch (value.kind()) {
    case K::null: return Config();
    case K::integer:
    case K::unsignedInteger:
    case K::floating: {
      try {
        return Config(value.asInt());
      } catch (const json::DecodingError&) {
      }
      try {
        return Config(value.asFloat());
      } catch (const json::DecodingError&) {
      }
      return Config();
    }
    case K::boolean: return Config(value.asBool());
    case K::string: {
      const std::string& s = value.asString();
      if (!text::isValidUtf8(s)) return Config();
      return Config(BinaryDistinctString::fromValidUtf8(s));
    }
    case K::array: {
      const auto& a = value.asArray();
      // 2. [id, text] is a token.
      if (a.size() == 2 && a[1].kind() == K::string) {
        try {
          std::uint64_t id = a[0].asUInt();
          if (text::isValidUtf8(a[1].asString())) return Config(Token{id, BinaryDistinctString::fromValidUtf8(a[1].asString())});
        } catch (const json::DecodingError&) {
        }
      }
      // 3. An array of decoded elements.
      Array out;
      out.reserve(a.size());
      for (const auto& e : a) out.push_back(fromJson(e));
      return Config(std::move(out));
    }
    case K::object: {
      // 4. A dictionary; a repeated key replaces the earlier entry.
      Dictionary d;
      d.reserve(value.asObject().size());
      for (const auto& [key, member] : value.asObject()) {
        if (!text::isValidUtf8(key)) continue;
        d.insert_or_assign(BinaryDistinctString::fromValidUtf8(key), fromJson(member));
      }
      return Config(std::move(d));
    }
  }
  return Config();
}

Config Config::convertToBinaryDistinctKeys(const json::Value& value) {
  using K = json::Value::Kind;
  switch (value.kind()) {
    case K::object: {
      Dictionary d;
      d.reserve(value.asObject().size());
      for (const auto& [key, member] : value.asObject())
        d.insert_or_assign(BinaryDistinctString(key), convertToBinaryDistinctKeys(member));
      return Config(std::move(d));
    }
    case K::array: {
      Array out;
      out.reserve(value.asArray().size());
      for (const auto& e : value.asArray()) out.push_back(convertToBinaryDistinctKeys(e));
      return Config(std::move(out));
    }
    case K::string: return Config(BinaryDistinctString(value.asString()));
    case K::integer: return Config(value.asInt());
    case K::unsignedInteger: {
      std::uint64_t u = value.asUInt();
      if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        return Config(static_cast<std::int64_t>(u));
      return Config(static_cast<float>(u));
    }
    case K::floating: {
      double d = value.asDouble();
      // A whole number converts to an integer exactly, as a boxed platform number would.
      if (std::isfinite(d) && std::trunc(d) == d && d >= -9223372036854775808.0 && d < 9223372036854775808.0)
        return Config(static_cast<std::int64_t>(d));
      return Config(nearestFloat(d));
    }
    case K::boolean: return Config(value.asBool());
    case K::null: return Config();
  }
  return Config();
}

jinja::Value Config::jinjaValue() const {
  switch (kind()) {
    case Kind::string: return jinja::Value(getIf<BinaryDistinctString>()->string());
    case Kind::integer: return jinja::Value(*getIf<std::int64_t>());
    case Kind::boolean: return jinja::Value(*getIf<bool>());
    case Kind::floating: {
      float f = *getIf<float>();
      char text[32];
      auto written = std::to_chars(text, text + sizeof text, f);
      double d = static_cast<double>(f);
      if (written.ec == std::errc()) std::from_chars(text, written.ptr, d);
      return jinja::Value(d);
    }
    case Kind::dictionary: {
      jinja::Value::Object object;
      for (const auto& [key, value] : *getIf<Dictionary>()) object.set(key.string(), value.jinjaValue());
      return jinja::Value(std::move(object));
    }
    case Kind::array: {
      jinja::Value::Array array;
      for (const Config& element : *getIf<Array>()) array.push_back(element.jinjaValue());
      return jinja::Value(std::move(array));
    }
    case Kind::token: {
      const Token& token = *getIf<Token>();
      return jinja::Value::object({{std::to_string(token.id), jinja::Value(token.text.string())}});
    }
    case Kind::null: return jinja::Value();
  }
  return jinja::Value();
}

}  // namespace hub

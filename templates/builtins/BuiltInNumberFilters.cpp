// The number, conversion and serialization filters; the layout filters are added at the end.
#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <unordered_set>

#include "platform/System/Json.h"
#include "platform/Text/Unicode.h"
#include "templates/JinjaError.h"
#include "templates/builtins/BuiltInFilterKit.h"
#include "templates/detail/Text.h"

namespace jinja::detail {
namespace text = platform::text;
namespace json = platform::json;

namespace {

// The deepest nesting the JSON writer is asked to write, as deep as the reader takes.
constexpr std::uint32_t maxJsonDepth = 512;

// "h\u00e9llo" for "héllo"; above U+FFFF as a surrogate pair.
std::string escapeNonAscii(const std::string& s) {
  std::string out;
  char buffer[16];
  for (std::size_t offset = 0; offset < s.size();) {
    char32_t c = text::nextScalar(s, offset);
    auto unit = [&](unsigned u) {
      std::snprintf(buffer, sizeof buffer, "\\u%04x", u);
      out += buffer;
    };
    if (out.size() > Value::maxStringBytes) checkStringSize(out.size());
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x10000) {
      unit(static_cast<unsigned>(c));
    } else {
      unit(0xD800 + ((c - 0x10000) >> 10));
      unit(0xDC00 + ((c - 0x10000) & 0x3FF));
    }
  }
  return out;
}

bool isAsciiText(const std::string& s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

void appendJsonString(const std::string& s, std::string& out) {
  static const char* hex = "0123456789abcdef";
  out.push_back('"');
  std::size_t plain = 0;  // start of the run of bytes copied as they are
  for (std::size_t i = 0; i < s.size(); ++i) {
    auto c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(s, plain, i - plain);
    plain = i + 1;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        out += "\\u00";
        out.push_back(hex[c >> 4]);
        out.push_back(hex[c & 0xF]);
    }
  }
  out.append(s, plain, s.size() - plain);
  out.push_back('"');
}

void appendJsonNewline(std::string& out, int indent) {
  out.push_back('\n');
  out.append(static_cast<std::size_t>(indent) * 2, ' ');
}

// Throws the size error once `out` has grown past the string cap. Called as the JSON text grows, so
// a value that shares one array many times over stops at the cap instead of filling memory.
void checkJsonSize(const std::string& out) {
  if (out.size() > Value::maxStringBytes) checkStringSize(out.size());
}

// How tojson lays JSON out: separators after an item and after a key, and the key order.
struct JsonLayout {
  json::WriteOptions options;
  std::string item = ",";
  std::string key = ":";
  bool sortKeys = true;  // else insertion order
};

// The JSON text of `v` as the JSON writer (sorted keys, plain slashes) writes toJson's document,
// written straight from the value; false, with `out` partly written, for a function anywhere in it.
// Doubles, non-ASCII text and macros are left to the writer one at a time. Throws
// json::EncodingError as the writer does, and the size error past the string cap.
bool appendJson(const Value& v, const JsonLayout& layout, int indent, std::string& out) {
  const json::WriteOptions& options = layout.options;
  const bool pretty = options.pretty;
  switch (v.kind()) {
    case Value::Kind::null:
    case Value::Kind::undefined: out += "null"; return true;
    case Value::Kind::boolean: out += v.asBool() ? "true" : "false"; return true;
    case Value::Kind::int_: out += std::to_string(v.asInt()); return true;
    case Value::Kind::double_: out += json::write(json::Value(v.asDouble()), options); return true;
    case Value::Kind::string:
      checkStringSize(out.size() + v.asString().size());
      if (isAsciiText(v.asString())) appendJsonString(v.asString(), out);
      else out += json::write(json::Value(v.asString()), options);
      checkJsonSize(out);
      return true;
    case Value::Kind::macro: {
      // The writer lays it out from indent 0; its line breaks all belong to the layout.
      std::string written = json::write(v.asMacro().toJson(), options);
      for (char c : written) {
        out.push_back(c);
        if (c == '\n') out.append(static_cast<std::size_t>(indent) * 2, ' ');
      }
      checkJsonSize(out);
      return true;
    }
    case Value::Kind::function: return false;
    case Value::Kind::array: {
      const Value::Array& elements = v.asArray();
      if (elements.empty()) {
        out += "[]";
        return true;
      }
      out.push_back('[');
      for (std::size_t i = 0; i < elements.size(); ++i) {
        if (i > 0) out += layout.item;
        if (pretty) appendJsonNewline(out, indent + 1);
        if (!appendJson(elements[i], layout, indent + 1, out)) return false;
        checkJsonSize(out);
      }
      if (pretty) appendJsonNewline(out, indent);
      out.push_back(']');
      return true;
    }
    case Value::Kind::object: {
      const Value::Object& object = v.asObject();
      if (object.size() == 0) {
        out += "{}";
        return true;
      }
      // Byte order, as the writer sorts (keys are distinct); objects from JSON come sorted already.
      const auto& keys = object.keys();
      bool sorted = true;
      for (std::size_t i = 1; i < object.size() && sorted && layout.sortKeys; ++i) sorted = keys[i - 1] < keys[i];
      std::vector<std::size_t> order;
      if (!sorted) {
        order.resize(object.size());
        for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return keys[a] < keys[b]; });
      }
      out.push_back('{');
      for (std::size_t k = 0; k < object.size(); ++k) {
        std::size_t i = sorted ? k : order[k];
        if (k > 0) out += layout.item;
        if (pretty) appendJsonNewline(out, indent + 1);
        if (isAsciiText(keys[i])) appendJsonString(keys[i], out);
        else out += json::write(json::Value(keys[i]), options);
        out += layout.key;
        if (!appendJson(object.values()[i], layout, indent + 1, out)) return false;
        checkJsonSize(out);
      }
      if (pretty) appendJsonNewline(out, indent);
      out.push_back('}');
      return true;
    }
  }
  return false;
}

// {'b': 1, 'a': 'é'} | tojson => {"a":"\u00e9","b":1};  [1, 2] | tojson(separators=(', ', ': ')) => [1, 2]
// sort_keys=false keeps the keys' insertion order.
Value tojson(const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef&) {
  if (args.empty()) return Value("null");
  BoundArguments bound = bindFilter(
      args, kwargs, once([] { return std::vector<std::string>{"indent", "ensure_ascii", "separators", "sort_keys"}; }),
      once([] {
        return BoundArguments{{"indent", Value()}, {"ensure_ascii", Value(true)}, {"separators", Value()}, {"sort_keys", Value(true)}};
      }));
  if (args[0].depth() > maxJsonDepth)
    throw JinjaError::runtime("tojson cannot write a value nested deeper than " + std::to_string(maxJsonDepth) + " levels");
  JsonLayout layout;
  layout.options.sortedKeys = true;
  layout.options.escapeSlashes = false;
  layout.options.pretty = bound.at("indent").isInt() && bound.at("indent").asInt() > 0;
  if (layout.options.pretty) layout.key = " : ";
  layout.sortKeys = bound.at("sort_keys").isTruthy();
  if (const Value& separators = bound.at("separators"); !separators.isNull()) {
    const bool pair = separators.isArray() && separators.asArray().size() == 2 && separators.asArray()[0].isString() &&
                      separators.asArray()[1].isString();
    if (!pair) throw JinjaError::runtime("tojson separators must be a pair of strings, not " + separators.description());
    layout.item = separators.asArray()[0].asString();
    layout.key = separators.asArray()[1].asString();
  }
  std::string out;
  out.reserve(256);
  try {
    if (!appendJson(args[0], layout, 0, out)) return Value("null");
  } catch (const json::EncodingError&) {
    return Value("null");
  }
  if (bound.at("ensure_ascii").isTruthy() && !isAsciiText(out)) out = escapeNonAscii(out);
  return Value(std::move(out));
}

Value abs(const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef&) {
  if (args.empty()) return Value(0);
  bindFilter(args, kwargs, {}, {});
  const Value& v = args[0];
  if (v.isInt()) {
    if (v.asInt() == std::numeric_limits<std::int64_t>::min()) throw JinjaError::runtime("abs of " + v.description() + " overflows");
    return Value(v.asInt() < 0 ? -v.asInt() : v.asInt());
  }
  if (v.isDouble()) return Value(std::fabs(v.asDouble()));
  throw JinjaError::runtime("abs filter requires number or integer");
}

// strtod in the C locale, whole text only.
std::optional<double> parseDouble(const std::string& s) {
  if (s.empty() || std::string_view("\0\t\n\v\f\r ", 7).find(s[0]) != std::string_view::npos) return std::nullopt;
  static locale_t cLocale = newlocale(LC_ALL_MASK, "C", nullptr);
  char* end = nullptr;
  double d = strtod_l(s.c_str(), &end, cLocale);
  if (end != s.c_str() + s.size()) return std::nullopt;
  return d;
}

Value floatFilter(const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef&) {
  if (args.empty()) return Value(0.0);
  BoundArguments bound = bindFilter(args, kwargs, {"default"}, {{"default", Value(0.0)}});
  const Value& v = args[0];
  if (v.isInt()) return Value(static_cast<double>(v.asInt()));
  if (v.isDouble()) return v;
  if (v.isString())
    if (auto d = parseDouble(v.asString())) return Value(*d);
  return bound.at("default");
}

// Optional sign, then one or more digits of `radix`, nothing else; fits in 64 signed bits.
std::optional<std::int64_t> parseInteger(std::string_view s, int radix) {
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return std::nullopt;
  unsigned __int128 value = 0;
  for (char c : s) {
    int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'z' ? c - 'a' + 10 : c >= 'A' && c <= 'Z' ? c - 'A' + 10 : 99;
    if (digit >= radix) return std::nullopt;
    value = value * radix + digit;
    if (value > (static_cast<unsigned __int128>(1) << 63)) return std::nullopt;
  }
  if (!negative && value == (static_cast<unsigned __int128>(1) << 63)) return std::nullopt;
  return negative ? static_cast<std::int64_t>(-static_cast<__int128>(value)) : static_cast<std::int64_t>(value);
}

bool isSpaceOrNewline(char32_t c) {
  return c == '\t' || (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029 ||
         text::generalCategory(c) == text::GeneralCategory::Zs;
}

// " 42\n" => 42; "0x-1F" => -31; "ff" | int(base=16) => 255
Value intFilter(const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef&) {
  if (args.empty()) return Value(0);
  BoundArguments bound = bindFilter(args, kwargs, {"default", "base"}, {{"default", Value(0)}, {"base", Value(10)}});
  const Value& v = args[0];
  const Value& fallback = bound.at("default");
  std::int64_t radix = bound.at("base").isInt() ? bound.at("base").asInt() : 10;
  if (v.isInt()) return v;
  if (v.isDouble()) {
    double d = v.asDouble();
    if (!std::isfinite(d) || d >= 9223372036854775808.0 || d < -9223372036854775808.0) return fallback;
    return Value(static_cast<std::int64_t>(d));
  }
  if (!v.isString()) return fallback;
  std::string s = text::repairUtf8(v.asString());
  // Strip white space and line breaks at both ends.
  std::size_t begin = 0, end = s.size();
  while (begin < end) {
    std::size_t next = begin;
    if (!isSpaceOrNewline(text::nextScalar(s, next))) break;
    begin = next;
  }
  while (end > begin) {
    std::size_t start = end - 1;
    while (start > begin && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) --start;
    std::size_t probe = start;
    if (!isSpaceOrNewline(text::nextScalar(s, probe))) break;
    end = start;
  }
  std::string_view stripped(s.data() + begin, end - begin);
  if (stripped.size() >= 2 && stripped[0] == '0') {
    char p = stripped[1];
    int prefixed = p == 'b' || p == 'B' ? 2 : p == 'o' || p == 'O' ? 8 : p == 'x' || p == 'X' ? 16 : 0;
    if (prefixed) {
      auto parsed = parseInteger(stripped.substr(2), prefixed);
      return parsed ? Value(*parsed) : fallback;
    }
  }
  if (radix != 10 && radix >= 2 && radix <= 36 && !stripped.empty())
    if (auto parsed = parseInteger(stripped, static_cast<int>(radix))) return Value(*parsed);
  auto parsed = parseInteger(stripped, 10);
  return parsed ? Value(*parsed) : fallback;
}

Value round(const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef&) {
  if (args.empty()) return Value(0.0);
  BoundArguments bound = bindFilter(args, kwargs, {"precision", "method"}, {{"precision", Value(0)}, {"method", Value("common")}});
  if (!args[0].isNumeric()) return args[0];
  double x = args[0].toDouble();
  std::int64_t precision = bound.at("precision").isInt() ? bound.at("precision").asInt() : 0;
  std::string method = bound.at("method").isString() ? bound.at("method").asString() : "common";
  double f = std::pow(10.0, static_cast<double>(precision));
  if (method == "common") return Value(std::round(x * f) / f);
  if (method == "ceil") return Value(std::ceil(x * f) / f);
  if (method == "floor") return Value(std::floor(x * f) / f);
  return Value(x);
}

Value list(const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef&) {
  if (args.empty()) return Value(Value::Array{});
  bindFilter(args, kwargs, {}, {});
  const Value& v = args[0];
  if (v.isArray()) return v;
  if (v.isObject()) return Value(Value::Array(v.asObject().values()));
  if (v.isString()) {
    std::string storage;
    Value::Array out;
    for (std::string_view c : characters(v.asString(), storage)) out.emplace_back(c);
    return Value(std::move(out));
  }
  return Value(Value::Array{});
}

Value items(const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef&) {
  if (args.empty()) return Value(Value::Array{});
  bindFilter(args, kwargs, {}, {});
  Value::Array out;
  if (args[0].isObject()) {
    const Value::Object& object = args[0].asObject();
    for (std::size_t i = 0; i < object.size(); ++i) out.push_back(Value::array({Value(object.keys()[i]), object.values()[i]}));
  }
  return Value(std::move(out));
}

Value sum(const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef&) {
  if (args.empty() || !args[0].isArray()) return Value(0);
  BoundArguments bound = bindFilter(args, kwargs, {"attribute", "start"}, {{"attribute", Value()}, {"start", Value(0)}});
  const Value& attribute = bound.at("attribute");
  Value total = bound.at("start");
  for (const Value& element : args[0].asArray()) total = total.add(attribute.isString() ? memberOf(element, attribute) : element);
  return total;
}

// Order of two keys, or nullopt for a pair that cannot be ordered.
std::optional<int> extremeOrder(const Value& a, const Value& b, bool caseSensitive) {
  if (a.isInt() && b.isInt()) return a.asInt() < b.asInt() ? -1 : a.asInt() > b.asInt() ? 1 : 0;
  if (a.isNumeric() && b.isNumeric()) {
    double x = a.toDouble(), y = b.toDouble();
    return x < y ? -1 : x > y ? 1 : 0;  // NaN: neither, so never replaced
  }
  if (a.isString() && b.isString()) {
    if (caseSensitive) return a.compare(b);
    return Value(text::lowercased(text::repairUtf8(a.asString()))).compare(Value(text::lowercased(text::repairUtf8(b.asString()))));
  }
  return std::nullopt;
}

template <int sign>
Value extreme(const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef&) {
  if (args.empty() || !args[0].isArray()) return Value::undefined();
  BoundArguments bound = bindFilter(args, kwargs, {"case_sensitive", "attribute"}, {{"case_sensitive", Value(false)}, {"attribute", Value()}});
  const Value::Array& elements = args[0].asArray();
  if (elements.empty()) return Value::undefined();
  bool caseSensitive = bound.at("case_sensitive").isTruthy();
  const Value& attribute = bound.at("attribute");
  std::size_t best = 0;
  for (std::size_t i = 1; i < elements.size(); ++i) {
    if (attribute.isString()) {
      Value a = memberOf(elements[best], attribute), b = memberOf(elements[i], attribute);
      auto order = extremeOrder(a, b, caseSensitive);
      if (!order)
        throw JinjaError::runtime("Cannot compare values of different types (" + a.description() + " and " + b.description() + ")");
      if (*order * sign < 0) best = i;
    } else {
      auto order = extremeOrder(elements[best], elements[i], caseSensitive);
      if (order && *order * sign < 0) best = i;
    }
  }
  return elements[best];
}

struct ValueHash {
  std::size_t operator()(const Value& v) const { return v.hashValue(); }
};

Value unique(const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef&) {
  if (args.empty() || !args[0].isArray()) return Value(Value::Array{});
  BoundArguments bound = bindFilter(args, kwargs, {"case_sensitive", "attribute"}, {{"case_sensitive", Value(false)}, {"attribute", Value()}});
  bool caseSensitive = bound.at("case_sensitive").isTruthy();
  const Value& attribute = bound.at("attribute");
  std::unordered_set<Value, ValueHash> seen;
  Value::Array out;
  for (const Value& element : args[0].asArray()) {
    Value key = Value::undefined();
    if (attribute.isNull()) key = element;
    else if (attribute.isString() || attribute.isInt()) key = memberOf(element, attribute);
    if (!caseSensitive && key.isString()) key = Value(text::lowercased(text::repairUtf8(key.asString())));
    if (seen.insert(key).second) out.push_back(element);
  }
  return Value(std::move(out));
}

// [1, 2, 3, 4, 5] | batch(2) => [[1, 2], [3, 4], [5, none]]
Value batch(const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef&) {
  if (args.empty() || !args[0].isArray()) return Value(Value::Array{});
  BoundArguments bound = bindFilter(args, kwargs, {"batchSize", "fillWith"}, {{"fillWith", Value()}});
  const Value& size = bound.at("batchSize");
  if (!size.isInt() || size.asInt() <= 0) throw JinjaError::runtime("batch filter requires positive integer batchSize parameter");
  const std::size_t n = static_cast<std::size_t>(std::min<std::int64_t>(size.asInt(), Value::maxArrayElements + 1));
  Value::Array out, current;
  for (const Value& element : args[0].asArray()) {
    current.push_back(element);
    if (current.size() == n) out.emplace_back(std::exchange(current, {}));
  }
  if (!current.empty()) {
    // A null filler pads nothing: [1, 2, 3] | batch(2) => [[1, 2], [3]].
    if (!bound.at("fillWith").isNull()) {
      checkArraySize(n);
      current.resize(n, bound.at("fillWith"));
    }
    out.emplace_back(std::move(current));
  }
  return Value(std::move(out));
}

void prettyPrint(const Value& v, std::size_t indent, std::string& out) {
  std::string pad(indent * 2, ' ');
  if (v.isString()) {
    out += '"' + v.asString() + '"';
  } else if (v.isArray()) {
    if (v.asArray().empty()) {
      out += "[]";
      return;
    }
    out += "[\n";
    bool first = true;
    for (const Value& element : v.asArray()) {
      if (!first) out += ",\n";
      first = false;
      out += pad + "  ";
      prettyPrint(element, indent + 1, out);
      checkStringSize(out.size());
    }
    out += "\n" + pad + "]";
  } else if (v.isObject()) {
    const Value::Object& object = v.asObject();
    if (object.empty()) {
      out += "{}";
      return;
    }
    out += "{\n";
    for (std::size_t i = 0; i < object.size(); ++i) {
      if (i) out += ",\n";
      out += pad + "  \"" + object.keys()[i] + "\": ";
      prettyPrint(object.values()[i], indent + 1, out);
      checkStringSize(out.size());
    }
    out += "\n" + pad + "}";
  } else {
    v.appendDescription(out);
  }
}

Value pprint(const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef&) {
  if (args.empty()) return Value("");
  bindFilter(args, kwargs, {}, {});
  std::string out;
  prettyPrint(args[0], 0, out);
  return Value(std::move(out));
}

}  // namespace

void addNumberFilters(Filters::Table& table) {
  table.emplace("tojson", tojson);
  table.emplace("abs", abs);
  table.emplace("float", floatFilter);
  table.emplace("int", intFilter);
  table.emplace("list", list);
  table.emplace("max", extreme<1>);
  table.emplace("min", extreme<-1>);
  table.emplace("round", round);
  table.emplace("sum", sum);
  table.emplace("unique", unique);
  table.emplace("batch", batch);
  table.emplace("items", items);
  table.emplace("pprint", pprint);
  addLayoutFilters(table);
}

}  // namespace jinja::detail

#include "platform/System/Json.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <sstream>
#include <unordered_map>

#include "platform/System/JsonReader.h"
#include "platform/System/NumberText.h"
#include "platform/System/detail/Utf8.h"

namespace platform::json {

namespace {

constexpr std::size_t kMaxDepth = 512;

const char* kindDescription(Value::Kind kind) {
  switch (kind) {
    case Value::Kind::null: return "a null value";
    case Value::Kind::boolean: return "a bool";
    case Value::Kind::integer:
    case Value::Kind::unsignedInteger:
    case Value::Kind::floating: return "a number";
    case Value::Kind::string: return "a string";
    case Value::Kind::array: return "an array";
    case Value::Kind::object: return "a dictionary";
  }
  return "a value";
}

[[noreturn]] void mismatch(const char* expected, Value::Kind found) {
  if (found == Value::Kind::null)
    throw DecodingError(DecodingError::Kind::valueNotFound,
                        std::string("Expected ") + expected + " value but found null instead.");
  throw DecodingError(DecodingError::Kind::typeMismatch, std::string("Expected to decode ") + expected +
                                                             " but found " + kindDescription(found) +
                                                             " instead.");
}

using platform::system::numberText;

[[noreturn]] void notFitting(const std::string& number, const char* type) {
  throw DecodingError(DecodingError::Kind::dataCorrupted,
                      "Parsed JSON number <" + number + "> does not fit in " + type + ".");
}

}  // namespace

Value::Kind Value::kind() const { return static_cast<Kind>(data_.index()); }

bool Value::isNumber() const {
  auto k = kind();
  return k == Kind::integer || k == Kind::unsignedInteger || k == Kind::floating;
}

bool Value::asBool() const {
  if (auto* b = std::get_if<bool>(&data_)) return *b;
  mismatch("Bool", kind());
}

std::int64_t Value::asInt() const {
  if (auto* i = std::get_if<std::int64_t>(&data_)) return *i;
  if (auto* u = std::get_if<std::uint64_t>(&data_)) notFitting(std::to_string(*u), "Int");
  if (auto* f = std::get_if<Floating>(&data_)) {
    double d = f->value;
    // 2^63 itself is out of range; -2^63 is the smallest int64.
    if (std::isfinite(d) && std::trunc(d) == d && d >= -9223372036854775808.0 && d < 9223372036854775808.0)
      return static_cast<std::int64_t>(d);
    notFitting(numberText(d), "Int");
  }
  mismatch("Int", kind());
}

std::uint64_t Value::asUInt() const {
  if (auto* u = std::get_if<std::uint64_t>(&data_)) return *u;
  if (auto* i = std::get_if<std::int64_t>(&data_)) {
    if (*i < 0) notFitting(std::to_string(*i), "UInt");
    return static_cast<std::uint64_t>(*i);
  }
  if (auto* f = std::get_if<Floating>(&data_)) {
    double d = f->value;
    if (std::isfinite(d) && std::trunc(d) == d && d >= 0 && d < 18446744073709551616.0)
      return static_cast<std::uint64_t>(d);
    notFitting(numberText(d), "UInt");
  }
  mismatch("UInt", kind());
}

double Value::asDouble() const {
  if (auto* f = std::get_if<Floating>(&data_)) return f->value;
  if (auto* i = std::get_if<std::int64_t>(&data_)) return static_cast<double>(*i);
  if (auto* u = std::get_if<std::uint64_t>(&data_)) return static_cast<double>(*u);
  mismatch("Double", kind());
}

float Value::asFloat() const {
  double d = asDouble();
  // Out of range only when it rounds to infinity: the text of Float's largest value is a little above it.
  auto f = static_cast<float>(d);
  if (std::isfinite(d) && std::isinf(f)) notFitting(numberText(d), "Float");
  return f;
}

const std::string& Value::asString() const {
  if (auto* s = std::get_if<std::string>(&data_)) return *s;
  mismatch("String", kind());
}

const Array& Value::asArray() const {
  if (auto* a = std::get_if<Array>(&data_)) return *a;
  mismatch("Array", kind());
}

Array& Value::asArray() {
  if (auto* a = std::get_if<Array>(&data_)) return *a;
  mismatch("Array", kind());
}

const Object& Value::asObject() const {
  if (auto* o = std::get_if<Object>(&data_)) return *o;
  mismatch("Dictionary", kind());
}

Object& Value::asObject() {
  if (auto* o = std::get_if<Object>(&data_)) return *o;
  mismatch("Dictionary", kind());
}

bool Value::isSinglePrecision() const {
  auto* f = std::get_if<Floating>(&data_);
  return f && f->single;
}

const Value* Value::find(std::string_view key) const {
  auto* o = std::get_if<Object>(&data_);
  if (!o) return nullptr;
  for (const auto& [k, v] : *o)
    if (k == key) return &v;
  return nullptr;
}

const Value& Value::at(std::string_view key) const {
  const Object& o = asObject();
  for (const auto& [k, v] : o)
    if (k == key) return v;
  throw DecodingError(DecodingError::Kind::keyNotFound,
                      "No value associated with key " + std::string(key) + ".");
}

Value& Value::set(std::string key, Value value) {
  if (isNull()) data_ = Object{};
  Object& o = asObject();
  for (auto& [k, v] : o) {
    if (k == key) {
      v = std::move(value);
      return v;
    }
  }
  o.emplace_back(std::move(key), std::move(value));
  return o.back().second;
}

bool operator==(const Value& a, const Value& b) {
  using K = Value::Kind;
  K ka = a.kind(), kb = b.kind();
  if (a.isNumber() && b.isNumber() && ka != kb) {
    // Compare across number kinds by value, without rounding through double where it matters.
    if (ka == K::floating || kb == K::floating) {
      const Value& f = ka == K::floating ? a : b;
      const Value& n = ka == K::floating ? b : a;
      double d = f.asDouble();
      if (!std::isfinite(d) || std::trunc(d) != d) return false;
      if (n.kind() == K::integer) return d >= -9223372036854775808.0 && d < 9223372036854775808.0 &&
                                         static_cast<std::int64_t>(d) == n.asInt();
      return d >= 0 && d < 18446744073709551616.0 && static_cast<std::uint64_t>(d) == n.asUInt();
    }
    const Value& i = ka == K::integer ? a : b;
    const Value& u = ka == K::integer ? b : a;
    return i.asInt() >= 0 && static_cast<std::uint64_t>(i.asInt()) == u.asUInt();
  }
  if (ka != kb) return false;
  switch (ka) {
    case K::null: return true;
    case K::boolean: return a.asBool() == b.asBool();
    case K::integer: return a.asInt() == b.asInt();
    case K::unsignedInteger: return a.asUInt() == b.asUInt();
    case K::floating: return a.asDouble() == b.asDouble();
    case K::string: return a.asString() == b.asString();
    case K::array: return a.asArray() == b.asArray();
    case K::object: return a.asObject() == b.asObject();
  }
  return false;
}

// ---- Writing ----------------------------------------------------------------------------------

namespace {

// The shortest digits that round-trip, in decimal notation from 1e-4 up to (not including) 2^53
// for Double and 2^24 for Float (integral values without ".0"), otherwise d.ddde±XX with at least
// two exponent digits.
//   1.0 => "1", 0.0001 => "0.0001", 1e16 => "1e+16", 1.5e-07 => "1.5e-07", -0.0 => "-0",
//   Float 123456789 => "1.2345679e+08"
template <typename T>
void appendNumber(std::string& out, T value) {
  const T decimalLimit = std::ldexp(T(1), std::numeric_limits<T>::digits);
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  std::string_view text(buf, static_cast<std::size_t>(r.ptr - buf));
  bool negative = !text.empty() && text.front() == '-';
  if (negative) text.remove_prefix(1);
  auto ePos = text.find('e');
  std::string_view mantissa = text.substr(0, ePos);
  int exponent = 0;
  std::from_chars(text.data() + ePos + 1 + (text[ePos + 1] == '+' ? 1 : 0), text.data() + text.size(), exponent);
  std::string digits;
  for (char c : mantissa)
    if (c != '.') digits.push_back(c);

  if (negative) out.push_back('-');
  const int n = static_cast<int>(digits.size());
  if (exponent >= -4 && std::fabs(value) < decimalLimit) {
    if (exponent < 0) {
      out += "0.";
      out.append(static_cast<std::size_t>(-exponent - 1), '0');
      out += digits;
    } else if (n <= exponent + 1) {
      out += digits;
      out.append(static_cast<std::size_t>(exponent + 1 - n), '0');
    } else {
      out.append(digits, 0, static_cast<std::size_t>(exponent + 1));
      out.push_back('.');
      out.append(digits, static_cast<std::size_t>(exponent + 1));
    }
    return;
  }
  out.push_back(digits[0]);
  if (n > 1) {
    out.push_back('.');
    out.append(digits, 1);
  }
  out.push_back('e');
  out.push_back(exponent < 0 ? '-' : '+');
  int absExp = exponent < 0 ? -exponent : exponent;
  if (absExp < 10) out.push_back('0');
  out += std::to_string(absExp);
}

class Writer {
 public:
  Writer(const WriteOptions& options) : options_(options) {}

  void value(const Value& v, int indent) {
    using K = Value::Kind;
    switch (v.kind()) {
      case K::null: out += "null"; break;
      case K::boolean: out += v.asBool() ? "true" : "false"; break;
      case K::integer: out += std::to_string(v.asInt()); break;
      case K::unsignedInteger: out += std::to_string(v.asUInt()); break;
      case K::floating: floating(v); break;
      case K::string: string(v.asString()); break;
      case K::array: array(v.asArray(), indent); break;
      case K::object: object(v.asObject(), indent); break;
    }
  }

  std::string out;

 private:
  void floating(const Value& v) {
    const char* type = v.isSinglePrecision() ? "Float" : "Double";
    double d = v.asDouble();
    if (std::isnan(d)) throw EncodingError(std::string("Unable to encode ") + type + ".nan directly in JSON.");
    if (std::isinf(d))
      throw EncodingError(std::string("Unable to encode ") + (d < 0 ? "-" : "") + type +
                          ".infinity directly in JSON.");
    if (v.isSinglePrecision())
      appendNumber(out, static_cast<float>(d));
    else
      appendNumber(out, d);
  }

  // Throws EncodingError for ill-formed UTF-8, naming where it sits in the document.
  void string(const std::string& s, bool isKey = false) {
    static const char* hex = "0123456789abcdef";
    if (std::size_t bad = detail::invalidUtf8Offset(s); bad != std::string::npos)
      throw EncodingError("Unable to encode invalid UTF-8 in JSON: byte " + std::to_string(bad) + " of the " +
                          (isKey ? "key of a member of " : "string at ") + pathText() + ".");
    out.push_back('"');
    for (char ch : s) {
      auto c = static_cast<unsigned char>(ch);
      switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '/':
          if (options_.escapeSlashes)
            out += "\\/";
          else
            out.push_back('/');
          break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
          if (c < 0x20) {
            out += "\\u00";
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 0xF]);
          } else {
            out.push_back(ch);
          }
      }
    }
    out.push_back('"');
  }

  void newline(int indent) {
    out.push_back('\n');
    out.append(static_cast<std::size_t>(indent) * 2, ' ');
  }

  void array(const Array& a, int indent) {
    if (a.empty()) {
      out += "[]";
      return;
    }
    out.push_back('[');
    bool first = true;
    path_.push_back(Step{nullptr, 0});
    for (const auto& element : a) {
      if (!first) out.push_back(',');
      first = false;
      if (options_.pretty) newline(indent + 1);
      value(element, indent + 1);
      ++path_.back().index;
    }
    path_.pop_back();
    if (options_.pretty) newline(indent);
    out.push_back(']');
  }

  void object(const Object& o, int indent) {
    if (o.empty()) {
      out += "{}";
      return;
    }
    std::vector<const Member*> members;
    members.reserve(o.size());
    for (const auto& m : o) members.push_back(&m);
    if (options_.sortedKeys)
      std::stable_sort(members.begin(), members.end(),
                       [](const Member* a, const Member* b) { return a->first < b->first; });
    out.push_back('{');
    bool first = true;
    for (const Member* m : members) {
      if (!first) out.push_back(',');
      first = false;
      if (options_.pretty) newline(indent + 1);
      string(m->first, true);
      out += options_.pretty ? " : " : ":";
      path_.push_back(Step{&m->first, 0});
      value(m->second, indent + 1);
      path_.pop_back();
    }
    if (options_.pretty) newline(indent);
    out.push_back('}');
  }

  // Where the writer is, for errors: "$", "$[2].text".
  std::string pathText() const {
    std::string text = "$";
    for (const Step& step : path_) {
      if (step.key) {
        text += '.';
        text += *step.key;
      } else {
        text += '[' + std::to_string(step.index) + ']';
      }
    }
    return text;
  }

  struct Step {
    const std::string* key;  // a member's key (already checked), or null for an array element
    std::size_t index;
  };

  const WriteOptions& options_;
  std::vector<Step> path_;
};

}  // namespace

std::string write(const Value& value, const WriteOptions& options) {
  Writer writer(options);
  writer.value(value, 0);
  return std::move(writer.out);
}

// ---- Reading ----------------------------------------------------------------------------------

namespace {

// Builds the tree from reader events without recursion: each open container is a frame whose
// finished value is moved into its parent when the container closes.
class TreeBuilder : public ReadEvents {
 public:
  void restart() override {
    frames_.clear();
    root_ = Value();
  }
  void null() override { add(Value()); }
  void boolean(bool b) override { add(Value(b)); }
  void number(const Number& n) override {
    switch (n.kind) {
      case Number::Kind::integer: add(Value(static_cast<long long>(n.integer))); break;
      case Number::Kind::unsignedInteger: add(Value(static_cast<unsigned long long>(n.unsignedInteger))); break;
      case Number::Kind::real: add(Value(n.real)); break;
    }
  }
  void string(std::string_view s) override { add(Value(s)); }
  void key(std::string_view s) override { frames_.back().key.assign(s); }
  void startObject() override { frames_.push_back(Frame{Value(Object{}), {}, nullptr}); }
  void startArray() override { frames_.push_back(Frame{Value(Array{}), {}, nullptr}); }
  void endObject(std::size_t) override { close(); }
  void endArray(std::size_t) override { close(); }

  Value take() { return std::move(root_); }

 private:
  struct Frame {
    Value value;
    std::string key;
    std::unique_ptr<std::unordered_map<std::string, std::size_t>> index;  // for large objects
  };

  void close() {
    Value done = std::move(frames_.back().value);
    frames_.pop_back();
    add(std::move(done));
  }

  void add(Value v) {
    if (frames_.empty()) {
      root_ = std::move(v);
      return;
    }
    Frame& f = frames_.back();
    if (f.value.kind() == Value::Kind::array) {
      f.value.asArray().push_back(std::move(v));
      return;
    }
    // A repeated key keeps its first position and takes the last value, as a dictionary would.
    Object& o = f.value.asObject();
    if (o.size() < 16) {
      for (auto& [k, existing] : o)
        if (k == f.key) {
          existing = std::move(v);
          return;
        }
    } else {
      if (!f.index) {
        f.index = std::make_unique<std::unordered_map<std::string, std::size_t>>();
        for (std::size_t i = 0; i < o.size(); ++i) f.index->emplace(o[i].first, i);
      }
      auto it = f.index->find(f.key);
      if (it != f.index->end()) {
        o[it->second].second = std::move(v);
        return;
      }
      f.index->emplace(f.key, o.size());
    }
    o.emplace_back(std::move(f.key), std::move(v));
  }

  std::vector<Frame> frames_;
  Value root_;
};

}  // namespace

Value parse(std::string_view text) {
  std::size_t skipped = 0;
  if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") skipped = 3;  // UTF-8 byte order mark
  TreeBuilder builder;
  if (auto failure = readJson(text.substr(skipped), builder, {.maxDepth = kMaxDepth})) {
    std::size_t offset = failure->offset + skipped;
    throw ParseError("Invalid JSON at offset " + std::to_string(offset) + ": " + failure->message, offset);
  }
  return builder.take();
}

Value parseFile(const std::string& path, std::size_t maxBytes) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) throw std::runtime_error("Couldn't read \"" + path + "\": Is a directory");
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("Couldn't read \"" + path + "\": " + std::strerror(errno));
  auto tooLarge = [&] {
    return std::runtime_error("Couldn't read \"" + path + "\": it is larger than " + std::to_string(maxBytes) + " bytes");
  };
  if (const auto size = std::filesystem::file_size(path, ec); !ec && size > maxBytes) throw tooLarge();
  // Read in pieces, so that a file that grows meanwhile (or reports no size) stays within the bound.
  std::string text;
  char piece[1 << 16];
  while (in.read(piece, sizeof piece) || in.gcount() > 0) {
    if (text.size() + static_cast<std::size_t>(in.gcount()) > maxBytes) throw tooLarge();
    text.append(piece, static_cast<std::size_t>(in.gcount()));
  }
  if (in.bad()) throw std::runtime_error("Couldn't read \"" + path + "\"");
  try {
    return parse(text);
  } catch (const ParseError& e) {
    throw ParseError("\"" + path + "\": " + e.what(), e.offset);
  }
}

}  // namespace platform::json

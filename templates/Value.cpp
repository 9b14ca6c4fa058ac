#include "templates/Value.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "templates/JinjaError.h"
#include "templates/detail/PercentFormat.h"
#include "templates/detail/RenderClock.h"
#include "templates/detail/Text.h"

namespace jinja {
namespace json = platform::json;

namespace {

JinjaError operandError(const char* head, const Value& left, const Value& right) {
  return JinjaError::runtime(head + left.description() + " and " + right.description() + ")");
}

JinjaError overflowError(const Value& left, const Value& right) {
  return operandError("Integer result out of range (", left, right);
}

// 2^63 as a double: the first value that no longer converts to a signed 64-bit integer.
constexpr double kTwoTo63 = 9223372036854775808.0;

std::int64_t doubleToInt(double d, const Value& left, const Value& right) {
  if (!std::isfinite(d) || d >= kTwoTo63 || d < -kTwoTo63) throw overflowError(left, right);
  return static_cast<std::int64_t>(d);
}

std::string repeat(std::string_view text, std::int64_t count) {
  if (count <= 0 || text.empty()) return {};
  if (static_cast<std::uint64_t>(count) > Value::maxStringBytes / text.size()) checkStringSize(Value::maxStringBytes + 1);
  const std::size_t total = text.size() * static_cast<std::size_t>(count);
  checkStringSize(total);
  detail::countWork(total);
  std::string out;
  out.reserve(total);
  out += text;
  while (out.size() < total) out.append(out, 0, std::min(out.size(), total - out.size()));  // doubling
  return out;
}

std::string joined(std::string_view a, std::string_view b) {
  checkStringSize(a.size() + b.size());
  detail::countWork(a.size() + b.size());
  std::string out;
  out.reserve(a.size() + b.size());
  out += a;
  out += b;
  return out;
}

std::size_t directTextBytes(const Value::Array& elements) {
  std::size_t bytes = 0;
  for (const Value& element : elements)
    if (element.isString()) bytes += element.asString().size();
  return bytes;
}

// What one box charges: its slots (an object's keys and index too) and the strings stored in it.
std::size_t textBytes(const Value& value) { return value.isString() ? value.asString().size() : 0; }

std::size_t arrayBytes(const Value::Array& elements) {
  std::size_t bytes = elements.capacity() * sizeof(Value);
  for (const Value& element : elements) bytes += textBytes(element);
  return bytes;
}

constexpr std::size_t entryBytes = sizeof(std::string) + sizeof(Value) + 2 * sizeof(std::size_t);

std::size_t objectBytes(const Value::Object& entries) {
  std::size_t bytes = entries.size() * entryBytes;
  for (std::size_t i = 0; i < entries.size(); ++i) bytes += entries.keys()[i].size() + textBytes(entries.values()[i]);
  return bytes;
}

Value::Object sortedObject(std::vector<std::pair<std::string, Value>> pairs) {
  std::stable_sort(pairs.begin(), pairs.end(), [](const auto& a, const auto& b) { return TextLess{}(a.first, b.first); });
  Value::Object object;
  object.reserveCapacity(pairs.size());
  for (auto& [key, value] : pairs) object.set(key, std::move(value));
  return object;
}

}  // namespace

void checkStringCap(std::size_t bytes) {
  if (bytes > Value::maxStringBytes) throw JinjaError::runtime("String result longer than 64 MiB");
}

void checkStringSize(std::size_t bytes) {
  checkStringCap(bytes);
  detail::requireMemory(bytes);
}

void checkArraySize(std::size_t elements) {
  if (elements > Value::maxArrayElements) throw JinjaError::runtime("Array result longer than 4194304 elements");
}

void checkDepth(std::uint32_t depth) {
  if (depth > Value::maxDepth)
    throw JinjaError::runtime("Value nested deeper than " + std::to_string(Value::maxDepth) + " levels");
}

Value::Value(Array elements) {
  std::uint32_t depth = 0;
  for (const Value& element : elements) depth = std::max(depth, element.depth());
  checkDepth(depth + 1);
  const std::size_t bytes = arrayBytes(elements);
  data_ = std::make_shared<ArrayBox>(ArrayBox{std::move(elements), depth + 1, detail::MemoryCharge(bytes)});
}

Value::Value(Object entries) {
  std::uint32_t depth = 0;
  for (const Value& value : entries.values()) depth = std::max(depth, value.depth());
  checkDepth(depth + 1);
  const std::size_t bytes = objectBytes(entries);
  data_ = std::make_shared<ObjectBox>(ObjectBox{std::move(entries), depth + 1, detail::MemoryCharge(bytes)});
}

std::uint32_t Value::depth() const {
  if (const auto* array = std::get_if<ArrayRef>(&data_)) return (*array)->depth;
  if (const auto* object = std::get_if<ObjectRef>(&data_)) return (*object)->depth;
  return 0;
}
Value::Value(Function function) : data_(std::make_shared<const Function>(std::move(function))) {}
Value::Value(Macro macro) : data_(std::make_shared<const Macro>(std::move(macro))) {}
Value::Value(std::shared_ptr<const Macro> macro) : data_(std::move(macro)) {}

Value Value::object(std::initializer_list<std::pair<std::string, Value>> pairs) {
  Object object;
  for (const auto& [key, value] : pairs) object.set(key, value);
  return Value(std::move(object));
}

Value Value::fromAny(const json::Value& host) {
  switch (host.kind()) {
    case json::Value::Kind::null: return Value();
    case json::Value::Kind::boolean: return Value(host.asBool());
    case json::Value::Kind::integer: return Value(host.asInt());
    case json::Value::Kind::unsignedInteger:
      if (host.asUInt() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        throw JinjaError::runtime("Cannot convert value of type Optional<Any> to Jinja Value");
      return Value(static_cast<std::int64_t>(host.asUInt()));
    case json::Value::Kind::floating: return Value(host.asDouble());
    case json::Value::Kind::string: return Value(host.asString());
    case json::Value::Kind::array: {
      Array out;
      out.reserve(host.asArray().size());
      for (const json::Value& element : host.asArray()) out.push_back(fromAny(element));
      return Value(std::move(out));
    }
    case json::Value::Kind::object: {
      std::vector<std::pair<std::string, Value>> pairs;
      for (const auto& [key, value] : host.asObject()) pairs.emplace_back(key, fromAny(value));
      return Value(sortedObject(std::move(pairs)));
    }
  }
  throw JinjaError::runtime("Cannot convert value of type Optional<Any> to Jinja Value");
}

void Value::append(Value element) {
  ArrayRef& ref = std::get<ArrayRef>(data_);
  checkDepth(element.depth() + 1);
  checkArraySize(ref->elements.size() + 1);
  if (ref.use_count() > 1) ref = std::make_shared<ArrayBox>(*ref);
  Array& elements = ref->elements;
  // Charged before anything changes: the slots the array grows to, and the element's string.
  const std::size_t slots = elements.size() < elements.capacity() ? elements.capacity()
                                                                   : std::max<std::size_t>(4, 2 * elements.capacity());
  ref->charge.grow((slots - elements.capacity()) * sizeof(Value) + textBytes(element));
  elements.reserve(slots);
  ref->depth = std::max(ref->depth, element.depth() + 1);  // may overstate after removals; never understates
  elements.push_back(std::move(element));
}

void Value::setMember(const std::string& key, Value value) {
  ObjectRef& ref = std::get<ObjectRef>(data_);
  checkDepth(value.depth() + 1);
  if (ref.use_count() > 1) ref = std::make_shared<ObjectBox>(*ref);
  const Value* old = ref->entries.get(key);
  const std::size_t oldText = old ? textBytes(*old) : 0;
  ref->charge.grow(textBytes(value) + (old ? 0 : entryBytes + key.size()));
  ref->depth = std::max(ref->depth, value.depth() + 1);
  ref->entries.set(key, std::move(value));
  ref->charge.shrink(oldText);
}

Value* Value::memberForWriting(const std::string& key) {
  ObjectRef& ref = std::get<ObjectRef>(data_);
  if (!ref->entries.get(key)) return nullptr;
  if (ref.use_count() > 1) ref = std::make_shared<ObjectBox>(*ref);
  return ref->entries.get(key);
}

double Value::toDouble() const { return isInt() ? static_cast<double>(asInt()) : asDouble(); }

std::string Value::description() const {
  if (isString()) return asString();
  std::string out;
  appendDescription(out);
  return out;
}

void Value::appendDescription(std::string& out) const {
  switch (kind()) {
    case Kind::boolean: out += asBool() ? "true" : "false"; return;
    case Kind::int_: out += std::to_string(asInt()); return;
    case Kind::double_: out += detail::formatDouble(asDouble()); return;
    case Kind::string: out += asString(); return;
    case Kind::array: {
      out += '[';
      bool first = true;
      for (const Value& element : asArray()) {
        if (!first) out += ", ";
        first = false;
        if (element.isString()) {
          out += '\'';
          out += element.asString();
          out += '\'';
        } else {
          element.appendDescription(out);
        }
        if (out.size() > maxStringBytes) checkStringSize(out.size());  // an array shared many times over
      }
      out += ']';
      return;
    }
    case Kind::object: {
      out += '{';
      const Object& object = asObject();
      for (std::size_t i = 0; i < object.size(); ++i) {
        if (i > 0) out += ", ";
        out += object.keys()[i];
        out += ": ";
        object.values()[i].appendDescription(out);
        if (out.size() > maxStringBytes) checkStringSize(out.size());
      }
      out += '}';
      return;
    }
    case Kind::function: out += "[Function]"; return;
    case Kind::macro: out += "[Macro " + asMacro().name() + "]"; return;
    case Kind::null:
    case Kind::undefined: return;
  }
}

bool Value::isTruthy() const {
  switch (kind()) {
    case Kind::boolean: return asBool();
    case Kind::int_: return asInt() != 0;
    case Kind::double_: return asDouble() != 0.0;
    case Kind::string: return !asString().empty();
    case Kind::array: return !asArray().empty();
    case Kind::object: return !asObject().empty();
    case Kind::function:
    case Kind::macro: return true;
    case Kind::null:
    case Kind::undefined: return false;
  }
  return false;
}

namespace {

template <bool Loose>
bool equalValues(const Value& a, const Value& b) {
  using Kind = Value::Kind;
  detail::tick();  // a value that shares one array many times over takes long to walk
  if (Loose && a.isNumeric() && b.isNumeric() && a.kind() != b.kind()) return a.toDouble() == b.toDouble();
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case Kind::boolean: return a.asBool() == b.asBool();
    case Kind::int_: return a.asInt() == b.asInt();
    case Kind::double_: return a.asDouble() == b.asDouble();
    case Kind::string: return TextEqual{}(a.asString(), b.asString());
    case Kind::array: {
      const auto& x = a.asArray();
      const auto& y = b.asArray();
      if (x.size() != y.size()) return false;
      for (std::size_t i = 0; i < x.size(); ++i)
        if (!equalValues<Loose>(x[i], y[i])) return false;
      return true;
    }
    case Kind::object: {
      const auto& x = a.asObject();
      const auto& y = b.asObject();
      if (x.size() != y.size()) return false;
      for (std::size_t i = 0; i < x.size(); ++i)
        if (!TextEqual{}(x.keys()[i], y.keys()[i]) || !equalValues<Loose>(x.values()[i], y.values()[i])) return false;
      return true;
    }
    case Kind::function: return false;
    case Kind::macro: return a.asMacro() == b.asMacro();
    case Kind::null:
    case Kind::undefined: return true;
  }
  return false;
}

}  // namespace

bool operator==(const Value& a, const Value& b) { return equalValues<false>(a, b); }
bool Value::isEquivalent(const Value& other) const { return equalValues<true>(*this, other); }

void Value::hash(Hasher& hasher) const {
  detail::tick();
  switch (kind()) {
    case Kind::boolean: hasher.combineByte(asBool() ? 1 : 0); return;
    case Kind::int_: hasher.combine(static_cast<std::uint64_t>(asInt())); return;
    case Kind::double_: {
      double d = asDouble() == 0.0 ? 0.0 : asDouble();
      hasher.combine(std::bit_cast<std::uint64_t>(d));
      return;
    }
    case Kind::string: hasher.combineText(asString()); return;
    case Kind::array:
      hasher.combine(asArray().size());
      for (const Value& v : asArray()) v.hash(hasher);
      return;
    case Kind::object: {
      const Object& object = asObject();
      hasher.combine(object.size());
      for (std::size_t i = 0; i < object.size(); ++i) {
        hasher.combineText(object.keys()[i]);
        object.values()[i].hash(hasher);
      }
      return;
    }
    case Kind::macro: asMacro().hash(hasher); return;
    case Kind::function:
    case Kind::null:
    case Kind::undefined: hasher.combine(0); return;
  }
}

std::size_t Value::hashValue() const {
  Hasher hasher;
  hash(hasher);
  return hasher.finalize();
}

Value Value::add(const Value& right) const {
  if (isInt() && right.isInt()) {
    std::int64_t sum;
    if (__builtin_add_overflow(asInt(), right.asInt(), &sum)) throw overflowError(*this, right);
    return Value(sum);
  }
  if (isNumeric() && right.isNumeric()) return Value(toDouble() + right.toDouble());
  if (isString() && right.isString()) return Value(joined(asString(), right.asString()));
  if (isString()) return Value(joined(asString(), right.description()));
  if (right.isString()) return Value(joined(description(), right.asString()));
  if (isArray() && right.isArray()) {
    checkArraySize(asArray().size() + right.asArray().size());
    // Strings are copied with the array (nested containers are shared), so their bytes count too.
    checkStringSize(directTextBytes(asArray()) + directTextBytes(right.asArray()));
    Array out = asArray();
    out.insert(out.end(), right.asArray().begin(), right.asArray().end());
    return Value(std::move(out));
  }
  throw operandError("Cannot add values of different types (", *this, right);
}

Value Value::subtract(const Value& right) const {
  if (isInt() && right.isInt()) {
    std::int64_t difference;
    if (__builtin_sub_overflow(asInt(), right.asInt(), &difference)) throw overflowError(*this, right);
    return Value(difference);
  }
  if (isNumeric() && right.isNumeric()) return Value(toDouble() - right.toDouble());
  throw operandError("Cannot subtract non-numeric values (", *this, right);
}

// [1, 2] * 2 => [1, 2, 1, 2]; a count of 0 or less gives [].
Value repeatedArray(const Value::Array& elements, std::int64_t times) {
  if (times <= 0 || elements.empty()) return Value(Value::Array{});
  const auto n = static_cast<std::uint64_t>(times);
  if (n > Value::maxArrayElements / elements.size()) checkArraySize(Value::maxArrayElements + 1);
  checkArraySize(elements.size() * n);
  detail::countWork(elements.size() * n);
  Value::Array out;
  out.reserve(elements.size() * n);
  for (std::uint64_t k = 0; k < n; ++k) out.insert(out.end(), elements.begin(), elements.end());
  return Value(std::move(out));
}

Value Value::multiply(const Value& right) const {
  if (isString() && right.isInt()) return Value(repeat(asString(), right.asInt()));
  if (isInt() && right.isString()) return Value(repeat(right.asString(), asInt()));
  if (isArray() && right.isInt()) return repeatedArray(asArray(), right.asInt());
  if (isInt() && right.isArray()) return repeatedArray(right.asArray(), asInt());
  if (isInt() && right.isInt()) {
    std::int64_t product;
    if (__builtin_mul_overflow(asInt(), right.asInt(), &product)) throw overflowError(*this, right);
    return Value(product);
  }
  if (isNumeric() && right.isNumeric()) return Value(toDouble() * right.toDouble());
  throw operandError("Cannot multiply values of these types (", *this, right);
}

Value Value::divide(const Value& right) const {
  if (!isNumeric() || !right.isNumeric()) throw operandError("Cannot divide non-numeric values (", *this, right);
  if (right.toDouble() == 0.0) throw JinjaError::runtime("Division by zero");
  return Value(toDouble() / right.toDouble());
}

Value Value::floorDivide(const Value& right) const {
  if (!isNumeric() || !right.isNumeric()) throw operandError("Cannot floor divide non-numeric values (", *this, right);
  if (right.toDouble() == 0.0) throw JinjaError::runtime("Division by zero");
  // Rounded toward minus infinity: -7 // 2 => -4; a double operand gives a double: 7 // 2.0 => 3.0.
  if (isInt() && right.isInt()) {
    if (asInt() == std::numeric_limits<std::int64_t>::min() && right.asInt() == -1) throw overflowError(*this, right);
    const std::int64_t q = asInt() / right.asInt();
    return Value((asInt() % right.asInt() != 0 && (asInt() < 0) != (right.asInt() < 0)) ? q - 1 : q);
  }
  // The quotient that goes with the remainder of modulo, rounded to the nearest whole number.
  const double a = toDouble(), b = right.toDouble();
  const double r = std::fmod(a, b);
  double q = (a - r) / b;
  if (r != 0 && (b < 0) != (r < 0)) q -= 1.0;
  if (q == 0) return Value(std::copysign(0.0, a / b));
  double whole = std::floor(q);
  if (q - whole > 0.5) whole += 1.0;
  return Value(whole);
}

Value Value::power(const Value& right) const {
  if (isInt() && right.isInt() && right.asInt() >= 0)
    return Value(doubleToInt(std::pow(toDouble(), right.toDouble()), *this, right));
  if (isNumeric() && right.isNumeric()) return Value(std::pow(toDouble(), right.toDouble()));
  throw operandError("Cannot raise non-numeric values to a power (", *this, right);
}

// The remainder takes the sign of the right operand: -7 % 3 => 2, 7 % -3 => -2, 7.5 % 2 => 1.5. On a
// string it formats: "%s-%d" % ["a", 3] => "a-3".
Value Value::modulo(const Value& right) const {
  if (isString()) return Value(detail::percentFormat(asString(), right));
  if (!isNumeric() || !right.isNumeric()) throw operandError("Modulo operation requires numbers (", *this, right);
  if (right.toDouble() == 0.0) throw JinjaError::runtime("Modulo by zero");
  if (isInt() && right.isInt()) {
    if (right.asInt() == -1) return Value(std::int64_t{0});  // also for the least integer, whose quotient overflows
    std::int64_t r = asInt() % right.asInt();
    if (r != 0 && (r < 0) != (right.asInt() < 0)) r += right.asInt();
    return Value(r);
  }
  const double b = right.toDouble();
  double r = std::fmod(toDouble(), b);
  if (r != 0 && (r < 0) != (b < 0)) r += b;
  else if (r == 0) r = std::copysign(0.0, b);
  return Value(r);
}

bool Value::appendToString(const Value& right) {
  if (!isString()) return false;
  std::string& text = std::get<std::string>(data_);
  if (right.isString()) {
    checkStringSize(text.size() + right.asString().size());
    detail::countWork(right.asString().size());
    text += right.asString();
  } else {
    std::string printed = right.description();
    checkStringSize(text.size() + printed.size());
    text += printed;
  }
  return true;
}

Value Value::concatenate(const Value& right) const {
  if (isString() && right.isString()) return Value(joined(asString(), right.asString()));
  if (isString()) return Value(joined(asString(), right.description()));
  if (right.isString()) return Value(joined(description(), right.asString()));
  throw operandError("Cannot concatenate values of different types (", *this, right);
}

int Value::compare(const Value& right) const {
  if (isInt() && right.isInt()) return asInt() < right.asInt() ? -1 : asInt() > right.asInt() ? 1 : 0;
  if (isNumeric() && right.isNumeric()) {
    double a = toDouble(), b = right.toDouble();
    return a < b ? -1 : a > b ? 1 : 0;
  }
  if (isString() && right.isString()) {
    if (TextLess{}(asString(), right.asString())) return -1;
    if (TextLess{}(right.asString(), asString())) return 1;
    return 0;
  }
  throw operandError("Cannot compare values of different types (", *this, right);
}

bool Value::isContained(const Value& container) const {
  switch (container.kind()) {
    case Kind::array:
      for (const Value& element : container.asArray())
        if (element == *this) return true;
      return false;
    case Kind::string:
      if (!isString()) return false;
      return detail::Substring(asString()).findIn(container.asString(), 0) != std::string::npos;
    case Kind::object: return isString() && container.asObject().index(asString()).has_value();
    case Kind::null:
    case Kind::undefined: return false;
    default:
      throw JinjaError::runtime("'in' operator requires iterable on right side (" + container.description() + ")");
  }
}

json::Value Value::toJson() const {
  switch (kind()) {
    case Kind::boolean: return json::Value(asBool());
    case Kind::int_: return json::Value(static_cast<long long>(asInt()));
    case Kind::double_: return json::Value(asDouble());
    case Kind::string: return json::Value(asString());
    case Kind::array: {
      json::Array out;
      out.reserve(asArray().size());
      for (const Value& v : asArray()) out.push_back(v.toJson());
      return json::Value(std::move(out));
    }
    case Kind::object: {
      const Object& object = asObject();
      std::vector<std::size_t> order(object.size());
      for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
      std::stable_sort(order.begin(), order.end(),
                       [&](std::size_t a, std::size_t b) { return TextLess{}(object.keys()[a], object.keys()[b]); });
      json::Object out;
      for (std::size_t i : order) out.emplace_back(object.keys()[i], object.values()[i].toJson());
      return json::Value(std::move(out));
    }
    case Kind::macro: return asMacro().toJson();
    case Kind::function: throw json::EncodingError("Cannot encode function values");
    case Kind::null:
    case Kind::undefined: return json::Value();
  }
  return json::Value();
}

Value Value::fromJson(const json::Value& json) {
  switch (json.kind()) {
    case json::Value::Kind::unsignedInteger:
      if (json.asUInt() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        return Value(static_cast<double>(json.asUInt()));
      return Value(static_cast<std::int64_t>(json.asUInt()));
    case json::Value::Kind::array: {
      Array out;
      for (const json::Value& element : json.asArray()) out.push_back(fromJson(element));
      return Value(std::move(out));
    }
    case json::Value::Kind::object: {
      std::vector<std::pair<std::string, Value>> pairs;
      for (const auto& [key, value] : json.asObject()) pairs.emplace_back(key, fromJson(value));
      return Value(sortedObject(std::move(pairs)));
    }
    default: return fromAny(json);
  }
}

}  // namespace jinja

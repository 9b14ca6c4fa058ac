// The built-in tests: `x is defined`, `n is divisibleby(3)`, `v is in [1, 2]`.
#include <cmath>

#include "platform/Text/Unicode.h"
#include "templates/JinjaError.h"
#include "templates/PropertyMembers.h"
#include "templates/builtins/BuiltInRows.h"
#include "templates/detail/Text.h"

namespace jinja::detail {
namespace text = platform::text;

namespace {

using Parameters = std::vector<std::string>;

// A test of the tested value alone.
template <class Body>
TestFunction unary(Body body) {
  return [body](const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef&) {
    static const Parameters parameters = {"value"};
    BoundArguments bound = resolveCallArguments(args, kwargs, parameters, {});
    return body(bound.at("value"));
  };
}

// A test of two values, named by `first` and `second`.
template <class Body>
TestFunction binary(const char* first, const char* second, Body body) {
  Parameters parameters = {first, second};
  return [body, parameters](const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef&) {
    BoundArguments bound = resolveCallArguments(args, kwargs, parameters, {});
    return body(bound.at(parameters[0]), bound.at(parameters[1]));
  };
}

// An ordering test: kinds that cannot be ordered answer false.
template <class Accept>
TestFunction ordering(Accept accept) {
  return binary("a", "b", [accept](const Value& a, const Value& b) {
    try {
      return accept(a.compare(b));
    } catch (const JinjaError&) {
      return false;
    }
  });
}

bool divisible(const Value& v, const Value& d) {
  if (v.isInt() && d.isInt()) {
    std::int64_t divisor = d.asInt();
    if (divisor == 0) return false;
    if (divisor == -1) return true;  // also for the smallest integer, whose quotient overflows
    return v.asInt() % divisor == 0;
  }
  if (!v.isNumeric() || !d.isNumeric()) return false;
  double value = v.toDouble(), divisor = d.toDouble();
  if (divisor == 0 || !std::isfinite(value)) return false;
  return std::fmod(value, divisor) == 0;
}

// Membership by equality, so elements of other kinds are simply no match: 2 is in ['x', 2].
bool contains(const Value& value, const Value& container) {
  if (container.isString())
    return value.isString() && Substring(value.asString()).findIn(container.asString(), 0) != std::string::npos;
  if (container.isObject()) return value.isString() && container.asObject().index(value.asString()).has_value();
  if (container.isArray()) {
    for (const Value& element : container.asArray())
      if (element.isEquivalent(value)) return true;
  }
  return false;
}

std::string repaired(const std::string& s) { return text::repairUtf8(s); }

}  // namespace

Tests::Table makeTestTable() {
  TestFunction eq = binary("a", "b", [](const Value& a, const Value& b) { return a.isEquivalent(b); });
  TestFunction ne = binary("a", "b", [](const Value& a, const Value& b) { return !a.isEquivalent(b); });
  TestFunction gt = ordering([](int c) { return c > 0; });
  TestFunction ge = ordering([](int c) { return c >= 0; });
  TestFunction lt = ordering([](int c) { return c < 0; });
  TestFunction le = ordering([](int c) { return c <= 0; });
  return Tests::Table{
      {"defined", unary([](const Value& v) { return !v.isUndefined(); })},
      {"undefined", unary([](const Value& v) { return v.isUndefined(); })},
      {"none", unary([](const Value& v) { return v.isNull(); })},
      {"string", unary([](const Value& v) { return v.isString(); })},
      {"number", unary([](const Value& v) { return v.isNumeric(); })},
      {"boolean", unary([](const Value& v) { return v.isBoolean(); })},
      {"iterable", unary([](const Value& v) { return v.isIterable(); })},
      {"even", unary([](const Value& v) {
         if (v.isInt()) return v.asInt() % 2 == 0;
         return v.isDouble() && std::isfinite(v.asDouble()) && std::fmod(v.asDouble(), 2.0) == 0;
       })},
      {"odd", unary([](const Value& v) {
         if (v.isInt()) return v.asInt() % 2 != 0;
         if (!v.isDouble()) return false;
         double d = v.asDouble();
         return std::isfinite(d) && std::trunc(d) == d && std::fmod(d, 2.0) != 0;
       })},
      {"divisibleby", binary("value", "divisor", divisible)},
      {"mapping", unary([](const Value& v) { return v.isObject(); })},
      {"callable", unary([](const Value& v) { return v.isFunction() || v.isMacro(); })},
      {"integer", unary([](const Value& v) { return v.isInt(); })},
      {"true", unary([](const Value& v) { return v.isBoolean() && v.asBool(); })},
      {"false", unary([](const Value& v) { return v.isBoolean() && !v.asBool(); })},
      {"lower", unary([](const Value& v) {
         if (!v.isString()) return false;
         std::string s = repaired(v.asString());
         return casedInPieces(s, false) == s;
       })},
      {"upper", unary([](const Value& v) {
         if (!v.isString()) return false;
         std::string s = repaired(v.asString());
         return casedInPieces(s, true) == s;
       })},
      {"float", unary([](const Value& v) { return v.isDouble(); })},
      {"sequence", unary([](const Value& v) { return v.isString() || v.isArray(); })},
      {"escaped", unary([](const Value&) { return false; })},
      {"filter", unary([](const Value& v) { return v.isString() && Filters::find(v.asString()) != nullptr; })},
      {"test", unary([](const Value& v) { return v.isString() && Tests::find(v.asString()) != nullptr; })},
      {"sameas", binary("a", "b", [](const Value& a, const Value& b) { return a.compare(b) == 0; })},
      {"in", binary("value", "container", contains)},
      {"eq", eq}, {"==", eq}, {"equalto", eq},
      {"ne", ne}, {"!=", ne},
      {"gt", gt}, {">", gt}, {"greaterthan", gt},
      {"ge", ge}, {">=", ge},
      {"lt", lt}, {"<", lt}, {"lessthan", lt},
      {"le", le}, {"<=", le},
  };
}

}  // namespace jinja::detail

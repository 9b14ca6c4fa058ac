// The built-in filters: the table, and the simple and collection filters. The text, number,
// serialization and layout filters live in BuiltInTextFilters.cpp.
#include <algorithm>
#include <random>

#include "platform/Text/Unicode.h"
#include "templates/Interpreter.h"
#include "templates/JinjaError.h"
#include "templates/PropertyMembers.h"
#include "templates/builtins/BuiltInFilterKit.h"
#include "templates/builtins/BuiltInRows.h"
#include "templates/detail/RenderClock.h"
#include "templates/detail/Text.h"

namespace jinja::detail {
namespace text = platform::text;

BoundArguments bindFilter(const Arguments& args, const KeywordArguments& kwargs, const std::vector<std::string>& parameters,
                          const BoundArguments& defaults) {
  return resolveCallArguments(args, kwargs, parameters, defaults, 1);
}

Value memberOf(const Value& item, const Value& attribute) {
  if (attribute.isString()) {
    if (item.isObject()) return PropertyMembers::evaluateObjectProperty(item.asObject(), attribute.asString());
    if (item.isString()) return PropertyMembers::evaluateStringProperty(item.asString(), attribute.asString());
    return Value::undefined();
  }
  if (attribute.isInt()) {
    std::int64_t i = attribute.asInt();
    if (item.isObject()) {
      const Value* found = item.asObject().get(std::to_string(i));
      if (found) return *found;
      return Value::undefined();
    }
    if (item.isArray() && i >= 0 && static_cast<std::uint64_t>(i) < item.asArray().size())
      return item.asArray()[static_cast<std::size_t>(i)];
  }
  return Value::undefined();
}

std::mt19937_64& randomSource() {
  thread_local std::mt19937_64 source{std::random_device{}()};
  return source;
}

namespace {

std::string lower(const std::string& s) { return text::lowercased(text::repairUtf8(s)); }

int orderStrings(const std::string& a, const std::string& b) { return Value(a).compare(Value(b)); }

Value upperFilter(const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef&) {
  if (args.empty() || !args[0].isString()) throw JinjaError::runtime("upper filter requires string");
  bindFilter(args, kwargs, {}, {});
  return Value(casedInPieces(args[0].asString(), true));
}

Value lowerFilter(const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef&) {
  if (args.empty() || !args[0].isString()) throw JinjaError::runtime("lower filter requires string");
  bindFilter(args, kwargs, {}, {});
  return Value(casedInPieces(args[0].asString(), false));
}

Value length(const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef&) {
  bindFilter(args, kwargs, {}, {});
  if (!args.empty()) {
    const Value& v = args[0];
    if (v.isString()) return Value(static_cast<std::int64_t>(countCharacters(v.asString())));
    if (v.isArray()) return Value(static_cast<std::int64_t>(v.asArray().size()));
    if (v.isObject()) return Value(static_cast<std::int64_t>(v.asObject().size()));
    if (v.isUndefined()) return Value(0);
  }
  throw JinjaError::runtime("length filter requires string, array, or object");
}

// [1, 'a', none] | join(', ') => "1, a, "
Value join(const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef&) {
  if (args.empty() || !args[0].isArray()) throw JinjaError::runtime("join filter requires array");
  BoundArguments bound = bindFilter(args, kwargs, once([] { return std::vector<std::string>{"separator", "attribute"}; }),
                                    once([] { return BoundArguments{{"separator", Value("")}, {"attribute", Value()}}; }));
  const Value& separator = bound.at("separator");
  const Value& attribute = bound.at("attribute");
  if (!separator.isString()) throw JinjaError::runtime("join filter requires string separator");
  std::string out;
  bool first = true;
  for (const Value& element : args[0].asArray()) {
    if (!first) out += separator.asString();
    first = false;
    if (attribute.isNull())
      element.appendDescription(out);
    else
      memberOf(element, attribute).appendDescription(out);
    checkStringSize(out.size());
  }
  return Value(std::move(out));
}

// `boolean` replaces every falsy input, not only undefined: "" | default("x", true) => "x".
Value defaultFilter(const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef&) {
  Value input = args.empty() ? Value::undefined() : args[0];
  BoundArguments bound = bindFilter(args, kwargs, once([] { return std::vector<std::string>{"default_value", "boolean"}; }),
                                    once([] { return BoundArguments{{"boolean", Value(false)}}; }));
  if (input.isUndefined()) return bound.at("default_value");
  if (bound.at("boolean").isTruthy() && !input.isTruthy()) return bound.at("default_value");
  return input;
}

template <bool fromEnd>
Value firstOrLast(const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef&) {
  if (args.empty()) return Value::undefined();
  bindFilter(args, kwargs, {}, {});
  const Value& v = args[0];
  if (v.isString()) {
    CharacterWalk walk(v.asString());
    std::string_view character, taken;
    if (!walk.next(taken)) return Value::undefined();
    if (fromEnd)
      while (walk.next(character)) taken = character;
    return Value(taken);
  }
  if (v.isArray()) {
    if (v.asArray().empty()) return Value::undefined();
    return fromEnd ? v.asArray().back() : v.asArray().front();
  }
  throw JinjaError::runtime(fromEnd ? "last filter requires array or string" : "first filter requires array or string");
}

Value randomFilter(const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef&) {
  if (args.empty()) return Value::undefined();
  bindFilter(args, kwargs, {}, {});
  const Value& v = args[0];
  auto pick = [](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(randomSource()); };
  if (v.isString()) {
    const std::size_t count = countCharacters(v.asString());
    if (count == 0) return Value::undefined();
    return Value(*characterAt(v.asString(), static_cast<std::int64_t>(pick(count))));
  }
  if (v.isArray()) return v.asArray().empty() ? Value::undefined() : v.asArray()[pick(v.asArray().size())];
  if (v.isObject()) return v.asObject().empty() ? Value::undefined() : Value(v.asObject().keys()[pick(v.asObject().size())]);
  return Value::undefined();
}

Value reverse(const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef&) {
  if (args.empty()) return Value::undefined();
  bindFilter(args, kwargs, {}, {});
  const Value& v = args[0];
  if (v.isString()) {
    // Each character is written where it ends counted from the back.
    CharacterWalk walk(v.asString());
    std::string out(walk.text().size(), '\0');
    for (std::string_view character; walk.next(character);)
      out.replace(out.size() - walk.offset(), character.size(), character);
    return Value(std::move(out));
  }
  if (v.isArray()) return Value(Value::Array(v.asArray().rbegin(), v.asArray().rend()));
  throw JinjaError::runtime("reverse filter requires array or string");
}

Value attr(const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef&) {
  if (args.empty()) return Value::undefined();
  BoundArguments bound = bindFilter(args, kwargs, {"attribute"}, {});
  if (!bound.at("attribute").isString()) throw JinjaError::runtime("attr filter requires attribute parameter");
  const Value& v = args[0];
  if (!v.isString() && !v.isObject()) return Value::undefined();
  return memberOf(v, bound.at("attribute"));
}

// Stable sort of values by `order` (negative: a first).
template <class Order>
Value::Array stableSorted(Value::Array items, Order order) {
  std::stable_sort(items.begin(), items.end(), [&](const Value& a, const Value& b) { return order(a, b) < 0; });
  return items;
}

int sortOrder(const Value& a, const Value& b, bool caseSensitive) {
  if (a.isString() && b.isString() && !caseSensitive) return orderStrings(lower(a.asString()), lower(b.asString()));
  return a.compare(b);
}

// [3, 1, 2] | sort => [1, 2, 3]; attribute "age, name" sorts by age, then name.
Value sort(const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef&) {
  if (args.empty() || !args[0].isArray()) return Value(Value::Array{});
  BoundArguments bound = bindFilter(args, kwargs, {"reverse", "case_sensitive", "attribute"},
                                    {{"reverse", Value(false)}, {"case_sensitive", Value(false)}, {"attribute", Value()}});
  bool caseSensitive = bound.at("case_sensitive").isTruthy();
  std::vector<std::string> names;
  if (const Value& attribute = bound.at("attribute"); attribute.isString()) {
    for (const std::string& piece : split(attribute.asString(), std::string(","), std::nullopt)) {
      std::size_t b = piece.find_first_not_of(" \t\n\r\v\f"), e = piece.find_last_not_of(" \t\n\r\v\f");
      if (b != std::string::npos) names.push_back(piece.substr(b, e - b + 1));
    }
  }
  Value::Array items = args[0].asArray();
  if (names.empty()) {
    items = stableSorted(std::move(items), [&](const Value& a, const Value& b) { return sortOrder(a, b, caseSensitive); });
  } else {
    for (auto name = names.rbegin(); name != names.rend(); ++name) {
      Value key(*name);
      items = stableSorted(std::move(items), [&](const Value& a, const Value& b) {
        return sortOrder(memberOf(a, key), memberOf(b, key), caseSensitive);
      });
    }
  }
  if (bound.at("reverse").isTruthy()) std::reverse(items.begin(), items.end());
  return Value(std::move(items));
}

int groupOrder(const Value& x, const Value& y, bool caseSensitive) {
  if (x.isString() && y.isString())
    return caseSensitive ? orderStrings(x.asString(), y.asString()) : orderStrings(lower(x.asString()), lower(y.asString()));
  try {
    return x.compare(y);
  } catch (const JinjaError&) {
    return orderStrings(x.description(), y.description());
  }
}

Value groupby(const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef&) {
  if (args.empty() || !args[0].isArray()) return Value(Value::Array{});
  BoundArguments bound = bindFilter(args, kwargs, {"attribute", "default", "case_sensitive"},
                                    {{"default", Value()}, {"case_sensitive", Value(false)}});
  if (!bound.at("attribute").isString()) throw JinjaError::runtime("groupby filter requires attribute parameter");
  bool caseSensitive = bound.at("case_sensitive").isTruthy();
  struct Record {
    Value item, displayKey, normalized;
  };
  std::vector<Record> records;
  for (const Value& item : args[0].asArray()) {
    Value key = memberOf(item, bound.at("attribute"));
    if (key.isUndefined()) key = bound.at("default");
    Value normalized = key.isString() && !caseSensitive ? Value(lower(key.asString())) : key;
    records.push_back({item, key, normalized});
  }
  std::stable_sort(records.begin(), records.end(), [&](const Record& a, const Record& b) {
    return groupOrder(a.normalized, b.normalized, caseSensitive) < 0;
  });
  Value::Array groups;
  Value lastKey;
  std::vector<std::pair<Value, Value::Array>> built;
  for (Record& record : records) {
    if (!built.empty() && record.normalized.isEquivalent(lastKey)) {
      built.back().second.push_back(std::move(record.item));
      continue;
    }
    lastKey = record.normalized;
    built.push_back({record.displayKey, Value::Array{std::move(record.item)}});
  }
  for (auto& [key, items] : built) groups.push_back(Value::object({{"grouper", key}, {"list", Value(std::move(items))}}));
  return Value(std::move(groups));
}

// Consecutive runs, the first `len % n` of them one longer; the others get the filler, every run
// when all are of one length: [1, 2, 3, 4, 5] | slice(2) => [[1, 2, 3], [4, 5]];
// | slice(2, 0) => [[1, 2, 3], [4, 5, 0]];  [1, 2] | slice(2, 0) => [[1, 0], [2, 0]]
Value slice(const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef&) {
  if (args.empty() || !args[0].isArray()) return Value(Value::Array{});
  BoundArguments bound = bindFilter(args, kwargs, {"numSlices", "fillWith"}, {{"fillWith", Value()}});
  const Value& count = bound.at("numSlices");
  if (!count.isInt() || count.asInt() <= 0)
    throw JinjaError::runtime("slice filter requires positive integer numSlices parameter");
  const Value::Array& items = args[0].asArray();
  const std::uint64_t n = static_cast<std::uint64_t>(count.asInt()), len = items.size();
  checkArraySize(n);
  const std::uint64_t shortLength = len / n, longer = len % n;
  const bool fill = !bound.at("fillWith").isNull();
  Value::Array slices;
  slices.reserve(n);
  std::uint64_t offset = 0;
  for (std::uint64_t s = 0; s < n; ++s) {
    const std::uint64_t length = shortLength + (s < longer ? 1 : 0);
    countWork(length);
    Value::Array run(items.begin() + static_cast<std::ptrdiff_t>(offset),
                     items.begin() + static_cast<std::ptrdiff_t>(offset + length));
    offset += length;
    if (fill && s >= longer) run.push_back(bound.at("fillWith"));
    slices.emplace_back(std::move(run));
  }
  return Value(std::move(slices));
}

// map("name", args..., kwargs...) applies that filter with the further arguments to every element;
// map(attribute="a", default=d) reads a member:  [1.26] | map("round", 1) => [1.3]
Value map(const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef& env) {
  if (args.empty() || !args[0].isArray()) return Value(Value::Array{});
  Value::Array out;
  if (args.size() > 1 && args[1].isString() && !kwargs.contains("attribute")) {
    const std::string& name = args[1].asString();
    Value inScope = env ? (*env)[name] : Value::undefined();
    const Function* filter = inScope.isFunction() ? &inScope.asFunction() : Filters::find(name);
    if (!filter && !args[0].asArray().empty()) throw JinjaError::runtime("Unknown filter: " + name);
    Arguments call(args.begin() + 1, args.end());  // call[0] is the element
    out.reserve(args[0].asArray().size());
    for (const Value& element : args[0].asArray()) {
      call[0] = element;
      out.push_back((*filter)(call, kwargs, env));
    }
    return Value(std::move(out));
  }
  BoundArguments bound = bindFilter(args, kwargs, once([] { return std::vector<std::string>{"filterName", "attribute", "default"}; }),
                                    once([] { return BoundArguments{{"filterName", Value()}, {"attribute", Value()}, {"default", Value()}}; }));
  if (!bound.at("attribute").isNull()) {
    for (const Value& element : args[0].asArray()) {
      Value member = memberOf(element, bound.at("attribute"));
      out.push_back(member.isUndefined() ? bound.at("default") : member);
    }
  }
  return Value(std::move(out));
}

// The elements for which `keep` (given the test's answer) holds.
template <bool selecting>
Value selectFilter(const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef& env) {
  if (args.empty() || !args[0].isArray()) return Value(Value::Array{});
  BoundArguments bound = bindFilter(args, kwargs, {"testname"}, {{"testname", Value()}});
  const Value& test = bound.at("testname");
  Value::Array out;
  for (const Value& element : args[0].asArray()) {
    bool answer;
    if (test.isString()) {
      Arguments testArgs = {element};
      if (args.size() > 2) testArgs.insert(testArgs.end(), args.begin() + 2, args.end());
      answer = Interpreter::evaluateTest(test.asString(), testArgs, env);
    } else {
      answer = element.isTruthy();
    }
    if (answer == selecting) out.push_back(element);
  }
  return Value(std::move(out));
}

template <bool selecting>
Value selectAttrFilter(const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef& env) {
  if (args.empty() || !args[0].isArray()) return Value(Value::Array{});
  BoundArguments bound = bindFilter(args, kwargs, once([] { return std::vector<std::string>{"attribute", "testname"}; }),
                                    once([] { return BoundArguments{{"testname", Value()}}; }));
  if (!bound.at("attribute").isString())
    throw JinjaError::runtime(selecting ? "selectattr filter requires attribute parameter"
                                        : "rejectattr filter requires attribute parameter");
  const Value& test = bound.at("testname");
  Value::Array out;
  for (const Value& element : args[0].asArray()) {
    Value member = memberOf(element, bound.at("attribute"));
    bool answer;
    if (test.isString()) {
      Arguments testArgs = {member};
      if (args.size() > 3) testArgs.insert(testArgs.end(), args.begin() + 3, args.end());
      answer = Interpreter::evaluateTest(test.asString(), testArgs, env);
    } else {
      answer = member.isTruthy();
    }
    if (answer == selecting) out.push_back(element);
  }
  return Value(std::move(out));
}

// {'b': 1, 'a': 2} | dictsort => [['a', 2], ['b', 1]]
Value dictsort(const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef&) {
  if (args.empty() || !args[0].isObject()) return Value(Value::Array{});
  BoundArguments bound = bindFilter(args, kwargs, {"case_sensitive", "by", "reverse"},
                                    {{"case_sensitive", Value(false)}, {"by", Value("key")}, {"reverse", Value(false)}});
  bool caseSensitive = bound.at("case_sensitive").isTruthy(), reversed = bound.at("reverse").isTruthy();
  bool byValue = bound.at("by").isString() && bound.at("by").asString() == "value";
  const Value::Object& object = args[0].asObject();
  struct Pair {
    std::string sortKey;
    Value entry;
  };
  std::vector<Pair> pairs;
  for (std::size_t i = 0; i < object.size(); ++i) {
    const std::string& key = object.keys()[i];
    const Value& value = object.values()[i];
    std::string sortKey = byValue ? value.description() : key;
    if (!caseSensitive) sortKey = lower(sortKey);
    pairs.push_back({std::move(sortKey), Value::array({Value(key), value})});
  }
  std::stable_sort(pairs.begin(), pairs.end(), [&](const Pair& a, const Pair& b) {
    int c = a.sortKey.compare(b.sortKey);
    return reversed ? c > 0 : c < 0;
  });
  Value::Array out;
  for (Pair& pair : pairs) out.push_back(std::move(pair.entry));
  return Value(std::move(out));
}

}  // namespace

Filters::Table makeFilterTable() {
  Filters::Table table{
      {"upper", upperFilter},
      {"lower", lowerFilter},
      {"length", length},
      {"count", length},
      {"join", join},
      {"default", defaultFilter},
      {"d", defaultFilter},
      {"first", firstOrLast<false>},
      {"last", firstOrLast<true>},
      {"random", randomFilter},
      {"reverse", reverse},
      {"sort", sort},
      {"groupby", groupby},
      {"slice", slice},
      {"map", map},
      {"select", selectFilter<true>},
      {"reject", selectFilter<false>},
      {"selectattr", selectAttrFilter<true>},
      {"rejectattr", selectAttrFilter<false>},
      {"attr", attr},
      {"dictsort", dictsort},
  };
  addTextFilters(table);
  return table;
}

}  // namespace jinja::detail

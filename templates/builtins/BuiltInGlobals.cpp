// The built-in global functions: range, lipsum, dict, namespace, cycler, joiner, raise_exception
// and strftime_now.
#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <random>

#include <unicode/locid.h>
#include <unicode/smpdtfmt.h>
#include <unicode/ucal.h>
#include <unicode/unistr.h>

#include "platform/Text/Unicode.h"
#include "templates/JinjaError.h"
#include "templates/PropertyMembers.h"
#include "templates/TemplateException.h"
#include "templates/builtins/BuiltInRows.h"
#include "templates/detail/LiveMember.h"

namespace jinja::detail {
namespace {

Value raiseException(const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef&) {
  BoundArguments bound = resolveCallArguments(args, kwargs, {"message"}, {{"message", Value()}});
  const Value& message = bound.at("message");
  if (message.isString()) throw TemplateException(message.asString());
  throw TemplateException();
}

// range(5, 0, -2) => [5, 3, 1]
Value range(const Arguments& args, const KeywordArguments&, const EnvironmentRef&) {
  if (args.empty() || args.size() > 3) throw JinjaError::runtime("range() takes 1 to 3 arguments");
  if (args.size() == 1 && !args[0].isInt()) throw JinjaError::runtime("range() stop argument must be an integer");
  for (const Value& a : args)
    if (!a.isInt()) throw JinjaError::runtime("range() arguments must be integers");
  std::int64_t start = args.size() == 1 ? 0 : args[0].asInt();
  std::int64_t stop = args.size() == 1 ? args[0].asInt() : args[1].asInt();
  std::int64_t step = args.size() == 3 ? args[2].asInt() : 1;
  if (step == 0) throw JinjaError::runtime("range() step argument must not be zero");
  // The count in 128-bit arithmetic: no overflow at the ends of the 64-bit range.
  __int128 span = step > 0 ? static_cast<__int128>(stop) - start : static_cast<__int128>(start) - stop;
  __int128 stride = step > 0 ? static_cast<__int128>(step) : -static_cast<__int128>(step);
  __int128 count = span <= 0 ? 0 : (span + stride - 1) / stride;
  if (count > static_cast<__int128>(Value::maxArrayElements))
    throw JinjaError::runtime("range() would yield more than " + std::to_string(Value::maxArrayElements) + " values");
  Value::Array out;
  out.reserve(static_cast<std::size_t>(count));
  __int128 value = start;
  for (__int128 i = 0; i < count; ++i, value += step) out.emplace_back(static_cast<std::int64_t>(value));
  return Value(std::move(out));
}

const char* const lipsumWords[] = {
    "lorem",     "ipsum",   "dolor",      "sit",       "amet",      "consectetur", "adipiscing",    "elit",
    "sed",       "do",      "eiusmod",    "tempor",    "incididunt", "ut",         "labore",        "et",
    "dolore",    "magna",   "aliqua",     "enim",      "ad",        "minim",       "veniam",        "quis",
    "nostrud",   "exercitation", "ullamco", "laboris", "nisi",      "aliquip",     "ex",            "ea",
    "commodo",   "consequat", "duis",     "aute",      "irure",     "in",          "reprehenderit", "voluptate",
    "velit",     "esse",    "cillum",     "fugiat",    "nulla",     "pariatur",    "excepteur",     "sint",
    "occaecat",  "cupidatat", "non",      "proident",  "sunt",      "culpa",       "qui",           "officia",
    "deserunt",  "mollit",  "anim",       "id",        "est",       "laborum"};

// lipsum(2, false, 1, 1) => "Lorem.\n\nIpsum." (words drawn at random)
Value lipsum(const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef&) {
  BoundArguments bound = resolveCallArguments(args, kwargs, {"n", "html", "min", "max"},
                                              {{"n", Value(5)}, {"html", Value(true)}, {"min", Value(20)}, {"max", Value(100)}});
  const Value &n = bound.at("n"), &html = bound.at("html"), &low = bound.at("min"), &high = bound.at("max");
  if (!n.isInt() || !html.isBoolean() || !low.isInt() || !high.isInt() || n.asInt() < 0 || low.asInt() < 0 ||
      high.asInt() < low.asInt())
    throw JinjaError::runtime("Invalid arguments for lipsum()");
  // The longest word takes 14 bytes with its space: refuse what could pass the string cap.
  constexpr std::int64_t limit = static_cast<std::int64_t>(Value::maxStringBytes / 16);
  if (high.asInt() > limit || (high.asInt() > 0 && n.asInt() > limit / high.asInt()) || n.asInt() > limit)
    throw JinjaError::runtime("lipsum() arguments ask for more than " + std::to_string(Value::maxStringBytes) + " bytes");
  thread_local std::mt19937_64 random{std::random_device{}()};
  std::uniform_int_distribution<std::int64_t> countOf(low.asInt(), high.asInt());
  std::uniform_int_distribution<std::size_t> wordOf(0, std::size(lipsumWords) - 1);
  std::string out;
  for (std::int64_t p = 0; p < n.asInt(); ++p) {
    if (p > 0) out += html.asBool() ? "\n" : "\n\n";
    std::string sentence;
    for (std::int64_t w = countOf(random); w > 0; --w) {
      if (!sentence.empty()) sentence += ' ';
      sentence += lipsumWords[wordOf(random)];
    }
    if (!sentence.empty()) sentence[0] = static_cast<char>(sentence[0] - 'a' + 'A');
    sentence += '.';
    out += html.asBool() ? "<p>" + sentence + "</p>" : sentence;
  }
  return Value(std::move(out));
}

// The entries of a mapping, or of a list of [key, value] pairs, then the keyword arguments in
// ascending order: dict({'a': 1}, c=3, b=2) => {a: 1, b: 2, c: 3};  dict([['x', 1]]) => {x: 1}
Value dict(const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef&) {
  if (args.size() > 1)
    throw JinjaError::runtime("dict expected at most 1 positional argument, got " + std::to_string(args.size()));
  Value::Object out;
  if (!args.empty()) {
    const Value& from = args[0];
    if (from.isObject()) {
      out = from.asObject();
    } else if (from.isArray()) {
      for (const Value& pair : from.asArray()) {
        if (!pair.isArray() || pair.asArray().size() != 2)
          throw JinjaError::runtime("dict needs pairs of a key and a value, not " + pair.description());
        const Value& key = pair.asArray()[0];
        if (!key.isString())
          throw JinjaError::runtime("Non-string dictionary keys are not supported (" + key.description() + ")");
        out.set(key.asString(), pair.asArray()[1]);
      }
    } else {
      throw JinjaError::runtime("dict needs a mapping or a list of pairs, not " + from.description());
    }
  }
  std::vector<const KeywordArguments::value_type*> pairs;
  pairs.reserve(kwargs.size());
  for (const auto& pair : kwargs) pairs.push_back(&pair);
  std::sort(pairs.begin(), pairs.end(), [](const auto* a, const auto* b) { return TextLess{}(a->first, b->first); });
  out.reserveCapacity(out.size() + pairs.size());
  for (const auto* pair : pairs) out.set(pair->first, pair->second);
  return Value(std::move(out));
}

struct Cycler {
  std::vector<Value> items;
  std::mutex lock;
  std::size_t currentIndex = 0;
};

// An object with `current` (the item next() returns next), `next` and `reset`.
Value cycler(const Arguments& args, const KeywordArguments&, const EnvironmentRef&) {
  if (args.empty()) throw JinjaError::runtime("cycler() requires at least one argument");
  auto state = std::make_shared<Cycler>();
  state->items = args;
  Value out{Value::Object{}};
  out.setMember("current", Value(Function(LiveMember{[state] {
                  std::lock_guard guard(state->lock);
                  return state->items[state->currentIndex];
                }})));
  out.setMember("next", Value(Function([state](const Arguments&, const KeywordArguments&, const EnvironmentRef&) {
                  std::lock_guard guard(state->lock);
                  Value item = state->items[state->currentIndex];
                  state->currentIndex = (state->currentIndex + 1) % state->items.size();
                  return item;
                })));
  out.setMember("reset", Value(Function([state](const Arguments&, const KeywordArguments&, const EnvironmentRef&) {
                  std::lock_guard guard(state->lock);
                  state->currentIndex = 0;
                  return Value();
                })));
  return out;
}

struct Joiner {
  std::string separator;
  std::mutex lock;
  bool first = true;
};

Value joiner(const Arguments& args, const KeywordArguments& kwargs, const EnvironmentRef&) {
  BoundArguments bound = resolveCallArguments(args, kwargs, {"sep"}, {{"sep", Value(", ")}});
  if (!bound.at("sep").isString()) throw JinjaError::runtime("joiner separator must be a string");
  auto state = std::make_shared<Joiner>();
  state->separator = bound.at("sep").asString();
  return Value(Function([state](const Arguments&, const KeywordArguments&, const EnvironmentRef&) {
    std::lock_guard guard(state->lock);
    if (state->first) {
      state->first = false;
      return Value("");
    }
    return Value(state->separator);
  }));
}

// A date pattern literal: quotes inside are doubled. "it's " => "'it''s '"
void appendQuoted(std::string& pattern, const std::string& literal) {
  pattern += '\'';
  for (char c : literal) {
    if (c == '\'') pattern += '\'';
    pattern += c;
  }
  pattern += '\'';
}

}  // namespace

// "%Y-%m-%d %H:%M" => "yyyy'-'MM'-'dd' 'HH':'mm"
std::string strftimePattern(const std::string& format) {
  static const std::map<std::string, std::string> directives = {
      {"%a", "EEE"}, {"%A", "EEEE"}, {"%b", "MMM"},  {"%B", "MMMM"},       {"%c", "EEE MMM d HH:mm:ss yyyy"},
      {"%d", "dd"},  {"%H", "HH"},   {"%I", "h"},    {"%j", "DDD"},        {"%m", "MM"},
      {"%M", "mm"},  {"%%", "%"},    {"%p", "a"},    {"%S", "ss"},         {"%U", "ww"},
      {"%w", "e"},   {"%W", "ww"},   {"%x", "MM/dd/yyyy"}, {"%X", "HH:mm:ss"}, {"%y", "yy"},
      {"%Y", "yyyy"}, {"%z", "Z"},   {"%Z", "zzz"}};
  std::string pattern, literal;
  std::size_t i = 0;
  while (true) {
    std::size_t percent = format.find('%', i);
    literal.append(format, i, percent == std::string::npos ? std::string::npos : percent - i);
    if (percent == std::string::npos) break;
    if (percent + 1 == format.size()) {
      literal += '%';
      break;
    }
    std::string directive = format.substr(percent, 2);
    auto found = directives.find(directive);
    if (found == directives.end()) {
      literal += directive;
    } else {
      if (!literal.empty()) appendQuoted(pattern, literal);
      literal.clear();
      pattern += found->second;
    }
    i = percent + 2;
  }
  if (!literal.empty()) appendQuoted(pattern, literal);
  return pattern;
}

namespace {

// Building a date formatter costs far more than a render, so each thread keeps the formatters of
// the last few formats, with the text of the last second each wrote: patterns have no field finer
// than a second.
struct DateFormatter {
  std::string format;
  std::unique_ptr<icu::SimpleDateFormat> formatter;
  double second = std::numeric_limits<double>::quiet_NaN();
  std::string text;
};

DateFormatter& dateFormatter(const std::string& format) {
  constexpr std::size_t kept = 4;
  thread_local std::vector<DateFormatter> cache;
  thread_local std::size_t nextSlot = 0;
  for (DateFormatter& entry : cache)
    if (entry.format == format) return entry;
  std::string pattern = strftimePattern(platform::text::repairUtf8(format));
  UErrorCode status = U_ZERO_ERROR;
  auto formatter =
      std::make_unique<icu::SimpleDateFormat>(icu::UnicodeString::fromUTF8(pattern), icu::Locale("en_US_POSIX"), status);
  if (U_FAILURE(status)) throw JinjaError::runtime("strftime_now cannot use the format " + format);
  DateFormatter fresh{format, std::move(formatter), std::numeric_limits<double>::quiet_NaN(), {}};
  if (cache.size() < kept) return cache.emplace_back(std::move(fresh));
  DateFormatter& slot = cache[nextSlot];
  nextSlot = (nextSlot + 1) % kept;
  slot = std::move(fresh);
  return slot;
}

Value strftimeNow(const Arguments& args, const KeywordArguments&, const EnvironmentRef&) {
  if (args.size() != 1) throw JinjaError::runtime("strftime_now takes exactly 1 argument");
  if (!args[0].isString()) throw JinjaError::runtime("strftime_now format argument must be a string");
  DateFormatter& entry = dateFormatter(args[0].asString());
  UDate now = ucal_getNow();
  double second = std::floor(now / 1000);
  if (second != entry.second) {
    icu::UnicodeString text;
    entry.formatter->format(now, text);
    entry.text.clear();
    text.toUTF8String(entry.text);
    entry.second = second;
  }
  return Value(entry.text);
}

}  // namespace

Globals::Table makeGlobalTable() {
  return Globals::Table{
      {"raise_exception", Value(Function(raiseException))},
      {"range", Value(Function(range))},
      {"lipsum", Value(Function(lipsum))},
      {"dict", Value(Function(dict))},
      {"cycler", Value(Function(cycler))},
      {"joiner", Value(Function(joiner))},
      {"namespace", Value(Function(dict))},
      {"strftime_now", Value(Function(strftimeNow))},
  };
}

}  // namespace jinja::detail

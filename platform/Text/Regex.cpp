#include "platform/Text/Regex.h"

#include <algorithm>
#include <climits>
#include <limits>
#include <mutex>

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/regex.h>
#include <unicode/unistr.h>

#include "platform/Text/Unicode.h"

namespace platform::text {

namespace {

// The deadline of the innermost RegexTimeBudget of this thread.
thread_local std::optional<std::chrono::steady_clock::time_point> tBudgetDeadline;

bool pastBudget() { return tBudgetDeadline && std::chrono::steady_clock::now() >= *tBudgetDeadline; }

// Called by ICU every few thousand backtracking steps of a search; false stops the search.
UBool stayWithinBudget(const void*, int32_t) { return !pastBudget(); }

[[noreturn]] void throwOverBudget(const std::string& pattern) {
  throw RegexTimeout("regular expression \"" + pattern + "\" ran past the time budget of this call");
}

// Checked before each search, so that many short searches cannot outlast the budget either.
void requireBudget(const std::string& pattern) {
  if (pastBudget()) throwOverBudget(pattern);
}

// A compiled ICU pattern with a pool of matchers: they are costly to create, so finished ones
// wait here for the next call.
struct Engine {
  std::unique_ptr<icu::RegexPattern> pattern;
  int32_t timeLimit = 0;
  mutable std::mutex poolMutex;
  mutable std::vector<std::unique_ptr<icu::RegexMatcher>> pool;
};

}  // namespace

struct Regex::Compiled {
  Engine full;
  // The same pattern with every capture group made non-capturing, kept when there are many groups:
  // it matches the same texts, and ICU saves all group slots on every alternative it tries, so
  // searching with thousands of groups is far slower than without.
  std::unique_ptr<Engine> bare;
  std::size_t groupCount = 0;

  const Engine& search() const { return bare ? *bare : full; }
};

namespace {

// The UTF-16 form of a UTF-8 text, with conversion of UTF-16 positions back to byte offsets.
// Positions are asked for mostly in increasing order, so the cursor walks from the last one.
class Utf16Text {
 public:
  explicit Utf16Text(std::string_view utf8) : units_(toUtf16(utf8)) {
    if (units_.size() > static_cast<std::size_t>(INT32_MAX)) throw std::length_error("text too long for ICU");
    alias_ = icu::UnicodeString(false, icu::ConstChar16Ptr(units_.data()), static_cast<int32_t>(units_.size()));
  }
  Utf16Text(const Utf16Text&) = delete;
  Utf16Text& operator=(const Utf16Text&) = delete;

  const icu::UnicodeString& icu() const { return alias_; }
  int64_t length() const { return static_cast<int64_t>(units_.size()); }

  std::size_t byteOffset(int64_t unit) {
    auto target = static_cast<std::size_t>(unit);
    while (unit16_ < target) {
      char16_t c = units_[unit16_];
      if (c < 0x80) {
        byte_ += 1, unit16_ += 1;
      } else if (c < 0x800) {
        byte_ += 2, unit16_ += 1;
      } else if (c >= 0xD800 && c <= 0xDBFF) {
        byte_ += 4, unit16_ += 2;  // the text came from valid UTF-8: surrogates are paired
      } else {
        byte_ += 3, unit16_ += 1;
      }
    }
    while (unit16_ > target) {
      char16_t c = units_[unit16_ - 1];
      if (c < 0x80) {
        byte_ -= 1, unit16_ -= 1;
      } else if (c < 0x800) {
        byte_ -= 2, unit16_ -= 1;
      } else if (c >= 0xDC00 && c <= 0xDFFF) {
        byte_ -= 4, unit16_ -= 2;
      } else {
        byte_ -= 3, unit16_ -= 1;
      }
    }
    return byte_;
  }

 private:
  std::u16string units_;
  icu::UnicodeString alias_;
  std::size_t unit16_ = 0;
  std::size_t byte_ = 0;
};

void checkMatch(UErrorCode status, const std::string& pattern) {
  if (status == U_REGEX_STOPPED_BY_CALLER) throwOverBudget(pattern);
  if (status == U_REGEX_TIME_OUT)
    throw RegexTimeout("regular expression \"" + pattern + "\" ran out of time (catastrophic backtracking?)");
  if (U_FAILURE(status))
    throw std::runtime_error("regular expression \"" + pattern + "\" failed to match: " + u_errorName(status));
}

// A matcher from the pattern's pool, set on the text; it goes back to the pool when done.
class PooledMatcher {
 public:
  PooledMatcher(const Engine& engine, const Utf16Text& text, const std::string& source) : engine_(engine) {
    {
      std::lock_guard lock(engine_.poolMutex);
      if (!engine_.pool.empty()) {
        matcher_ = std::move(engine_.pool.back());
        engine_.pool.pop_back();
      }
    }
    UErrorCode status = U_ZERO_ERROR;
    if (matcher_) {
      matcher_->reset(text.icu());
      matcher_->useTransparentBounds(false).useAnchoringBounds(true);
    } else {
      matcher_.reset(engine_.pattern->matcher(text.icu(), status));
      checkMatch(status, source);
      matcher_->setTimeLimit(engine_.timeLimit, status);
      checkMatch(status, source);
      matcher_->setMatchCallback(&stayWithinBudget, nullptr, status);
      checkMatch(status, source);
    }
  }
  ~PooledMatcher() {
    static const icu::UnicodeString empty;
    matcher_->reset(empty);  // drop the reference to the caller's text
    std::lock_guard lock(engine_.poolMutex);
    if (engine_.pool.size() < kPoolSize) engine_.pool.push_back(std::move(matcher_));
  }
  PooledMatcher(const PooledMatcher&) = delete;
  PooledMatcher& operator=(const PooledMatcher&) = delete;
  icu::RegexMatcher* operator->() const { return matcher_.get(); }
  icu::RegexMatcher& operator*() const { return *matcher_; }

 private:
  static constexpr std::size_t kPoolSize = 8;
  const Engine& engine_;
  std::unique_ptr<icu::RegexMatcher> matcher_;
};

Regex::Match readMatch(icu::RegexMatcher& m, Utf16Text& text, std::size_t groupCount, const std::string& source) {
  UErrorCode status = U_ZERO_ERROR;
  Regex::Match match;
  match.groups.resize(groupCount + 1);
  for (std::size_t g = 0; g <= groupCount; ++g) {
    int64_t s = m.start64(static_cast<int32_t>(g), status);
    int64_t e = m.end64(static_cast<int32_t>(g), status);
    checkMatch(status, source);
    if (s < 0) continue;
    std::size_t bs = text.byteOffset(s);
    std::size_t be = text.byteOffset(e);
    match.groups[g] = ByteRange{bs, be};
  }
  match.range = *match.groups[0];
  return match;
}

// The start of the grapheme cluster after the one that begins at `unit`.
int64_t nextCharacter(const Utf16Text& text, int64_t unit) {
  thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> it(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status)) throw std::runtime_error(std::string("creating grapheme iterator failed: ") + u_errorName(status));
    return it;
  }();
  iterator->setText(text.icu());
  int32_t next = iterator->following(static_cast<int32_t>(unit));
  iterator->setText(icu::UnicodeString());
  return next == icu::BreakIterator::DONE ? text.length() : next;
}

// The pattern with capturing groups turned non-capturing: "(a)|(b)" => "(?:a)|(?:b)". No value
// when that could change what it matches (back references, named groups, quoting, comments).
std::optional<std::u16string> withoutCaptureGroups(std::u16string_view p) {
  std::u16string out;
  out.reserve(p.size() + p.size() / 4);
  std::size_t i = 0;
  while (i < p.size()) {
    const char16_t c = p[i];
    if (c == u'\\') {
      if (i + 1 >= p.size()) return std::nullopt;
      const char16_t n = p[i + 1];
      if (n == u'Q' || n == u'k' || (n >= u'1' && n <= u'9')) return std::nullopt;
      out += c;
      out += n;
      i += 2;
    } else if (c == u'[') {
      // A set, nested sets and escapes included, is copied whole.
      std::size_t depth = 0, j = i;
      while (j < p.size()) {
        const char16_t d = p[j];
        if (d == u'\\') {
          j += 2;
        } else if (d == u'[') {
          ++depth;
          ++j;
          if (j < p.size() && p[j] == u'^') ++j;
          if (j < p.size() && p[j] == u']') ++j;
        } else if (d == u']') {
          ++j;
          if (--depth == 0) break;
        } else {
          ++j;
        }
      }
      if (depth != 0 || j > p.size()) return std::nullopt;
      out.append(p.substr(i, j - i));
      i = j;
    } else if (c == u'(' && i + 1 < p.size() && p[i + 1] == u'?') {
      if (i + 3 < p.size() && p[i + 2] == u'<' && p[i + 3] != u'=' && p[i + 3] != u'!') return std::nullopt;
      for (std::size_t k = i + 2; k < p.size() && ((p[k] >= u'a' && p[k] <= u'z') || p[k] == u'-'); ++k)
        if (p[k] == u'x') return std::nullopt;
      out += c;
      ++i;
    } else if (c == u'(') {
      out += u"(?:";
      ++i;
    } else {
      out += c;
      ++i;
    }
  }
  return out;
}

constexpr std::size_t kBareSearchFromGroups = 16;

}  // namespace

Regex::Regex(std::string_view pattern, Options options) : pattern_(pattern) {
  if (!isValidUtf8(pattern)) throw RegexError("regular expression is not valid UTF-8", pattern_, -1);
  uint32_t flags = 0;
  if (options.caseInsensitive) flags |= UREGEX_CASE_INSENSITIVE;
  if (options.dotMatchesLineSeparators) flags |= UREGEX_DOTALL;
  if (options.anchorsMatchLines) flags |= UREGEX_MULTILINE;
  if (options.ignoreMetacharacters) flags |= UREGEX_LITERAL;
  if (options.allowCommentsAndWhitespace) flags |= UREGEX_COMMENTS;
  std::u16string units = toUtf16(pattern);
  icu::UnicodeString source(false, icu::ConstChar16Ptr(units.data()), static_cast<int32_t>(units.size()));
  UParseError where{};
  UErrorCode status = U_ZERO_ERROR;
  auto compiled = std::make_shared<Compiled>();
  compiled->full.pattern.reset(icu::RegexPattern::compile(source, flags, where, status));
  if (U_FAILURE(status) || !compiled->full.pattern) {
    std::string message = "cannot compile regular expression \"" + pattern_ + "\": " + u_errorName(status);
    if (where.offset >= 0) message += " at offset " + std::to_string(where.offset);
    throw RegexError(message, pattern_, where.offset);
  }
  std::unique_ptr<icu::RegexMatcher> probe(compiled->full.pattern->matcher(status));
  if (U_FAILURE(status)) throw RegexError("cannot use regular expression \"" + pattern_ + "\": " + u_errorName(status), pattern_, -1);
  compiled->groupCount = static_cast<std::size_t>(probe->groupCount());
  compiled->full.timeLimit = std::max(0, options.timeLimit);
  if (compiled->groupCount >= kBareSearchFromGroups && !options.ignoreMetacharacters && !options.allowCommentsAndWhitespace) {
    if (auto bare = withoutCaptureGroups(units)) {
      icu::UnicodeString bareSource(false, icu::ConstChar16Ptr(bare->data()), static_cast<int32_t>(bare->size()));
      UErrorCode bareStatus = U_ZERO_ERROR;
      auto engine = std::make_unique<Engine>();
      engine->timeLimit = compiled->full.timeLimit;
      engine->pattern.reset(icu::RegexPattern::compile(bareSource, flags, where, bareStatus));
      if (U_SUCCESS(bareStatus) && engine->pattern) {
        std::unique_ptr<icu::RegexMatcher> bareProbe(engine->pattern->matcher(bareStatus));
        if (U_SUCCESS(bareStatus) && bareProbe->groupCount() == 0) compiled->bare = std::move(engine);
      }
    }
  }
  compiled_ = std::move(compiled);
}

std::size_t Regex::captureGroupCount() const { return compiled_->groupCount; }

namespace {

// Every match (or the first only) with its groups. With a bare pattern, it finds the matches and the
// full pattern, anchored at each, reads the groups.
std::vector<Regex::Match> collectMatches(const Regex::Compiled& compiled, std::string_view input,
                                         const std::string& source, bool firstOnly) {
  Utf16Text text(input);
  std::vector<Regex::Match> out;
  UErrorCode status = U_ZERO_ERROR;
  PooledMatcher full(compiled.full, text, source);
  if (!compiled.bare) {
    while (true) {
      requireBudget(source);
      if (!full->find(status)) break;
      out.push_back(readMatch(*full, text, compiled.groupCount, source));
      if (firstOnly) break;
    }
    checkMatch(status, source);
    return out;
  }
  PooledMatcher finder(*compiled.bare, text, source);
  full->useTransparentBounds(true).useAnchoringBounds(false);  // see the text around each match
  while (true) {
    requireBudget(source);
    if (!finder->find(status)) break;
    int64_t start = finder->start64(status);
    int64_t end = finder->end64(status);
    full->region(start, text.length(), status);
    bool found = full->lookingAt(status);
    checkMatch(status, source);
    if (found && full->end64(status) == end) {
      out.push_back(readMatch(*full, text, compiled.groupCount, source));
    } else {
      Regex::Match m;  // not expected: the same match without its groups
      m.range = ByteRange{text.byteOffset(start), text.byteOffset(end)};
      m.groups.resize(compiled.groupCount + 1);
      m.groups[0] = m.range;
      out.push_back(std::move(m));
    }
    if (firstOnly) break;
  }
  checkMatch(status, source);
  return out;
}

}  // namespace

std::vector<Regex::Match> Regex::matches(std::string_view input) const {
  return collectMatches(*compiled_, input, pattern_, false);
}

std::optional<Regex::Match> Regex::firstMatch(std::string_view input) const {
  auto found = collectMatches(*compiled_, input, pattern_, true);
  if (found.empty()) return std::nullopt;
  return std::move(found.front());
}

std::vector<ByteRange> Regex::ranges(std::string_view input) const {
  Utf16Text text(input);
  PooledMatcher m(compiled_->search(), text, pattern_);
  std::vector<ByteRange> out;
  const int64_t end = text.length();
  int64_t start = 0;
  while (start <= end) {
    requireBudget(pattern_);
    UErrorCode status = U_ZERO_ERROR;
    m->region(start, end, status);
    bool found = m->find(status);
    checkMatch(status, pattern_);
    if (!found) break;
    int64_t s = m->start64(status);
    int64_t e = m->end64(status);
    checkMatch(status, pattern_);
    std::size_t bs = text.byteOffset(s);
    out.push_back(ByteRange{bs, text.byteOffset(e)});
    if (e > s) {
      start = e;
    } else {
      // An empty match at the end would be found again and again.
      if (s >= end) break;
      start = nextCharacter(text, s);
    }
  }
  return out;
}

std::vector<std::string_view> Regex::matchedTexts(std::string_view text) const {
  std::vector<std::string_view> out;
  for (const auto& r : ranges(text)) out.push_back(text.substr(r.begin, r.size()));
  return out;
}

std::vector<std::string_view> Regex::split(std::string_view text, bool includeSeparators) const {
  std::vector<std::string_view> out;
  std::size_t start = 0;
  for (const auto& r : ranges(text)) {
    if (r.begin > start) out.push_back(text.substr(start, r.begin - start));
    if (includeSeparators && !r.empty()) out.push_back(text.substr(r.begin, r.size()));
    start = std::max(start, r.end);
  }
  if (start < text.size()) out.push_back(text.substr(start));
  return out;
}

std::vector<std::string_view> Regex::split(std::string_view text, SplitBehavior behavior) const {
  switch (behavior) {
    case SplitBehavior::removed: return split(text, false);
    case SplitBehavior::isolated: return split(text, true);
    case SplitBehavior::mergedWithPrevious: {
      // "a-b-c" => ["a-", "b-", "c"]
      std::vector<std::string_view> out;
      std::size_t cut = 0;
      for (const auto& r : ranges(text)) {
        if (r.end > cut) out.push_back(text.substr(cut, r.end - cut));
        cut = std::max(cut, r.end);
      }
      if (cut < text.size()) out.push_back(text.substr(cut));
      return out;
    }
    case SplitBehavior::mergedWithNext: {
      // "▁▁a" split at "▁" => ["▁", "▁a"]
      std::vector<std::string_view> out;
      std::size_t cut = 0;
      for (const auto& r : ranges(text)) {
        if (r.begin == 0 || r.begin <= cut) continue;
        out.push_back(text.substr(cut, r.begin - cut));
        cut = r.begin;
      }
      if (cut < text.size()) out.push_back(text.substr(cut));
      return out;
    }
  }
  return {};
}

std::vector<std::string_view> Regex::splitKeepingCaptureGroups(std::string_view text) const {
  auto found = matches(text);
  if (found.empty()) return {text};
  std::vector<std::string_view> out;
  std::size_t lastEnd = 0;
  for (const auto& match : found) {
    if (match.range.begin > lastEnd) out.push_back(text.substr(lastEnd, match.range.begin - lastEnd));
    ByteRange kept = match.range;
    for (std::size_t g = match.groups.size() - 1; g >= 1; --g) {
      if (match.groups[g]) {
        kept = *match.groups[g];
        break;
      }
    }
    out.push_back(text.substr(kept.begin, kept.size()));
    lastEnd = match.range.end;
  }
  if (lastEnd < text.size()) out.push_back(text.substr(lastEnd));
  return out;
}

std::string Regex::replace(std::string_view text, std::string_view replacementTemplate) const {
  return *replace(text, replacementTemplate, std::numeric_limits<std::size_t>::max());
}

std::optional<std::string> Regex::replace(std::string_view text, std::string_view replacementTemplate,
                                          std::size_t maxBytes) const {
  requireValidUtf8(replacementTemplate);
  auto found = matches(text);
  if (found.empty()) {
    if (text.size() > maxBytes) return std::nullopt;
    return std::string(text);
  }
  const std::size_t groupCount = compiled_->groupCount;
  // "$" takes at most as many digits as the group count has: "$12" is group 12 with 10 or more
  // groups (empty when there is no such group), group 1 and a "2" with fewer.
  std::size_t maxDigits = 1;
  for (std::size_t n = 10; n <= groupCount; n *= 10) ++maxDigits;
  std::string out;
  out.reserve(text.size());
  std::size_t last = 0;
  for (const auto& match : found) {
    out.append(text.substr(last, match.range.begin - last));
    const std::string_view t = replacementTemplate;
    for (std::size_t i = 0; i < t.size(); ++i) {
      char c = t[i];
      if (c == '\\') {
        if (i + 1 < t.size()) out.push_back(t[++i]);  // the byte after; a multi-byte scalar follows verbatim
        continue;
      }
      if (c == '$' && i + 1 < t.size() && t[i + 1] >= '0' && t[i + 1] <= '9') {
        std::size_t group = static_cast<std::size_t>(t[++i] - '0');
        for (std::size_t digits = 1; digits < maxDigits && i + 1 < t.size() && t[i + 1] >= '0' && t[i + 1] <= '9'; ++digits)
          group = group * 10 + static_cast<std::size_t>(t[++i] - '0');
        if (group <= groupCount && match.groups[group]) {
          const ByteRange& g = *match.groups[group];
          out.append(text.substr(g.begin, g.size()));
          if (out.size() > maxBytes) return std::nullopt;  // a template of many groups multiplies the text
        }
        continue;
      }
      out.push_back(c);
    }
    if (out.size() > maxBytes) return std::nullopt;
    last = match.range.end;
  }
  out.append(text.substr(last));
  if (out.size() > maxBytes) return std::nullopt;
  return out;
}

RegexTimeBudget::RegexTimeBudget(std::chrono::steady_clock::duration budget) : previous_(tBudgetDeadline) {
  const auto deadline = std::chrono::steady_clock::now() + budget;
  tBudgetDeadline = previous_ ? std::min(*previous_, deadline) : deadline;
}

RegexTimeBudget::~RegexTimeBudget() { tBudgetDeadline = previous_; }

void RegexTimeBudget::require(std::string_view search) {
  if (pastBudget()) throw RegexTimeout(std::string(search) + " ran past the time budget of this call");
}

std::string Regex::escapedPattern(std::string_view literal) {
  static constexpr std::string_view kSpecial = "\\*?+[](){}^$|./-#";
  std::string out;
  out.reserve(literal.size() + 8);
  for (char c : literal) {
    if (kSpecial.find(c) != std::string_view::npos) out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

}  // namespace platform::text

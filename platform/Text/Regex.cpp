#include "platform/Text/Regex.h"

#include <climits>
#include <mutex>

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/regex.h>
#include <unicode/unistr.h>

#include "platform/Text/Unicode.h"

namespace platform::text {

struct Regex::Compiled {
  std::unique_ptr<icu::RegexPattern> pattern;
  std::size_t groupCount = 0;
  // Matchers are costly to create; finished ones wait here for the next call.
  mutable std::mutex poolMutex;
  mutable std::vector<std::unique_ptr<icu::RegexMatcher>> pool;
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
  if (U_FAILURE(status))
    throw std::runtime_error("regular expression \"" + pattern + "\" failed to match: " + u_errorName(status));
}

// A matcher from the pattern's pool, set on the text; it goes back to the pool when done.
class PooledMatcher {
 public:
  PooledMatcher(const Regex::Compiled& compiled, const Utf16Text& text, const std::string& source) : compiled_(compiled) {
    {
      std::lock_guard lock(compiled_.poolMutex);
      if (!compiled_.pool.empty()) {
        matcher_ = std::move(compiled_.pool.back());
        compiled_.pool.pop_back();
      }
    }
    UErrorCode status = U_ZERO_ERROR;
    if (matcher_) {
      matcher_->reset(text.icu());
    } else {
      matcher_.reset(compiled_.pattern->matcher(text.icu(), status));
      checkMatch(status, source);
    }
  }
  ~PooledMatcher() {
    static const icu::UnicodeString empty;
    matcher_->reset(empty);  // drop the reference to the caller's text
    std::lock_guard lock(compiled_.poolMutex);
    if (compiled_.pool.size() < kPoolSize) compiled_.pool.push_back(std::move(matcher_));
  }
  PooledMatcher(const PooledMatcher&) = delete;
  PooledMatcher& operator=(const PooledMatcher&) = delete;
  icu::RegexMatcher* operator->() const { return matcher_.get(); }
  icu::RegexMatcher& operator*() const { return *matcher_; }

 private:
  static constexpr std::size_t kPoolSize = 8;
  const Regex::Compiled& compiled_;
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
  compiled->pattern.reset(icu::RegexPattern::compile(source, flags, where, status));
  if (U_FAILURE(status) || !compiled->pattern) {
    std::string message = "cannot compile regular expression \"" + pattern_ + "\": " + u_errorName(status);
    if (where.offset >= 0) message += " at offset " + std::to_string(where.offset);
    throw RegexError(message, pattern_, where.offset);
  }
  std::unique_ptr<icu::RegexMatcher> probe(compiled->pattern->matcher(status));
  if (U_FAILURE(status)) throw RegexError("cannot use regular expression \"" + pattern_ + "\": " + u_errorName(status), pattern_, -1);
  compiled->groupCount = static_cast<std::size_t>(probe->groupCount());
  compiled_ = std::move(compiled);
}

std::size_t Regex::captureGroupCount() const { return compiled_->groupCount; }

std::vector<Regex::Match> Regex::matches(std::string_view input) const {
  Utf16Text text(input);
  PooledMatcher m(*compiled_, text, pattern_);
  std::vector<Match> out;
  UErrorCode status = U_ZERO_ERROR;
  while (m->find(status)) out.push_back(readMatch(*m, text, compiled_->groupCount, pattern_));
  checkMatch(status, pattern_);
  return out;
}

std::optional<Regex::Match> Regex::firstMatch(std::string_view input) const {
  Utf16Text text(input);
  PooledMatcher m(*compiled_, text, pattern_);
  UErrorCode status = U_ZERO_ERROR;
  bool found = m->find(status);
  checkMatch(status, pattern_);
  if (!found) return std::nullopt;
  return readMatch(*m, text, compiled_->groupCount, pattern_);
}

std::vector<ByteRange> Regex::ranges(std::string_view input) const {
  Utf16Text text(input);
  PooledMatcher m(*compiled_, text, pattern_);
  std::vector<ByteRange> out;
  const int64_t end = text.length();
  int64_t start = 0;
  while (start <= end) {
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
  requireValidUtf8(replacementTemplate);
  auto found = matches(text);
  if (found.empty()) return std::string(text);
  const std::size_t groupCount = compiled_->groupCount;
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
        // Take more digits while they still name an existing group: "$12" is group 12 only if it exists.
        while (i + 1 < t.size() && t[i + 1] >= '0' && t[i + 1] <= '9' &&
               group * 10 + static_cast<std::size_t>(t[i + 1] - '0') <= groupCount) {
          group = group * 10 + static_cast<std::size_t>(t[++i] - '0');
        }
        if (group <= groupCount && match.groups[group]) {
          const ByteRange& g = *match.groups[group];
          out.append(text.substr(g.begin, g.size()));
        }
        continue;
      }
      out.push_back(c);
    }
    last = match.range.end;
  }
  out.append(text.substr(last));
  return out;
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

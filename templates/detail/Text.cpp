#include "templates/detail/Text.h"

#include <unicode/brkiter.h>
#include <unicode/utext.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>

#include "platform/System/NumberText.h"
#include "platform/Text/Unicode.h"
#include "templates/JinjaError.h"
#include "templates/Value.h"
#include "templates/detail/RenderClock.h"

namespace jinja::detail {
namespace text = platform::text;

std::string_view wellFormed(std::string_view text, std::string& storage) {
  if (text::isValidUtf8(text)) return text;
  storage = text::repairUtf8(text);
  return storage;
}

namespace {

bool isAscii(std::string_view text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

[[noreturn]] void segmentationError(UErrorCode status) {
  throw JinjaError::runtime(std::string("Cannot find the characters of a text: ") + u_errorName(status));
}

// Character break iterators of this thread, kept for the next walk: making one is slow.
std::vector<std::unique_ptr<icu::BreakIterator>>& spareIterators() {
  thread_local std::vector<std::unique_ptr<icu::BreakIterator>> spare;
  return spare;
}

std::unique_ptr<icu::BreakIterator> takeIterator() {
  auto& spare = spareIterators();
  if (!spare.empty()) {
    std::unique_ptr<icu::BreakIterator> iterator = std::move(spare.back());
    spare.pop_back();
    return iterator;
  }
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::BreakIterator> iterator(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status)) segmentationError(status);
  return iterator;
}

// Scalars between which a character always ends: printable Latin letters and signs below the
// combining marks, none of which extends, joins or prefixes a cluster (UAX #29).
bool breaksAround(char32_t c) { return (c >= 0x20 && c < 0x7F) || (c >= 0xA0 && c < 0x300 && c != 0xAD); }

}  // namespace

// Grapheme clusters by ICU's character break iterator over the UTF-8 bytes in place.
struct CharacterWalk::Segmenter {
  std::unique_ptr<icu::BreakIterator> iterator;
  UText* text = nullptr;
  bool behind = false;  // the iterator stands before the walk's position
  ~Segmenter() {
    if (iterator) {
      iterator->setText(icu::UnicodeString());  // detach before the UText goes
      if (spareIterators().size() < 4) spareIterators().push_back(std::move(iterator));
    }
    utext_close(text);
  }
};

CharacterWalk::CharacterWalk(std::string_view text)
    : text_(wellFormed(text, storage_)) {
  if (isAscii(text_)) return;  // there only CR LF is a character of more than one byte
  if (text_.size() > static_cast<std::size_t>(INT32_MAX)) text::graphemeCount(text_);  // its size error
  auto segmenter = std::make_unique<Segmenter>();
  UErrorCode status = U_ZERO_ERROR;
  segmenter->text = utext_openUTF8(nullptr, text_.data(), static_cast<int64_t>(text_.size()), &status);
  if (U_FAILURE(status)) segmentationError(status);
  segmenter->iterator = takeIterator();
  segmenter->iterator->setText(segmenter->text, status);
  if (U_FAILURE(status)) segmentationError(status);
  segmenter_ = std::move(segmenter);
}

CharacterWalk::~CharacterWalk() = default;

bool CharacterWalk::next(std::string_view& character) {
  if (at_ >= text_.size()) return false;
  std::size_t end;
  if (!segmenter_) {
    end = at_ + 1;
    if (text_[at_] == '\r' && end < text_.size() && text_[end] == '\n') ++end;
  } else {
    std::size_t after = at_;
    const bool plain = breaksAround(text::nextScalar(text_, after));
    std::size_t probe = after;
    if (plain && (after == text_.size() || breaksAround(text::nextScalar(text_, probe)))) {
      end = after;
      segmenter_->behind = true;
    } else {
      Segmenter& s = *segmenter_;
      int32_t boundary = s.behind ? s.iterator->following(static_cast<int32_t>(at_)) : s.iterator->next();
      s.behind = false;
      end = boundary == icu::BreakIterator::DONE ? text_.size() : static_cast<std::size_t>(boundary);
    }
  }
  character = text_.substr(at_, end - at_);
  at_ = end;
  countWork();
  return true;
}

std::optional<std::string> characterAt(std::string_view text, std::int64_t index) {
  if (index < 0) {
    index += static_cast<std::int64_t>(countCharacters(text));  // no overflow: a negative plus a count
    if (index < 0) return std::nullopt;
  }
  CharacterWalk walk(text);
  std::string_view character;
  for (std::int64_t k = 0; walk.next(character); ++k)
    if (k == index) return std::string(character);
  return std::nullopt;
}

Substring::Substring(std::string_view needle) : needle_(needle) {
  if (needle.size() <= shortLength) return;
  fallback_.assign(needle.size(), 0);
  std::uint32_t border = 0;
  for (std::size_t i = 1; i < needle.size(); ++i) {
    while (border > 0 && needle[i] != needle[border]) border = fallback_[border - 1];
    if (needle[i] == needle[border]) ++border;
    fallback_[i] = border;
  }
}

std::size_t Substring::findIn(std::string_view text, std::size_t from) const {
  if (from > text.size()) return std::string_view::npos;
  if (needle_.empty()) return from;
  if (needle_.size() <= shortLength) {
    // In windows, so that a long text counts its work on the way.
    constexpr std::size_t window = RenderClock::workPerTick * 16;
    for (std::size_t start = from; start < text.size(); start += window) {
      std::size_t found = text.substr(start, window + needle_.size() - 1).find(needle_);
      if (found != std::string_view::npos) {
        countWork(found + needle_.size());
        return start + found;
      }
      countWork(window);
    }
    return std::string_view::npos;
  }
  const char first = needle_[0];
  std::size_t matched = 0;
  for (std::size_t i = from; i < text.size(); ++i) {
    if (matched == 0) {
      const void* next = std::memchr(text.data() + i, first, text.size() - i);
      if (!next) return std::string_view::npos;
      std::size_t at = static_cast<const char*>(next) - text.data();
      countWork(at - i + 1);
      i = at;
    } else {
      countWork();
    }
    while (matched > 0 && text[i] != needle_[matched]) matched = fallback_[matched - 1];
    if (text[i] == needle_[matched]) ++matched;
    if (matched == needle_.size()) return i + 1 - matched;
  }
  return std::string_view::npos;
}

std::string sliceCharacters(std::string_view text, std::int64_t first, std::int64_t limit, std::int64_t by) {
  std::string out;
  if (first < 0 || (by > 0 ? first >= limit : first <= limit)) return out;
  std::string_view character;
  if (by > 0) {
    CharacterWalk walk(text);
    std::int64_t next = first;
    for (std::int64_t k = 0; next < limit && walk.next(character); ++k) {
      if (k != next) continue;
      out += character;
      if (__builtin_add_overflow(next, by, &next)) break;
    }
    return out;
  }
  // Backwards: the chosen characters are found walking forwards from the lowest, then written from
  // the end of the result.
  if (limit < -1) limit = -1;
  const std::uint64_t stride = std::uint64_t{0} - static_cast<std::uint64_t>(by);
  const auto span = static_cast<std::uint64_t>(first - limit - 1);
  const auto lowest = static_cast<std::int64_t>(static_cast<std::uint64_t>(first) - span / stride * stride);
  auto forEachChosen = [&](auto&& take) {
    CharacterWalk walk(text);
    for (std::int64_t k = 0; k <= first && walk.next(character); ++k)
      if (k >= lowest && static_cast<std::uint64_t>(k - lowest) % stride == 0) take(character);
  };
  std::size_t total = 0;
  forEachChosen([&total](std::string_view c) { total += c.size(); });
  out.resize(total);
  forEachChosen([&](std::string_view c) {
    total -= c.size();
    out.replace(total, c.size(), c);
  });
  return out;
}

namespace {

// Grapheme clusters of well-formed UTF-8 text, counted without storing them.
std::size_t countClusters(std::string_view text) {
  if (isAscii(text)) {
    std::size_t pairs = 0;
    for (std::size_t i = 1; i < text.size(); ++i)
      if (text[i - 1] == '\r' && text[i] == '\n') ++pairs;
    return text.size() - pairs;
  }
  CharacterWalk walk(text);
  std::size_t count = 0;
  for (std::string_view character; walk.next(character);) ++count;
  return count;
}

}  // namespace

std::vector<std::string_view> characters(std::string_view text, std::string& storage) {
  std::string_view whole = wellFormed(text, storage);
  // At most one character per byte: only a longer text can hold too many.
  if (whole.size() > Value::maxArrayElements) checkArraySize(countClusters(whole));
  return text::graphemes(whole);
}

std::string casedInPieces(std::string_view text, bool upper) {
  constexpr std::size_t piece = std::size_t{1} << 20;
  std::string storage;
  text = wellFormed(text, storage);
  checkStringSize(text.size());
  std::string out;
  out.reserve(text.size());
  for (std::size_t from = 0; from < text.size();) {
    std::size_t to = std::min(text.size(), from + piece);
    if (to < text.size()) {
      // A white-space or digit byte ends no context of the mapping; else any character's start.
      const std::size_t searchEnd = std::min(text.size(), to + 4096);
      std::size_t at = to;
      while (at < searchEnd && !(text[at] == ' ' || text[at] == '\n' || text[at] == '\t' || (text[at] >= '0' && text[at] <= '9'))) ++at;
      if (at < searchEnd) to = at;
      else while (to < text.size() && (static_cast<unsigned char>(text[to]) & 0xC0) == 0x80) ++to;
    }
    const std::string_view part = text.substr(from, to - from);
    bool ascii = true;
    for (char c : part) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii) {
      for (char c : part) out.push_back(upper ? (c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c)
                                              : (c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c));
    } else {
      out += upper ? platform::text::uppercased(part) : platform::text::lowercased(part);
      checkStringSize(out.size());
    }
    countWork(part.size() * (ascii ? 1 : 16));  // the full mapping costs far more per byte
    from = to;
  }
  return out;
}

std::size_t countCharacters(std::string_view text) {
  std::string storage;
  return countClusters(wellFormed(text, storage));
}

// Python's repr of a float, which Jinja2 prints: plain below 1e16 (9.5e15 => "9500000000000000.0").
std::string formatDouble(double value) {
  return platform::system::shortestText(value, platform::system::PlainLimit::belowTenToTheSixteen);
}

std::string replaceForward(std::string_view text, std::string_view old, std::string_view replacement,
                           long long limit) {
  std::string out;
  std::size_t from = 0;
  long long done = 0;
  const Substring needle(old);
  while (limit < 0 || done < limit) {
    std::size_t at = needle.findIn(text, from);
    if (at == std::string_view::npos) break;
    out.append(text, from, at - from);
    out += replacement;
    checkStringSize(out.size());
    from = at + old.size();
    ++done;
  }
  out.append(text.substr(from));
  return out;
}

}  // namespace jinja::detail

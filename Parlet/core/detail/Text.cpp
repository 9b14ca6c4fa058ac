#include "Parlet/core/detail/Text.h"

#include <memory>

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

namespace parlet::detail {
namespace {

std::string toUtf8(const icu::UnicodeString& text) {
  std::string out;
  text.toUTF8String(out);
  return out;
}

icu::UnicodeString fromUtf8(std::string_view text) {
  return icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

template <class Predicate>
std::string trimming(std::string_view text, Predicate drop) {
  icu::UnicodeString s = fromUtf8(text);
  int32_t begin = 0;
  int32_t end = s.length();
  while (begin < end) {
    UChar32 c = s.char32At(begin);
    if (!drop(c)) break;
    begin += U16_LENGTH(c);
  }
  while (end > begin) {
    int32_t last = s.moveIndex32(end, -1);
    if (!drop(s.char32At(last))) break;
    end = last;
  }
  return toUtf8(s.tempSubStringBetween(begin, end));
}

}  // namespace

std::string lowercased(std::string_view text) {
  icu::UnicodeString s = fromUtf8(text);
  s.toLower(icu::Locale::getRoot());
  return toUtf8(s);
}

std::string trimmingWhitespaceAndNewlines(std::string_view text) {
  return trimming(text, [](UChar32 c) { return u_isUWhiteSpace(c) != 0; });
}

std::string trimmingWhitespaceNewlinesAndPunctuation(std::string_view text) {
  return trimming(text, [](UChar32 c) { return u_isUWhiteSpace(c) != 0 || u_ispunct(c) != 0; });
}

std::size_t characterCount(std::string_view text) {
  if (text.empty()) return 0;
  icu::UnicodeString s = fromUtf8(text);
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::BreakIterator> it(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status) || !it) return static_cast<std::size_t>(s.countChar32());
  it->setText(s);
  std::size_t count = 0;
  it->first();
  while (it->next() != icu::BreakIterator::DONE) ++count;
  return count;
}

}  // namespace parlet::detail

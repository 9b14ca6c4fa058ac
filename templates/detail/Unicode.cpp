#include "templates/detail/Unicode.h"

#include <memory>
#include <stdexcept>

#include <unicode/brkiter.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

namespace jinja::detail {
namespace {

bool isAscii(std::string_view text) {
  for (unsigned char c : text)
    if (c >= 0x80) return false;
  return true;
}

const icu::Normalizer2& nfc() {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* n = icu::Normalizer2::getNFCInstance(status);
  if (U_FAILURE(status) || n == nullptr) throw std::runtime_error("ICU NFC normalizer unavailable");
  return *n;
}

// One character break iterator per thread; creating one is costly.
icu::BreakIterator& characterBreaks() {
  thread_local std::unique_ptr<icu::BreakIterator> iterator;
  if (!iterator) {
    UErrorCode status = U_ZERO_ERROR;
    iterator.reset(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status) || !iterator) throw std::runtime_error("ICU character break iterator unavailable");
  }
  return *iterator;
}

}  // namespace

std::string repairUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const auto length = static_cast<int32_t>(text.size());
  int32_t i = 0;
  while (i < length) {
    int32_t start = i;
    while (i < length && bytes[i] < 0x80) ++i;
    if (i > start) {
      out.append(text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(i - start)));
      continue;
    }
    UChar32 c;
    U8_NEXT(bytes, i, length, c);
    if (c < 0) {
      out += "\xEF\xBF\xBD";
    } else {
      out.append(text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(i - start)));
    }
  }
  return out;
}

std::vector<std::size_t> graphemeBoundaries(std::string_view text) {
  std::vector<std::size_t> bounds;
  bounds.reserve(text.size() + 1);
  if (isAscii(text)) {
    // In ASCII only CR LF forms a cluster of more than one character.
    for (std::size_t i = 0; i < text.size(); ++i)
      if (!(i > 0 && text[i] == '\n' && text[i - 1] == '\r')) bounds.push_back(i);
    bounds.push_back(text.size());
    return bounds;
  }
  UErrorCode status = U_ZERO_ERROR;
  UText* ut = utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status);
  if (U_FAILURE(status)) throw std::runtime_error("ICU cannot open text");
  icu::BreakIterator& it = characterBreaks();
  it.setText(ut, status);
  if (U_FAILURE(status)) {
    utext_close(ut);
    throw std::runtime_error("ICU cannot segment text");
  }
  for (int32_t b = it.first(); b != icu::BreakIterator::DONE; b = it.next())
    bounds.push_back(static_cast<std::size_t>(b));
  // Leave the iterator pointing at nothing we are about to close.
  it.setText(icu::UnicodeString());
  utext_close(ut);
  if (bounds.empty() || bounds.front() != 0) bounds.insert(bounds.begin(), 0);
  if (bounds.back() != text.size()) bounds.push_back(text.size());
  return bounds;
}

char32_t nextCodePoint(std::string_view text, std::size_t& offset) {
  if (offset < text.size() && static_cast<unsigned char>(text[offset]) < 0x80) return static_cast<char32_t>(text[offset++]);
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  auto i = static_cast<int32_t>(offset);
  UChar32 c;
  U8_NEXT(bytes, i, static_cast<int32_t>(text.size()), c);
  offset = static_cast<std::size_t>(i);
  return c < 0 ? U'\uFFFD' : static_cast<char32_t>(c);
}

std::size_t previousCodePointStart(std::string_view text, std::size_t offset) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  auto i = static_cast<int32_t>(offset);
  UChar32 c;
  U8_PREV(bytes, 0, i, c);
  (void)c;
  return static_cast<std::size_t>(i);
}

char32_t firstCodePoint(std::string_view text) {
  std::size_t offset = 0;
  return text.empty() ? 0 : nextCodePoint(text, offset);
}

bool isWhitespace(char32_t c) {
  if (c < 0x80) return c == ' ' || (c >= '\t' && c <= '\r');
  return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_WHITE_SPACE);
}
bool isLetter(char32_t c) {
  if (c < 0x80) return (c | 0x20) >= 'a' && (c | 0x20) <= 'z';
  return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_ALPHABETIC);
}
bool isNumber(char32_t c) {
  if (c < 0x80) return c >= '0' && c <= '9';
  return u_getIntPropertyValue(static_cast<UChar32>(c), UCHAR_NUMERIC_TYPE) != U_NT_NONE;
}

std::string toNfc(std::string_view text) {
  if (isAscii(text)) return std::string(text);
  UErrorCode status = U_ZERO_ERROR;
  icu::UnicodeString source = icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  const icu::Normalizer2& n = nfc();
  if (n.isNormalized(source, status) && U_SUCCESS(status)) return std::string(text);
  status = U_ZERO_ERROR;
  icu::UnicodeString normal = n.normalize(source, status);
  if (U_FAILURE(status)) return std::string(text);
  std::string out;
  normal.toUTF8String(out);
  return out;
}

bool canonicallyEqual(std::string_view a, std::string_view b) {
  if (a == b) return true;
  if (isAscii(a) && isAscii(b)) return false;
  return toNfc(a) == toNfc(b);
}

bool canonicallyLess(std::string_view a, std::string_view b) {
  // Byte order of UTF-8 is code point order.
  if (isAscii(a) && isAscii(b)) return a < b;
  return toNfc(a) < toNfc(b);
}

std::size_t characterCount(std::string_view text) { return graphemeBoundaries(text).size() - 1; }

}  // namespace jinja::detail
